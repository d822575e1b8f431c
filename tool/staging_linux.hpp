#pragma once

#include "system_files.hpp"

#include <filesystem>

// What the Linux staging steps share.
namespace halvek {

// A name for a staged file beside the output, `.halvek-<32 random hex digits>.tmp`, that no
// one can predict and so plant beforehand.
[[nodiscard]] std::filesystem::path unguessable_leaf();

// Hands the folder's entries to the device: through the folder itself where it can be opened
// for reading, otherwise by flushing its file system through `through`, an open file on it.
// False where neither could be done.
[[nodiscard]] bool flush_folder(const file_handle& folder, const file_handle& through);

}  // namespace halvek
