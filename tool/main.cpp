#include "console.hpp"
#include "file_io.hpp"
#include "patch_run.hpp"

int main(int argc, char** argv)
{
    halvek::reserve_standard_descriptors();
    if (argc != 2) {
        halvek::print_usage();
    }
    const bool patched = argc == 2 && halvek::patch_image(argv[1]);
    // Only the success message ends in its own blank line.
    halvek::say(patched ? "press <enter> to quit...\n" : "\npress <enter> to quit...\n");
    halvek::wait_for_enter();
    return 0;
}
