#include "file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace halvek {
namespace {

std::optional<open_file> describe(int descriptor)
{
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return std::nullopt;
    }
    return open_file{
        .descriptor = descriptor,
        .id = {.device = static_cast<std::uint64_t>(status.st_dev), .index = static_cast<std::uint64_t>(status.st_ino)},
        .regular = S_ISREG(status.st_mode),
        .size = static_cast<std::int64_t>(status.st_size),
    };
}

std::optional<open_file> refuse(int descriptor)
{
    ::close(descriptor);
    return std::nullopt;
}

}  // namespace

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a writer comes; it is then refused.
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file || !file->regular) {
        return refuse(descriptor);
    }
    return file;
}

std::optional<open_file> open_for_writing(const std::filesystem::path& name, std::span<const file_id> must_not_be)
{
    // No O_TRUNC: the file is only emptied once it is known not to be one we must keep.
    constexpr mode_t read_write_for_all = 0666;
    const int descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, read_write_for_all);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file || std::ranges::find(must_not_be, file->id) != must_not_be.end()) {
        return refuse(descriptor);
    }
    // An empty file is left alone: on some file systems emptying one makes its close
    // wait to flush what is written afterwards.
    if (file->regular && file->size > 0 && ::ftruncate(descriptor, 0) != 0) {
        return refuse(descriptor);
    }
    return file;
}

std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    ssize_t count = 0;
    do {
        count = ::pread(file.descriptor, bytes.data(), bytes.size(), offset);
    } while (count < 0 && errno == EINTR);
    return count;
}

bool write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = ::pwrite(file.descriptor, bytes.data(), bytes.size(), offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
        offset += count;
    }
    return true;
}

std::int64_t copy_in_system(const open_file& input, const open_file& output, std::int64_t offset, std::int64_t count)
{
    // Bounded per call so that a large count never overflows the call's size type.
    constexpr std::int64_t largest_step = std::int64_t{1} << 30;
    loff_t input_offset = offset;
    loff_t output_offset = offset;
    std::int64_t copied = 0;
    while (copied < count) {
        const auto step = static_cast<std::size_t>(std::min(count - copied, largest_step));
        const ssize_t done =
            ::copy_file_range(input.descriptor, &input_offset, output.descriptor, &output_offset, step, 0);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break;  // not supported here, an error or an early end: the caller's loop finds out which
        }
        copied += done;
    }
    return copied;
}

bool close_file(const open_file& file)
{
    // After EINTR the descriptor is gone on Linux, so a retry could close another one.
    return ::close(file.descriptor) == 0 || errno == EINTR;
}

bool remove_file(const std::filesystem::path& name)
{
    return ::unlink(name.c_str()) == 0;
}

void reserve_standard_descriptors() noexcept
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) < 0) {
            ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
}

std::string printable_name(const std::filesystem::path& name)
{
    return name.native();
}

}  // namespace halvek
