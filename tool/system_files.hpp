#pragma once

#include "file_io.hpp"

#include <filesystem>
#include <optional>

// What each system provides beneath file_io: opening, describing and emptying a file.
namespace halvek {

enum class open_mode { read, write };

// Opens the name and returns its descriptor, or -1. For writing it creates the file if need
// be but never empties it; neither mode waits for a peer, as a FIFO's open would.
[[nodiscard]] int open_descriptor(const std::filesystem::path& name, open_mode mode);

// The open file's identity, kind and size.
[[nodiscard]] std::optional<open_file> describe(int descriptor);

[[nodiscard]] bool empty_file(int descriptor);

}  // namespace halvek
