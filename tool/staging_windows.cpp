// Files on Windows: the steps of a staged output (staging.hpp).
#include "staging_windows.hpp"
#include "interrupts.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <ntsecapi.h>
#include <string>
#include <string_view>
#include <utility>

namespace halvek {

file_error set_attributes(const file_handle& file, DWORD attributes)
{
    FILE_BASIC_INFO basic{};  // times of zero stay as they are, and so would attributes of zero
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != 0 ? file_error::none
                                                                                            : error_from_last();
}

namespace {

// 32 random hex digits, so that no other program can plant a staged name beforehand: where the
// system gives no random bytes, the process, the attempt and the clock, which are at least unlike
// another run's.
std::wstring unguessable_part(int attempt)
{
    std::array<unsigned char, 16> bytes{};
    if (RtlGenRandom(bytes.data(), static_cast<ULONG>(bytes.size())) == FALSE) {
        return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L"-" +
               std::to_wstring(GetTickCount64());
    }
    std::wstring digits;
    for (const unsigned char byte : bytes) {
        constexpr std::wstring_view hex = L"0123456789abcdef";
        digits += hex[byte >> 4U];
        digits += hex[byte & 0xFU];
    }
    return digits;
}

// A staged name in the target's folder: `.halvek-<32 random hex digits>.tmp`.
std::wstring staged_path(const output_target& target, int attempt)
{
    return target.folder_name + L".halvek-" + unguessable_part(attempt) + L".tmp";
}

// A replace without POSIX semantics (FAT32, exFAT, older Windows) fails while any other program
// holds the file it replaces, even one that holds it for its attributes alone or to wait on
// it. Where none holds its content (it opens for deletion, sharing nothing), the old file is
// hidden and moved aside under a staged name, the new one (hidden again meanwhile) moved in,
// and the old one removed: it goes when that program lets go. A hard kill between the two
// moves leaves the final name empty and both files whole and hidden. A mapped file, which
// cannot be removed, goes back as it was.
bool replace_past_holder(const output_target& target, DWORD placed_attributes)
{
    file_handle old =
        open_handle(target.name.native(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, OPEN_EXISTING);
    const auto information = old ? information_of(old) : std::nullopt;
    if (!information) {
        return false;
    }
    const DWORD attributes = information->dwFileAttributes & settable_attributes;
    const std::wstring aside = staged_path(target, 0);
    if (set_attributes(target.staged, placed_attributes | FILE_ATTRIBUTE_HIDDEN) != file_error::none ||
        set_attributes(old, attributes | FILE_ATTRIBUTE_HIDDEN) != file_error::none ||
        !rename_held(old, aside, false, 0)) {
        const DWORD error = GetLastError();
        (void)set_attributes(old, attributes);
        (void)set_attributes(target.staged, placed_attributes);
        SetLastError(error);
        return false;
    }
    if (!removable(old) || !rename_held(target.staged, target.name.native(), false, 0)) {
        if (rename_held(old, target.name.native(), false, 0)) {
            (void)set_attributes(old, attributes);
        }
        (void)set_attributes(target.staged, placed_attributes);
        SetLastError(ERROR_USER_MAPPED_FILE);  // not a hold to wait out
        return false;
    }
    // The new file is in place: what follows cannot undo that.
    FILE_DISPOSITION_INFO remove{.DeleteFile = TRUE};
    (void)SetFileInformationByHandle(old.get(), FileDispositionInfo, &remove, sizeof remove);
    (void)set_attributes(target.staged, placed_attributes);
    return true;
}

// Puts the staged file under the final name, over whatever holds it by now: a file that came
// since (another run's) is replaced as on a re-run. Holds are waited out; one that lasts past
// holder_stays_ms is moved past where it holds no content. Brief holders (another run's look-up
// of the same name, a scanner) have had their time by then: the old file moved aside would be
// gone from under their handles.
bool move_into_place(const output_target& target, DWORD attributes)
{
    const auto moved_over = [&] { return rename_held(target.staged, target.name.native(), true, 0); };
    if (waiting_out_brief_holds(moved_over, holder_stays_ms)) {
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_SHARING_VIOLATION) {
        return false;
    }
    return waiting_out_brief_holds(
        [&] {
            return moved_over() || (GetLastError() == ERROR_ACCESS_DENIED && replace_past_holder(target, attributes));
        },
        final_move_hold_ms - holder_stays_ms);
}

}  // namespace

file_error take_staged_name(const output_target& target, staged_name& name,
                            const std::function<bool(const std::wstring&)>& make)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::filesystem::path staged = staged_path(target, attempt);
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

bool removable(const file_handle& file)
{
    FILE_DISPOSITION_INFO mark{.DeleteFile = TRUE};
    if (SetFileInformationByHandle(file.get(), FileDispositionInfo, &mark, sizeof mark) == 0) {
        return false;
    }
    mark.DeleteFile = FALSE;
    return SetFileInformationByHandle(file.get(), FileDispositionInfo, &mark, sizeof mark) != 0;
}

file_error writer_of(const file_handle& staged, open_file& file)
{
    HANDLE writer = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), staged.get(), GetCurrentProcess(), &writer, 0, FALSE,
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
    return writer_of(target.staged, file);
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
    // New content is always marked for backup, whatever the old file's mark said.
    const DWORD attributes =
        (target.kind == target_kind::regular ? target.attributes & carried_attributes : 0) | FILE_ATTRIBUTE_ARCHIVE;
    if (const auto error = set_attributes(file.handle, attributes); error != file_error::none) {
        return error;
    }
    {
        const interrupts_held held;
        if (!move_into_place(target, attributes)) {
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
