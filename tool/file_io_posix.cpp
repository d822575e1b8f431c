#include "file_io.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Sizes and offsets of images past 2 GiB must survive a 32-bit build too.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace halvek {
namespace {

constexpr mode_t read_write_for_all = 0666;  // narrowed by the user's umask

// Every open of the run goes through here. A file must never take the place of a
// standard stream, even a closed one: console text written there would land in the file.
int open_owned(const char* name, int flags, mode_t mode = 0)
{
    const int descriptor = ::open(name, flags | O_CLOEXEC | O_NOCTTY, mode);
    if (descriptor < 0 || descriptor > STDERR_FILENO) {
        return descriptor;
    }
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(descriptor);
    return moved;
}

file_id id_of(const struct stat& status)
{
    return {.device = static_cast<std::uint64_t>(status.st_dev), .index = static_cast<std::uint64_t>(status.st_ino)};
}

// Follows symbolic links from the name to the name of the file they lead to, which need
// not exist yet, as a write through the link would create it.
std::filesystem::path resolve_links(std::filesystem::path name)
{
    constexpr int most_links = 40;  // as the kernel's own limit; past it the later look-up fails
    for (int followed = 0; followed < most_links; ++followed) {
        std::error_code not_a_link;
        const auto target = std::filesystem::read_symlink(name, not_a_link);
        if (not_a_link) {
            break;
        }
        name = target.is_absolute() ? target : name.parent_path() / target;
    }
    return name;
}

std::filesystem::path folder_of(const std::filesystem::path& name)
{
    return name.has_parent_path() ? name.parent_path() : std::filesystem::path(".");
}

// Names a file made without one. Through /proc anyone may; the direct way needs a
// privilege, but works where /proc is not mounted.
bool link_nameless(int descriptor, const std::filesystem::path& name)
{
    const std::string through_proc = "/proc/self/fd/" + std::to_string(descriptor);
    return ::linkat(AT_FDCWD, through_proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && ::linkat(descriptor, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0);
}

// The file about to be replaced keeps its cached pages until the new one takes its name.
// Giving them up first lets the new file reuse that memory instead of claiming as much
// again, which on some machines costs more than the copy itself. Its content stays.
void release_cached_pages(const std::filesystem::path& name)
{
    const int descriptor = open_owned(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (descriptor >= 0) {
        (void)::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
        ::close(descriptor);
    }
}

bool flush_folder(const std::filesystem::path& folder)
{
    const int descriptor = open_owned(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (descriptor < 0) {
        return false;
    }
    const bool flushed = ::fsync(descriptor) == 0 || errno == EINVAL;  // EINVAL: nothing to flush here
    ::close(descriptor);
    return flushed;
}

// Set while a staged file has a name, for the interrupt handler to remove.
std::atomic<const char*> name_to_remove{nullptr};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

extern "C" void remove_staged_and_end(int signal_number)
{
    if (const char* name = name_to_remove.load()) {
        ::unlink(name);
    }
    (void)::raise(signal_number);  // the handler was reset on entry: the process ends by this signal
}

}  // namespace

int open_descriptor(const std::filesystem::path& name, open_mode mode)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a peer comes.
    return open_owned(name.c_str(), (mode == open_mode::read ? O_RDONLY : O_WRONLY) | O_NONBLOCK);
}

std::optional<open_file> describe(int descriptor)
{
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return std::nullopt;
    }
    return open_file{
        .descriptor = descriptor,
        .id = id_of(status),
        .regular = S_ISREG(status.st_mode),
        .size = static_cast<std::int64_t>(status.st_size),
    };
}

std::optional<output_target> look_up_output(const std::filesystem::path& name)
{
    output_target target;
    target.name = resolve_links(name);
    struct stat status {};
    if (::stat(target.name.c_str(), &status) != 0) {
        return errno == ENOENT ? std::optional(target) : std::nullopt;
    }
    target.kind = S_ISREG(status.st_mode)   ? file_kind::regular
                  : S_ISDIR(status.st_mode) ? file_kind::directory
                                            : file_kind::other;
    target.id = id_of(status);
    target.permissions = status.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
    if (target.kind == file_kind::regular && ::faccessat(AT_FDCWD, target.name.c_str(), W_OK, AT_EACCESS) != 0) {
        return std::nullopt;
    }
    return target;
}

int create_staged(const output_target& target, std::filesystem::path& staged_name)
{
    const auto folder = folder_of(target.name);
    // A file with no name cannot be left behind, whatever ends the run.
    int descriptor = open_owned(folder.c_str(), O_TMPFILE | O_WRONLY, read_write_for_all);
    if (descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {  // not on this file system or kernel
        (void)take_fresh_name(folder, staged_name, [&](const std::filesystem::path& name) {
            descriptor = open_owned(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, read_write_for_all);
            return descriptor >= 0;
        });
    }
    // As a write in place would have kept them, where the file system can. Only the
    // permission bits: a set-user-ID bit must not pass to a file of another owner.
    if (descriptor >= 0 && target.kind == file_kind::regular) {
        (void)::fchmod(descriptor, target.permissions);
        release_cached_pages(target.name);
    }
    return descriptor;
}

bool put_in_place(const open_file& file, std::filesystem::path& staged_name, const std::filesystem::path& final_name)
{
    const auto folder = folder_of(final_name);
    bool placed = ::fsync(file.descriptor) == 0 &&
                  (!staged_name.empty() || take_fresh_name(folder, staged_name, [&](const std::filesystem::path& name) {
                      return link_nameless(file.descriptor, name);
                  }));
    placed = close_file(file) && placed;
    if (!placed || ::rename(staged_name.c_str(), final_name.c_str()) != 0) {
        return false;
    }
    forget_staged_name(staged_name);
    return flush_folder(folder);
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
    // In steps, each handed to the device as soon as it is copied, so that the flush at the
    // end finds little left to write.
    constexpr std::int64_t largest_step = std::int64_t{32} << 20;
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
        (void)::sync_file_range(output.descriptor, offset + copied, done, SYNC_FILE_RANGE_WRITE);
        copied += done;
    }
    return copied;
}

bool close_file(const open_file& file)
{
    // After EINTR the descriptor is gone on Linux, so a retry could close another one.
    return ::close(file.descriptor) == 0 || errno == EINTR;
}

bool remove_file(const std::filesystem::path& name) noexcept
{
    return ::unlink(name.c_str()) == 0;
}

void remove_on_interrupt(const std::filesystem::path* name) noexcept
{
    name_to_remove.store(name == nullptr ? nullptr : name->c_str());
}

unsigned long process_number() noexcept
{
    return static_cast<unsigned long>(::getpid());
}

bool name_was_in_use() noexcept
{
    return errno == EEXIST;
}

void remove_staged_files_on_interrupt() noexcept
{
    struct sigaction action {};
    action.sa_handler = remove_staged_and_end;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    const std::array interrupts{SIGINT, SIGTERM, SIGHUP};
    ::sigemptyset(&action.sa_mask);
    for (const int signal_number : interrupts) {
        ::sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : interrupts) {
        struct sigaction current {};
        // A signal ignored from the start (as under nohup) stays ignored.
        if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            ::sigaction(signal_number, &action, nullptr);
        }
    }
    (void)::signal(SIGPIPE, SIG_IGN);
    (void)::signal(SIGXFSZ, SIG_IGN);
}

std::string printable_name(const std::filesystem::path& name)
{
    return name.native();
}

}  // namespace halvek
