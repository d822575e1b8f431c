#pragma once

#include "interrupts.hpp"
#include "staging.hpp"
#include "system_files.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace halvek {

// The file an output name leads to, where there is one.
[[nodiscard]] std::optional<file_id> existing_output(const std::filesystem::path& name);

// An output that is whole or absent. The steps are each system's (staging.hpp); this owner
// keeps them in order and ends whatever is staged on every early return.
class staged_output {
public:
    enum class state {
        idle,     // nothing held: where it starts, and where it ends after a failure
        direct,   // a device or FIFO, opened to be written in order
        writing,  // a private staged file, written by the run
        placed,   // the final name holds the new file; nothing is staged
    };

    staged_output() = default;
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;
    staged_output(staged_output&&) = delete;
    staged_output& operator=(staged_output&&) = delete;
    ~staged_output() { discard(); }

    // Looks up the name and stages the output there, for `size` bytes. Refused: whatever the
    // rules refuse, and a name that leads to one of the files in `must_not_be`.
    [[nodiscard]] file_error open(const std::filesystem::path& name, std::span<const file_id> must_not_be,
                                  std::int64_t size);

    [[nodiscard]] const open_file& file() const { return file_; }

    // After the copy ran out of room (`shortage`: the device's or the quota's): makes room for
    // `size` bytes where the replaced file's removal gives it; the copy then starts again.
    [[nodiscard]] file_error make_room(std::int64_t size, file_error shortage);

    // Puts the written file under the final name, flushed to storage.
    [[nodiscard]] file_error commit();

    // Closes and removes whatever is staged; the final name stays as it was.
    void discard() noexcept;

private:
    state state_ = state::idle;
    output_target target_;
    open_file file_;
    staged_name staged_;  // empty while the staged file has no name
};

}  // namespace halvek
