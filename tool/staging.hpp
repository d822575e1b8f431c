#pragma once

#include "interrupts.hpp"
#include "system_files.hpp"

#include <cstdint>
#include <filesystem>

#include <vector>

#ifndef _WIN32
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#endif

// The steps of a staged output that each system takes in its own terms (on Linux in
// output_lookup_linux.cpp, staging_linux.cpp and room_linux.cpp, on Windows in
// output_lookup_windows.cpp, staging_windows.cpp and room_windows.cpp); staged_output puts them
// in order.
//
// The rules every system keeps:
// - Private until whole: the staged file is readable and writable by its maker alone until
//   its content is complete and flushed; only then does it take what the file it replaces
//   carries, or what a plain new file in that folder gets.
// - One look-up: the output's name is looked up once; every later question about the file
//   found there is asked of what that look-up holds, never of the name again.
// - Shared folders: in a sticky folder that others may write, a link is followed, and a file
//   or FIFO replaced, only when it belongs to this user or to the folder's owner.
// - Refused before anything is written: whatever would make the final move fail.
// - Room by trying: the old file goes before the new one is whole only when a copy beside it
//   ran out of room and its removal gives back enough.
namespace halvek {

enum class target_kind {
    absent,   // nothing under the name: a new file takes it
    regular,  // a file, replaced by the staged one
    special,  // a device or a FIFO: written in place, in order
};

#ifdef _WIN32

// Windows' file calls take whole names, so the target is one: the long name of the file the
// output name leads to, in the system's \\?\ form, with the folder that holds it.
struct output_target {
    std::filesystem::path name;
    std::wstring folder_name;  // ends in a backslash
    file_handle folder;        // held for its flush after the move
    target_kind kind = target_kind::absent;
    file_id id;
    bool name_taken = false;       // whether `name` still holds the file to replace
    unsigned long attributes = 0;  // of the replaced file, for the new one
    // The replaced file's security descriptor as the probe read it, holding its access list
    // alone; empty where nothing is replaced.
    mutable std::vector<unsigned char> access_list;
    // The file the look-up found, for its attributes alone: it stands in no other program's way.
    // Closed once the probe has asked it what it must.
    mutable file_handle found;
    // The staged file, held with the right to rename and delete it whoever else opens it; kept
    // from its making on, when the rest of the target is only read.
    mutable file_handle staged;
};

#else

// What a replaced file carries that passes to the file that replaces it.
struct carried_attributes {
    struct stat status;
    std::optional<std::string> acl;
    std::vector<std::pair<std::string, std::string>> user_attributes;
};

// POSIX calls take a folder and a name in it, so the target is the folder, kept open for
// every step, and what the look-up found there, kept open as it was found.
struct output_target {
    file_handle folder;
    std::filesystem::path leaf;
    target_kind kind = target_kind::absent;
    file_id id;
    file_handle replaced;                       // the file found under the name, open for its questions
    bool leaf_holds_replaced = false;           // whether `leaf` still names it
    std::optional<carried_attributes> carried;  // read from it when it had to go for room
};

#endif

// Looks up where `name` leads and whether the output may go there (the rules above).
[[nodiscard]] file_error look_up_output(const std::filesystem::path& name, output_target& target);

// Opens the device or FIFO the target found, for writing in order.
[[nodiscard]] file_error open_in_place(const output_target& target, open_file& file);

// Makes the private staged file beside the target; a staged file with a name is registered
// in `name` from the moment it exists.
[[nodiscard]] file_error create_staged(const output_target& target, open_file& file, staged_name& name);

// After a copy ran out of room, or the staged file could not be made for want of it: empties
// the staged file, if there is one, and, where removing the replaced file gives back enough
// for `size` bytes, removes it; for a full quota (`shortage`), only a file that counts against
// it gives room back. no_room where it would not. On Windows the replaced file itself becomes
// the staged file, emptied, in `file` and `name`; on Linux a staged file still to be made is
// made after.
[[nodiscard]] file_error make_room(output_target& target, open_file& file, staged_name& name, std::int64_t size,
                                   file_error shortage);

// Flushes the staged file, gives it its attributes and puts it under the target's name. On
// failure the final name is as it was, and the staged file is removed with `name`.
[[nodiscard]] file_error place(output_target& target, open_file& file, staged_name& name);

// Hands what was written to a device or FIFO on to it; true where there is nothing to hand on.
[[nodiscard]] bool flush_in_place(const open_file& file);

}  // namespace halvek
