#pragma once

// What the Windows look-up and access lists give the staging steps beyond staging.hpp.
#include "handles_windows.hpp"
#include "staging.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halvek {

// What a file's basic information sets; the rest (compression, a sparse file) has calls of its own.
inline constexpr DWORD settable_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                             FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY |
                                             FILE_ATTRIBUTE_OFFLINE;

// Sets the file's attributes; none at all where `attributes` is 0.
[[nodiscard]] file_error set_attributes(const file_handle& file, DWORD attributes);

// Staged names are `.halvek-<32 random hex digits>.tmp` in the target's folder; a name taken is
// passed over. `make` puts a file under the name and keeps it in `target.staged`, or fails with
// the system's error set; the name is registered, with that handle to remove it by, with
// interrupts held, so that none comes between the two.
[[nodiscard]] file_error take_staged_name(const output_target& target, staged_name& name,
                                          const std::function<bool(const std::wstring&)>& make);

// Whether the held file could be removed, which a mapped one cannot: the mark is taken back at
// once, and changes nothing.
[[nodiscard]] bool removable(const file_handle& file);

// The run writes the staged file through a handle of its own, beside the one that renames it.
[[nodiscard]] file_error writer_of(const file_handle& staged, open_file& file);

// Whether the file the look-up found can be replaced at the end, asked of the handle the
// look-up holds and answered without changing anything; the handle is closed after. Reads the
// file's access list into the target on the way.
[[nodiscard]] file_error probe_replacing(const output_target& target);

// The replaced file's security descriptor, with its access list alone.
[[nodiscard]] bool read_access_list(const file_handle& replaced, std::vector<unsigned char>& access_list);

// Gives the staged file the access list read from the file it replaces.
[[nodiscard]] bool give_access_list(const file_handle& staged, std::vector<unsigned char>& access_list);

// A security descriptor whose access list lets this process's user alone in, and keeps out
// what the folder would pass on: for a staged file, private until it is whole.
class private_access {
public:
    [[nodiscard]] bool make() noexcept;
    [[nodiscard]] SECURITY_ATTRIBUTES attributes() noexcept
    {
        return {.nLength = sizeof(SECURITY_ATTRIBUTES), .lpSecurityDescriptor = &descriptor_, .bInheritHandle = FALSE};
    }

private:
    std::vector<std::uint64_t> user_;  // the user's TOKEN_USER record
    std::vector<std::uint64_t> list_;  // the access list
    SECURITY_DESCRIPTOR descriptor_{};
};

}  // namespace halvek
