#pragma once

#include "file_io.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// What each system provides beneath file_io: opening and describing files, and staging an
// output beside the file it replaces.
namespace halvek {

enum class open_mode { read, write_in_place };

// Opens an existing file and returns its descriptor, or -1. Neither mode creates or empties
// a file, or waits for a peer, as a FIFO's open would.
[[nodiscard]] int open_descriptor(const std::filesystem::path& name, open_mode mode);

// The open file's identity, kind and size.
[[nodiscard]] std::optional<open_file> describe(int descriptor);

enum class file_kind { absent, regular, directory, other };

struct output_target {
    std::filesystem::path name;  // where the output's name leads, links followed
    file_kind kind = file_kind::absent;
    file_id id;
    std::uint32_t permissions = 0;
};

// What an output name leads to. Nothing is read from or written to it: a device opened by
// name can act. nullopt when that cannot be told, or when it is an existing file this
// process may not write.
[[nodiscard]] std::optional<output_target> look_up_output(const std::filesystem::path& name);

// Creates an empty file in the target's folder, with the target's permissions when it
// exists, and returns its descriptor, or -1. `staged_name` is set while the file has a
// name; where the system can, it has none until it is put in place.
[[nodiscard]] int create_staged(const output_target& target, std::filesystem::path& staged_name);

// Flushes the staged file to storage, closes it, and moves it over `final_name` in one
// step that is itself flushed. `staged_name` is cleared once nothing is left to remove.
[[nodiscard]] bool put_in_place(const open_file& file, std::filesystem::path& staged_name,
                                const std::filesystem::path& final_name);

// Removes the name, without allocating; false when it could not.
bool remove_file(const std::filesystem::path& name) noexcept;

// The staged name an interrupt must remove (nullptr: none). It must stay unchanged until
// it is withdrawn.
void remove_on_interrupt(const std::filesystem::path* name) noexcept;

// Forgets the staged name once nothing under it is left to remove, withdrawing it from
// the interrupt handler before it changes.
inline void forget_staged_name(std::filesystem::path& name) noexcept
{
    remove_on_interrupt(nullptr);
    name.clear();
}

// This process's number, which keeps its staged names apart from those of other runs.
[[nodiscard]] unsigned long process_number() noexcept;

// Whether the last failed call failed because the name it was to create is in use.
[[nodiscard]] bool name_was_in_use() noexcept;

// Sets `name` to a fresh name in `folder` and tries `take` (which creates something under
// it) until one is taken, or `take` fails for a reason other than the name being in use.
// The name is marked for removal on an interrupt from before it is taken; if none is
// taken, it is cleared again.
template <typename Take>
bool take_fresh_name(const std::filesystem::path& folder, std::filesystem::path& name, Take take)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        remove_on_interrupt(nullptr);
        name = folder / (".halvek-" + std::to_string(process_number()) + "-" + std::to_string(attempt) + ".tmp");
        remove_on_interrupt(&name);
        if (take(name)) {
            return true;
        }
        if (!name_was_in_use()) {
            break;
        }
    }
    forget_staged_name(name);
    return false;
}

}  // namespace halvek
