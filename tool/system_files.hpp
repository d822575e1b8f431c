#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

// The system's file calls beneath the run, implemented once per system in
// system_files_linux.cpp and handles_windows.cpp. Nothing here knows of the run.
namespace halvek {

#ifdef _WIN32
using native_handle = void*;  // a HANDLE
// NOLINTNEXTLINE(misc-misplaced-const): the handle itself is the constant
inline constexpr native_handle no_handle = nullptr;
#else
using native_handle = int;  // a file descriptor
inline constexpr native_handle no_handle = -1;
#endif

// Owns one open file or folder for its whole life; nothing else closes it.
class file_handle {
public:
    file_handle() = default;
    explicit file_handle(native_handle handle) noexcept : handle_(handle) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    file_handle(file_handle&& other) noexcept : handle_(other.handle_) { other.handle_ = no_handle; }
    file_handle& operator=(file_handle&& other) noexcept
    {
        if (this != &other) {
            (void)close();
            handle_ = other.handle_;
            other.handle_ = no_handle;
        }
        return *this;
    }
    ~file_handle() { (void)close(); }

    [[nodiscard]] native_handle get() const noexcept { return handle_; }
    [[nodiscard]] explicit operator bool() const noexcept { return handle_ != no_handle; }

    // False when the system reports a failure, as a full disk or a network file system may at
    // the close of a written file.
    bool close() noexcept;

private:
    native_handle handle_ = no_handle;
};

// Why a step failed, as far as the run and the staging act on it.
enum class file_error {
    none,
    refused,      // the file may not be used as asked: its kind, its owner, its marks, a link
    name_taken,   // a new name was asked for and something stands there
    unsupported,  // the file system cannot do it (files without names, for one)
    no_room,      // the device is full
    no_quota,     // the user's quota is full: only what counts against it gives room back
    failed,       // anything else
};

// Whether a step failed for want of room, which removing the replaced file may give.
[[nodiscard]] constexpr bool out_of_room(file_error error)
{
    return error == file_error::no_room || error == file_error::no_quota;
}

// Tells whether two names lead to the same file, whatever links lie between them.
struct file_id {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    friend bool operator==(const file_id&, const file_id&) = default;
};

struct open_file {
    file_handle handle;
    file_id id;
    bool regular = false;
    std::int64_t size = 0;
};

// Opens an existing regular file for reading; anything else (a folder, a FIFO, a device) is
// refused without blocking.
[[nodiscard]] std::optional<open_file> open_for_reading(const std::filesystem::path& name);

// Reads up to bytes.size() bytes at `offset`; returns how many, 0 at end of file, -1 on error.
[[nodiscard]] std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes);

// Writes all of `bytes` at `offset`; a file that is not regular takes them in order instead.
[[nodiscard]] file_error write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes);

// Lets the system copy input[offset, offset + count) to the same place in the output where it
// can do so without passing the bytes through this process. Returns how many bytes it copied
// from `offset` on; whatever is left, or went wrong, is for the caller's own loop.
[[nodiscard]] std::int64_t copy_in_system(const open_file& input, const open_file& output, std::int64_t offset,
                                          std::int64_t count);

// The name as the console should show it.
[[nodiscard]] std::string printable_name(const std::filesystem::path& name);

}  // namespace halvek
