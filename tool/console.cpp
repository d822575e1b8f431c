#include "console.hpp"

#include "system_files.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <algorithm>
#include <windows.h>
#endif

namespace halvek {
namespace {

// The console is the only place a failure could be reported, so one there goes unreported.
#ifdef _WIN32

// A console is given the text as UTF-16, the whole message in one call: the runtime would
// convert UTF-8 bytes a second time, and older consoles garble a character that is split
// across writes. Anything else gets the bytes the runtime's text mode wrote before: UTF-8,
// with CR LF line ends. The console's code pages are left as the user has them. Nothing is
// allocated for a message that fits on the stack, so that even running out of memory can be
// reported.
void say(std::string_view text)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode) != 0) {
        const auto length = static_cast<int>(text.size());
        const int wide_length = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
        std::array<wchar_t, 512> on_stack{};
        std::wstring on_heap;
        wchar_t* wide = on_stack.data();
        if (static_cast<std::size_t>(wide_length) > on_stack.size()) {
            on_heap.resize(static_cast<std::size_t>(wide_length));
            wide = on_heap.data();
        }
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide, wide_length);
        (void)WriteConsoleW(output, wide, static_cast<DWORD>(wide_length), &written, nullptr);
        return;
    }
    while (!text.empty()) {
        const std::size_t line_length = std::min(text.find('\n'), text.size());
        (void)WriteFile(output, text.data(), static_cast<DWORD>(line_length), &written, nullptr);
        if (line_length < text.size()) {
            (void)WriteFile(output, "\r\n", 2, &written, nullptr);
        }
        text.remove_prefix(std::min(line_length + 1, text.size()));
    }
}

#else

void say(std::string_view text)
{
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

#endif

void say_with_name(std::string_view before, const std::filesystem::path& name, std::string_view after)
{
    say(std::string(before) + printable_name(name) + std::string(after));
}

}  // namespace

void print_usage()
{
    say("Halvek - Patches SRAM string to 64k\n");
    say("-----------------------------------\n");
    say("Invalid command line.\n");
    say("Usage:\n\tHalvek.exe infile.nds\n");
    say("Or use Windows drag and drop\n");
    say("-----------------------------------\n");
}

void show_names(const std::filesystem::path& input, const std::filesystem::path& output,
                const std::filesystem::path& save)
{
    // The title is underlined by as many dashes as it is long.
    constexpr std::string_view title = "Halvek " HALVEK_VERSION;
    say(std::string(title) + "\n" + std::string(title.size(), '-') + "\n");
    say_with_name("input file : ", input, "\n");
    say_with_name("output file: ", output, "\n");
    say_with_name("saver file : ", save, "\n\n");
}

void show_complement(std::uint8_t complement)
{
    std::array<char, 2> digits{};
    auto* const end = std::to_chars(digits.begin(), digits.end(), complement, 16).ptr;
    say("comp: " + std::string(digits.begin(), end) + "\n\n");
}

void show_copying()
{
    say("Copying file...\n\n");
}

void show_making_save()
{
    say("Making blank save file...\n\n");
}

void show_success()
{
    say("Finished......Success!\n\n"
        "You will have to rename the .out and .sav to your preference\n"
        "and place them in the proper places\n\n");
}

void show_failure(failure what, const std::filesystem::path& name)
{
    constexpr std::array<std::string_view, 3> verbs{"Error opening ", "Error reading ", "Error writing "};
    say_with_name(verbs.at(static_cast<std::size_t>(what)), name, ".\n");
}

void show_out_of_memory()
{
    say("Not enough memory.\n");
}

void show_prompt(bool after_success)
{
    // Only the success message ends in its own blank line.
    say(after_success ? "press <enter> to quit...\n" : "\npress <enter> to quit...\n");
}

void wait_for_enter()
{
    (void)std::fflush(stdout);
    (void)std::fgetc(stdin);  // any character, or the end of input, ends the wait
}

}  // namespace halvek
