#include "staged_output.hpp"

#include <algorithm>

namespace halvek {

std::optional<file_id> existing_output(const std::filesystem::path& name)
{
    output_target target;
    if (look_up_output(name, target) != file_error::none || target.kind == target_kind::absent) {
        return std::nullopt;
    }
    return target.id;
}

file_error staged_output::open(const std::filesystem::path& name, std::span<const file_id> must_not_be,
                               std::int64_t size)
{
    if (state_ != state::idle) {
        return file_error::failed;
    }
    if (const auto error = look_up_output(name, target_); error != file_error::none) {
        return error;
    }
    if (target_.kind != target_kind::absent && std::ranges::find(must_not_be, target_.id) != must_not_be.end()) {
        return file_error::refused;
    }
    if (target_.kind == target_kind::special) {
        const auto error = open_in_place(target_, file_);
        state_ = error == file_error::none ? state::direct : state::idle;
        return error;
    }
    auto error = create_staged(target_, file_, staged_);
    // A file system out of files (inodes) takes a new one where the old file's removal gives
    // one back, and room enough for its content, by the same rule as a copy out of room.
    if (out_of_room(error) && halvek::make_room(target_, file_, staged_, size, error) == file_error::none) {
        error = file_.handle ? file_error::none : create_staged(target_, file_, staged_);
    }
    if (error != file_error::none) {
        discard();
        return error;
    }
    state_ = state::writing;
    return file_error::none;
}

file_error staged_output::make_room(std::int64_t size, file_error shortage)
{
    return state_ == state::writing ? halvek::make_room(target_, file_, staged_, size, shortage) : file_error::no_room;
}

file_error staged_output::commit()
{
    file_error error = file_error::failed;
    if (state_ == state::direct) {
        const bool flushed = flush_in_place(file_);
        error = file_.handle.close() && flushed ? file_error::none : file_error::failed;
    } else if (state_ == state::writing) {
        error = place(target_, file_, staged_);
    }
    if (error != file_error::none) {
        discard();
        return error;
    }
    state_ = state::placed;
    return file_error::none;
}

void staged_output::discard() noexcept
{
    (void)file_.handle.close();
    (void)staged_.remove();
    state_ = state::idle;
}

}  // namespace halvek
