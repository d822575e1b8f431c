#pragma once

#include "staging.hpp"
#include "system_files.hpp"

#include <optional>

// The attributes that pass from a replaced file to the file that replaces it, and those a
// plain new file gets from its folder.
namespace halvek {

// Whether the last attribute call failed only because there is no such attribute, or the
// file system keeps none.
[[nodiscard]] bool no_such_attribute(int cause);

// What `cp -p` and `rsync -AX` keep: owner, group, mode, the ACL and the user's own
// attributes; nothing where any of them could not be read. Security labels are the system's
// to give.
[[nodiscard]] std::optional<carried_attributes> read_carried(const file_handle& replaced);

// Gives the new file in `folder` what the replaced one carried; false where any of it could
// not be given.
[[nodiscard]] bool give_carried(const carried_attributes& carried, const file_handle& folder, const file_handle& file);

// What a plain create gives a new file in `folder`; false where that could not be read or given.
[[nodiscard]] bool give_new_file_attributes(const file_handle& folder, const file_handle& file);

// Strips the file's ACL, if it has one: a file just made keeps none of what the folder's
// default gave it, and is its maker's alone.
[[nodiscard]] bool remove_acl(const file_handle& file);

}  // namespace halvek
