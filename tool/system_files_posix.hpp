#pragma once

#include <sys/types.h>

// What system_files_posix.cpp shares with the file of calls its one system has
// (system_files_linux.cpp).
namespace halvek {

// Every open of the run goes through here, relative to `at` as openat takes it. A file never
// takes the place of a standard stream, even a closed one: console text written there would
// land in the file.
int open_owned(int at, const char* name, int flags, mode_t mode = 0);

// Whether the file system marks the file as one no name may be taken from (append-only,
// immutable), so that moving a new file over it would fail.
bool marked_unreplaceable(int at, const char* name);

}  // namespace halvek
