#include "console.hpp"

#include <cstdio>

namespace halvek {

// The console is the only place a failure could be reported, so one there goes unreported.
void say(std::string_view text)
{
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_usage()
{
    say("Halvek - Patches SRAM string to 64k\n");
    say("-----------------------------------\n");
    say("Invalid command line.\n");
    say("Usage:\n\tHalvek.exe infile.nds\n");
    say("Or use Windows drag and drop\n");
    say("-----------------------------------\n");
}

void wait_for_enter()
{
    (void)std::fflush(stdout);
    (void)std::fgetc(stdin);  // any character, or the end of input, ends the wait
}

}  // namespace halvek
