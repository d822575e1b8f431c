// Files on Windows: the look-up of an output name, and the probe of whether the file found
// there can be replaced.
#include "staging_windows.hpp"

#include <optional>
#include <string>
#include <utility>

namespace halvek {
namespace {

// Whether the last part of `name` is the long name of the entry it finds, and not a short
// 8.3 name that reaches some other file. A link's own entry is what is compared.
bool names_its_entry(const std::wstring& name)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(name.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    const std::wstring leaf = std::filesystem::path(name).filename().native();
    return CompareStringOrdinal(leaf.c_str(), static_cast<int>(leaf.size()),
                                static_cast<const wchar_t*>(found.cFileName), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

// Whether the file the look-up found can be replaced at the end: the move's own test, made
// now. A probe that opens it for deletion and shares nothing fails while another program
// holds its content open or maps it; where the file system takes a second name for a file,
// the empty staged file is moved over such a name for it, which fails as the final move
// would, whoever holds the file and however (for its attributes alone, say).
file_error probe_replacing(const output_target& target)
{
    // Whatever file holds the name by now is probed: one that came since (another run's) is
    // replaced like any other.
    const bool held_apart = waiting_out_brief_holds(
        [&] { return static_cast<bool>(open_handle(target.name.native(), DELETE, 0, OPEN_EXISTING)); });
    if (!held_apart) {
        return file_error::refused;
    }
    staged_name second;  // removed by name: it leads to the file to replace
    const auto linked = take_staged_name(target, nullptr, second, [&](const std::wstring& name) {
        return CreateHardLinkW(name.c_str(), target.name.c_str(), nullptr) != 0;
    });
    if (linked == file_error::unsupported || linked == file_error::refused) {
        return file_error::none;  // one name per file (FAT): the first probe is all there is
    }
    if (linked != file_error::none) {
        return linked;
    }
    if (!move_staged_over_and_back(target, second.leaf().native())) {
        return file_error::refused;
    }
    second.forget();  // the move took the second name away
    return file_error::none;
}

file_error look_up_output(const std::filesystem::path& name, output_target& target)
{
    const std::wstring asked = system_name(name);
    target.name = asked;
    // Attributes only: this open stands in no other program's way.
    const file_handle found = open_handle(asked, FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING);
    if (!found) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? file_error::none : file_error::refused;
    }
    const auto information = information_of(found);
    if (!information || !names_its_entry(asked)) {
        return file_error::refused;
    }
    if (const auto final_name = final_name_of(found)) {
        target.name = *final_name;
    }
    target.id = id_of(*information);
    target.name_taken = true;
    if (GetFileType(found.get()) != FILE_TYPE_DISK) {
        target.kind = target_kind::special;
        return file_error::none;
    }
    target.kind = target_kind::regular;
    target.attributes = information->dwFileAttributes;
    constexpr DWORD unreplaceable = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    return (information->dwFileAttributes & unreplaceable) != 0 ? file_error::refused : file_error::none;
}

file_error open_in_place(const output_target& target, open_file& file)
{
    auto opened = describe(
        open_handle(target.name.native(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    if (!opened) {
        return error_from_last();
    }
    if (opened->id != target.id) {
        return file_error::refused;
    }
    file = std::move(*opened);
    return file_error::none;
}

}  // namespace halvek
