// Files on Windows: the look-up of an output name, and the probe of whether the file found
// there can be replaced.
#include "staging_windows.hpp"

#include <optional>
#include <string>
#include <utility>

namespace halvek {
namespace {

// The longest name of one folder entry that every file system Windows writes to takes
// (NTFS, FAT32's long names, exFAT): for a volume that does not say.
constexpr DWORD usual_component_limit = 255;

// The long name of the entry `name` finds, as the folder lists it: a short 8.3 name is not
// what it shows, and a link's own entry is what is found.
std::optional<std::wstring> listed_name_of(const std::wstring& name)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(name.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    FindClose(search);
    return std::wstring(static_cast<const wchar_t*>(found.cFileName));
}

bool same_name(const std::wstring& one, const std::wstring& other)
{
    return CompareStringOrdinal(one.c_str(), static_cast<int>(one.size()), other.c_str(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// Opens the folder that will hold the output, and refuses a name longer than its file system
// takes for one entry: the final move would fail on it after the copy.
file_error open_folder(output_target& target)
{
    const std::wstring& name = target.name.native();
    const std::size_t last = name.find_last_of(L'\\');
    if (last == std::wstring::npos) {
        return file_error::refused;
    }
    target.folder_name = name.substr(0, last + 1);
    // With the right to add a file: the one a flush asks for.
    target.folder = open_handle(target.folder_name, FILE_ADD_FILE | SYNCHRONIZE, share_all, OPEN_EXISTING);
    if (!target.folder) {
        return file_error::refused;
    }
    DWORD component_limit = 0;
    if (GetVolumeInformationByHandleW(target.folder.get(), nullptr, 0, nullptr, &component_limit, nullptr, nullptr,
                                      0) == 0 ||
        component_limit == 0) {
        component_limit = usual_component_limit;
    }
    return name.size() - last - 1 > component_limit ? file_error::refused : file_error::none;
}

}  // namespace

file_error look_up_output(const std::filesystem::path& name, output_target& target)
{
    const std::wstring asked = system_name(name);
    target.name = asked;
    // Attributes only: this open stands in no other program's way.
    target.found = open_handle(asked, FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING);
    if (!target.found) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? open_folder(target) : file_error::refused;
    }
    const auto information = information_of(target.found);
    const auto listed = listed_name_of(asked);
    if (!information || !listed || !same_name(*listed, std::filesystem::path(asked).filename().native())) {
        return file_error::refused;
    }
    target.id = id_of(*information);
    target.name_taken = true;
    if (GetFileType(target.found.get()) != FILE_TYPE_DISK) {
        target.kind = target_kind::special;
        return file_error::none;
    }
    target.kind = target_kind::regular;
    target.attributes = information->dwFileAttributes;
    constexpr DWORD unreplaceable = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    if ((information->dwFileAttributes & unreplaceable) != 0) {
        return file_error::refused;
    }
    // A link is followed: the file it leads to is the one replaced, in its own folder.
    if (const auto final_name = final_name_of(target.found)) {
        target.name = *final_name;
    }
    return open_folder(target);
}

file_error probe_replacing(const output_target& target)
{
    // The file the look-up found, opened again through its handle, not its name: for deletion,
    // sharing nothing. That fails while another program holds its content open, or the right
    // to delete it, or maps it for writing, whichever way it opened it; it then goes for good.
    file_handle replaced;
    const bool held_apart = waiting_out_brief_holds([&] {
        HANDLE reopened =
            ReOpenFile(target.found.get(), DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0, FILE_FLAG_BACKUP_SEMANTICS);
        replaced = file_handle(reopened == INVALID_HANDLE_VALUE ? no_handle : reopened);
        return static_cast<bool>(replaced);
    });
    // An access list that cannot be read cannot be carried: the run fails rather than leave
    // anyone more than they had.
    const bool readable = held_apart && read_access_list(replaced, target.access_list);
    // Nothing is held on past the probe: another run on the same image must be able to replace
    // the file in turn.
    (void)target.found.close();
    return readable ? file_error::none : file_error::refused;
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
