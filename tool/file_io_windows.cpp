#include "file_io.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace halvek {
namespace {

// The name as the system's file calls take it: made absolute and given the \\?\ prefix,
// which lifts the usual limit of 260 characters on a path.
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

HANDLE handle_of(int descriptor)
{
    // The runtime hands out a descriptor's system handle as an integer.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

file_id id_of(const BY_HANDLE_FILE_INFORMATION& information)
{
    return {.device = information.dwVolumeSerialNumber,
            .index = (std::uint64_t{information.nFileIndexHigh} << 32U) | information.nFileIndexLow};
}

// The name the open file is known by once links are followed, or nothing when the system
// cannot tell.
std::optional<std::wstring> final_name_of(HANDLE handle)
{
    const DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (length == 0) {
        return std::nullopt;
    }
    std::wstring name(length, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(handle, name.data(), length, FILE_NAME_NORMALIZED);
    if (written == 0 || written >= length) {
        return std::nullopt;
    }
    name.resize(written);
    return name;
}

bool seek_to(const open_file& file, std::int64_t offset)
{
    return _lseeki64(file.descriptor, offset, SEEK_SET) == offset;
}

// The console control handler runs on a thread of its own, so the name it removes is
// guarded by a lock.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
SRWLOCK staged_name_lock = SRWLOCK_INIT;
const wchar_t* name_to_remove = nullptr;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

BOOL WINAPI remove_staged_and_end(DWORD /*event*/)
{
    // The lock is kept: the process ends when this returns, and nothing may be staged
    // meanwhile.
    AcquireSRWLockExclusive(&staged_name_lock);
    if (name_to_remove != nullptr) {
        DeleteFileW(name_to_remove);
    }
    return FALSE;  // on to the system's own handler, which ends the process
}

}  // namespace

int open_descriptor(const std::filesystem::path& name, open_mode mode)
{
    return _wopen(system_name(name).c_str(),
                  (mode == open_mode::read ? _O_RDONLY : _O_WRONLY) | _O_BINARY | _O_NOINHERIT);
}

std::optional<open_file> describe(int descriptor)
{
    struct _stat64 status {};
    BY_HANDLE_FILE_INFORMATION information{};
    if (_fstat64(descriptor, &status) != 0 || GetFileInformationByHandle(handle_of(descriptor), &information) == 0) {
        return std::nullopt;
    }
    return open_file{
        .descriptor = descriptor,
        .id = id_of(information),
        .regular = (status.st_mode & _S_IFMT) == _S_IFREG,
        .size = status.st_size,
    };
}

std::optional<output_target> look_up_output(const std::filesystem::path& name)
{
    output_target target;
    target.name = system_name(name);
    // Opened for writing, not written: a file this process may not write is refused here.
    HANDLE handle =
        CreateFileW(target.name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional(target) : std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool described = GetFileInformationByHandle(handle, &information) != 0;
    const auto final_name = final_name_of(handle);
    const bool on_disk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    if (!described) {
        return std::nullopt;
    }
    if (final_name) {
        target.name = *final_name;
    }
    target.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? file_kind::directory
                  : on_disk                                                      ? file_kind::regular
                                                                                 : file_kind::other;
    target.id = id_of(information);
    return target;
}

int create_staged(const output_target& target, std::filesystem::path& staged_name)
{
    int descriptor = -1;
    (void)take_fresh_name(target.name.parent_path(), staged_name, [&](const std::filesystem::path& name) {
        // Shared for deletion, so that an interrupt can remove it while it is open.
        HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
        descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
        if (descriptor < 0) {
            CloseHandle(handle);
            DeleteFileW(name.c_str());
        }
        return descriptor >= 0;
    });
    return descriptor;
}

bool put_in_place(const open_file& file, std::filesystem::path& staged_name, const std::filesystem::path& final_name)
{
    bool placed = FlushFileBuffers(handle_of(file.descriptor)) != 0;
    placed = close_file(file) && placed;
    if (!placed ||
        MoveFileExW(staged_name.c_str(), final_name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        return false;
    }
    forget_staged_name(staged_name);
    return true;
}

std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    if (!seek_to(file, offset)) {
        return -1;
    }
    const auto wanted = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
    return _read(file.descriptor, bytes.data(), wanted);
}

bool write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes)
{
    if (!seek_to(file, offset)) {
        return false;
    }
    while (!bytes.empty()) {
        const auto wanted = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int count = _write(file.descriptor, bytes.data(), wanted);
        if (count <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
    return true;
}

std::int64_t copy_in_system(const open_file& /*input*/, const open_file& /*output*/, std::int64_t /*offset*/,
                            std::int64_t /*count*/)
{
    return 0;  // no call here copies between offsets of open files; the caller's loop does it all
}

bool close_file(const open_file& file)
{
    return _close(file.descriptor) == 0;
}

bool remove_file(const std::filesystem::path& name) noexcept
{
    return DeleteFileW(name.c_str()) != 0;  // staged names are already in the system's form
}

void remove_on_interrupt(const std::filesystem::path* name) noexcept
{
    AcquireSRWLockExclusive(&staged_name_lock);
    name_to_remove = name == nullptr ? nullptr : name->c_str();
    ReleaseSRWLockExclusive(&staged_name_lock);
}

unsigned long process_number() noexcept
{
    return GetCurrentProcessId();
}

bool name_was_in_use() noexcept
{
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

void remove_staged_files_on_interrupt() noexcept
{
    SetConsoleCtrlHandler(remove_staged_and_end, TRUE);
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
