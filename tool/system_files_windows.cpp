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

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    const int descriptor = _wopen(system_name(name).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file || !file->regular) {
        _close(descriptor);
        return std::nullopt;
    }
    return file;
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

folder::folder(folder&& other) noexcept = default;
folder& folder::operator=(folder&& other) noexcept = default;
folder::~folder() = default;

std::optional<output_target> look_up_output(const std::filesystem::path& name)
{
    output_target target;
    target.leaf = system_name(name);
    // Opened for writing and deletion, neither done: a file this process may not write, or that
    // another program holds open without letting it be replaced, is refused here. The handle
    // shares everything and is closed at once, so it stands in no other run's way.
    HANDLE handle =
        CreateFileW(target.leaf.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        target.where = folder(target.leaf.parent_path());
        return target;
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
        target.leaf = *final_name;
    }
    target.where = folder(target.leaf.parent_path());
    target.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? file_kind::directory
                  : on_disk                                                      ? file_kind::regular
                                                                                 : file_kind::other;
    target.id = id_of(information);
    if (information.nNumberOfLinks == 1) {
        target.freed_by_removal =
            static_cast<std::int64_t>((std::uint64_t{information.nFileSizeHigh} << 32U) | information.nFileSizeLow);
    }
    return target;
}

std::optional<open_file> open_in_place(const output_target& target)
{
    const int descriptor = _wopen(target.leaf.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file || file->id != target.id) {
        _close(descriptor);
        return std::nullopt;
    }
    return file;
}

int create_unnamed(const folder& /*where*/)
{
    return -1;  // every file here has a name
}

bool unnamed_unsupported() noexcept
{
    return true;
}

int create_new(const folder& /*where*/, const std::filesystem::path& leaf)
{
    // Shared for deletion, so that an interrupt can remove it while it is open.
    // Hidden while it is staged: a leading dot hides nothing on Windows.
    HANDLE handle = CreateFileW(leaf.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        DeleteFileW(leaf.c_str());
    }
    return descriptor;
}

bool name_unnamed(const open_file& /*file*/, const folder& /*where*/, const std::filesystem::path& /*leaf*/)
{
    return false;  // never called: every file here has a name
}

bool name_was_in_use() noexcept
{
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

void carry_over(const output_target& /*replaced*/, const open_file& /*successor*/)
{
    // The attributes pass at the move: until then the staged file stays hidden.
}

std::int64_t free_space(const folder& where)
{
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(where.name().c_str(), &available, nullptr, nullptr) == 0) {
        return INT64_MAX;  // unknown: nothing is given up for room
    }
    return static_cast<std::int64_t>(std::min<ULONGLONG>(available.QuadPart, INT64_MAX));
}

void release_cached_pages(const output_target& /*replaced*/) {}

// The new file takes the attributes of the one it replaces, or those of any new file. Antivirus,
// the search indexer and previews open new files for a moment; a move that meets such a lock is
// tried again for about a second before it counts as failed.
bool move_over(const folder& /*where*/, const std::filesystem::path& from, const std::filesystem::path& to)
{
    constexpr DWORD carried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    const DWORD replaced = GetFileAttributesW(to.c_str());
    const DWORD attributes = replaced == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : replaced & carried;
    if (SetFileAttributesW(from.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) == 0) {
        return false;
    }
    constexpr DWORD longest_wait_ms = 1000;
    for (DWORD wait_ms = 10, waited_ms = 0;; waited_ms += wait_ms, wait_ms *= 2) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || waited_ms >= longest_wait_ms) {
            return false;
        }
        Sleep(std::min(wait_ms, longest_wait_ms - waited_ms));
    }
}

bool flush_folder(const folder& /*where*/)
{
    return true;  // the move itself was written through
}

bool remove_file(const folder& /*where*/, const std::filesystem::path& leaf) noexcept
{
    return DeleteFileW(leaf.c_str()) != 0;  // staged names are whole, in the system's form
}

bool flush_file(const open_file& file)
{
    return FlushFileBuffers(handle_of(file.descriptor)) != 0;
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

unsigned long process_number() noexcept
{
    return GetCurrentProcessId();
}

void remove_staged_file_on_interrupt() noexcept
{
    SetConsoleCtrlHandler(remove_staged_and_end, TRUE);
}

interrupts_held::interrupts_held() noexcept
{
    AcquireSRWLockExclusive(&staged_name_lock);
}

interrupts_held::~interrupts_held()
{
    ReleaseSRWLockExclusive(&staged_name_lock);
}

void remove_on_interrupt(const folder& /*where*/, const std::filesystem::path& leaf) noexcept
{
    name_to_remove = leaf.c_str();
}

void withdraw_from_interrupt() noexcept
{
    name_to_remove = nullptr;
}

void remove_registered_file() noexcept
{
    const interrupts_held held;
    if (name_to_remove != nullptr) {
        DeleteFileW(name_to_remove);
    }
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
