#include "file_io.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvek {

int open_descriptor(const std::filesystem::path& name, open_mode mode)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a peer comes; it is then refused.
    constexpr int common_flags = O_NONBLOCK | O_CLOEXEC;
    constexpr mode_t read_write_for_all = 0666;
    return mode == open_mode::read ? ::open(name.c_str(), O_RDONLY | common_flags)
                                   : ::open(name.c_str(), O_WRONLY | O_CREAT | common_flags, read_write_for_all);
}

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

bool empty_file(int descriptor)
{
    return ::ftruncate(descriptor, 0) == 0;
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
