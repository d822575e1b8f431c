// Files on Windows: the run's reads and writes through HANDLEs, the staging of outputs by
// whole names, and the console events that end the process.
#include "interrupts.hpp"
#include "staging.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <windows.h>

namespace halvek {
namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD carried_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

file_handle open_handle(const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags = FILE_FLAG_BACKUP_SEMANTICS)
{
    HANDLE handle = CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
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

// Antivirus, the search indexer and previews open files for a moment; a step that meets such
// a hold is tried again for about a second before it counts as failed.
template <typename Step> bool waiting_out_brief_holds(Step step)
{
    constexpr DWORD longest_wait_ms = 1000;
    for (DWORD wait_ms = 10, waited_ms = 0;; waited_ms += wait_ms, wait_ms *= 2) {
        if (step()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || waited_ms >= longest_wait_ms) {
            return false;
        }
        Sleep(std::min(wait_ms, longest_wait_ms - waited_ms));
        SetLastError(error);
    }
}

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

// The name the open file is known by once links are followed, or nothing when the system
// cannot tell.
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

// Whether the last part of `name` is the long name of the entry it finds, and not a short
// 8.3 name that reaches some other file. A link's own entry is what is compared.
bool names_its_entry(const std::wstring& name)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(name.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    const std::wstring leaf = std::filesystem::path(name).filename().native();
    return CompareStringOrdinal(leaf.c_str(), static_cast<int>(leaf.size()),
                                static_cast<const wchar_t*>(found.cFileName), -1, TRUE) == CSTR_EQUAL;
}

// Renames the held file; with `replace`, over what stands at `to`. A replace fails while any
// other program holds the file at `to` open or mapped, however it opened it.
bool rename_held(const file_handle& file, const std::wstring& to, bool replace)
{
    const std::size_t name_bytes = (to.size() + 1) * sizeof(wchar_t);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + name_bytes;
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    // The structure ends in a name of variable length, laid out in an aligned buffer.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;  // NOLINT(cppcoreguidelines-pro-type-union-access)
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes - sizeof(wchar_t));
    std::memcpy(static_cast<void*>(rename->FileName), to.c_str(), name_bytes);
    return waiting_out_brief_holds(
        [&] { return SetFileInformationByHandle(file.get(), FileRenameInfo, rename, static_cast<DWORD>(size)) != 0; });
}

std::wstring folder_of(const std::wstring& name)
{
    return std::filesystem::path(name).parent_path().native();
}

// Staged names are `.halvek-<process>-<n>.tmp` beside the final name; a name taken by another
// run is passed over. `make` puts a file under the name, or fails with the system's error set;
// the name is registered, with the handle in `by` (where there is one) to remove it by, with
// interrupts held, so that none comes between the two.
template <typename Make>
file_error take_staged_name(const output_target& target, const file_handle* by, staged_name& name, Make make)
{
    constexpr int attempts = 100;
    const std::wstring folder = folder_of(target.name.native());
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::filesystem::path staged =
            folder + L"\\.halvek-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
        const interrupts_held held;
        if (make(staged.native())) {
            name.take(by != nullptr ? by->get() : no_handle, std::move(staged));
            return file_error::none;
        }
        if (error_from_last() != file_error::name_taken) {
            break;
        }
    }
    return error_from_last();
}

// Moves the staged file over `over`, then back under the name it had. An interrupt between
// the two removes it through its handle wherever it stands.
bool move_staged_over_and_back(const output_target& target, const std::wstring& over)
{
    const auto staged = final_name_of(target.staged);
    if (!staged || !rename_held(target.staged, over, true)) {
        return false;
    }
    if (!rename_held(target.staged, *staged, false)) {
        FILE_DISPOSITION_INFO remove{.DeleteFile = TRUE};
        (void)SetFileInformationByHandle(target.staged.get(), FileDispositionInfo, &remove, sizeof remove);
        return false;
    }
    return true;
}

