// The calls only Linux has: files without names, the in-kernel copy, cache and attribute
// handling. A port to another POSIX system provides these in a file of its own.
#include "system_files.hpp"
#include "system_files_posix.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace halvek {
namespace {

constexpr mode_t read_write_for_all = 0666;  // narrowed by the user's umask

// A file descriptor closed when it goes.
class owned_descriptor {
public:
    explicit owned_descriptor(int descriptor) : descriptor_(descriptor) {}
    owned_descriptor(const owned_descriptor&) = delete;
    owned_descriptor& operator=(const owned_descriptor&) = delete;
    owned_descriptor(owned_descriptor&&) = delete;
    owned_descriptor& operator=(owned_descriptor&&) = delete;
    ~owned_descriptor()
    {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    [[nodiscard]] int get() const { return descriptor_; }

private:
    int descriptor_;
};

owned_descriptor open_replaced(const output_target& replaced)
{
    return owned_descriptor(
        open_owned(replaced.where.descriptor(), replaced.leaf.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW));
}

// What `cp -p` and `rsync -A` keep beyond the permissions: the ACL and the user's own
// attributes. Security labels are the system's to give.
bool carried(std::string_view attribute)
{
    return attribute.starts_with("user.") || attribute == "system.posix_acl_access";
}

void copy_attributes(int from, int to)
{
    const ssize_t names_length = ::flistxattr(from, nullptr, 0);
    if (names_length <= 0) {
        return;
    }
    std::string names(static_cast<std::size_t>(names_length), '\0');
    names.resize(static_cast<std::size_t>(std::max<ssize_t>(::flistxattr(from, names.data(), names.size()), 0)));
    std::string value;
    for (std::size_t begin = 0; begin < names.size();) {
        const std::string name = names.c_str() + begin;  // NUL-separated
        begin += name.size() + 1;
        const ssize_t length = carried(name) ? ::fgetxattr(from, name.c_str(), nullptr, 0) : -1;
        if (length < 0) {
            continue;
        }
        value.resize(static_cast<std::size_t>(length));
        if (::fgetxattr(from, name.c_str(), value.data(), value.size()) == length) {
            (void)::fsetxattr(to, name.c_str(), value.data(), value.size(), 0);
        }
    }
}

}  // namespace

int create_unnamed(const folder& where)
{
    // A file with no name cannot be left behind, whatever ends the run.
    return open_owned(where.descriptor(), ".", O_TMPFILE | O_WRONLY, read_write_for_all);
}

bool unnamed_unsupported() noexcept
{
    return errno == EOPNOTSUPP || errno == EISDIR;  // not on this file system or kernel
}

// Through /proc anyone may name such a file; the direct way needs a privilege, but works
// where /proc is not mounted.
bool name_unnamed(const open_file& file, const folder& where, const std::filesystem::path& leaf)
{
    const std::string through_proc = "/proc/self/fd/" + std::to_string(file.descriptor);
    return ::linkat(AT_FDCWD, through_proc.c_str(), where.descriptor(), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && ::linkat(file.descriptor, "", where.descriptor(), leaf.c_str(), AT_EMPTY_PATH) == 0);
}

void carry_over(const output_target& replaced, const open_file& successor)
{
    struct stat status {};
    if (::fstatat(replaced.where.descriptor(), replaced.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    // The owner first, as a change of owner clears the set-user-ID and set-group-ID bits;
    // those pass only to a file of the same owner.
    const bool owner_kept = ::fchown(successor.descriptor, status.st_uid, status.st_gid) == 0;
    (void)::fchmod(successor.descriptor, status.st_mode & (owner_kept ? 07777U : 0777U));
    const auto from = open_replaced(replaced);
    if (from.get() >= 0) {
        copy_attributes(from.get(), successor.descriptor);
    }
}

void release_cached_pages(const output_target& replaced)
{
    const auto file = open_replaced(replaced);
    if (file.get() >= 0) {
        (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
}

bool marked_unreplaceable(int at, const char* name)
{
    const owned_descriptor file(open_owned(at, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW));
    int flags = 0;
    return file.get() >= 0 && ::ioctl(file.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
           (static_cast<unsigned>(flags) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
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

}  // namespace halvek
