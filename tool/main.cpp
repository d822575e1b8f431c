#include "console.hpp"
#include "interrupts.hpp"
#include "patch_run.hpp"

#include <cstdlib>
#include <filesystem>
#include <new>

namespace {

// A failed allocation ends the run here, at once, rather than by an exception: where memory
// is that short, the runtime may have none left to throw one with. Whatever is staged goes
// first; a file without a name goes with the process.
[[noreturn]] void end_for_want_of_memory()
{
    halvek::staged_name::remove_all();
    halvek::show_out_of_memory();
    halvek::show_prompt(false);
    halvek::wait_for_enter();
    std::_Exit(0);
}

template <typename Char> int run(int argument_count, Char** arguments)
{
    halvek::remove_staged_names_on_interrupt();
    std::set_new_handler(end_for_want_of_memory);
    if (argument_count != 2) {
        halvek::print_usage();
    }
    const bool patched = argument_count == 2 && halvek::patch_image(std::filesystem::path(arguments[1]));
    halvek::show_prompt(patched);
    halvek::wait_for_enter();
    return 0;
}

}  // namespace

#ifdef _WIN32

// Arguments that are wildcard patterns arrive as the names they match, as a console user
// expects; the runtime's start-up does it when this is set.
extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming,cppcoreguidelines-avoid-non-const-global-variables)
int _dowildcard = -1;
}

// Wide arguments, so that names outside the system's ANSI code page arrive intact.
int wmain(int argc, wchar_t** argv)
{
    return run(argc, argv);
}

#else

int main(int argc, char** argv)
{
    return run(argc, argv);
}

#endif
