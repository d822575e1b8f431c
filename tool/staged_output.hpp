#pragma once

#include "system_files.hpp"

#include <cstdint>
#include <filesystem>
#include <span>

namespace halvek {

// An output that is whole or absent. Its life, one state at a time:
//
//   idle      Nothing held. Where it starts, and where commit and discard leave it.
//   direct    `open` found a device or a FIFO: nothing to replace, so it is opened as it is
//             and written in order. `commit` flushes and closes it.
//   staged    `open` made a new file in the folder of the file the name leads to, with that
//             file's attributes. It has no name where the system allows; otherwise it is
//             `.halvek-<process>-<n>.tmp`, registered for removal on an interrupt from the
//             moment it exists (interrupts are held between the two). The final name keeps
//             what it held, unless there was room for only one copy: then the old file was
//             removed before the copy, and an interrupted run leaves the name absent.
//   placing   `commit` flushes the file to storage, then gives it the final name directly
//             where that name is free (never replacing one that appears meanwhile), or a
//             staged name that it moves over the final one. Between that naming and the move,
//             a hard kill or a power cut can leave the staged name behind.
//   committed The final name holds the new file; the folder is flushed, and a failure of
//             that flush is reported though the file stands complete under its name.
//
// `discard` (and the destructor) closes and removes whatever is staged, from any state.
class staged_output {
public:
    staged_output() = default;
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;
    staged_output(staged_output&&) = delete;
    staged_output& operator=(staged_output&&) = delete;
    ~staged_output() { discard(); }

    // Refuses, before anything is written, a folder, a file this process may not write or
    // replace, a link it may not follow, and a name that leads to one of the files in
    // `must_not_be`. `size` is what will be written, for the room it needs.
    [[nodiscard]] bool open(const std::filesystem::path& name, std::span<const file_id> must_not_be, std::int64_t size);

    [[nodiscard]] const open_file& file() const { return file_; }

    // Puts the written file under the final name, flushed to storage; false when that failed.
    [[nodiscard]] bool commit();

    void discard() noexcept;

private:
    template <typename Take> bool take_staged_name(Take take);
    bool stage(std::int64_t size);
    bool name_flushed_file();

    output_target target_;
    open_file file_;
    bool direct_ = false;
    std::filesystem::path staged_name_;  // empty while the file has no name
};

}  // namespace halvek
