#pragma once

// What the Windows look-up and staging files share beyond the handle layer.
#include "handles_windows.hpp"
#include "interrupts.hpp"
#include "staging.hpp"

#include <string>
#include <utility>

namespace halvek {

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
bool move_staged_over_and_back(const output_target& target, const std::wstring& over);

// Whether the file the look-up found can be replaced at the end (look_up_windows.cpp).
file_error probe_replacing(const output_target& target);

}  // namespace halvek
