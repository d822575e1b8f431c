// What the Windows tests do to a file as other programs do: hold it open, or set and show its
// attributes.
//
// Usage: windows_file hold PATH [MILLISECONDS]    open PATH as fopen("r+b") does (read and write
//                                                  shared, deletion not), say "held", and keep it
//                                                  until standard input ends or the time is up
//        windows_file hold-staged FOLDER PATH MS  say "waiting", then the same from when a staged
//                                                  file appears in FOLDER (for a minute at most)
//        windows_file attributes PATH [VALUE]     set the attributes to VALUE, then print them
#include <cstdio>
#include <cstdlib>
#include <string>
#include <windows.h>

namespace {

bool staged_file_in(const std::wstring& folder)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\.halvek-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return true;
}

int hold(const std::wstring& path, DWORD milliseconds)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    if (milliseconds == 0) {
        char ignored = 0;
        DWORD count = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &ignored, 1, &count, nullptr) != 0 && count != 0) {
        }
    } else {
        Sleep(milliseconds);
    }
    CloseHandle(file);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"hold" && argc >= 3) {
        return hold(argv[2], argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 0);
    }
    if (verb == L"hold-staged" && argc == 5) {
        std::printf("waiting\n");
        std::fflush(stdout);
        constexpr int most_polls = 60000;  // a minute
        for (int polls = 0; !staged_file_in(argv[2]); ++polls) {
            if (polls == most_polls) {
                std::printf("no staged file\n");
                return 1;
            }
            Sleep(1);
        }
        return hold(argv[3], std::wcstoul(argv[4], nullptr, 10));
    }
    if (verb == L"attributes" && argc >= 3) {
        if (argc > 3 && SetFileAttributesW(argv[2], std::wcstoul(argv[3], nullptr, 16)) == 0) {
            return 1;
        }
        std::printf("%lx\n", GetFileAttributesW(argv[2]));
        return 0;
    }
    std::fputs("usage: windows_file hold PATH [MS] | hold-staged FOLDER PATH MS | attributes PATH [VALUE]\n", stderr);
    return 2;
}
