#pragma once

#include "staging.hpp"
#include "system_files.hpp"

// The look-up of an output name on Linux, and the rules for shared folders it applies.
namespace halvek {

// Records `found`, now under the target's name, as the file to replace or write, and tells
// whether the rules let this run do so.
[[nodiscard]] file_error record_found(output_target& target, file_handle found);

}  // namespace halvek
