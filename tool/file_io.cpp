#include "file_io.hpp"

#include "system_files.hpp"

#include <algorithm>

namespace halvek {
namespace {

void close_unwanted(int descriptor)
{
    open_file unwanted;
    unwanted.descriptor = descriptor;
    (void)close_file(unwanted);
}

std::optional<open_file> open_and_describe(const std::filesystem::path& name, open_mode mode)
{
    const int descriptor = open_descriptor(name, mode);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const auto file = describe(descriptor);
    if (!file) {
        close_unwanted(descriptor);
    }
    return file;
}

}  // namespace

std::optional<open_file> open_for_reading(const std::filesystem::path& name)
{
    const auto file = open_and_describe(name, open_mode::read);
    if (file && !file->regular) {
        close_unwanted(file->descriptor);
        return std::nullopt;
    }
    return file;
}

bool staged_output::open(const std::filesystem::path& name, std::span<const file_id> must_not_be)
{
    const auto target = look_up_output(name);
    if (!target || target->kind == file_kind::directory ||
        (target->kind != file_kind::absent && std::ranges::find(must_not_be, target->id) != must_not_be.end())) {
        return false;
    }
    if (target->kind == file_kind::other) {
        // A device or a FIFO holds nothing to replace. The identity check makes sure the
        // name still leads where it was looked at.
        const auto file = open_and_describe(target->name, open_mode::write_in_place);
        if (!file) {
            return false;
        }
        if (file->id != target->id) {
            close_unwanted(file->descriptor);
            return false;
        }
        file_ = *file;
        return true;
    }
    const int descriptor = create_staged(*target, staged_name_);
    if (descriptor < 0) {
        return false;
    }
    file_.descriptor = descriptor;
    const auto file = describe(descriptor);
    if (!file) {
        discard();
        return false;
    }
    file_ = *file;
    final_name_ = target->name;
    return true;
}

bool staged_output::commit()
{
    const open_file file = file_;
    file_.descriptor = -1;  // closed below, whatever happens
    if (final_name_.empty()) {
        return close_file(file);
    }
    const bool committed = put_in_place(file, staged_name_, final_name_);
    discard();
    return committed;
}

void staged_output::discard() noexcept
{
    if (file_.descriptor >= 0) {
        (void)close_file(file_);
        file_.descriptor = -1;
    }
    if (!staged_name_.empty()) {
        (void)remove_file(staged_name_);
        forget_staged_name(staged_name_);
    }
}

}  // namespace halvek
