#include "patch_run.hpp"

#include "cartridge_header.hpp"
#include "console.hpp"
#include "staged_output.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace halvek {
namespace {

constexpr std::size_t save_size = 0x10000;
constexpr std::size_t copy_block_size = std::size_t{1} << 20;

struct copy_result {
    failure what;  // reading or writing, where `error` is not none
    file_error error;
};
constexpr copy_result copied{failure::writing, file_error::none};

std::filesystem::path with_suffix(const std::filesystem::path& name, std::string_view suffix)
{
    std::filesystem::path suffixed = name;
    suffixed += suffix;
    return suffixed;
}

bool read_exactly(const open_file& input, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const std::ptrdiff_t count = read_at(input, offset, bytes);
        if (count <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
        offset += count;
    }
    return true;
}

// The output image is the input with its first bytes taken from the patched header. A file
// takes the copy from offset 0, where the system copies fastest, with the header written over
// it; a device or a FIFO takes its bytes in order, as from a stream.
copy_result write_image(const open_file& input, const open_file& output, std::span<const std::uint8_t> header)
{
    std::int64_t offset = 0;
    if (output.regular) {
        offset = copy_in_system(input, output, 0, input.size);
    } else if (const auto error = write_at(output, 0, header); error != file_error::none) {
        return {failure::writing, error};
    } else {
        offset = static_cast<std::int64_t>(header.size());
    }
    if (offset < input.size) {
        std::vector<std::uint8_t> buffer(copy_block_size);
        while (offset < input.size) {
            const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(input.size - offset, copy_block_size));
            const std::ptrdiff_t count = read_at(input, offset, std::span(buffer).first(wanted));
            if (count <= 0) {
                // an error, or the input ended before its measured size
                return {failure::reading, file_error::failed};
            }
            if (const auto error = write_at(output, offset, std::span(buffer).first(static_cast<std::size_t>(count)));
                error != file_error::none) {
                return {failure::writing, error};
            }
            offset += count;
        }
    }
    return output.regular ? copy_result{failure::writing, write_at(output, 0, header)} : copied;
}

// Writes `size` bytes into the staged output with `write`. Where the device is too full to
// hold them beside the file they replace, and removing that file gives the room, they are
// written again once it is gone.
template <typename Write> copy_result write_with_room(staged_output& output, std::int64_t size, Write write)
{
    copy_result result = write();
    if (out_of_room(result.error) && output.make_room(size, result.error) == file_error::none) {
        result = write();
    }
    return result;
}

}  // namespace

bool patch_image(const std::filesystem::path& input_name)
{
    auto input = open_for_reading(input_name);
    if (!input) {
        show_failure(failure::opening, input_name);
        return false;
    }
    const auto output_name = with_suffix(input_name, ".bin");
    const auto save_name = with_suffix(input_name, ".sav");
    // An image name that leads to the save would have the image take the user's save before
    // the save's own stage could refuse it.
    std::vector<file_id> not_for_image{input->id};
    if (const auto save_file = existing_output(save_name)) {
        not_for_image.push_back(*save_file);
    }
    staged_output output;
    if (output.open(output_name, not_for_image, input->size) != file_error::none) {
        show_failure(failure::opening, output_name);
        return false;
    }
    show_names(input_name, output_name, save_name);

    std::array<std::uint8_t, header_block_size> header{};  // zeros stand in past a short input's end
    const auto header_length = static_cast<std::size_t>(std::min<std::int64_t>(input->size, header_block_size));
    if (!read_exactly(*input, 0, std::span(header).first(header_length))) {
        show_failure(failure::reading, input_name);
        return false;
    }
    patch_header(header);
    show_complement(header[complement_offset]);
    show_copying();
    // On every early return, whatever is staged goes with its staged_output.
    const auto result = write_with_room(output, input->size, [&] {
        return write_image(*input, output.file(), std::span(header).first(header_length));
    });
    (void)input->handle.close();  // nothing was written to it, so its close has nothing to lose
    if (result.error != file_error::none) {
        show_failure(result.what, result.what == failure::reading ? input_name : output_name);
        return false;
    }
    if (output.commit() != file_error::none) {
        show_failure(failure::writing, output_name);
        return false;
    }

    staged_output save;
    if (save.open(save_name, std::array{input->id, output.file().id}, static_cast<std::int64_t>(save_size)) !=
        file_error::none) {
        show_failure(failure::opening, save_name);
        return false;
    }
    show_making_save();
    const std::vector<std::uint8_t> blank_save(save_size);
    const auto saved = write_with_room(save, static_cast<std::int64_t>(save_size), [&] {
        return copy_result{failure::writing, write_at(save.file(), 0, blank_save)};
    });
    if (saved.error != file_error::none || save.commit() != file_error::none) {
        show_failure(failure::writing, save_name);
        return false;
    }
    show_success();
    return true;
}

}  // namespace halvek
