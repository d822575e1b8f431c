#pragma once

// The Windows handle layer that the other Windows files build on: opening by name, what an
// open handle says of its file, and renaming through a handle.
#include "system_files.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <windows.h>

namespace halvek {

inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr DWORD carried_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

file_handle open_handle(const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags = FILE_FLAG_BACKUP_SEMANTICS, SECURITY_ATTRIBUTES* security = nullptr);

// The system's last error as the run acts on it.
file_error error_from_last();

// Antivirus, the search indexer and previews open files for a moment; a step that meets such
// a hold is tried again for about a second before it counts as failed.
inline constexpr DWORD brief_hold_ms = 1000;
// The final move comes after the whole copy, which a failure there throws away: it waits longer,
// as for another run on the same image that is placing its own file there. A hold on the file
// it replaces that lasts past the first part is taken to stay.
inline constexpr DWORD final_move_hold_ms = 5000;
inline constexpr DWORD holder_stays_ms = 2000;

template <typename Step> bool waiting_out_brief_holds(Step step, DWORD longest_wait_ms = brief_hold_ms)
{
    // Each wait doubles up to a quarter of a second, so that a hold that ends is soon seen to.
    constexpr DWORD longest_step_ms = 250;
    for (DWORD wait_ms = 10, waited_ms = 0;; waited_ms += wait_ms, wait_ms *= 2) {
        if (step()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || waited_ms >= longest_wait_ms) {
            return false;
        }
        wait_ms = std::min({wait_ms, longest_step_ms, longest_wait_ms - waited_ms});
        Sleep(wait_ms);
        SetLastError(error);
    }
}

// The name as the system's file calls take it: made absolute and given the \\?\ prefix,
// which lifts the usual limit of 260 characters on a path.
std::wstring system_name(const std::filesystem::path& name);

file_id id_of(const BY_HANDLE_FILE_INFORMATION& information);

std::optional<BY_HANDLE_FILE_INFORMATION> information_of(const file_handle& file);

std::optional<open_file> describe(file_handle handle);

// The name the open file is known by once links are followed, or nothing when the system
// cannot tell.
std::optional<std::wstring> final_name_of(const file_handle& file);

// Renames the held file; with `replace`, over what stands at `to`. A replace fails while any
// other program holds the file at `to` open or mapped, however it opened it. A hold is waited
// out for `longest_wait_ms`.
bool rename_held(const file_handle& file, const std::wstring& to, bool replace, DWORD longest_wait_ms = brief_hold_ms);

}  // namespace halvek
