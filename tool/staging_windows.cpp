// Files on Windows: the steps of a staged output (staging.hpp), by whole names.
#include "staging_windows.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace halvek {
namespace {

file_error set_attributes(const file_handle& file, DWORD attributes)
{
    FILE_BASIC_INFO basic{};  // times of zero stay as they are
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != 0 ? file_error::none
                                                                                            : error_from_last();
}

}  // namespace

bool move_staged_over_and_back(const output_target& target, const std::wstring& over)
{
    const auto staged = final_name_of(target.staged);
    if (!staged || !rename_held(target.staged, over, true)) {
        return false;
    }
    if (!rename_held(target.staged, *staged, false)) {
        FILE_DISPOSITION_INFO remove{.DeleteFile = TRUE};
        (void)SetFileInformationByHandle(target.staged.get(), FileDispositionInfo, &remove, sizeof remove);
        return false;
    }
    return true;
}

bool flush_in_place(const open_file& file)
{
    // A console or a pipe has nothing to flush.
    return FlushFileBuffers(file.handle.get()) != 0 || GetLastError() == ERROR_INVALID_HANDLE ||
           GetLastError() == ERROR_INVALID_FUNCTION;
}

file_error create_staged(const output_target& target, open_file& file, staged_name& name)
{
    // Hidden while it is staged: a leading dot hides nothing on Windows. Held with the right
    // to delete it, so that any other program that opens it must share its deletion: it can
    // then always be removed through this handle.
    const auto error = take_staged_name(target, &target.staged, name, [&](const std::wstring& staged) {
        target.staged = open_handle(staged, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
        return static_cast<bool>(target.staged);
    });
    if (error != file_error::none) {
        return error;
    }
    HANDLE writer = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), target.staged.get(), GetCurrentProcess(), &writer, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return file_error::failed;
    }
    auto described = describe(file_handle(writer));
    if (!described) {
        return file_error::failed;
    }
    file = std::move(*described);
    return target.kind == target_kind::regular ? probe_replacing(target) : file_error::none;
}

file_error make_room(output_target& target, const open_file& file, std::int64_t size)
{
    FILE_END_OF_FILE_INFO empty{};
    if (!target.name_taken ||
        SetFileInformationByHandle(file.handle.get(), FileEndOfFileInfo, &empty, sizeof empty) == 0) {
        return file_error::no_room;
    }
    // Only a file no other name keeps gives its room back.
    file_handle replaced = open_handle(target.name.native(), FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING);
    const auto information = replaced ? information_of(replaced) : std::nullopt;
    FILE_STANDARD_INFO standard{};
    ULARGE_INTEGER free{};
    if (!information || id_of(*information) != target.id || information->nNumberOfLinks != 1 ||
        GetFileInformationByHandleEx(replaced.get(), FileStandardInfo, &standard, sizeof standard) == 0 ||
        GetDiskFreeSpaceExW(folder_of(target.name.native()).c_str(), &free, nullptr, nullptr) == 0 ||
        static_cast<std::int64_t>(std::min<ULONGLONG>(free.QuadPart, INT64_MAX / 2)) +
                standard.AllocationSize.QuadPart <
            size) {
        return file_error::no_room;
    }
    (void)replaced.close();
    // The old file goes by the empty staged file's move over it, which fails while anything
    // holds it: a removal would then only be pending, and free nothing. Its hidden and system
    // attributes, read at the look-up, still pass to the new file.
    if (!move_staged_over_and_back(target, target.name.native())) {
        return file_error::no_room;
    }
    target.name_taken = false;
    return file_error::none;
}

file_error place(output_target& target, open_file& file, staged_name& name)
{
    if (FlushFileBuffers(file.handle.get()) == 0) {
        return error_from_last();
    }
    DWORD attributes = target.kind == target_kind::regular ? target.attributes & carried_attributes : 0;
    if (!target.name_taken) {
        // A file that came under the name since (another run on the same image, say) is
        // replaced as on a re-run.
        const DWORD found = GetFileAttributesW(target.name.c_str());
        if (found != INVALID_FILE_ATTRIBUTES) {
            attributes = found & carried_attributes;
        }
    }
    // New content is always marked for backup, whatever the old file's mark said.
    if (const auto error = set_attributes(file.handle, attributes | FILE_ATTRIBUTE_ARCHIVE);
        error != file_error::none) {
        return error;
    }
    {
        const interrupts_held held;
        if (!rename_held(target.staged, target.name.native(), true)) {
            return error_from_last();  // the staged file goes with `name`
        }
        name.forget();
    }
    const bool closed = target.staged.close();
    return file.handle.close() && closed ? file_error::none : file_error::failed;
}

}  // namespace halvek