// Whether the file the look-up found can be replaced at the end: the move's own test, made
// now. A probe that opens it for deletion and shares nothing fails while another program
// holds its content open or maps it; where the file system takes a second name for a file,
// the empty staged file is moved over such a name for it, which fails as the final move
// would, whoever holds the file and however (for its attributes alone, say).
file_error probe_replacing(const output_target& target)
{
    // Whatever file holds the name by now is probed: one that came since (another run's) is
    // replaced like any other.
    const bool held_apart = waiting_out_brief_holds(
        [&] { return static_cast<bool>(open_handle(target.name.native(), DELETE, 0, OPEN_EXISTING)); });
    if (!held_apart) {
        return file_error::refused;
    }
    staged_name second;  // removed by name: it leads to the file to replace
    const auto linked = take_staged_name(target, nullptr, second, [&](const std::wstring& name) {
        return CreateHardLinkW(name.c_str(), target.name.c_str(), nullptr) != 0;
    });
    if (linked == file_error::unsupported || linked == file_error::refused) {
        return file_error::none;  // one name per file (FAT): the first probe is all there is
    }
    if (linked != file_error::none) {
        return linked;
    }
    if (!move_staged_over_and_back(target, second.leaf().native())) {
        return file_error::refused;
    }
    second.forget();  // the move took the second name away
    return file_error::none;
}

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

file_error set_attributes(const file_handle& file, DWORD attributes)
{
    FILE_BASIC_INFO basic{};  // times of zero stay as they are
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != 0 ? file_error::none
                                                                                            : error_from_last();
}

}  // namespace

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

file_error look_up_output(const std::filesystem::path& name, output_target& target)
{
    const std::wstring asked = system_name(name);
    target.name = asked;
    // Attributes only: this open stands in no other program's way.
    const file_handle found = open_handle(asked, FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING);
    if (!found) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? file_error::none : file_error::refused;
    }
    const auto information = information_of(found);
    if (!information || !names_its_entry(asked)) {
        return file_error::refused;
    }
    if (const auto final_name = final_name_of(found)) {
        target.name = *final_name;
    }
    target.id = id_of(*information);
    target.name_taken = true;
    if (GetFileType(found.get()) != FILE_TYPE_DISK) {
        target.kind = target_kind::special;
        return file_error::none;
    }
    target.kind = target_kind::regular;
    target.attributes = information->dwFileAttributes;
    constexpr DWORD unreplaceable = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    return (information->dwFileAttributes & unreplaceable) != 0 ? file_error::refused : file_error::none;
}

