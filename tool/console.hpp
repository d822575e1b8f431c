#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

// Everything the program says, in one place: each stage of a run and each way it can end.
namespace halvek {

// The screen shown for a wrong command line.
void print_usage();

// The title and the three names, once both the input and the output image are open.
void show_names(const std::filesystem::path& input, const std::filesystem::path& output,
                const std::filesystem::path& save);

void show_complement(std::uint8_t complement);
void show_copying();
void show_making_save();
void show_success();

enum class failure { opening, reading, writing };

// One line naming the file whose open, read or write failed.
void show_failure(failure what, const std::filesystem::path& name);

void show_out_of_memory();

// The prompt, after the success message's own blank line or after one of its own.
void show_prompt(bool after_success);

// Waits for one character from standard input (Enter on a console); returns at once at end
// of input. Whatever was said before is shown first, so a console window opened by drag and
// drop stays readable until the user has seen it.
void wait_for_enter();

}  // namespace halvek
