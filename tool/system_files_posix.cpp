#include "system_files_posix.hpp"
#include "system_files.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

// Sizes and offsets of images past 2 GiB must survive a 32-bit build too.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace halvek {
namespace {

constexpr mode_t read_write_for_all = 0666;  // narrowed by the user's umask

file_id id_of(const struct stat& status)
{
    return {.device = static_cast<std::uint64_t>(status.st_dev), .index = static_cast<std::uint64_t>(status.st_ino)};
}

// Held for reading where this process may, so that it can be flushed; a folder it may write
// into and search, but not read (a drop box), is held all the same.
std::optional<folder> open_folder(int at, const std::filesystem::path& name)
{
    int descriptor = open_owned(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    const bool readable = descriptor >= 0;
    if (!readable && errno == EACCES) {
        descriptor = open_owned(at, name.c_str(), O_PATH | O_DIRECTORY);
    }
    if (descriptor < 0) {
        return std::nullopt;
    }
    return std::optional<folder>(std::in_place, descriptor, readable);
}

std::optional<std::filesystem::path> read_link(int at, const std::filesystem::path& name)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(at, name.c_str(), target.data(), target.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// In a sticky folder that others may write in, a link is followed only if it belongs to this
// user or to the folder's owner, or another user could choose which file a run replaces. The
// system has the same rule (fs.protected_symlinks), but it may be off, and it cannot apply to
// a link that leads nowhere yet.
bool may_follow(const folder& where, const struct stat& link)
{
    struct stat status {};
    if (::fstat(where.descriptor(), &status) != 0) {
        return false;
    }
    constexpr mode_t shared = S_ISVTX | S_IWOTH;
    return (status.st_mode & shared) != shared || link.st_uid == ::geteuid() || link.st_uid == status.st_uid;
}

// A sticky folder lets only the file's owner, its own owner and root take a file's name.
bool sticky_folder_allows_replacing(const folder& where, const struct stat& file)
{
    struct stat status {};
    if (::fstat(where.descriptor(), &status) != 0) {
        return false;
    }
    const uid_t user = ::geteuid();
    return (status.st_mode & S_ISVTX) == 0 || user == 0 || file.st_uid == user || status.st_uid == user;
}

// The ending signals, as sent by a person (Ctrl+C, Ctrl+\, a closed terminal) or by the
// system (a timer, a CPU limit, a termination request).
constexpr std::array ending_signals{SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                    SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// The staged name an interrupt removes, and the folder it stands in.
std::atomic<int> registered_folder{-1};
std::atomic<const char*> registered_name{nullptr};
// The signals blocked when the process started stay blocked after a hold.
sigset_t mask_at_start;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

sigset_t ending_signal_set()
{
    sigset_t set;
    ::sigemptyset(&set);
    for (const int signal_number : ending_signals) {
        ::sigaddset(&set, signal_number);
    }
    return set;
}

extern "C" void remove_staged_and_end(int signal_number)
{
    remove_registered_file();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    ::sigaction(signal_number, &default_action, nullptr);
    sigset_t own;
    ::sigemptyset(&own);
    ::sigaddset(&own, signal_number);
    ::sigprocmask(SIG_UNBLOCK, &own, nullptr);
    (void)::raise(signal_number);
    // Still here: the system drops a signal that the first process of a namespace sends
    // itself. End as a shell reports an end by that signal.
    ::_exit(128 + signal_number);
}

}  // namespace

int open_owned(int at, const char* name, int flags, mode_t mode)
{
    const int descriptor = ::openat(at, name, flags | O_CLOEXEC | O_NOCTTY, mode);
    if (descriptor < 0 || descriptor > STDERR_FILENO) {
        return descriptor;
    }
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(descriptor);
    return moved;
}

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a peer comes.
    const int descriptor = open_owned(AT_FDCWD, name.c_str(), O_RDONLY | O_NONBLOCK);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file || !file->regular) {
        ::close(descriptor);
        return std::nullopt;
    }
    return file;
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
        const ssize_t count = file.regular ? ::pwrite(file.descriptor, bytes.data(), bytes.size(), offset)
                                           : ::write(file.descriptor, bytes.data(), bytes.size());
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

bool flush_file(const open_file& file)
{
    return ::fsync(file.descriptor) == 0 || errno == EINVAL;  // EINVAL: a FIFO or a terminal
}

bool close_file(const open_file& file)
{
    // After EINTR the descriptor is gone on Linux, so a retry could close another one.
    return ::close(file.descriptor) == 0 || errno == EINTR;
}

folder::folder(folder&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), flushable_(other.flushable_)
{
}

folder& folder::operator=(folder&& other) noexcept
{
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
        flushable_ = other.flushable_;
    }
    return *this;
}

folder::~folder()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

namespace {

// The file a name leads to: the folder that holds it, held open, and its name there, with its
// status where it exists.
struct walked_name {
    folder where;
    std::filesystem::path leaf;
    std::optional<struct stat> status;
};

// The name is followed one component at a time, each folder on the way held open, so that no
// later step looks a name up again and every link met is checked by the rule above. A chain of
// more links than the system follows is refused, as the system refuses it.
std::optional<walked_name> walk(const std::filesystem::path& name)
{
    constexpr int most_links = 40;
    auto where = open_folder(AT_FDCWD, name.is_absolute() ? "/" : ".");
    const auto relative = name.relative_path();
    std::deque<std::filesystem::path> rest(relative.begin(), relative.end());
    struct stat status {};
    for (int links = 0; where && !rest.empty();) {
        auto part = std::move(rest.front());
        rest.pop_front();
        if (part.empty()) {
            continue;  // after a trailing slash: the name then names a folder, which is refused
        }
        if (::fstatat(where->descriptor(), part.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !rest.empty()) {
                return std::nullopt;
            }
            return walked_name{.where = std::move(*where), .leaf = std::move(part), .status = std::nullopt};
        }
        if (S_ISLNK(status.st_mode)) {
            const auto leads_to = read_link(where->descriptor(), part);
            if (++links > most_links || !leads_to || !may_follow(*where, status)) {
                return std::nullopt;
            }
            const auto onward = leads_to->relative_path();
            rest.insert(rest.begin(), onward.begin(), onward.end());
            if (leads_to->is_absolute()) {
                where = open_folder(AT_FDCWD, "/");
            }
        } else if (!rest.empty()) {
            where = open_folder(where->descriptor(), part);
        } else {
            return walked_name{.where = std::move(*where), .leaf = std::move(part), .status = status};
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<output_target> look_up_output(const std::filesystem::path& name)
{
    auto found = walk(name);
    if (!found) {
        return std::nullopt;
    }
    output_target target{.where = std::move(found->where), .leaf = std::move(found->leaf), .id = {}};
    if (!found->status) {
        return target;  // the output will be made there, under that name
    }
    const struct stat& status = *found->status;
    target.kind = S_ISREG(status.st_mode)   ? file_kind::regular
                  : S_ISDIR(status.st_mode) ? file_kind::directory
                                            : file_kind::other;
    target.id = id_of(status);
    target.freed_by_removal = status.st_nlink == 1 ? std::int64_t{status.st_blocks} * 512 : 0;
    if (target.kind == file_kind::regular &&
        (::faccessat(target.where.descriptor(), target.leaf.c_str(), W_OK, AT_EACCESS) != 0 ||
         !sticky_folder_allows_replacing(target.where, status) ||
         marked_unreplaceable(target.where.descriptor(), target.leaf.c_str()))) {
        return std::nullopt;
    }
    return target;
}

std::optional<open_file> open_in_place(const output_target& target)
{
    // O_NONBLOCK keeps the open of a FIFO without a reader from waiting; the writes then wait
    // for the reader as a stream's would.
    const int descriptor =
        open_owned(target.where.descriptor(), target.leaf.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (!file || file->id != target.id || flags < 0 ||
        ::fcntl(descriptor, F_SETFL, static_cast<unsigned>(flags) & ~static_cast<unsigned>(O_NONBLOCK)) != 0) {
        ::close(descriptor);
        return std::nullopt;
    }
    return file;
}

int create_new(const folder& where, const std::filesystem::path& leaf)
{
    return open_owned(where.descriptor(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL, read_write_for_all);
}

bool name_was_in_use() noexcept
{
    return errno == EEXIST;
}

std::int64_t free_space(const folder& where)
{
    struct statvfs status {};
    if (::fstatvfs(where.descriptor(), &status) != 0) {
        return std::numeric_limits<std::int64_t>::max();  // unknown: nothing is given up for room
    }
    return static_cast<std::int64_t>(status.f_bavail * status.f_frsize);
}

bool move_over(const folder& where, const std::filesystem::path& from, const std::filesystem::path& to)
{
    return ::renameat(where.descriptor(), from.c_str(), where.descriptor(), to.c_str()) == 0;
}

bool flush_folder(const folder& where)
{
    return !where.flushable() || ::fsync(where.descriptor()) == 0 || errno == EINVAL;  // EINVAL: nothing to flush here
}

bool remove_file(const folder& where, const std::filesystem::path& leaf) noexcept
{
    return ::unlinkat(where.descriptor(), leaf.c_str(), 0) == 0;
}

unsigned long process_number() noexcept
{
    return static_cast<unsigned long>(::getpid());
}

void remove_staged_file_on_interrupt() noexcept
{
    ::sigprocmask(SIG_BLOCK, nullptr, &mask_at_start);
    struct sigaction action {};
    action.sa_handler = remove_staged_and_end;
    action.sa_mask = ending_signal_set();  // one ending at a time
    for (const int signal_number : ending_signals) {
        struct sigaction current {};
        // A signal ignored from the start (as under nohup) stays ignored.
        if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            ::sigaction(signal_number, &action, nullptr);
        }
    }
    (void)::signal(SIGPIPE, SIG_IGN);
    (void)::signal(SIGXFSZ, SIG_IGN);
}

interrupts_held::interrupts_held() noexcept
{
    const sigset_t ending = ending_signal_set();
    ::sigprocmask(SIG_BLOCK, &ending, nullptr);
}

interrupts_held::~interrupts_held()
{
    ::sigprocmask(SIG_SETMASK, &mask_at_start, nullptr);
}

void remove_on_interrupt(const folder& where, const std::filesystem::path& leaf) noexcept
{
    registered_folder.store(where.descriptor());
    registered_name.store(leaf.c_str());
}

void withdraw_from_interrupt() noexcept
{
    registered_name.store(nullptr);
}

void remove_registered_file() noexcept
{
    if (const char* name = registered_name.load()) {
        ::unlinkat(registered_folder.load(), name, 0);
    }
}

std::string printable_name(const std::filesystem::path& name)
{
    return name.native();
}

}  // namespace halvek
