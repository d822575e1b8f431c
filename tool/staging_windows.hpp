#pragma once

// What the Windows look-up and access lists give the staging steps beyond staging.hpp.
#include "handles_windows.hpp"
#include "staging.hpp"

#include <cstdint>
#include <vector>

namespace halvek {

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
