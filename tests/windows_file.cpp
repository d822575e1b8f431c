// What the Windows tests do to a file as other programs do: hold it open, scan new files as a
// virus scanner does, or set and show attributes.
//
// Usage: windows_file hold PATH [MS [WAY]]        open PATH as WAY says, say "held", and keep it
//                                                  until standard input ends or the time is up;
//                                                  WAY: open (as fopen("r+b"): read and write
//                                                  shared, deletion not, the default), sharing
//                                                  (read and write, sharing all), attributes (for
//                                                  them alone, sharing nothing), synchronize (to
//                                                  wait on it alone, sharing all), mapped (a view
//                                                  to write, its handles closed) or read-mapped
//                                                  (a view to read, its handles closed)
//        windows_file hold-staged FOLDER PATH MS  say "waiting", then the same from when a staged
//                                                  file appears in FOLDER (for a minute at most)
//        windows_file scan FOLDER MS              say "scanning", then until standard input ends
//                                                  open every name that was not in FOLDER at the
//                                                  start, to read, sharing read and write but not
//                                                  deletion, and hold it for MS; then print
//                                                  "caught NAME" for each name held and "second
//                                                  name NAME" for each that led to a file that
//                                                  was in FOLDER at the start
//        windows_file attributes PATH [VALUE]     set the attributes to VALUE, then print them
//        windows_file short PATH                  print the short (8.3) name of PATH's last part
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
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
    const DWORD access = way == L"attributes"    ? FILE_READ_ATTRIBUTES
                         : way == L"synchronize" ? SYNCHRONIZE
                         : way == L"read-mapped" ? GENERIC_READ
                                                 : GENERIC_READ | GENERIC_WRITE;
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
    if (way == L"mapped" || way == L"read-mapped") {
        const bool writable = way == L"mapped";
        HANDLE mapping = CreateFileMappingW(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr);
        view =
            mapping != nullptr ? MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0) : nullptr;
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

using file_id = std::pair<DWORD, ULONGLONG>;  // volume and index

std::map<std::wstring, file_id> files_in(const std::wstring& folder)
{
    std::map<std::wstring, file_id> files;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        BY_HANDLE_FILE_INFORMATION information{};
        HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information) != 0) {
            files[name] = {information.dwVolumeSerialNumber,
                           (ULONGLONG{information.nFileIndexHigh} << 32U) | information.nFileIndexLow};
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
    return files;
}

// Until `done`: every name not there at the start is opened as soon as it can be, and held
// for `milliseconds`; once let go, a name still there is opened again.
void scan(const std::wstring& folder, const std::map<std::wstring, file_id>& at_start, DWORD milliseconds,
          const std::atomic<bool>& done, std::set<std::wstring>& caught, std::set<std::wstring>& second_names)
{
    std::set<file_id> earlier_files;
    for (const auto& [name, id] : at_start) {
        earlier_files.insert(id);
    }
    std::map<std::wstring, std::pair<HANDLE, ULONGLONG>> held;  // name: handle, when it was opened
    while (!done) {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        while (search != INVALID_HANDLE_VALUE) {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L".." && !at_start.contains(name) && !held.contains(name)) {
                HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    held[name] = {file, GetTickCount64()};
                    caught.insert(name);
                    BY_HANDLE_FILE_INFORMATION information{};
                    if (GetFileInformationByHandle(file, &information) != 0 &&
                        earlier_files.contains(
                            {information.dwVolumeSerialNumber,
                             (ULONGLONG{information.nFileIndexHigh} << 32U) | information.nFileIndexLow})) {
                        second_names.insert(name);
                    }
                }
            }
            if (FindNextFileW(search, &found) == 0) {
                FindClose(search);
                break;
            }
        }
        for (auto held_file = held.begin(); held_file != held.end();) {
            if (GetTickCount64() - held_file->second.second >= milliseconds) {
                CloseHandle(held_file->second.first);
                held_file = held.erase(held_file);
            } else {
                ++held_file;
            }
        }
    }
    for (const auto& [name, file] : held) {
        CloseHandle(file.first);
    }
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
    if (verb == L"scan" && argc == 4) {
        std::atomic<bool> done = false;
        std::set<std::wstring> caught;
        std::set<std::wstring> second_names;
        const std::wstring folder = argv[2];
        const auto at_start = files_in(folder);
        std::thread scanner(scan, std::cref(folder), std::cref(at_start), std::wcstoul(argv[3], nullptr, 10),
                            std::cref(done), std::ref(caught), std::ref(second_names));
        std::printf("scanning\n");
        std::fflush(stdout);
        wait_for_end_of_input();
        done = true;
        scanner.join();
        for (const auto& name : caught) {
            std::printf("caught %ls\n", name.c_str());
        }
        for (const auto& name : second_names) {
            std::printf("second name %ls\n", name.c_str());
        }
        return 0;
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
    std::fputs("usage: windows_file hold PATH [MS [WAY]] | hold-staged FOLDER PATH MS | scan FOLDER MS | "
               "attributes PATH [VALUE] | short PATH\n",
               stderr);
    return 2;
}
