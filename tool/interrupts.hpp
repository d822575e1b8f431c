#pragma once

#include "system_files.hpp"

#include <filesystem>

#ifndef _WIN32
#include <csignal>
#endif

// What happens to staged files when something ends the process before they are in place.
namespace halvek {

// Sets up how the process ends on every signal (or console event) whose default is to end it:
// every registered staged name is removed first, and the process then ends as asked. A closed
// pipe or a file size limit becomes a failed write instead.
void remove_staged_names_on_interrupt() noexcept;

// Keeps interrupts from acting while it lives, so that a name and its registration change
// together. Holds nest: each puts back what it found.
class interrupts_held {
public:
    interrupts_held() noexcept;
    interrupts_held(const interrupts_held&) = delete;
    interrupts_held& operator=(const interrupts_held&) = delete;
    interrupts_held(interrupts_held&&) = delete;
    interrupts_held& operator=(interrupts_held&&) = delete;
    ~interrupts_held();

#ifndef _WIN32
private:
    sigset_t found_{};
#endif
};

// One staged file's name, on the list that an interrupt empties: each entry is
// its own token, so any number of staged outputs can live at once. Registered from the moment
// the file exists under the name until it is moved, removed or forgotten.
class staged_name {
public:
    staged_name() = default;
    staged_name(const staged_name&) = delete;
    staged_name& operator=(const staged_name&) = delete;
    staged_name(staged_name&&) = delete;
    staged_name& operator=(staged_name&&) = delete;
    ~staged_name() { (void)remove(); }

    // Registers the name of a file just made, with what the system removes it through (`by`:
    // its folder on POSIX, the file's own handle or none on Windows); call it with interrupts held, so
    // that no interrupt comes between the file's making and its registration.
    void take(native_handle by, std::filesystem::path leaf) noexcept;
    // Forgets the name, whose file has become the output.
    void forget() noexcept;
    // Removes the file under the name and forgets the name; false when the removal failed.
    bool remove() noexcept;

    [[nodiscard]] bool empty() const noexcept { return leaf_.empty(); }
    [[nodiscard]] const std::filesystem::path& leaf() const noexcept { return leaf_; }

    // Removes every registered name; for an ending that cannot wait.
    static void remove_all() noexcept;

private:
    void unlink_from_list() noexcept;
    // The system's removal of `leaf` through `by`, safe in a signal handler.
    static bool remove_name(native_handle by, const std::filesystem::path& leaf) noexcept;

    native_handle by_ = no_handle;
    std::filesystem::path leaf_;
    staged_name* next_ = nullptr;
};

}  // namespace halvek
