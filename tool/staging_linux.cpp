// Staging on Linux: the private staged file is made beside the output through the open
// folder, room is made for it where the old file's removal gives it, and it is put in place.
#include "attributes_linux.hpp"
#include "interrupts.hpp"
#include "output_lookup_linux.hpp"
#include "staging.hpp"
#include "system_files_linux.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace halvek {
namespace {

constexpr mode_t private_mode = 0600;

// Staged names are `.halvek-<process>-<n>.tmp` beside the final name; a name another run
// made is passed over. `make` creates a file under the name, or fails with errno set.
template <typename Make> file_error create_under_staged_name(const output_target& target, staged_name& name, Make make)
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
    return error_from(errno);
}

// Gives an unnamed file a name. Through /proc anyone may; the direct way needs a privilege,
// but works where /proc is not mounted.
bool link_unnamed(const open_file& file, const file_handle& folder, const std::filesystem::path& leaf)
{
    return ::linkat(AT_FDCWD, proc_path(file.handle).c_str(), folder.get(), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && ::linkat(file.handle.get(), "", folder.get(), leaf.c_str(), AT_EMPTY_PATH) == 0);
}

// The replaced file's cached pages are given up before the new one is written, so that the
// new file can reuse that memory. Its content stays.
void release_cached_pages(const file_handle& replaced)
{
    const file_handle readable = open_owned(AT_FDCWD, proc_path(replaced).c_str(), O_RDONLY | O_NONBLOCK);
    if (readable) {
        (void)::posix_fadvise(readable.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
}

// Hands the folder's entries to the device. The new file is whole under its name whatever
// this flush says: a failure only leaves the system to write the folder back in its own time.
void flush_folder(const file_handle& folder)
{
    // The folder is open for its path alone; a readable one can be flushed. One that cannot be
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
    if (!created && error_from(errno) == file_error::unsupported) {
        const auto error = create_under_staged_name(target, name, [&](const std::filesystem::path& leaf) {
            created =
                open_owned(target.folder.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, private_mode);
            return static_cast<bool>(created);
        });
        if (error != file_error::none) {
            return error;
        }
    }
    if (!created) {
        return error_from(errno);
    }
    if (!remove_inherited_acl(created)) {
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
bool in_use_elsewhere(const file_id& id)
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
    const auto replaced = target.leaf_holds_replaced ? status_of(target.replaced) : std::nullopt;
    const auto staged = status_of(file.handle);
    constexpr std::int64_t block = 512;  // the unit of st_blocks
    // What the copy could write before it ran out is what it can write again once the staged
    // file is emptied, whether the device or a quota ran out; the old file adds its blocks
    // only where no other name and no other process keeps them.
    struct stat now {};
    if (!replaced || !staged || replaced->st_nlink != 1 ||
        (std::int64_t{staged->st_blocks} + std::int64_t{replaced->st_blocks}) * block < size ||
        ::fstatat(target.folder.get(), target.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        id_of(now) != target.id || in_use_elsewhere(target.id) || ::ftruncate(file.handle.get(), 0) != 0) {
        return file_error::no_room;
    }
    // Its attributes still pass to the new file; kept open here, it would keep its blocks.
    target.carried = read_carried(target.replaced);
    if (!target.carried) {
        return file_error::failed;
    }
    (void)target.replaced.close();
    if (::unlinkat(target.folder.get(), target.leaf.c_str(), 0) != 0) {
        return file_error::no_room;
    }
    target.leaf_holds_replaced = false;
    flush_folder(target.folder);
    return file_error::none;
}

namespace {

// Where the name was free at the look-up and a file has come there since (another run on the
// same image, say), that file is replaced as on a re-run, by the same rules.
file_error record_newcomer(output_target& target)
{
    if (target.leaf_holds_replaced) {
        return file_error::none;
    }
    file_handle found = open_owned(target.folder.get(), target.leaf.c_str(), O_PATH | O_NOFOLLOW);
    if (!found) {
        return file_error::none;
    }
    const auto error = record_found(target, std::move(found));
    return error == file_error::none && target.kind == target_kind::regular ? file_error::none : file_error::refused;
}

// False where what the file must carry could not be given to it.
bool give_attributes(output_target& target, const file_handle& file)
{
    // Attributes are read through /proc; where it is not mounted (a bare chroot), the file
    // stays its maker's alone rather than get less than its ACLs would have allowed.
    if (::access(proc_path(file).c_str(), F_OK) != 0) {
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

// A new file without a name is linked under a free final name directly: nothing can be left
// behind. name_taken where another file came there first.
file_error link_as_final(const output_target& target, open_file& file)
{
    if (!link_unnamed(file, target.folder, target.leaf)) {
        return error_from(errno);
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
        return error_from(errno);
    }
    for (int look = 0;; ++look) {
        if (const auto error = record_newcomer(target); error != file_error::none) {
            return error;
        }
        if (!give_attributes(target, file.handle)) {
            return file_error::failed;
        }
        if (target.leaf_holds_replaced || !name.empty()) {
            break;
        }
        if (const auto error = link_as_final(target, file); error != file_error::name_taken || look > 0) {
            return error;
        }
    }
    if (name.empty()) {
        if (const auto error = create_under_staged_name(
                target, name,
                [&](const std::filesystem::path& leaf) { return link_unnamed(file, target.folder, leaf); });
            error != file_error::none) {
            return error;
        }
    }
    if (!file.handle.close() ||
        ::renameat(target.folder.get(), name.leaf().c_str(), target.folder.get(), target.leaf.c_str()) != 0) {
        return error_from(errno);  // the staged name goes with `name`
    }
    name.forget();
    flush_folder(target.folder);
    return file_error::none;
}

}  // namespace halvek
