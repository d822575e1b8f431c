// Files on Windows: room for an output by trying (staging.hpp), where a copy beside the old
// file ran out of it.
#include "staging_windows.hpp"

#include <algorithm>
#include <optional>

namespace halvek {
namespace {

// Sets the file's length; a longer file takes its new clusters at once, where the file system
// would leave the new part sparse (as Wine's host folders do).
bool set_length(const file_handle& file, std::int64_t length)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = length;
    return SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &end, sizeof end) != 0 &&
           (SetFileInformationByHandle(file.get(), FileAllocationInfo, &allocation, sizeof allocation) != 0 ||
            error_from_last() != file_error::no_room);
}

std::optional<std::int64_t> length_of(const file_handle& file)
{
    LARGE_INTEGER length{};
    return GetFileSizeEx(file.get(), &length) != 0 ? std::optional<std::int64_t>(length.QuadPart) : std::nullopt;
}

}  // namespace

file_error make_room(output_target& target, open_file& file, staged_name& name, std::int64_t size, file_error shortage)
{
    // A full quota is left alone: whose quota the old file counts against is not asked here.
    if (shortage != file_error::no_room || !target.name_taken || target.kind != target_kind::regular) {
        return file_error::no_room;
    }
    // What the copy wrote goes first (an empty file is left as it is: Wine cannot set a length
    // on a full disk).
    if (file.handle) {
        const auto written = length_of(file.handle);
        if (!written || (*written != 0 && !set_length(file.handle, 0))) {
            return file_error::no_room;
        }
    }
    // Opened by its name again, since the look-up let it go for other runs: to be rewritten,
    // sharing nothing, so that no other program holds its content, and checked to be the file
    // the look-up found. Only a file no other name keeps gives its room back.
    file_handle replaced = open_handle(
        target.name.native(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, 0, OPEN_EXISTING);
    const auto information = replaced ? information_of(replaced) : std::nullopt;
    FILE_STANDARD_INFO standard{};
    ULARGE_INTEGER free{};
    if (!information || id_of(*information) != target.id || information->nNumberOfLinks != 1 ||
        GetFileInformationByHandleEx(replaced.get(), FileStandardInfo, &standard, sizeof standard) == 0 ||
        GetDiskFreeSpaceExW(target.folder_name.c_str(), &free, nullptr, nullptr) == 0 ||
        static_cast<std::int64_t>(std::min<ULONGLONG>(free.QuadPart, INT64_MAX / 2)) +
                standard.AllocationSize.QuadPart <
            size) {
        return file_error::no_room;
    }
    // The old file becomes the staged one: moved aside under a staged name and written again.
    // A removed file would give nothing back while another program holds it for its attributes
    // alone (FAT32 and exFAT free its clusters only when the last handle closes), and the old
    // file would go with no room for the new one. The empty first staged file goes first, so
    // that a hard kill leaves one staged file at most; the final name holds the old file until
    // the move, and nothing after it until the new one is whole.
    (void)name.remove();
    (void)file.handle.close();
    (void)target.staged.close();
    // Hidden before the move, so that it is never a staged file anyone sees.
    const DWORD attributes = information->dwFileAttributes & settable_attributes;
    if (set_attributes(replaced, attributes | FILE_ATTRIBUTE_HIDDEN) != file_error::none) {
        return file_error::no_room;
    }
    if (take_staged_name(target, name, [&](const std::wstring& staged) {
            if (!rename_held(replaced, staged, false)) {
                return false;
            }
            target.staged = std::move(replaced);
            return true;
        }) != file_error::none) {
        (void)set_attributes(replaced, attributes);
        return file_error::no_room;
    }
    target.name_taken = false;
    // Its own clusters are kept, not freed, and what more the new file needs is taken at once,
    // so that no other run on the same card can take them before the copy: the new content is
    // written over every byte. It goes back as it was where that room is gone meanwhile, or
    // where another program maps it (which the copy would change under it); only at its old
    // length, which a failed lengthening may have changed (Wine on exFAT).
    const std::int64_t old_length = standard.EndOfFile.QuadPart;
    if (!removable(target.staged) || (size != old_length && !set_length(target.staged, size))) {
        const interrupts_held held;
        const bool as_it_was = length_of(target.staged) == old_length ||
                               (set_length(target.staged, old_length) && length_of(target.staged) == old_length);
        if (as_it_was && rename_held(target.staged, target.name.native(), false)) {
            name.forget();
            target.name_taken = true;
            (void)set_attributes(target.staged, attributes);
        }
        return file_error::no_room;
    }
    return writer_of(target.staged, file);
}

}  // namespace halvek
