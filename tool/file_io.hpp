#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

// The few file operations the run needs, over the system's own descriptors, so that
// every failure is seen (including those that only show at close) and the copy can use
// the system's file-copy call.
namespace halvek {

// Tells whether two names lead to the same file, whatever links lie between them.
struct file_id {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    friend bool operator==(const file_id&, const file_id&) = default;
};

struct open_file {
    int descriptor = -1;
    file_id id;
    bool regular = false;
    std::int64_t size = 0;
};

// Opens an existing regular file for reading; anything else (a directory, a FIFO, a
// device) is refused without blocking.
[[nodiscard]] std::optional<open_file> open_for_reading(const std::filesystem::path& name);

// An output that is whole or absent: its bytes go to a new file beside the one it
// replaces, and only `commit` puts that file under the final name, once it is on storage.
// Until then the final name keeps what it held. A name that leads to a device or a FIFO
// has nothing to replace and is written directly.
class staged_output {
public:
    staged_output() = default;
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;
    staged_output(staged_output&&) = delete;
    staged_output& operator=(staged_output&&) = delete;
    ~staged_output() { discard(); }

    // Refuses, before anything is written, a folder, a file it may not write, and a name
    // that leads to one of the files in `must_not_be`. A symbolic link stays: the file it
    // leads to is the one replaced, and its permissions carry over.
    [[nodiscard]] bool open(const std::filesystem::path& name, std::span<const file_id> must_not_be);

    [[nodiscard]] const open_file& file() const { return file_; }

    // Flushes the file to storage and moves it over the final name in one step; on
    // failure nothing staged is left and the final name is as it was.
    [[nodiscard]] bool commit();

    // Closes and removes whatever is staged; the final name is untouched.
    void discard() noexcept;

private:
    open_file file_;
    std::filesystem::path final_name_;   // empty when written directly
    std::filesystem::path staged_name_;  // empty while the staged file has no name
};

// Reads up to bytes.size() bytes at `offset`; returns how many, 0 at end of file, -1 on error.
[[nodiscard]] std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes);

// Writes all of `bytes` at `offset`.
[[nodiscard]] bool write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes);

// Lets the system copy input[offset, offset + count) to the same place in the output where
// it can do so without passing the bytes through this process. Returns how many bytes it
// copied from `offset` on; whatever is left, or went wrong, is for the caller's own loop.
[[nodiscard]] std::int64_t copy_in_system(const open_file& input, const open_file& output, std::int64_t offset,
                                          std::int64_t count);

// Closes the file; false when the system reports a failure, as a full disk may at close.
[[nodiscard]] bool close_file(const open_file& file);

// Sets up how the process ends when it is interrupted (Ctrl+C, a closed console, a
// termination request): whatever is staged is removed first. A closed pipe or a file size
// limit becomes a failed write instead of the end of the process.
void remove_staged_files_on_interrupt() noexcept;

// The name as the console should show it.
[[nodiscard]] std::string printable_name(const std::filesystem::path& name);

}  // namespace halvek
