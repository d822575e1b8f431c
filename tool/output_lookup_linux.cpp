// The look-up of an output name on Linux, one component at a time from an open folder, with
// the rules for shared folders; and the devices and FIFOs written in place.
#include "output_lookup_linux.hpp"

#include "system_files_linux.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace halvek {
namespace {

bool marked(const file_handle& file, std::uint64_t marks)
{
    struct statx status {};
    return ::statx(file.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &status) == 0 &&
           (status.stx_attributes & status.stx_attributes_mask & marks) != 0;
}

// Marks under which no name in a folder, or a file's own name, may be made or replaced.
constexpr std::uint64_t unreplaceable = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;

// A folder that others or the group may write in: there, another user could plant the name
// a run writes to.
bool written_by_others(const struct stat& folder)
{
    return (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether the file belongs to this user or to the folder's owner, who could have put it there.
bool owned_here(const struct stat& folder, const struct stat& found)
{
    return found.st_uid == ::geteuid() || found.st_uid == folder.st_uid;
}

// The system's own rules for shared sticky folders (fs.protected_symlinks, protected_regular=2
// and protected_fifos=2), kept whatever they are set to, for root as for anyone: a link is
// followed, and a file replaced, only when it is owned here.
bool may_use(const struct stat& folder, const struct stat& found)
{
    return (folder.st_mode & S_ISVTX) == 0 || !written_by_others(folder) || owned_here(folder, found);
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

// In a sticky folder only the file's owner, the folder's owner and root may move a file
// away from its name, so a move over it would fail for anyone else.
bool sticky_folder_allows_replacing(const struct stat& folder, const struct stat& file)
{
    const uid_t user = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || user == 0 || file.st_uid == user || folder.st_uid == user;
}

// Whether this process's user could write the file, from its mode alone: for a system that
// cannot be asked. An ACL is not read, so a named user or group is judged by the group class.
bool mode_allows_writing(const struct stat& file)
{
    const uid_t user = ::geteuid();
    if (user == 0 || file.st_uid == user) {
        return user == 0 || (file.st_mode & S_IWUSR) != 0;
    }
    std::array<gid_t, 256> groups{};
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    const bool member = file.st_gid == ::getegid() || (count > 0 && std::find(groups.begin(), groups.begin() + count,
                                                                              file.st_gid) != groups.begin() + count);
    return (file.st_mode & (member ? S_IWGRP : S_IWOTH)) != 0;
}

// Whether this process's user may write the file, as the system judges it. Before Linux 5.8
// (or under a filter that answers for the newer call) a check of a descriptor alone is not
// to be had: the older call is asked of the file through /proc, which judges by the real user
// (the same, unless the program was set-ID), and where that is not mounted, the mode is.
bool writable(const file_handle& file, const struct stat& status)
{
    if (::faccessat(file.get(), "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0) {
        return true;
    }
    if (const int cause = errno; cause != EINVAL && cause != ENOSYS && cause != EPERM) {
        return false;
    }
    if (::getuid() == ::geteuid() && ::getgid() == ::getegid()) {
        const std::string through = proc_path(file);
        if (::syscall(SYS_faccessat, AT_FDCWD, through.c_str(), W_OK) == 0) {
            return true;
        }
        if (errno != ENOENT) {
            return false;
        }
    }
    return mode_allows_writing(status);
}

// Whether the file found under the output name may be replaced (a regular file) or written
// (a device or a FIFO) by this run. In any folder others may write in, sticky or not, a
// device or FIFO not owned here is refused, as is a file with another name: another user may
// have put it there, to receive the image or to pass what it carries to the output.
file_error check_found(const output_target& target, const struct stat& found)
{
    const auto folder = status_of(target.folder);
    if (!folder || !may_use(*folder, found) ||
        (!S_ISREG(found.st_mode) && written_by_others(*folder) && !owned_here(*folder, found))) {
        return file_error::refused;
    }
    if (S_ISREG(found.st_mode) &&
        ((written_by_others(*folder) && found.st_nlink > 1) || !sticky_folder_allows_replacing(*folder, found) ||
         !writable(target.replaced, found) || marked(target.replaced, unreplaceable))) {
        return file_error::refused;
    }
    return file_error::none;
}

// Puts what a link leads to in front of the rest of the name; false where it may not be
// followed, or leads to a root that cannot be opened.
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
        return static_cast<bool>(folder);
    }
    return true;
}

// The name's last component: the file found there, if any, and the folder that must hold a
// new file beside it.
file_error record_last(output_target& target, file_handle folder, std::filesystem::path leaf, file_handle found)
{
    target.folder = std::move(folder);
    target.leaf = std::move(leaf);
    if (found) {
        if (const auto error = record_found(target, std::move(found)); error != file_error::none) {
            return error;
        }
    }
    return target.kind != target_kind::special && marked(target.folder, unreplaceable) ? file_error::refused
                                                                                       : file_error::none;
}

}  // namespace

file_error record_found(output_target& target, file_handle found)
{
    const auto status = status_of(found);
    if (!status || S_ISDIR(status->st_mode) || S_ISLNK(status->st_mode)) {
        return file_error::refused;
    }
    target.kind = S_ISREG(status->st_mode) ? target_kind::regular : target_kind::special;
    target.id = id_of(*status);
    target.replaced = std::move(found);
    target.leaf_holds_replaced = true;
    return check_found(target, *status);
}

// The name is followed one component at a time from an open folder, each opened without
// following a link and asked what it is only through what was opened, so that no later step
// looks a name up again and every link met is checked by the rules. A chain of more links
// than the system follows is refused, as the system refuses it.
file_error look_up_output(const std::filesystem::path& name, output_target& target)
{
    constexpr int most_links = 40;
    file_handle folder = open_owned(AT_FDCWD, name.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY);
    if (!folder) {
        return error_from(errno);
    }
    const auto relative = name.relative_path();
    std::deque<std::filesystem::path> rest(relative.begin(), relative.end());
    for (int links = 0; !rest.empty();) {
        auto part = std::move(rest.front());
        rest.pop_front();
        if (part.empty()) {
            continue;  // after a trailing slash: the name then names a folder, which is refused
        }
        file_handle found = open_owned(folder.get(), part.c_str(), O_PATH | O_NOFOLLOW);
        if (!found && (errno != ENOENT || !rest.empty())) {
            return error_from(errno);
        }
        const auto status = found ? status_of(found) : std::nullopt;
        if (status && S_ISLNK(status->st_mode)) {
            if (++links > most_links || !follow(found, *status, folder, rest)) {
                return file_error::refused;
            }
        } else if (rest.empty()) {
            return record_last(target, std::move(folder), std::move(part), std::move(found));
        } else if (status && S_ISDIR(status->st_mode)) {
            folder = std::move(found);
        } else {
            return file_error::refused;
        }
    }
    return file_error::refused;
}

file_error open_in_place(const output_target& target, open_file& file)
{
    // O_NONBLOCK refuses a FIFO without a reader at once rather than wait for one; with a
    // reader, the writes then wait for it as a stream's would. The file must be the one the
    // look-up found.
    file_handle handle = open_owned(target.folder.get(), target.leaf.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (!handle) {
        return error_from(errno);
    }
    auto opened = describe(std::move(handle));
    if (!opened) {
        return file_error::failed;
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

}  // namespace halvek
