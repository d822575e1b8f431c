#include "console.hpp"

#include <cstdio>

#ifdef _WIN32
#include <string>
#include <windows.h>
#endif

namespace halvek {

// The console is the only place a failure could be reported, so one there goes unreported.
#ifdef _WIN32

// A console is given the text as UTF-16, the whole message in one call: the runtime would
// convert UTF-8 bytes a second time, and older consoles garble a character that is split
// across writes. Anything else gets the bytes the runtime's text mode wrote before: UTF-8,
// with CR LF line ends. The console's code pages are left as the user has them.
void say(std::string_view text)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode) != 0) {
        const auto length = static_cast<int>(text.size());
        std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0)),
                          L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), static_cast<int>(wide.size()));
        (void)WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::string lines;
    for (const char character : text) {
        if (character == '\n') {
            lines += '\r';
        }
        lines += character;
    }
    (void)WriteFile(output, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

#else

void say(std::string_view text)
{
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

#endif

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
