#pragma once

#include "system_files.hpp"

#include <optional>
#include <string>
#include <sys/stat.h>

// What the Linux layer's files share: every open, what a failure means, and a question asked
// of an open file rather than of its name.
namespace halvek {

// Every open goes through here, relative to `at` as openat reads it. A file never stands in
// for a standard stream, even a closed one: console text written there would land in it.
[[nodiscard]] file_handle open_owned(int at, const char* name, int flags, mode_t mode = 0);

// What the failure with error number `cause` means to the run.
[[nodiscard]] file_error error_from(int cause);

[[nodiscard]] file_id id_of(const struct stat& status);

[[nodiscard]] std::optional<struct stat> status_of(const file_handle& file);

[[nodiscard]] std::optional<open_file> describe(file_handle handle);

// An open file or folder by a name that leads to it and nowhere else, for the calls that take
// no descriptor of its kind (attributes, a second open): no name is looked up again.
[[nodiscard]] std::string proc_path(const file_handle& file);

}  // namespace halvek
