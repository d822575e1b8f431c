// Shows the output code page of the console it runs in, for the tests of the Windows build.
#include <cstdio>
#include <windows.h>

int wmain()
{
    std::printf("output code page %u\n", GetConsoleOutputCP());
    return 0;
}
