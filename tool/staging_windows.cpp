// Files on Windows: the steps of a staged output (staging.hpp).
#include "staging_windows.hpp"
#include "interrupts.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace halvek {
namespace {

file_error set_attributes(const file_handle& file, DWORD attributes)
{
    FILE_BASIC_INFO basic{};  // times of zero stay as they are
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != 0 ? file_error::none
                                                                                            : error_from_last();
}

// Staged names are `.halvek-<process>-<n>.tmp` in the target's folder; a name taken by another
// run is passed over. `make` puts a file under the name and keeps it in `target.staged`, or
// fails with the system's error set; the name is registered, with that handle to remove it
// by, with interrupts held, so that none comes between the two.
template <typename Make> file_error take_staged_name(const output_target& target, staged_name& name, Make make)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::filesystem::path staged = target.folder_name + L".halvek-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(attempt) + L".tmp";
        const interrupts_held held;
        if (make(staged.native())) {
            name.take(target.staged.get(), std::move(staged));
            return file_error::none;
        }
        if (error_from_last() != file_error::name_taken) {
            break;
        }
    }
    return error_from_last();
}

// Marks the held file for deletion: its name goes when this handle closes where the system
// can do that while others still hold the file (Windows 10's POSIX semantics), or else when
// the last holder lets go. Fails on a file that is mapped.
bool mark_for_deletion(const file_handle& file)
{
    // FileDispositionInfoEx, which this compiler's headers do not name yet.
    constexpr auto disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO_EX at_close{.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(file.get(), disposition_ex, &at_close, sizeof at_close) != 0) {
        return true;
    }
    FILE_DISPOSITION_INFO at_last_close{.DeleteFile = TRUE};
    return SetFileInformationByHandle(file.get(), FileDispositionInfo, &at_last_close, sizeof at_last_close) != 0;
}

}  // namespace

bool flush_in_place(const open_file& file)
{
    // A console or a pipe has nothing to flush.
    return FlushFileBuffers(file.handle.get()) != 0 || GetLastError() == ERROR_INVALID_HANDLE ||
           GetLastError() == ERROR_INVALID_FUNCTION;
}

file_error create_staged(const output_target& target, open_file& file, staged_name& name)
{
    // Where a file is replaced, the new one is its maker's alone until it takes that file's
    // access list; a new output has what any new file in its folder gets from the start.
    private_access private_to_its_maker;
    SECURITY_ATTRIBUTES security{};
    if (target.kind == target_kind::regular) {
        if (const auto error = probe_replacing(target); error != file_error::none) {
            return error;
        }
        if (!private_to_its_maker.make()) {
            return file_error::failed;
        }
        security = private_to_its_maker.attributes();
    }
    // Hidden while it is staged: a leading dot hides nothing on Windows. Held with the right
    // to delete it, so that any other program that opens it must share its deletion: it can
    // then always be removed through this handle.
    const auto error = take_staged_name(target, name, [&](const std::wstring& staged) {
        target.staged = open_handle(staged, GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                                    target.kind == target_kind::regular ? &security : nullptr);
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
    return file_error::none;
}

file_error make_room(output_target& target, const open_file& file, std::int64_t size, file_error shortage)
{
    FILE_END_OF_FILE_INFO empty{};
    // A full quota is left alone: whose quota the old file counts against is not asked here.
    if (shortage != file_error::no_room || !target.name_taken || target.kind != target_kind::regular ||
        SetFileInformationByHandle(file.handle.get(), FileEndOfFileInfo, &empty, sizeof empty) == 0) {
        return file_error::no_room;
    }
    // Opened by its name again, since the look-up let it go for other runs: for deletion and
    // sharing nothing, so that no other program holds its content, and checked to be the file
    // the look-up found. Only a file no other name keeps gives its room back.
    file_handle replaced = open_handle(target.name.native(), DELETE | FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING);
    const auto information = replaced ? information_of(replaced) : std::nullopt;
    FILE_STANDARD_INFO standard{};
    ULARGE_INTEGER free{};
    if (!information || id_of(*information) != target.id || information->nNumberOfLinks != 1 ||
        GetFileInformationByHandleEx(replaced.get(), FileStandardInfo, &standard, sizeof standard) == 0 ||
        GetDiskFreeSpaceExW(target.folder_name.c_str(), &free, nullptr, nullptr) == 0 ||
        static_cast<std::int64_t>(std::min<ULONGLONG>(free.QuadPart, INT64_MAX / 2)) +
                standard.AllocationSize.QuadPart <
            size) {
        return file_error::no_room;
    }
    // Through its own handle: the name holds the old file until the close, and nothing after
    // (or, while a program holds it for its attributes alone, until that one lets go). Its
    // hidden and system attributes, read at the look-up, still pass to the new file.
    if (!mark_for_deletion(replaced)) {
        return file_error::no_room;
    }
    (void)replaced.close();
    target.name_taken = false;
    return file_error::none;
}

file_error place(output_target& target, open_file& file, staged_name& name)
{
    if (FlushFileBuffers(file.handle.get()) == 0) {
        return error_from_last();
    }
    // Whole and flushed: only now does it take what the replaced file carried.
    if (!target.access_list.empty() && !give_access_list(target.staged, target.access_list)) {
        return file_error::failed;
    }
    const DWORD attributes = target.kind == target_kind::regular ? target.attributes & carried_attributes : 0;
    // New content is always marked for backup, whatever the old file's mark said.
    if (const auto error = set_attributes(file.handle, attributes | FILE_ATTRIBUTE_ARCHIVE);
        error != file_error::none) {
        return error;
    }
    {
        // Over whatever holds the name by now: a file that came since (another run's) is
        // replaced as on a re-run.
        const interrupts_held held;
        if (!rename_held(target.staged, target.name.native(), true)) {
            return error_from_last();  // the staged file goes with `name`
        }
        name.forget();
    }
    // Let go at once: another run on the same image may be waiting to replace the new file.
    const bool closed = target.staged.close();
    const bool written = file.handle.close();
    // The move reaches the device with the folder that now lists the new file.
    const bool flushed = FlushFileBuffers(target.folder.get()) != 0;
    return closed && written && flushed ? file_error::none : file_error::failed;
}

}  // namespace halvek
