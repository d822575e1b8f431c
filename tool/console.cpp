#include "console.hpp"

#include "system_files.hpp"
#include "texts.hpp"

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

// Each message goes out whole as soon as it is said, so that a log or a pipe shows how far a
// run came even when a signal ends it.
void say(std::string_view text)
{
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
    (void)std::fflush(stdout);
}

#endif

// The text with its one "{}" replaced by the value.
std::string filled(std::string_view text, std::string_view value)
{
    const std::size_t at = text.find("{}");
    return std::string(text.substr(0, at)).append(value).append(text.substr(at + 2));
}

void say_with_name(std::string_view text, const std::filesystem::path& name)
{
    say(filled(text, printable_name(name)));
}

}  // namespace

void print_usage()
{
    say(texts::usage);
}

void show_names(const std::filesystem::path& input, const std::filesystem::path& output,
                const std::filesystem::path& save)
{
    const std::string title = filled(texts::title, HALVEK_VERSION);
    say(title + "\n" + std::string(title.size(), '-') + "\n");
    say_with_name(texts::input_name, input);
    say_with_name(texts::output_name, output);
    say_with_name(texts::save_name, save);
}

void show_complement(std::uint8_t complement)
{
    std::array<char, 2> digits{};
    auto* const end = std::to_chars(digits.begin(), digits.end(), complement, 16).ptr;
    say(filled(texts::complement, std::string_view(digits.begin(), end)));
}

void show_copying()
{
    say(texts::copying);
}

void show_making_save()
{
    say(texts::making_save);
}

void show_success()
{
    say(texts::success);
}

void show_failure(failure what, const std::filesystem::path& name)
{
    constexpr std::array<std::string_view, 3> lines{texts::opening_failed, texts::reading_failed,
                                                    texts::writing_failed};
    say_with_name(lines.at(static_cast<std::size_t>(what)), name);
}

void show_out_of_memory()
{
    say(texts::out_of_memory);
}

void show_prompt(bool after_success)
{
    // Only the success message ends in its own blank line.
    if (!after_success) {
        say("\n");
    }
    say(texts::prompt);
}

void wait_for_enter()
{
    (void)std::fflush(stdout);
    (void)std::fgetc(stdin);  // any character, or the end of input, ends the wait
}

}  // namespace halvek
