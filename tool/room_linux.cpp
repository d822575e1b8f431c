// Room on Linux: after a copy beside the old file ran out of room, the old file goes where
// that gives the room back, and only then.
#include "attributes_linux.hpp"
#include "interrupts.hpp"
#include "staging.hpp"
#include "staging_linux.hpp"
#include "system_files_linux.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace halvek {
namespace {

// Where a quota ran out, whether the old file's blocks count against it: the old file's owner
// and group are the new file's. (Its blocks count against a full device whoever owns it.)
bool gives_back_quota(const struct stat& replaced, const output_target& target, const open_file& file)
{
    uid_t owner = ::geteuid();
    gid_t group = ::getegid();
    if (const auto staged = file.handle ? status_of(file.handle) : std::nullopt) {
        owner = staged->st_uid;
        group = staged->st_gid;
    } else if (const auto folder = status_of(target.folder); folder && (folder->st_mode & S_ISGID) != 0) {
        group = folder->st_gid;
    }
    return replaced.st_uid == owner && replaced.st_gid == group;
}

// The bytes of the device free to this user; 0 where that cannot be told.
std::int64_t free_on_device(const file_handle& folder)
{
    struct statvfs device {};
    if (::fstatvfs(folder.get(), &device) != 0 || device.f_frsize == 0) {
        return 0;
    }
    const auto most_blocks = static_cast<unsigned long long>(INT64_MAX / 2) / device.f_frsize;
    return static_cast<std::int64_t>(std::min<unsigned long long>(device.f_bavail, most_blocks) * device.f_frsize);
}

// The header of the system's extent map, without the open-ended array of extents that
// follows it.
struct extent_map_head {
    std::uint64_t start;
    std::uint64_t length;
    std::uint32_t flags;
    std::uint32_t mapped_extents;
    std::uint32_t extent_count;
    std::uint32_t reserved;
};
static_assert(sizeof(extent_map_head) == sizeof(struct fiemap) &&
              offsetof(extent_map_head, mapped_extents) == offsetof(struct fiemap, fm_mapped_extents) &&
              offsetof(extent_map_head, extent_count) == offsetof(struct fiemap, fm_extent_count));

// The bytes the removal of the file would give back: those of its extents that no other file
// shares (a reflinked copy, a snapshot), no more than its blocks. Where its file system cannot
// tell which extents are shared, none of them are: its blocks.
std::int64_t freed_by_removal(const file_handle& file, const struct stat& status)
{
    constexpr std::int64_t block = 512;  // the unit of st_blocks
    const std::int64_t blocks = std::int64_t{status.st_blocks} * block;
    // The system's map: a header, then up to a batch of extents, copied in and out of an
    // aligned buffer.
    constexpr std::uint32_t batch = 64;
    alignas(struct fiemap_extent) std::array<std::byte, sizeof(struct fiemap) + batch * sizeof(struct fiemap_extent)>
        map{};
    std::int64_t unshared = 0;
    for (std::uint64_t start = 0;;) {
        extent_map_head head{.start = start,
                             .length = FIEMAP_MAX_OFFSET - start,
                             .flags = FIEMAP_FLAG_SYNC,  // delayed allocations get their blocks first
                             .mapped_extents = 0,
                             .extent_count = batch,
                             .reserved = 0};
        std::memcpy(map.data(), &head, sizeof head);
        if (::ioctl(file.get(), FS_IOC_FIEMAP, map.data()) != 0) {
            const int cause = errno;
            return start == 0 && (cause == EOPNOTSUPP || cause == ENOTTY) ? blocks : 0;
        }
        std::memcpy(&head, map.data(), sizeof head);
        struct fiemap_extent extent {};
        for (std::uint32_t index = 0; index < std::min(head.mapped_extents, batch); ++index) {
            std::memcpy(&extent, map.data() + sizeof head + index * sizeof extent, sizeof extent);
            // Data kept in the file's own record frees no block; shared data stays with the
            // other file. An extent not yet placed on the device is the file's alone.
            if ((extent.fe_flags & (FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_DATA_INLINE)) == 0) {
                unshared = std::min<std::int64_t>(unshared + static_cast<std::int64_t>(extent.fe_length), blocks);
            }
        }
        if (head.mapped_extents == 0 || (extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) {
            return unshared;
        }
        start = extent.fe_logical + extent.fe_length;
    }
}

// Opens the replaced file again, this time for a write lease, which the system grants only
// while no other process has the file open or mapped, and which makes anyone who opens it
// meanwhile wait. The handle of the look-up goes first: older kernels count it as another
// open. Empty where no lease could be had (not the file's owner, a file system without
// leases, leases turned off), which counts as the file being in use.
file_handle lease_replaced(output_target& target)
{
    const std::string through = proc_path(target.replaced);
    file_handle reopened = open_owned(AT_FDCWD, through.c_str(), O_RDONLY | O_NONBLOCK);
    if (!reopened && errno == EACCES) {  // a file its owner may write but not read
        reopened = open_owned(AT_FDCWD, through.c_str(), O_WRONLY | O_NONBLOCK);
    }
    const auto status = reopened ? status_of(reopened) : std::nullopt;
    if (!status || id_of(*status) != target.id) {
        return {};
    }
    target.replaced = std::move(reopened);
    // Told that someone waits, the run goes on: the signal for it must not end the process.
    if (::fcntl(target.replaced.get(), F_SETSIG, SIGURG) != 0 ||
        ::fcntl(target.replaced.get(), F_SETLEASE, F_WRLCK) != 0) {
        return {};
    }
    return std::move(target.replaced);
}

// Moves the file at `aside` back to `leaf`, over nothing that came there meanwhile. Where the
// file system refuses that flag, a second name and the removal of the first do the same; where
// it has no second names either, a plain move, once `leaf` was seen free.
void put_back(int folder, const std::filesystem::path& aside, const std::filesystem::path& leaf)
{
    if (::renameat2(folder, aside.c_str(), folder, leaf.c_str(), RENAME_NOREPLACE) == 0 || errno != EINVAL) {
        return;
    }
    if (::linkat(folder, aside.c_str(), folder, leaf.c_str(), 0) == 0) {
        (void)::unlinkat(folder, aside.c_str(), 0);
        return;
    }
    struct stat taken {};
    if (errno != EEXIST && ::fstatat(folder, leaf.c_str(), &taken, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        (void)::renameat(folder, aside.c_str(), folder, leaf.c_str());
    }
}

// Removes the leased file from the folder, and nothing else: its name is first moved to an
// unguessable one, and what that then holds is removed only while it is still the leased
// file and no one has asked to open it; anything else goes back under its name.
bool remove_leased(const output_target& target, const file_handle& leased)
{
    const auto aside = unguessable_leaf();
    const int folder = target.folder.get();
    const interrupts_held held;  // the old file is never left under a staged name
    if (::renameat2(folder, target.leaf.c_str(), folder, aside.c_str(), RENAME_NOREPLACE) != 0 &&
        (errno != EINVAL || ::renameat(folder, target.leaf.c_str(), folder, aside.c_str()) != 0)) {
        return false;
    }
    struct stat moved {};
    if (::fstatat(folder, aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && id_of(moved) == target.id &&
        ::fcntl(leased.get(), F_GETLEASE) == F_WRLCK && ::unlinkat(folder, aside.c_str(), 0) == 0) {
        return true;
    }
    put_back(folder, aside, target.leaf);
    return false;
}

}  // namespace

file_error make_room(output_target& target, open_file& file, staged_name& /*name*/, std::int64_t size,
                     file_error shortage)
{
    const auto replaced = target.leaf_holds_replaced ? status_of(target.replaced) : std::nullopt;
    const auto staged = file.handle ? status_of(file.handle) : std::nullopt;
    constexpr std::int64_t block = 512;  // the unit of st_blocks
    // What the copy could write before it ran out is what it can write again once the staged
    // file is emptied. The blocks a device still calls free count only where no file could
    // be made (no inode left): once a copy ran out beside them, they were not to be had (XFS
    // keeps some back). The old file adds its blocks only where no other name or file keeps
    // them and, for a quota, they count where the new file's do.
    const bool quota = shortage == file_error::no_quota;
    const std::int64_t free_bytes = quota || file.handle ? 0 : free_on_device(target.folder);
    const std::int64_t staged_bytes = staged ? std::int64_t{staged->st_blocks} * block : 0;
    if (!replaced || (file.handle && !staged) || replaced->st_nlink != 1 ||
        free_bytes + staged_bytes + std::int64_t{replaced->st_blocks} * block < size ||
        (quota && !gives_back_quota(*replaced, target, file))) {
        return file_error::no_room;
    }
    const file_handle leased = lease_replaced(target);
    if (!leased || free_bytes + staged_bytes + freed_by_removal(leased, *replaced) < size ||
        (file.handle && ::ftruncate(file.handle.get(), 0) != 0)) {
        return file_error::no_room;
    }
    // Its attributes still pass to the new file.
    target.carried = read_carried(leased);
    if (!target.carried) {
        return file_error::failed;
    }
    if (!remove_leased(target, leased)) {
        return file_error::no_room;
    }
    target.leaf_holds_replaced = false;
    // Some file systems reuse freed blocks only once the removal is on the device.
    (void)flush_folder(target.folder, leased);
    return file_error::none;
}

}  // namespace halvek
