// Staging on Linux: the private staged file is made beside the output through the open
// folder, and put in place once whole.
#include "staging_linux.hpp"

#include "attributes_linux.hpp"
#include "interrupts.hpp"
#include "output_lookup_linux.hpp"
#include "staging.hpp"
#include "system_files_linux.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace halvek {
namespace {

constexpr mode_t private_mode = 0600;

// Fills `bytes` from the system's random source: the call, or the device where a filter or a
// bare root keeps it from this process. Where neither answers, from the clock's nanoseconds,
// which no one can read in advance either.
void fill_random(std::span<std::uint8_t> bytes)
{
    if (::getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) == static_cast<ssize_t>(bytes.size())) {
        return;
    }
    const file_handle device = open_owned(AT_FDCWD, "/dev/urandom", O_RDONLY);
    if (device && ::read(device.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
        return;
    }
    timespec now{};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t state = (static_cast<std::uint64_t>(now.tv_sec) << 30U) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(::getpid()) << 48U);
    for (auto& byte : bytes) {  // splitmix64, one byte of each step
        state += 0x9e3779b97f4a7c15U;
        std::uint64_t mixed = state;
        mixed = (mixed ^ (mixed >> 30U)) * 0xbf58476d1ce4e5b9U;
        mixed = (mixed ^ (mixed >> 27U)) * 0x94d049bb133111ebU;
        byte = static_cast<std::uint8_t>(mixed ^ (mixed >> 31U));
    }
}

// Makes a file under a staged name with `make`, which creates it or fails with errno set; a
// name already there is passed over. The name is registered in `name` as the file appears.
template <typename Make> file_error create_under_staged_name(const output_target& target, staged_name& name, Make make)
{
    constexpr int attempts = 10;
    int cause = EEXIST;
    for (int attempt = 0; attempt < attempts && cause == EEXIST; ++attempt) {
        std::filesystem::path leaf = unguessable_leaf();
        const interrupts_held held;
        if (make(leaf)) {
            name.take(target.folder.get(), std::move(leaf));
            return file_error::none;
        }
        cause = errno;
    }
    return error_from(cause);
}

// Gives an unnamed file a name. Through /proc anyone may; the direct way needs a privilege
// before Linux 6.10, but works where /proc is not mounted.
bool link_unnamed(const open_file& file, const file_handle& folder, const std::filesystem::path& leaf)
{
    const std::string through = proc_path(file.handle);
    return ::linkat(AT_FDCWD, through.c_str(), folder.get(), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
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

// A second descriptor of the staged file, which outlives the checked close of the first, for
// flushing its file system once the file is in place.
file_handle flush_handle(const open_file& file)
{
    return file_handle(::fcntl(file.handle.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

}  // namespace

std::filesystem::path unguessable_leaf()
{
    std::array<std::uint8_t, 16> random{};
    fill_random(random);
    std::string leaf = ".halvek-";
    for (const std::uint8_t byte : random) {
        constexpr std::string_view digits = "0123456789abcdef";
        leaf += digits[byte >> 4U];
        leaf += digits[byte & 0xfU];
    }
    return leaf + ".tmp";
}

bool flush_folder(const file_handle& folder, const file_handle& through)
{
    const file_handle readable = open_owned(folder.get(), ".", O_RDONLY | O_DIRECTORY);
    if (readable && ::fsync(readable.get()) == 0) {
        return true;
    }
    // A folder that cannot be read (a drop box), or that its file system cannot flush alone.
    return (!readable || errno == EINVAL) && through && ::syncfs(through.get()) == 0;
}

file_error create_staged(const output_target& target, open_file& file, staged_name& name)
{
    // Without a name the file cannot be left behind, whatever ends the run. It gets one
    // through /proc; without /proc only a privilege does before Linux 6.10, so there it is
    // made under a staged name. Either way it is its maker's alone, without the ACL the
    // folder's default would give it.
    file_handle created;
    int cause = EOPNOTSUPP;
    if (::access("/proc/self/fd", F_OK) == 0) {
        created = open_owned(target.folder.get(), ".", O_TMPFILE | O_WRONLY, private_mode);
        cause = errno;
    }
    if (!created && error_from(cause) == file_error::unsupported) {
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
        return error_from(cause);
    }
    if (!remove_acl(created)) {
        return file_error::failed;
    }
    auto described = describe(std::move(created));
    if (!described) {
        return file_error::failed;
    }
    file = std::move(*described);
    if (target.kind == target_kind::regular && target.leaf_holds_replaced) {
        release_cached_pages(target.replaced);
    }
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
    const std::string through = proc_path(file);
    if (::access(through.c_str(), F_OK) != 0) {
        return errno == ENOENT;
    }
    if (target.replaced) {
        target.carried = read_carried(target.replaced);
        if (!target.carried) {
            return false;
        }
    }
    return target.carried ? give_carried(*target.carried, target.folder, file)
                          : give_new_file_attributes(target.folder, file);
}

// A new file without a name is linked under a free final name directly: nothing can be left
// behind. name_taken where another file came there first.
file_error link_as_final(const output_target& target, open_file& file)
{
    const file_handle through = flush_handle(file);
    if (!link_unnamed(file, target.folder, target.leaf)) {
        return error_from(errno);
    }
    if (!file.handle.close()) {
        (void)::unlinkat(target.folder.get(), target.leaf.c_str(), 0);
        return file_error::failed;
    }
    return flush_folder(target.folder, through) ? file_error::none : file_error::failed;
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
    const file_handle through = flush_handle(file);
    if (!file.handle.close()) {
        return file_error::failed;  // the staged name goes with `name`
    }
    {
        // The move and the name's leaving the list go together: an interrupt finds the staged
        // name registered exactly while it exists.
        const interrupts_held held;
        if (::renameat(target.folder.get(), name.leaf().c_str(), target.folder.get(), target.leaf.c_str()) != 0) {
            return error_from(errno);
        }
        name.forget();
    }
    return flush_folder(target.folder, through) ? file_error::none : file_error::failed;
}

}  // namespace halvek
