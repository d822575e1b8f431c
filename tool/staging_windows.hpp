#pragma once

// What the Windows look-up gives the staging steps beyond staging.hpp.
#include "handles_windows.hpp"
#include "staging.hpp"

namespace halvek {

// Whether the file the look-up found can be replaced at the end, asked of the handle the
// look-up holds and answered without changing anything; the handle is closed after.
[[nodiscard]] file_error probe_replacing(const output_target& target);

}  // namespace halvek
