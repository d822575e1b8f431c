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

// Opens the name for writing, creating it if need be. Refuses, before anything is
// truncated, when the name leads to one of the files in `must_not_be`; only then is an
// existing regular file emptied.
[[nodiscard]] std::optional<open_file> open_for_writing(const std::filesystem::path& name,
                                                        std::span<const file_id> must_not_be);

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

// Removes the name; false when it could not.
bool remove_file(const std::filesystem::path& name);

#ifndef _WIN32
// Makes sure the standard streams' descriptors are taken, so that no file this program
// opens can land on one of them and receive console text.
void reserve_standard_descriptors() noexcept;
#endif

// The name as the console should show it.
[[nodiscard]] std::string printable_name(const std::filesystem::path& name);

}  // namespace halvek
