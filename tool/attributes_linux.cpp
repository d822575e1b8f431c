// Attributes on Linux: what passes from a replaced file to the new one, and what a new file
// gets from its folder.
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
        ssize_t length = call(nullptr, 0);
        if (length >= 0) {
            // One byte more than asked for: a size of 0 would ask for the length again.
            std::string text(static_cast<std::size_t>(length) + 1, '\0');
            length = call(text.data(), text.size());
            if (length >= 0) {
                text.resize(static_cast<std::size_t>(length));
                return text;
            }
        }
        const int cause = errno;
        if (cause != ERANGE) {  // ERANGE: it grew meanwhile
            unread = unread || !no_such_attribute(cause);
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

bool well_formed(const std::string& acl)
{
    return acl.size() > acl_header_size && (acl.size() - acl_header_size) % acl_entry_size == 0;
}

unsigned tag_at(const std::string& acl, std::size_t entry)
{
    return static_cast<unsigned>(static_cast<unsigned char>(acl[entry])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[entry + 1])) << 8U;
}

unsigned permissions_at(const std::string& acl, std::size_t entry)
{
    return static_cast<unsigned char>(acl[entry + 2]) & 07U;
}

// The permissions of the first entry with `tag`; `otherwise` where there is none.
unsigned permissions_of(const std::string& acl, unsigned tag, unsigned otherwise)
{
    for (std::size_t entry = acl_header_size; entry + acl_entry_size <= acl.size(); entry += acl_entry_size) {
        if (tag_at(acl, entry) == tag) {
            return permissions_at(acl, entry);
        }
    }
    return otherwise;
}

mode_t current_umask()
{
    const mode_t umask = ::umask(0);
    ::umask(umask);
    return umask;
}

// The folder's default ACL narrowed by the mode a create asks for (read and write for each
// class): the ACL a plain create gives a new file there; empty where the folder has none.
std::optional<std::string> new_file_acl(const file_handle& folder)
{
    bool unread = false;
    std::string acl = attribute(folder, default_acl, unread).value_or("");
    if (unread) {
        return std::nullopt;
    }
    if (!well_formed(acl)) {
        return std::string();
    }
    // The group class is the mask where there is one, the owning group where there is not.
    const unsigned group_class = permissions_of(acl, mask_entry, 010U) != 010U ? mask_entry : group_entry;
    constexpr unsigned read_write = 06;
    for (std::size_t entry = acl_header_size; entry < acl.size(); entry += acl_entry_size) {
        const unsigned tag = tag_at(acl, entry);
        if (tag == owner_entry || tag == group_class || tag == other_entry) {
            acl[entry + 2] = static_cast<char>(static_cast<unsigned char>(acl[entry + 2]) & read_write);
        }
    }
    return acl;
}

// The permission bits a plain create gives a new file in `folder`.
std::optional<mode_t> new_file_mode(const file_handle& folder)
{
    const auto acl = new_file_acl(folder);
    if (!acl) {
        return std::nullopt;
    }
    if (acl->empty()) {
        return plain_new_mode & ~current_umask();
    }
    const unsigned group_class = permissions_of(*acl, mask_entry, permissions_of(*acl, group_entry, 0));
    return static_cast<mode_t>(permissions_of(*acl, owner_entry, 0) << 6U | group_class << 3U |
                               permissions_of(*acl, other_entry, 0));
}

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
        // One that cannot be read (of a file its owner may not read, say) fails the run
        // rather than be lost.
        if (auto value = attribute(replaced, name.c_str(), unread)) {
            carried.user_attributes.emplace_back(std::move(name), std::move(*value));
        }
    }
    if (unread) {
        return std::nullopt;
    }
    return carried;
}

// The owner and group first, then the mode, as OpenBSD's cp does; where the owner cannot be
// given, the group still is. A patched image is never a program, so the set-user-ID and
// set-group-ID bits never pass; a group that could not be kept gets none of the old group's
// rights. A file of another user's (which may have been planted) gives no more than a new
// file gets here, and no named entries of its ACL. Then the ACL (exactly, or none), the mode,
// which also sets the ACL's mask to what it was, and the user's attributes.
bool give_carried(const carried_attributes& carried, const file_handle& folder, const file_handle& file)
{
    const auto& old = carried.status;
    // Both where they can be given, else the group alone, else the owner alone; what the new
    // file got is read back below.
    if (::fchown(file.get(), old.st_uid, old.st_gid) != 0 &&
        ::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid) != 0 &&
        ::fchown(file.get(), old.st_uid, static_cast<gid_t>(-1)) != 0) {
        // none could be given: the new file keeps this user's
    }
    const auto given = status_of(file);
    if (!given) {
        return false;
    }
    mode_t mode = old.st_mode & (0707U | S_ISVTX | (given->st_gid == old.st_gid ? 0070U : 0U));
    const std::optional<std::string>& acl = carried.acl;
    bool acl_carried = acl.has_value();
    if (::geteuid() != 0 && old.st_uid != ::geteuid()) {
        const auto allowed = new_file_mode(folder);
        if (!allowed) {
            return false;
        }
        if (acl && well_formed(*acl)) {  // the group class is the mask: the owning group's own rights pass
            const unsigned group = permissions_of(*acl, group_entry, 0) & permissions_of(*acl, mask_entry, 07U);
            mode = (mode & ~0070U) | (mode & group << 3U);
        }
        mode &= *allowed;
        acl_carried = false;
    }
    const bool acl_given =
        acl_carried ? ::fsetxattr(file.get(), access_acl, acl->data(), acl->size(), 0) == 0 : remove_acl(file);
    if (!acl_given || ::fchmod(file.get(), mode) != 0) {
        return false;
    }
    return std::ranges::all_of(carried.user_attributes, [&](const auto& attribute) {
        return ::fsetxattr(file.get(), attribute.first.c_str(), attribute.second.data(), attribute.second.size(), 0) ==
               0;
    });
}

bool give_new_file_attributes(const file_handle& folder, const file_handle& file)
{
    const auto acl = new_file_acl(folder);
    if (!acl) {
        return false;
    }
    if (acl->empty()) {
        return ::fchmod(file.get(), plain_new_mode & ~current_umask()) == 0;
    }
    return ::fsetxattr(file.get(), access_acl, acl->data(), acl->size(), 0) == 0;
}

bool remove_acl(const file_handle& file)
{
    return ::fremovexattr(file.get(), access_acl) == 0 || no_such_attribute(errno);
}

}  // namespace halvek
