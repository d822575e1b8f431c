#include "patch_run.hpp"

#include "cartridge_header.hpp"
#include "console.hpp"
#include "staged_output.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvek {
namespace {

constexpr std::size_t save_size = 0x10000;
constexpr std::size_t copy_block_size = std::size_t{1} << 20;

enum class copy_result { done, read_failed, write_failed };

void report(std::string_view failure, const std::filesystem::path& name)
{
    say(failure);
    say(printable_name(name));
    say(".\n");
}

std::filesystem::path with_suffix(const std::filesystem::path& name, std::string_view suffix)
{
    std::filesystem::path suffixed = name;
    suffixed += suffix;
    return suffixed;
}

std::string in_hex(std::uint8_t byte)
{
    std::array<char, 2> digits{};
    auto* const end = std::to_chars(digits.begin(), digits.end(), byte, 16).ptr;
    return {digits.begin(), end};
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
    } else if (write_at(output, 0, header)) {
        offset = static_cast<std::int64_t>(header.size());
    } else {
        return copy_result::write_failed;
    }
    if (offset < input.size) {
        std::vector<std::uint8_t> buffer(copy_block_size);
        while (offset < input.size) {
            const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(input.size - offset, copy_block_size));
            const std::ptrdiff_t count = read_at(input, offset, std::span(buffer).first(wanted));
            if (count <= 0) {
                return copy_result::read_failed;  // an error, or the input ended before its measured size
            }
            if (!write_at(output, offset, std::span(buffer).first(static_cast<std::size_t>(count)))) {
                return copy_result::write_failed;
            }
            offset += count;
        }
    }
    return !output.regular || write_at(output, 0, header) ? copy_result::done : copy_result::write_failed;
}

// Reads and patches the header, reports its complement, then writes the output image.
copy_result write_patched_image(const open_file& input, const open_file& output)
{
    std::array<std::uint8_t, header_block_size> header{};  // zeros stand in past a short input's end
    const auto header_length = static_cast<std::size_t>(std::min<std::int64_t>(input.size, header_block_size));
    if (!read_exactly(input, 0, std::span(header).first(header_length))) {
        return copy_result::read_failed;
    }
    patch_header(header);
    say("comp: " + in_hex(header[complement_offset]) + "\n\n");
    say("Copying file...\n\n");
    return write_image(input, output, std::span(header).first(header_length));
}

}  // namespace

bool patch_image(const std::filesystem::path& input_name)
{
    const auto input = open_for_reading(input_name);
    if (!input) {
        report("Error opening ", input_name);
        return false;
    }
    const auto output_name = with_suffix(input_name, ".bin");
    const auto save_name = with_suffix(input_name, ".sav");
    staged_output output;
    if (!output.open(output_name, std::array{input->id}, input->size)) {
        (void)close_file(*input);
        report("Error opening ", output_name);
        return false;
    }

    // The title is underlined by as many dashes as it is long.
    constexpr std::string_view title = "Halvek " HALVEK_VERSION;
    say(std::string(title) + "\n" + std::string(title.size(), '-') + "\n");
    say("input file : " + printable_name(input_name) + "\n");
    say("output file: " + printable_name(output_name) + "\n");
    say("saver file : " + printable_name(save_name) + "\n\n");

    const auto result = write_patched_image(*input, output.file());
    (void)close_file(*input);  // nothing was written to it, so its close has nothing to lose
    // On every early return, whatever is staged goes with its staged_output.
    if (result == copy_result::read_failed) {
        report("Error reading ", input_name);
        return false;
    }
    if (result == copy_result::write_failed || !output.commit()) {
        report("Error writing ", output_name);
        return false;
    }

    staged_output save;
    if (!save.open(save_name, std::array{input->id, output.file().id}, static_cast<std::int64_t>(save_size))) {
        report("Error opening ", save_name);
        return false;
    }
    say("Making blank save file...\n\n");
    const std::vector<std::uint8_t> blank_save(save_size);
    if (!write_at(save.file(), 0, blank_save) || !save.commit()) {
        report("Error writing ", save_name);
        return false;
    }

    say("Finished......Success!\n\n"
        "You will have to rename the .out and .sav to your preference\n"
        "and place them in the proper places\n\n");
    return true;
}

}  // namespace halvek
