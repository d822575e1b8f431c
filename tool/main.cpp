#include "console.hpp"
#include "file_io.hpp"
#include "patch_run.hpp"

#include <filesystem>
#include <new>

namespace {

template <typename Char> int run(int argument_count, Char** arguments)
{
    if (argument_count != 2) {
        halvek::print_usage();
    }
    bool patched = false;
    if (argument_count == 2) {
        try {
            patched = halvek::patch_image(std::filesystem::path(arguments[1]));
        } catch (const std::bad_alloc&) {
            // Unwinding has removed whatever was staged.
            halvek::say("Not enough memory.\n");
        }
    }
    // Only the success message ends in its own blank line.
    halvek::say(patched ? "press <enter> to quit...\n" : "\npress <enter> to quit...\n");
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
    halvek::remove_staged_files_on_interrupt();
    return run(argc, argv);
}

#else

int main(int argc, char** argv)
{
    halvek::remove_staged_files_on_interrupt();
    return run(argc, argv);
}

#endif
