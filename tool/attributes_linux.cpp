// Attributes on Linux: what passes from a replaced file to the new one, and what a new file
// takes from its folder.
#include "attributes_linux.hpp"

#include "system_files_linux.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace halvek {
namespace {

constexpr mode_t plain_new_mode = 0666;  // what a plain create asks for, before the umask or a default ACL
constexpr const char* access_acl = "system.posix_acl_access";
constexpr const char* default_acl = "system.posix_acl_default";

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
            unread = unread || !no_such_attribute(errno);
            return std::nullopt;
        }
    }
}

// An extended attribute's value, or nothing where the file has none of that name.
std::optional<std::string> attribute(const file_handle& file, const char* name, bool& unread)
{
    const std::string through = proc_path(file);
    return attribute_text([&](char* value, std::size_t size) { return ::getxattr(through.c_str(), name, value, size); },
                          unread);
}

// An ACL in the system's encoding: a 4-byte version, then entries of a 2-byte tag, 2-byte
// permissions and a 4-byte id, all little-endian.
constexpr std::size_t acl_header_size = 4;
constexpr std::size_t acl_entry_size = 8;
enum acl_tag : unsigned { owner_entry = 0x01, group_entry = 0x04, mask_entry = 0x10, other_entry = 0x20 };

}  // namespace

bool no_such_attribute(int cause)
{
    return cause == ENODATA || cause == EOPNOTSUPP;
}

std::optional<carried_attributes> read_carried(const file_handle& replaced)
{
    const auto status = status_of(replaced);
    if (!status) {
        return std::nullopt;
    }
    bool unread = false;
    carried_attributes carried{
        .status = *status, .acl = attribute(replaced, access_acl, unread), .user_attributes = {}};
    const std::string through = proc_path(replaced);
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
// mode, which also sets the ACL's mask to what it was, and the user's attributes.
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
                               : ::fremovexattr(file.get(), access_acl) == 0 || no_such_attribute(errno);
    if (!acl_given || ::fchmod(file.get(), old.st_mode & kept_bits) != 0) {
        return false;
    }
    return std::ranges::all_of(carried.user_attributes, [&](const auto& attribute) {
        return ::fsetxattr(file.get(), attribute.first.c_str(), attribute.second.data(), attribute.second.size(), 0) ==
               0;
    });
}

// The folder's default ACL narrowed by the mode a create asks for (read and write for each
// class), or, without one, that mode less the umask.
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

bool remove_inherited_acl(const file_handle& file)
{
    return ::fremovexattr(file.get(), access_acl) == 0 || no_such_attribute(errno);
}

}  // namespace halvek
