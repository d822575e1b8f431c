// Files on Linux: the run's reads and writes, the staging of outputs through held folder
// descriptors, and the signals that end the process.
#include "interrupts.hpp"
#include "staging.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

// Sizes and offsets of images past 2 GiB must survive a 32-bit build too.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace halvek {
namespace {

constexpr mode_t private_mode = 0600;
constexpr mode_t plain_new_mode = 0666;  // what a plain create asks for, before the umask or a default ACL
constexpr const char* access_acl = "system.posix_acl_access";
constexpr const char* default_acl = "system.posix_acl_default";

// Every open goes through here, relative to `at` as openat takes it. A file never takes the
// place of a standard stream, even a closed one: console text written there would land in it.
file_handle open_owned(int at, const char* name, int flags, mode_t mode = 0)
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

file_error error_from_errno()
{
    switch (errno) {
    case EEXIST:
        return file_error::name_taken;
    case ENOSPC:
    case EDQUOT:
        return file_error::no_room;
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
    const auto status = status_of(handle);
    if (!status) {
        return std::nullopt;
    }
    return open_file{.handle = std::move(handle),
                     .id = id_of(*status),
                     .regular = S_ISREG(status->st_mode),
                     .size = static_cast<std::int64_t>(status->st_size)};
}

// A held file or folder by a name that leads to it and nowhere else, for the calls that take
// no descriptor of the kind held (attributes, a second open): no name is looked up again.
std::string held_name(const file_handle& file)
{
    return "/proc/self/fd/" + std::to_string(file.get());
}

// Whether the last attribute call failed only because there is no such attribute, or the
// file system keeps none.
bool no_such_attribute()
{
    return errno == ENODATA || errno == EOPNOTSUPP;
}

// What an extended attribute call gives (a value, or the NUL-separated names), asked first
// for its length; nothing where there is none, and `unread` set where it could not be told.
template <typename Call> std::optional<std::string> attribute_text(Call call, bool& unread)
{
    for (;;) {
        const ssize_t length = call(nullptr, 0);
        if (length >= 0) {
            std::string text(static_cast<std::size_t>(length), '\0');
            const ssize_t read = call(text.data(), text.size());
            if (read >= 0) {
                text.resize(static_cast<std::size_t>(read));
                return text;
            }
        }
        if (errno != ERANGE) {  // ERANGE: it grew meanwhile
            unread = unread || !no_such_attribute();
            return std::nullopt;
        }
    }
}

// An extended attribute's value, or nothing where the file has none of that name.
std::optional<std::string> attribute(const file_handle& file, const char* name, bool& unread)
{
    const std::string through = held_name(file);
    return attribute_text([&](char* value, std::size_t size) { return ::getxattr(through.c_str(), name, value, size); },
                          unread);
}

bool marked(const file_handle& file, std::uint64_t marks)
{
    struct statx status {};
    return ::statx(file.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &status) == 0 &&
           (status.stx_attributes & status.stx_attributes_mask & marks) != 0;
}

// Marks under which no name in a folder, or a file's own name, may be taken or replaced.
constexpr std::uint64_t unreplaceable = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;

// A sticky folder that others or the group may write in: there, another user could plant
// the name a run writes to.
bool shared(const struct stat& folder)
{
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The system's own rules for shared folders (fs.protected_symlinks, protected_regular=2 and
// protected_fifos=2), kept whatever they are set to, for root as for anyone: a link is
// followed, and a file replaced, only when it belongs to this user or to the folder's owner.
bool may_use(const struct stat& folder, const struct stat& found)
{
    return !shared(folder) || found.st_uid == ::geteuid() || found.st_uid == folder.st_uid;
}

std::optional<std::filesystem::path> read_link(const file_handle& link)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(link.get(), "", target.data(), target.size());
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

// In a sticky folder only the file's owner, the folder's owner and root may take a file's
// name, so a move over it would fail for anyone else.
bool sticky_folder_allows_replacing(const struct stat& folder, const struct stat& file)
{
    const uid_t user = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || user == 0 || file.st_uid == user || folder.st_uid == user;
}

// Whether the file found under the output name may be replaced (a regular file) or written
// (a device or a FIFO) by this run.
file_error check_found(const output_target& target, const struct stat& found)
{
    const auto folder = status_of(target.folder);
    if (!folder || !may_use(*folder, found)) {
        return file_error::refused;
    }
    if (S_ISREG(found.st_mode) && (!sticky_folder_allows_replacing(*folder, found) ||
                                   ::faccessat(target.replaced.get(), "", W_OK, AT_EACCESS | AT_EMPTY_PATH) != 0 ||
                                   marked(target.replaced, unreplaceable))) {
        return file_error::refused;
    }
    return file_error::none;
}

// Takes the file now under the target's name as the one to replace.
file_error take_found(output_target& target, file_handle found)
{
    const auto status = status_of(found);
    if (!status || S_ISDIR(status->st_mode) || S_ISLNK(status->st_mode)) {
        return file_error::refused;
    }
    target.kind = S_ISREG(status->st_mode) ? target_kind::regular : target_kind::special;
    target.id = id_of(*status);
    target.replaced = std::move(found);
    target.name_taken = true;
    return check_found(target, *status);
}

}  // namespace

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
            return count < 0 ? error_from_errno() : file_error::failed;
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

namespace {

// Puts what a link leads to in front of the rest of the name; false where it may not be
// followed.
bool follow(const file_handle& link, const struct stat& status, file_handle& folder,
            std::deque<std::filesystem::path>& rest)
{
    const auto leads_to = read_link(link);
    const auto folder_status = status_of(folder);
    if (!leads_to || !folder_status || !may_use(*folder_status, status)) {
        return false;
    }
    const auto onward = leads_to->relative_path();
    rest.insert(rest.begin(), onward.begin(), onward.end());
    if (leads_to->is_absolute()) {
        folder = open_owned(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
    }
    return true;
}

// The name's last component: the file found there, if any, and the folder that must take a
// new file beside it.
file_error take_last(output_target& target, file_handle folder, std::filesystem::path leaf, file_handle found)
{
    target.folder = std::move(folder);
    target.leaf = std::move(leaf);
    if (found) {
        if (const auto error = take_found(target, std::move(found)); error != file_error::none) {
            return error;
        }
    }
    return target.kind != target_kind::special && marked(target.folder, unreplaceable) ? file_error::refused
                                                                                       : file_error::none;
}

}  // namespace

// The name is followed one component at a time from a held folder, each opened without
// following a link and asked what it is only through what was opened, so that no later step
// looks a name up again and every link met is checked by the rules. A chain of more links
// than the system follows is refused, as the system refuses it.
file_error look_up_output(const std::filesystem::path& name, output_target& target)
{
    constexpr int most_links = 40;
    file_handle folder = open_owned(AT_FDCWD, name.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY);
    const auto relative = name.relative_path();
    std::deque<std::filesystem::path> rest(relative.begin(), relative.end());
    for (int links = 0; folder && !rest.empty();) {
        auto part = std::move(rest.front());
        rest.pop_front();
        if (part.empty()) {
            continue;  // after a trailing slash: the name then names a folder, which is refused
        }
        file_handle found = open_owned(folder.get(), part.c_str(), O_PATH | O_NOFOLLOW);
        if (!found && (errno != ENOENT || !rest.empty())) {
            return error_from_errno();
        }
        const auto status = found ? status_of(found) : std::nullopt;
        if (status && S_ISLNK(status->st_mode)) {
            if (++links > most_links || !follow(found, *status, folder, rest)) {
                return file_error::refused;
            }
        } else if (rest.empty()) {
            return take_last(target, std::move(folder), std::move(part), std::move(found));
        } else if (status && S_ISDIR(status->st_mode)) {
            folder = std::move(found);
        } else {
            return file_error::refused;
        }
    }
    return folder ? file_error::refused : error_from_errno();
}

file_error open_in_place(const output_target& target, open_file& file)
{
    // O_NONBLOCK refuses a FIFO without a reader at once rather than wait for one; with a
    // reader, the writes then wait for it as a stream's would. The file must be the one the
    // look-up found.
    auto opened = describe(open_owned(target.folder.get(), target.leaf.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW));
    if (!opened) {
        return error_from_errno();
    }
    const int flags = ::fcntl(opened->handle.get(), F_GETFL);
    if (opened->id != target.id || flags < 0 ||
        ::fcntl(opened->handle.get(), F_SETFL, static_cast<unsigned>(flags) & ~static_cast<unsigned>(O_NONBLOCK)) !=
            0) {
        return file_error::refused;
    }
    file = std::move(*opened);
    return file_error::none;
}

bool flush_in_place(const open_file& file)
{
    return ::fsync(file.handle.get()) == 0 || errno == EINVAL;  // EINVAL: a FIFO or a terminal
}

namespace {

// Staged names are `.halvek-<process>-<n>.tmp` beside the final name; a name taken by another
// run is passed over. `make` creates a file under the name, or fails with errno set.
template <typename Make> file_error take_staged_name(const output_target& target, staged_name& name, Make make)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::filesystem::path leaf = ".halvek-" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        const interrupts_held held;
        if (make(leaf)) {
            name.take(target.folder.get(), std::move(leaf));
            return file_error::none;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return error_from_errno();
}

// Gives an unnamed file a name. Through /proc anyone may; the direct way needs a privilege,
// but works where /proc is not mounted.
bool link_unnamed(const open_file& file, const file_handle& folder, const std::filesystem::path& leaf)
{
    return ::linkat(AT_FDCWD, held_name(file.handle).c_str(), folder.get(), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && ::linkat(file.handle.get(), "", folder.get(), leaf.c_str(), AT_EMPTY_PATH) == 0);
}

// The replaced file's cached pages are given up before the new one is written, so that the
// new file can reuse that memory. Its content stays.
void release_cached_pages(const file_handle& replaced)
{
    const file_handle readable = open_owned(AT_FDCWD, held_name(replaced).c_str(), O_RDONLY | O_NONBLOCK);
    if (readable) {
        (void)::posix_fadvise(readable.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
}

// What `cp -p` and `rsync -AX` keep: owner, group, mode, the ACL and the user's own attributes;
// nothing where any of them could not be read. Security labels are the system's to give.
std::optional<carried_attributes> read_carried(const file_handle& replaced)
{
    const auto status = status_of(replaced);
    if (!status) {
        return std::nullopt;
    }
    bool unread = false;
    carried_attributes carried{
        .status = *status, .acl = attribute(replaced, access_acl, unread), .user_attributes = {}};
    const std::string through = held_name(replaced);
    const std::string names =
        attribute_text([&](char* list, std::size_t size) { return ::listxattr(through.c_str(), list, size); }, unread)
            .value_or("");
    for (std::size_t begin = 0; begin < names.size();) {
        std::string name = names.c_str() + begin;  // NUL-separated
        begin += name.size() + 1;
        if (!name.starts_with("user.")) {
            continue;
        }
        // The user's attributes of a file its owner may not read stay unread, as for `cp -p`.
        bool denied = false;
        if (auto value = attribute(replaced, name.c_str(), denied)) {
            carried.user_attributes.emplace_back(std::move(name), std::move(*value));
        } else if (denied && errno != EACCES && errno != EPERM) {
            unread = true;
        }
    }
    if (unread) {
        return std::nullopt;
    }
    return carried;
}

// The owner and group first, as a change of owner clears the set-user-ID and set-group-ID
// bits. Those pass only with the owner or group they were set for, and only from a file with
// no other name, which another user could have linked to any set-ID program. A group that
// cannot be kept takes none of the old group's rights. Then the ACL (exactly, or none), the
// mode, which also sets the ACL's mask to what it was, and the user's attributes. False where
// any of them could not be given.
bool give_carried(const carried_attributes& carried, const file_handle& file)
{
    const auto& old = carried.status;
    const bool group_kept = ::fchown(file.get(), old.st_uid, old.st_gid) == 0;
    const bool owner_kept = group_kept || ::fchown(file.get(), old.st_uid, static_cast<gid_t>(-1)) == 0;
    const bool one_name = old.st_nlink <= 1;
    const mode_t kept_bits = 0707U | S_ISVTX | (group_kept ? 0070U : 0U) | (owner_kept && one_name ? S_ISUID : 0U) |
                             (group_kept && one_name ? S_ISGID : 0U);
    const bool acl_given = carried.acl
                               ? ::fsetxattr(file.get(), access_acl, carried.acl->data(), carried.acl->size(), 0) == 0
                               : ::fremovexattr(file.get(), access_acl) == 0 || no_such_attribute();
    if (!acl_given || ::fchmod(file.get(), old.st_mode & kept_bits) != 0) {
        return false;
    }
    return std::ranges::all_of(carried.user_attributes, [&](const auto& attribute) {
        return ::fsetxattr(file.get(), attribute.first.c_str(), attribute.second.data(), attribute.second.size(), 0) ==
               0;
    });
}

// An ACL in the system's encoding: a 4-byte version, then entries of a 2-byte tag, 2-byte
// permissions and a 4-byte id, all little-endian.
constexpr std::size_t acl_header_size = 4;
constexpr std::size_t acl_entry_size = 8;
enum acl_tag : unsigned { owner_entry = 0x01, group_entry = 0x04, mask_entry = 0x10, other_entry = 0x20 };

// What a plain create gives a new file: the folder's default ACL narrowed by the mode a create
// asks for (read and write for each class), or, without one, that mode less the umask. False
// where that could not be read or given.
bool give_new_file_attributes(const file_handle& folder, const file_handle& file)
{
    bool unread = false;
    std::string acl = attribute(folder, default_acl, unread).value_or("");
    if (unread) {
        return false;
    }
    if (acl.size() <= acl_header_size || (acl.size() - acl_header_size) % acl_entry_size != 0) {
        const mode_t umask = ::umask(0);
        ::umask(umask);
        return ::fchmod(file.get(), plain_new_mode & ~umask) == 0;
    }
    const auto tag_at = [&](std::size_t entry) {
        return static_cast<unsigned>(static_cast<unsigned char>(acl[entry])) |
               static_cast<unsigned>(static_cast<unsigned char>(acl[entry + 1])) << 8U;
    };
    bool has_mask = false;
    for (std::size_t entry = acl_header_size; entry < acl.size(); entry += acl_entry_size) {
        has_mask = has_mask || tag_at(entry) == mask_entry;
    }
    // The group class is the mask where there is one, the owning group where there is not.
    const unsigned group_class = has_mask ? mask_entry : group_entry;
    constexpr unsigned read_write = 06;
    for (std::size_t entry = acl_header_size; entry < acl.size(); entry += acl_entry_size) {
        const unsigned tag = tag_at(entry);
        if (tag == owner_entry || tag == group_class || tag == other_entry) {
            acl[entry + 2] = static_cast<char>(static_cast<unsigned char>(acl[entry + 2]) & read_write);
        }
    }
    return ::fsetxattr(file.get(), access_acl, acl.data(), acl.size(), 0) == 0;
}

// Hands the folder's entries to the device. The new file is whole under its name whatever
// this flush says: a failure only leaves the system to write the folder back in its own time.
void flush_folder(const file_handle& folder)
{
    // The folder is held for its path alone; a readable one can be flushed. One that cannot be
    // read (a drop box) is not, as a write in place would not have flushed it either.
    const file_handle readable = open_owned(folder.get(), ".", O_RDONLY | O_DIRECTORY);
    if (readable) {
        (void)::fsync(readable.get());
    }
}

}  // namespace

file_error create_staged(const output_target& target, open_file& file, staged_name& name)
{
    // Without a name the file cannot be left behind, whatever ends the run. Either way it is
    // its maker's alone, without the ACL the folder's default would give it.
    file_handle created = open_owned(target.folder.get(), ".", O_TMPFILE | O_WRONLY, private_mode);
    if (!created && error_from_errno() == file_error::unsupported) {
        const auto error = take_staged_name(target, name, [&](const std::filesystem::path& leaf) {
            created =
                open_owned(target.folder.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, private_mode);
            return static_cast<bool>(created);
        });
        if (error != file_error::none) {
            return error;
        }
    }
    if (!created) {
        return error_from_errno();
    }
    if (::fremovexattr(created.get(), access_acl) != 0 && !no_such_attribute()) {
        return file_error::failed;
    }
    auto described = describe(std::move(created));
    if (!described) {
        return file_error::failed;
    }
    file = std::move(*described);
    if (target.kind == target_kind::regular) {
        release_cached_pages(target.replaced);
    }
    return file_error::none;
}

namespace {

// Calls `found` with each entry of the folder until it says yes. A folder that is gone (that
// of a process that ended) or not this user's to read counts as a no; any other failure to
// look (no descriptor left, say) as a yes, since nothing may be concluded from it.
template <typename Found> bool any_entry(const std::filesystem::path& folder, Found found)
{
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (found(entry->path())) {
            return true;
        }
    }
    const int cause = error.value();
    return error && cause != ENOENT && cause != ESRCH && cause != EACCES && cause != EPERM;
}

// Whether a process other than this one has the file open or mapped, as far as this process
// may look: then removing its name gives nothing back.
bool held_elsewhere(const file_id& id)
{
    if (::access("/proc/self/fd", F_OK) != 0) {
        return true;  // no way to look: nothing may be concluded
    }
    const std::string own = std::to_string(::getpid());
    const auto is_the_file = [&](const std::filesystem::path& entry) {
        struct stat status {};
        return ::stat(entry.c_str(), &status) == 0 && id_of(status) == id;
    };
    return any_entry("/proc", [&](const std::filesystem::path& process) {
        const std::string pid = process.filename();
        // Each thread may have a table of its own, and its process's may be gone with its first
        // thread.
        return pid != own && pid.find_first_not_of("0123456789") == std::string::npos &&
               (any_entry(process / "task",
                          [&](const std::filesystem::path& task) { return any_entry(task / "fd", is_the_file); }) ||
                any_entry(process / "map_files", is_the_file));
    });
}

}  // namespace

file_error make_room(output_target& target, const open_file& file, std::int64_t size)
{
    const auto replaced = target.name_taken ? status_of(target.replaced) : std::nullopt;
    const auto staged = status_of(file.handle);
    constexpr std::int64_t block = 512;  // the unit of st_blocks
    // What the copy could take before it ran out is what it can take again once the staged
    // file is emptied, whether the device or a quota ran out; the old file adds its blocks
    // only where no other name and no other process keeps them.
    struct stat now {};
    if (!replaced || !staged || replaced->st_nlink != 1 ||
        (std::int64_t{staged->st_blocks} + std::int64_t{replaced->st_blocks}) * block < size ||
        ::fstatat(target.folder.get(), target.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        id_of(now) != target.id || held_elsewhere(target.id) || ::ftruncate(file.handle.get(), 0) != 0) {
        return file_error::no_room;
    }
    // Its attributes still pass to the new file; held open here, it would keep its blocks.
    target.carried = read_carried(target.replaced);
    if (!target.carried) {
        return file_error::failed;
    }
    (void)target.replaced.close();
    if (::unlinkat(target.folder.get(), target.leaf.c_str(), 0) != 0) {
        return file_error::no_room;
    }
    target.name_taken = false;
    flush_folder(target.folder);
    return file_error::none;
}

namespace {

// Where the name was free at the look-up and a file has come there since (another run on the
// same image, say), that file is replaced as on a re-run, by the same rules.
file_error take_newcomer(output_target& target)
{
    if (target.name_taken) {
        return file_error::none;
    }
    file_handle found = open_owned(target.folder.get(), target.leaf.c_str(), O_PATH | O_NOFOLLOW);
    if (!found) {
        return file_error::none;
    }
    const auto error = take_found(target, std::move(found));
    return error == file_error::none && target.kind == target_kind::regular ? file_error::none : file_error::refused;
}

// False where what the file must carry could not be given to it.
bool give_attributes(output_target& target, const file_handle& file)
{
    // Attributes are read through /proc; where it is not mounted (a bare chroot), the file
    // stays its maker's alone rather than take less than its ACLs would have allowed.
    if (::access(held_name(file).c_str(), F_OK) != 0) {
        return errno == ENOENT;
    }
    if (target.replaced) {
        target.carried = read_carried(target.replaced);
        if (!target.carried) {
            return false;
        }
    }
    return target.carried ? give_carried(*target.carried, file) : give_new_file_attributes(target.folder, file);
}

// A new file without a name takes a free final name directly: nothing can be left behind.
// name_taken where another file came there first.
file_error link_as_final(const output_target& target, open_file& file)
{
    if (!link_unnamed(file, target.folder, target.leaf)) {
        return error_from_errno();
    }
    const bool closed = file.handle.close();
    if (!closed) {
        (void)::unlinkat(target.folder.get(), target.leaf.c_str(), 0);
    }
    flush_folder(target.folder);
    return closed ? file_error::none : file_error::failed;
}

}  // namespace

file_error place(output_target& target, open_file& file, staged_name& name)
{
    if (::fsync(file.handle.get()) != 0) {
        return error_from_errno();
    }
    for (int look = 0;; ++look) {
        if (const auto error = take_newcomer(target); error != file_error::none) {
            return error;
        }
        if (!give_attributes(target, file.handle)) {
            return file_error::failed;
        }
        if (target.name_taken || !name.empty()) {
            break;
        }
        if (const auto error = link_as_final(target, file); error != file_error::name_taken || look > 0) {
            return error;
        }
    }
    if (name.empty()) {
        if (const auto error = take_staged_name(
                target, name,
                [&](const std::filesystem::path& leaf) { return link_unnamed(file, target.folder, leaf); });
            error != file_error::none) {
            return error;
        }
    }
    if (!file.handle.close() ||
        ::renameat(target.folder.get(), name.leaf().c_str(), target.folder.get(), target.leaf.c_str()) != 0) {
        return error_from_errno();  // the staged name goes with `name`
    }
    name.forget();
    flush_folder(target.folder);
    return file_error::none;
}

// Interrupts.
namespace {

// Every signal whose default is to end the process, but those the run turns into failed
// writes (SIGPIPE, SIGXFSZ) and those no handler can catch.
bool ends_the_process(int signal_number)
{
    constexpr std::array others{SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG, SIGWINCH,
                                SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGXFSZ};
    return std::ranges::find(others, signal_number) == others.end();
}

sigset_t ending_signals()
{
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        if (ends_the_process(signal_number)) {
            ::sigaddset(&set, signal_number);
        }
    }
    return set;
}

extern "C" void remove_staged_and_end(int signal_number)
{
    staged_name::remove_all();
    // Then the signal's own ending, a core dump included where that is its default.
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

void remove_staged_names_on_interrupt() noexcept
{
    struct sigaction action {};
    action.sa_handler = remove_staged_and_end;
    action.sa_mask = ending_signals();  // one ending at a time
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        struct sigaction current {};
        // A signal ignored from the start (as under nohup) stays ignored. The C library keeps
        // a few real-time signals for itself and refuses them here.
        if (ends_the_process(signal_number) && ::sigaction(signal_number, nullptr, &current) == 0 &&
            current.sa_handler != SIG_IGN) {
            (void)::sigaction(signal_number, &action, nullptr);
        }
    }
    (void)::signal(SIGPIPE, SIG_IGN);
    (void)::signal(SIGXFSZ, SIG_IGN);
}

interrupts_held::interrupts_held() noexcept
{
    const sigset_t ending = ending_signals();
    ::sigprocmask(SIG_BLOCK, &ending, &found_);
}

interrupts_held::~interrupts_held()
{
    ::sigprocmask(SIG_SETMASK, &found_, nullptr);
}

bool staged_name::remove_name(native_handle by, const std::filesystem::path& leaf) noexcept
{
    return ::unlinkat(by, leaf.c_str(), 0) == 0;
}

}  // namespace halvek
