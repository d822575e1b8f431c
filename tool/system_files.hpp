#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>

// The system's file calls beneath the run and its staged outputs, each implemented once per
// system: system_files_windows.cpp, or system_files_posix.cpp with the calls only Linux has
// in system_files_linux.cpp. Nothing here knows of the run or of staging.
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

// Opens an existing regular file for reading; anything else (a directory, a FIFO, a device)
// is refused without blocking.
[[nodiscard]] std::optional<open_file> open_for_reading(const std::filesystem::path& name);

// The open file's identity, kind and size.
[[nodiscard]] std::optional<open_file> describe(int descriptor);

// Reads up to bytes.size() bytes at `offset`; returns how many, 0 at end of file, -1 on error.
[[nodiscard]] std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes);

// Writes all of `bytes` at `offset`; a file that is not regular takes them in order instead.
[[nodiscard]] bool write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes);

// Lets the system copy input[offset, offset + count) to the same place in the output where it
// can do so without passing the bytes through this process. Returns how many bytes it copied
// from `offset` on; whatever is left, or went wrong, is for the caller's own loop.
[[nodiscard]] std::int64_t copy_in_system(const open_file& input, const open_file& output, std::int64_t offset,
                                          std::int64_t count);

// Hands what was written to the storage device; true where there is nothing to hand on (a
// FIFO, a terminal).
[[nodiscard]] bool flush_file(const open_file& file);

// Closes the file; false when the system reports a failure, as a full disk may at close.
[[nodiscard]] bool close_file(const open_file& file);

// A folder held for every step on one output. On POSIX it is open, so that no step looks its
// path up again and a staged name is never longer than the final one; Windows' calls take
// whole names, so there it is the folder's name.
class folder {
public:
    folder() = default;
#ifdef _WIN32
    explicit folder(std::filesystem::path name) : name_(std::move(name)) {}
    [[nodiscard]] const std::filesystem::path& name() const
    {
        return name_;
    }
#else
    folder(int descriptor, bool flushable) : descriptor_(descriptor), flushable_(flushable) {}
    [[nodiscard]] int descriptor() const
    {
        return descriptor_;
    }
    // False for a folder this process may write into but not read: it cannot be flushed.
    [[nodiscard]] bool flushable() const
    {
        return flushable_;
    }
#endif
    folder(const folder&) = delete;
    folder& operator=(const folder&) = delete;
    folder(folder&& other) noexcept;
    folder& operator=(folder&& other) noexcept;
    ~folder();

private:
#ifdef _WIN32
    std::filesystem::path name_;
#else
    int descriptor_ = -1;
    bool flushable_ = false;
#endif
};

enum class file_kind { absent, regular, directory, other };

// Where an output name leads once links are followed. `leaf` is the file's name within
// `where` (on Windows the whole name, which the calls below take as it is).
struct output_target {
    folder where;
    std::filesystem::path leaf;
    file_kind kind = file_kind::absent;
    file_id id;
    std::int64_t freed_by_removal = 0;  // what removing the file gives back (0 where other names keep it)
};

// What an output name leads to. Nothing is read from or written to it. nullopt when it cannot
// be told, when a link on the way may not be followed, or when the file there is one this
// process may not write or may not replace.
[[nodiscard]] std::optional<output_target> look_up_output(const std::filesystem::path& name);

// Opens the device or FIFO the target names for writing in order, provided it is still the
// file that was looked up.
[[nodiscard]] std::optional<open_file> open_in_place(const output_target& target);

// Creates a file with no name in the folder, or returns -1; `unnamed_unsupported` then tells
// whether the system or the file system lacks such files.
[[nodiscard]] int create_unnamed(const folder& where);
[[nodiscard]] bool unnamed_unsupported() noexcept;

// Creates a new file under `leaf`, never one that exists; -1 on failure.
[[nodiscard]] int create_new(const folder& where, const std::filesystem::path& leaf);

// Gives an unnamed file the name `leaf`, never taking one that exists.
[[nodiscard]] bool name_unnamed(const open_file& file, const folder& where, const std::filesystem::path& leaf);

// Whether the last failed create or naming failed because the name was taken.
[[nodiscard]] bool name_was_in_use() noexcept;

// Gives the new file what the file it replaces carries, as far as this process may: the
// permissions, owner and group, ACL and user attributes. (On Windows, the file attributes
// pass at the move, so that the staged file stays hidden until then.)
void carry_over(const output_target& replaced, const open_file& successor);

// Bytes free to this process in the folder's file system.
[[nodiscard]] std::int64_t free_space(const folder& where);

// The replaced file's cached pages are given up before the new one is written, so that the
// new file can reuse that memory. Its content stays.
void release_cached_pages(const output_target& replaced);

// Moves `from` over `to` in one step; on Windows a brief lock on `to` is waited out.
[[nodiscard]] bool move_over(const folder& where, const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes the folder's entries to storage. A folder that cannot be read counts as flushed: a
// write in place would not have flushed it either.
[[nodiscard]] bool flush_folder(const folder& where);

// Removes the name, without allocating; false when it could not.
bool remove_file(const folder& where, const std::filesystem::path& leaf) noexcept;

// This process's number, which keeps its staged names apart from those of other runs.
[[nodiscard]] unsigned long process_number() noexcept;

// Sets up how the process ends on each signal (or console event) that asks it to: whatever
// is registered below is removed first, and the process then ends as asked. A closed pipe or
// a file size limit becomes a failed write instead of the end of the process.
void remove_staged_file_on_interrupt() noexcept;

// Keeps interrupts from acting while it lives, so that a name and its registration change
// together.
class interrupts_held {
public:
    interrupts_held() noexcept;
    interrupts_held(const interrupts_held&) = delete;
    interrupts_held& operator=(const interrupts_held&) = delete;
    interrupts_held(interrupts_held&&) = delete;
    interrupts_held& operator=(interrupts_held&&) = delete;
    ~interrupts_held();
};

// Registers the one staged name an interrupt removes, or withdraws it. Call both while
// interrupts are held; the name must stay unchanged until it is withdrawn.
void remove_on_interrupt(const folder& where, const std::filesystem::path& leaf) noexcept;
void withdraw_from_interrupt() noexcept;

// Removes the registered name now, for a run that must end at once.
void remove_registered_file() noexcept;

// The name as the console should show it.
[[nodiscard]] std::string printable_name(const std::filesystem::path& name);

}  // namespace halvek
