// Files on Windows: the handles, and the run's reads and writes through them.
#include "handles_windows.hpp"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace halvek {
namespace {

// Where a read or write on a file starts; the handle's own position is never used.
OVERLAPPED at_offset(std::int64_t offset)
{
    OVERLAPPED at{};
    // NOLINTBEGIN(cppcoreguidelines-pro-type-union-access): the system's own structure
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32U);
    // NOLINTEND(cppcoreguidelines-pro-type-union-access)
    return at;
}

}  // namespace

file_handle open_handle(const std::wstring& name, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                        SECURITY_ATTRIBUTES* security)
{
    HANDLE handle = CreateFileW(name.c_str(), access, share, security, disposition, flags, nullptr);
    return file_handle(handle == INVALID_HANDLE_VALUE ? no_handle : handle);
}

file_error error_from_last()
{
    switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return file_error::name_taken;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return file_error::no_room;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return file_error::unsupported;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_WRITE_PROTECT:
        return file_error::refused;
    default:
        return file_error::failed;
    }
}

std::wstring system_name(const std::filesystem::path& name)
{
    const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return name.native();  // the open then fails and reports the name as given
    }
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(name.c_str(), length, full.data(), nullptr));
    if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) {
        return full;
    }
    if (full.starts_with(LR"(\\)")) {
        return LR"(\\?\UNC\)" + full.substr(2);
    }
    return LR"(\\?\)" + full;
}

file_id id_of(const BY_HANDLE_FILE_INFORMATION& information)
{
    return {.device = information.dwVolumeSerialNumber,
            .index = (std::uint64_t{information.nFileIndexHigh} << 32U) | information.nFileIndexLow};
}

std::optional<BY_HANDLE_FILE_INFORMATION> information_of(const file_handle& file)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(file.get(), &information) == 0) {
        return std::nullopt;
    }
    return information;
}

std::optional<open_file> describe(file_handle handle)
{
    const auto information = information_of(handle);
    if (!information) {
        return std::nullopt;
    }
    const bool on_disk =
        GetFileType(handle.get()) == FILE_TYPE_DISK && (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return open_file{.handle = std::move(handle),
                     .id = id_of(*information),
                     .regular = on_disk,
                     .size = static_cast<std::int64_t>((std::uint64_t{information->nFileSizeHigh} << 32U) |
                                                       information->nFileSizeLow)};
}

std::optional<std::wstring> final_name_of(const file_handle& file)
{
    const DWORD length = GetFinalPathNameByHandleW(file.get(), nullptr, 0, FILE_NAME_NORMALIZED);
    if (length == 0) {
        return std::nullopt;
    }
    std::wstring name(length, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(file.get(), name.data(), length, FILE_NAME_NORMALIZED);
    if (written == 0 || written >= length) {
        return std::nullopt;
    }
    name.resize(written);
    return name;
}

bool rename_held(const file_handle& file, const std::wstring& to, bool replace, DWORD longest_wait_ms)
{
    // FileRenameInfoEx and its flags, which this compiler's headers do not name yet.
    constexpr auto rename_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    constexpr DWORD replace_if_exists = 0x1;
    constexpr DWORD posix_semantics = 0x2;
    const std::size_t name_bytes = (to.size() + 1) * sizeof(wchar_t);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + name_bytes;
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    // The structure ends in a name of variable length, laid out in an aligned buffer.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes - sizeof(wchar_t));
    std::memcpy(static_cast<void*>(rename->FileName), to.c_str(), name_bytes);
    const auto renamed = [&](FILE_INFO_BY_HANDLE_CLASS kind) {
        return waiting_out_brief_holds(
            [&] { return SetFileInformationByHandle(file.get(), kind, rename, static_cast<DWORD>(size)) != 0; },
            longest_wait_ms);
    };
    if (replace) {
        // Windows 10's POSIX semantics replace a file that another program holds for its
        // attributes alone, which the probe cannot see; file systems without them (FAT32,
        // exFAT) and older systems refuse the request, and take the plain one.
        rename->Flags = replace_if_exists | posix_semantics;  // NOLINT(cppcoreguidelines-pro-type-union-access)
        if (renamed(rename_ex)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
            return false;
        }
    }
    rename->ReplaceIfExists = replace ? TRUE : FALSE;  // NOLINT(cppcoreguidelines-pro-type-union-access)
    return renamed(FileRenameInfo);
}

bool file_handle::close() noexcept
{
    if (handle_ == no_handle) {
        return true;
    }
    return CloseHandle(std::exchange(handle_, no_handle)) != 0;
}

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    auto file = describe(open_handle(system_name(name), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN));
    if (!file || !file->regular) {
        return std::nullopt;
    }
    return file;
}

std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    OVERLAPPED at = at_offset(offset);
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    if (ReadFile(file.handle.get(), bytes.data(), wanted, &count, &at) == 0) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(count);
}

file_error write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        OVERLAPPED at = at_offset(offset);
        DWORD count = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
        if (WriteFile(file.handle.get(), bytes.data(), wanted, &count, file.regular ? &at : nullptr) == 0) {
            return error_from_last();
        }
        if (count == 0) {
            return file_error::failed;
        }
        bytes = bytes.subspan(count);
        offset += count;
    }
    return file_error::none;
}

std::int64_t copy_in_system(const open_file& /*input*/, const open_file& /*output*/, std::int64_t /*offset*/,
                            std::int64_t /*count*/)
{
    return 0;  // no call here copies between offsets of open files; the caller's loop does it all
}

std::string printable_name(const std::filesystem::path& name)
{
    const std::wstring& wide = name.native();
    if (wide.empty()) {
        return {};
    }
    const auto wide_length = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

}  // namespace halvek