file_error open_in_place(const output_target& target, open_file& file)
{
    auto opened = describe(
        open_handle(target.name.native(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    if (!opened) {
        return error_from_last();
    }
    if (opened->id != target.id) {
        return file_error::refused;
    }
    file = std::move(*opened);
    return file_error::none;
}

bool flush_in_place(const open_file& file)
{
    // A console or a pipe has nothing to flush.
    return FlushFileBuffers(file.handle.get()) != 0 || GetLastError() == ERROR_INVALID_HANDLE ||
           GetLastError() == ERROR_INVALID_FUNCTION;
}

file_error create_staged(const output_target& target, open_file& file, staged_name& name)
{
    // Hidden while it is staged: a leading dot hides nothing on Windows. Held with the right
    // to delete it, so that any other program that opens it must share its deletion: it can
    // then always be removed through this handle.
    const auto error = take_staged_name(target, &target.staged, name, [&](const std::wstring& staged) {
        target.staged = open_handle(staged, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
        return static_cast<bool>(target.staged);
    });
    if (error != file_error::none) {
        return error;
    }
    HANDLE writer = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), target.staged.get(), GetCurrentProcess(), &writer, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return file_error::failed;
    }
    auto described = describe(file_handle(writer));
    if (!described) {
        return file_error::failed;
    }
    file = std::move(*described);
    return target.kind == target_kind::regular ? probe_replacing(target) : file_error::none;
}

file_error make_room(output_target& target, const open_file& file, std::int64_t size)
{
    FILE_END_OF_FILE_INFO empty{};
    if (!target.name_taken ||
        SetFileInformationByHandle(file.handle.get(), FileEndOfFileInfo, &empty, sizeof empty) == 0) {
        return file_error::no_room;
    }
    // Only a file no other name keeps gives its room back.
    file_handle replaced = open_handle(target.name.native(), FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING);
    const auto information = replaced ? information_of(replaced) : std::nullopt;
    FILE_STANDARD_INFO standard{};
    ULARGE_INTEGER free{};
    if (!information || id_of(*information) != target.id || information->nNumberOfLinks != 1 ||
        GetFileInformationByHandleEx(replaced.get(), FileStandardInfo, &standard, sizeof standard) == 0 ||
        GetDiskFreeSpaceExW(folder_of(target.name.native()).c_str(), &free, nullptr, nullptr) == 0 ||
        static_cast<std::int64_t>(std::min<ULONGLONG>(free.QuadPart, INT64_MAX / 2)) +
                standard.AllocationSize.QuadPart <
            size) {
        return file_error::no_room;
    }
    (void)replaced.close();
    // The old file goes by the empty staged file's move over it, which fails while anything
    // holds it: a removal would then only be pending, and free nothing. Its hidden and system
    // attributes, read at the look-up, still pass to the new file.
    if (!move_staged_over_and_back(target, target.name.native())) {
        return file_error::no_room;
    }
    target.name_taken = false;
    return file_error::none;
}

file_error place(output_target& target, open_file& file, staged_name& name)
{
    if (FlushFileBuffers(file.handle.get()) == 0) {
        return error_from_last();
    }
    DWORD attributes = target.kind == target_kind::regular ? target.attributes & carried_attributes : 0;
    if (!target.name_taken) {
        // A file that came under the name since (another run on the same image, say) is
        // replaced as on a re-run.
        const DWORD found = GetFileAttributesW(target.name.c_str());
        if (found != INVALID_FILE_ATTRIBUTES) {
            attributes = found & carried_attributes;
        }
    }
    // New content is always marked for backup, whatever the old file's mark said.
    if (const auto error = set_attributes(file.handle, attributes | FILE_ATTRIBUTE_ARCHIVE);
        error != file_error::none) {
        return error;
    }
    {
        const interrupts_held held;
        if (!rename_held(target.staged, target.name.native(), true)) {
            return error_from_last();  // the staged file goes with `name`
        }
        name.forget();
    }
    const bool closed = target.staged.close();
    return file.handle.close() && closed ? file_error::none : file_error::failed;
}

// Interrupts.
namespace {

// Held by the run while it changes the list of staged names, and by the console control
// handler, which runs on a thread of its own. A critical section nests, as holds must.
class staged_names_lock {
public:
    staged_names_lock() noexcept { InitializeCriticalSection(&section_); }
    staged_names_lock(const staged_names_lock&) = delete;
    staged_names_lock& operator=(const staged_names_lock&) = delete;
    staged_names_lock(staged_names_lock&&) = delete;
    staged_names_lock& operator=(staged_names_lock&&) = delete;
    ~staged_names_lock() { DeleteCriticalSection(&section_); }

    void lock() noexcept { EnterCriticalSection(&section_); }
    void unlock() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
};

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
staged_names_lock staged_names;

BOOL WINAPI remove_staged_and_end(DWORD /*event*/)
{
    // The lock is kept: the process ends when this returns, and nothing may be staged
    // meanwhile.
    staged_names.lock();
    staged_name::remove_all();
    return FALSE;  // on to the system's own handler, which ends the process
}

}  // namespace

void remove_staged_names_on_interrupt() noexcept
{
    SetConsoleCtrlHandler(remove_staged_and_end, TRUE);
}

interrupts_held::interrupts_held() noexcept
{
    staged_names.lock();
}

interrupts_held::~interrupts_held()
{
    staged_names.unlock();
}

// Through the run's own handle where there is one: every other program that opened the file
// shared its deletion, so the mark holds, and the file goes when the last of them closes it.
// A name without a handle is removed by name, waiting out a brief hold.
bool staged_name::remove_name(native_handle by, const std::filesystem::path& leaf) noexcept
{
    return waiting_out_brief_holds([&] {
        FILE_DISPOSITION_INFO remove{.DeleteFile = TRUE};
        return by != no_handle ? SetFileInformationByHandle(by, FileDispositionInfo, &remove, sizeof remove) != 0
                               : DeleteFileW(leaf.c_str()) != 0;
    });
}

}  // namespace halvek
