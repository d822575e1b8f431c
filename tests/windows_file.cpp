// What the Windows tests do to a file as other programs do: hold it open, or set and show its
// attributes.
//
// Usage: windows_file hold PATH [MS [WAY]]        open PATH as WAY says, say "held", and keep it
//                                                  until standard input ends or the time is up;
//                                                  WAY: open (as fopen("r+b"): read and write
//                                                  shared, deletion not, the default), sharing
//                                                  (read and write, sharing all), attributes (for
//                                                  them alone, sharing nothing) or mapped (a view
//                                                  of it, its handles closed)
//        windows_file hold-staged FOLDER PATH MS  say "waiting", then the same from when a staged
//                                                  file appears in FOLDER (for a minute at most)
//        windows_file grab-staged FOLDER          say "waiting", then keep trying to open any staged
//                                                  file in FOLDER as a virus scanner may (to read,
//                                                  sharing read and write, deletion not); hold the first
//                                                  it gets, until standard input ends; then say
//                                                  "held" or "never held"
//        windows_file attributes PATH [VALUE]     set the attributes to VALUE, then print them
//        windows_file short PATH                  print the short (8.3) name of PATH's last part
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <windows.h>

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The first staged file in FOLDER, or an empty name.
std::wstring staged_file_in(const std::wstring& folder)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\.halvek-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return {};
    }
    FindClose(search);
    return folder + L"\\" + found.cFileName;
}

void wait_for_end_of_input()
{
    char ignored = 0;
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &ignored, 1, &count, nullptr) != 0 && count != 0) {
    }
}

HANDLE open_as(const std::wstring& path, const std::wstring& way)
{
    const DWORD access = way == L"attributes" ? FILE_READ_ATTRIBUTES : GENERIC_READ | GENERIC_WRITE;
    const DWORD share = way == L"open" ? FILE_SHARE_READ | FILE_SHARE_WRITE : way == L"attributes" ? 0 : share_all;
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

int hold(const std::wstring& path, DWORD milliseconds, const std::wstring& way)
{
    // A moment's sharing violation (a run's own probe) is waited out, as programs do.
    HANDLE file = open_as(path, way);
    for (int tries = 0; file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION && tries < 100;
         ++tries) {
        Sleep(10);
        file = open_as(path, way);
    }
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: %lu\n", GetLastError());
        return 1;
    }
    void* view = nullptr;
    if (way == L"mapped") {
        HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        if (mapping != nullptr) {
            CloseHandle(mapping);
        }
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (view == nullptr) {
            std::printf("cannot map: %lu\n", GetLastError());
            return 1;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);
    if (milliseconds == 0) {
        wait_for_end_of_input();
    } else {
        Sleep(milliseconds);
    }
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return 0;
}

// Until standard input ends, on a thread of its own.
DWORD WINAPI grab_staged(void* folder)
{
    HANDLE held = INVALID_HANDLE_VALUE;
    while (held == INVALID_HANDLE_VALUE) {
        const std::wstring staged = staged_file_in(*static_cast<const std::wstring*>(folder));
        if (!staged.empty()) {
            held = CreateFileW(staged.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        }
    }
    return 0;  // held to the process's end
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"hold" && argc >= 3) {
        return hold(argv[2], argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 0, argc > 4 ? argv[4] : L"open");
    }
    if (verb == L"hold-staged" && argc == 5) {
        std::printf("waiting\n");
        std::fflush(stdout);
        constexpr int most_polls = 60000;  // a minute
        for (int polls = 0; staged_file_in(argv[2]).empty(); ++polls) {
            if (polls == most_polls) {
                std::printf("no staged file\n");
                return 1;
            }
            Sleep(1);
        }
        return hold(argv[3], std::wcstoul(argv[4], nullptr, 10), L"open");
    }
    if (verb == L"grab-staged" && argc == 3) {
        std::printf("waiting\n");
        std::fflush(stdout);
        const std::wstring folder = argv[2];
        HANDLE grabber = CreateThread(nullptr, 0, grab_staged, const_cast<std::wstring*>(&folder), 0, nullptr);
        wait_for_end_of_input();
        std::printf(WaitForSingleObject(grabber, 0) == WAIT_OBJECT_0 ? "held\n" : "never held\n");
        std::fflush(stdout);
        ExitProcess(0);  // the grabbing thread may still be trying
    }
    if (verb == L"attributes" && argc >= 3) {
        if (argc > 3 && SetFileAttributesW(argv[2], std::wcstoul(argv[3], nullptr, 16)) == 0) {
            return 1;
        }
        std::printf("%lx\n", GetFileAttributesW(argv[2]));
        return 0;
    }
    if (verb == L"short" && argc == 3) {
        wchar_t name[MAX_PATH] = {};
        if (GetShortPathNameW(argv[2], name, MAX_PATH) == 0) {
            return 1;
        }
        const wchar_t* leaf = std::wcsrchr(name, L'\\');
        std::printf("%ls\n", leaf != nullptr ? leaf + 1 : name);
        return 0;
    }
    std::fputs("usage: windows_file hold PATH [MS [WAY]] | hold-staged FOLDER PATH MS | grab-staged FOLDER | "
               "attributes PATH [VALUE] | short PATH\n",
               stderr);
    return 2;
}
