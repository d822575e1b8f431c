#pragma once

#include <string_view>

namespace halvek {

// Writes one message to standard output: its UTF-8 bytes, or, in a Windows console, the
// same text as the console shows it.
void say(std::string_view text);

// The screen shown for a wrong command line.
void print_usage();

// Waits for one character from standard input (Enter on a console); returns at once at end
// of input. Whatever was said before is shown first, so a console window opened by drag and
// drop stays readable until the user has seen it.
void wait_for_enter();

}  // namespace halvek
