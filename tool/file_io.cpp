#include "file_io.hpp"

#include "system_files.hpp"

#include <algorithm>

namespace halvek {
namespace {

std::optional<open_file> refuse(int descriptor)
{
    open_file unwanted;
    unwanted.descriptor = descriptor;
    (void)close_file(unwanted);
    return std::nullopt;
}

std::optional<open_file> open_and_describe(const std::filesystem::path& name, open_mode mode)
{
    const int descriptor = open_descriptor(name, mode);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file) {
        return refuse(descriptor);
    }
    return file;
}

}  // namespace

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    const auto file = open_and_describe(name, open_mode::read);
    if (file && !file->regular) {
        return refuse(file->descriptor);
    }
    return file;
}

std::optional<open_file> open_for_writing(const std::filesystem::path& name, std::span<const file_id> must_not_be)
{
    const auto file = open_and_describe(name, open_mode::write);
    if (!file) {
        return std::nullopt;
    }
    if (std::ranges::find(must_not_be, file->id) != must_not_be.end()) {
        return refuse(file->descriptor);
    }
    // An empty file is left alone: on some file systems emptying one makes its close
    // wait to flush what is written afterwards.
    if (file->regular && file->size > 0 && !empty_file(file->descriptor)) {
        return refuse(file->descriptor);
    }
    return file;
}

}  // namespace halvek
