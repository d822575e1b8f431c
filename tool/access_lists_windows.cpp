// Files on Windows: the access lists of a staged output. It is made with one that lets its
// maker alone in, and takes the replaced file's once its content is whole.
#include "staging_windows.hpp"

#include <aclapi.h>
#include <cstdint>

namespace halvek {

bool read_access_list(const file_handle& replaced, std::vector<unsigned char>& access_list)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(replaced.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(descriptor);
    access_list.assign(bytes, bytes + GetSecurityDescriptorLength(descriptor));
    LocalFree(descriptor);
    return true;
}

bool private_access::make() noexcept
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
        return false;
    }
    DWORD length = 0;
    (void)GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    user_.resize((length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    const bool known = length != 0 && GetTokenInformation(token, TokenUser, user_.data(), length, &length) != 0;
    CloseHandle(token);
    if (!known) {
        return false;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the system's variable-length record
    PSID user = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD list_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    list_.resize((list_size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): laid out in an aligned buffer
    auto* list = reinterpret_cast<ACL*>(list_.data());
    return InitializeAcl(list, list_size, ACL_REVISION) != 0 &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) != 0 &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != 0 &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, list, FALSE) != 0 &&
           SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
}

bool give_access_list(const file_handle& staged, std::vector<unsigned char>& access_list)
{
    PSECURITY_DESCRIPTOR descriptor = access_list.data();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) == 0 ||
        GetSecurityDescriptorControl(descriptor, &control, &revision) == 0) {
        return false;
    }
    // Protected as it was: a list that took nothing from its folder still takes nothing; one
    // that did takes the same folder's again.
    const SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                        : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return SetSecurityInfo(staged.get(), SE_FILE_OBJECT, which, nullptr, nullptr, present != 0 ? list : nullptr,
                           nullptr) == ERROR_SUCCESS;
}

}  // namespace halvek
