// Files on Linux: descriptors, and the run's plain reads and writes.
#include "system_files_linux.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

// Sizes and offsets of images past 2 GiB must survive a 32-bit build too.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace halvek {

file_handle open_owned(int at, const char* name, int flags, mode_t mode)
{
    const int descriptor = ::openat(at, name, flags | O_CLOEXEC | O_NOCTTY, mode);
    if (descriptor < 0 || descriptor > STDERR_FILENO) {
        return file_handle(descriptor);
    }
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return file_handle(moved);
}

file_error error_from(int cause)
{
    switch (cause) {
    case EEXIST:
        return file_error::name_taken;
    case ENOSPC:
        return file_error::no_room;
    case EDQUOT:
        return file_error::no_quota;
    case EOPNOTSUPP:
    case EISDIR:  // a kernel without files that have no name
        return file_error::unsupported;
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENOTDIR:
    case ETXTBSY:
        return file_error::refused;
    default:
        return file_error::failed;
    }
}

file_id id_of(const struct stat& status)
{
    return {.device = static_cast<std::uint64_t>(status.st_dev), .index = static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<struct stat> status_of(const file_handle& file)
{
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return std::nullopt;
    }
    return status;
}

std::optional<open_file> describe(file_handle handle)
{
    const auto status = handle ? status_of(handle) : std::nullopt;
    if (!status) {
        return std::nullopt;
    }
    return open_file{.handle = std::move(handle),
                     .id = id_of(*status),
                     .regular = S_ISREG(status->st_mode),
                     .size = static_cast<std::int64_t>(status->st_size)};
}

std::string proc_path(const file_handle& file)
{
    return "/proc/self/fd/" + std::to_string(file.get());
}

bool file_handle::close() noexcept
{
    if (handle_ < 0) {
        return true;
    }
    // After EINTR the descriptor is gone on Linux, so a retry could close another one.
    return ::close(std::exchange(handle_, -1)) == 0 || errno == EINTR;
}

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a peer comes.
    auto file = describe(open_owned(AT_FDCWD, name.c_str(), O_RDONLY | O_NONBLOCK));
    if (!file || !file->regular) {
        return std::nullopt;
    }
    return file;
}

std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    ssize_t count = 0;
    do {
        count = ::pread(file.handle.get(), bytes.data(), bytes.size(), offset);
    } while (count < 0 && errno == EINTR);
    return count;
}

file_error write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = file.regular ? ::pwrite(file.handle.get(), bytes.data(), bytes.size(), offset)
                                           : ::write(file.handle.get(), bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return count < 0 ? error_from(errno) : file_error::failed;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
        offset += count;
    }
    return file_error::none;
}

std::int64_t copy_in_system(const open_file& input, const open_file& output, std::int64_t offset, std::int64_t count)
{
    // In steps, each handed to the device as soon as it is copied, so that the flush at the
    // end finds little left to write.
    constexpr std::int64_t largest_step = std::int64_t{32} << 20;
    loff_t input_offset = offset;
    loff_t output_offset = offset;
    std::int64_t copied = 0;
    while (copied < count) {
        const auto step = static_cast<std::size_t>(std::min(count - copied, largest_step));
        const ssize_t done =
            ::copy_file_range(input.handle.get(), &input_offset, output.handle.get(), &output_offset, step, 0);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break;  // not supported here, an error or an early end: the caller's loop finds out which
        }
        (void)::sync_file_range(output.handle.get(), offset + copied, done, SYNC_FILE_RANGE_WRITE);
        copied += done;
    }
    return copied;
}

std::string printable_name(const std::filesystem::path& name)
{
    return name.native();
}

}  // namespace halvek
