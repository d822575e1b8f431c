#pragma once

#include <filesystem>

namespace halvek {

// Writes `<input>.bin`, the image with its header patched, and `<input>.sav`, a blank
// save, reporting each stage on the console. Returns false after reporting a failure.
bool patch_image(const std::filesystem::path& input_name);

}  // namespace halvek
