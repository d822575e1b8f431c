#include "file_io.hpp"
#include "system_files.hpp"

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace halvek {
namespace {

// The name as the system's file calls take it: made absolute and given the \\?\ prefix,
// which lifts the usual limit of 260 characters on a path.
std::wstring system_name(const std::filesystem::path& name)
{
    const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return name.native();  // the open then fails and reports the name as given
    }
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(name.c_str(), length, full.data(), nullptr));
    if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) {
        return full;
    }
    if (full.starts_with(LR"(\\)")) {
        return LR"(\\?\UNC\)" + full.substr(2);
    }
    return LR"(\\?\)" + full;
}

bool seek_to(const open_file& file, std::int64_t offset)
{
    return _lseeki64(file.descriptor, offset, SEEK_SET) == offset;
}

}  // namespace

std::optional<open_file> describe(int descriptor)
{
    struct _stat64 status {};
    BY_HANDLE_FILE_INFORMATION information{};
    // The runtime hands out a descriptor's system handle as an integer.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
    auto* const handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (_fstat64(descriptor, &status) != 0 || GetFileInformationByHandle(handle, &information) == 0) {
        return std::nullopt;
    }
    return open_file{
        .descriptor = descriptor,
        .id = {.device = information.dwVolumeSerialNumber,
               .index = (std::uint64_t{information.nFileIndexHigh} << 32U) | information.nFileIndexLow},
        .regular = (status.st_mode & _S_IFMT) == _S_IFREG,
        .size = status.st_size,
    };
}

int open_descriptor(const std::filesystem::path& name, open_mode mode)
{
    constexpr int common_flags = _O_BINARY | _O_NOINHERIT;
    return mode == open_mode::read
               ? _wopen(system_name(name).c_str(), _O_RDONLY | common_flags)
               : _wopen(system_name(name).c_str(), _O_WRONLY | _O_CREAT | common_flags, _S_IREAD | _S_IWRITE);
}

bool empty_file(int descriptor)
{
    return _chsize(descriptor, 0) == 0;
}

std::ptrdiff_t read_at(const open_file& file, std::int64_t offset, std::span<std::uint8_t> bytes)
{
    if (!seek_to(file, offset)) {
        return -1;
    }
    const auto wanted = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
    return _read(file.descriptor, bytes.data(), wanted);
}

bool write_at(const open_file& file, std::int64_t offset, std::span<const std::uint8_t> bytes)
{
    if (!seek_to(file, offset)) {
        return false;
    }
    while (!bytes.empty()) {
        const auto wanted = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int count = _write(file.descriptor, bytes.data(), wanted);
        if (count <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
    return true;
}

std::int64_t copy_in_system(const open_file& /*input*/, const open_file& /*output*/, std::int64_t /*offset*/,
                            std::int64_t /*count*/)
{
    return 0;  // no call here copies between offsets of open files; the caller's loop does it all
}

bool close_file(const open_file& file)
{
    return _close(file.descriptor) == 0;
}

bool remove_file(const std::filesystem::path& name)
{
    return DeleteFileW(system_name(name).c_str()) != 0;
}

std::string printable_name(const std::filesystem::path& name)
{
    const std::wstring& wide = name.native();
    if (wide.empty()) {
        return {};
    }
    const auto wide_length = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

}  // namespace halvek
