#include "staged_output.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace halvek {
namespace {

// Room a file system takes beyond the bytes themselves: its blocks, its bookkeeping.
constexpr std::int64_t room_beyond_content = std::int64_t{1} << 20;

// Where the device has room for the new file but not beside the old one, the old one goes
// first, as a write in place would have had it; the output is then whole or absent.
bool room_for_one_copy_only(const output_target& target, std::int64_t size)
{
    if (target.kind != file_kind::regular) {
        return false;
    }
    const std::int64_t needed = size + room_beyond_content;
    const std::int64_t free = free_space(target.where);
    return free < needed && free + target.freed_by_removal >= needed;
}

// Staged names are `.halvek-<process>-<n>.tmp` beside the final name.
std::filesystem::path staged_name_for(const std::filesystem::path& final_leaf, int attempt)
{
    return final_leaf.parent_path() /
           (".halvek-" + std::to_string(process_number()) + "-" + std::to_string(attempt) + ".tmp");
}

}  // namespace

bool staged_output::open(const std::filesystem::path& name, std::span<const file_id> must_not_be, std::int64_t size)
{
    auto target = look_up_output(name);
    if (!target || target->kind == file_kind::directory ||
        (target->kind != file_kind::absent && std::ranges::find(must_not_be, target->id) != must_not_be.end())) {
        return false;
    }
    target_ = std::move(*target);
    if (target_.kind == file_kind::other) {
        const auto file = open_in_place(target_);
        if (!file) {
            return false;
        }
        file_ = *file;
        direct_ = true;
        return true;
    }
    return stage(size);
}

// Tries fresh staged names until `take` creates something under one, or fails for a reason
// other than the name being taken. The name is registered for removal as soon as it exists.
template <typename Take> bool staged_output::take_staged_name(Take take)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        auto staged = staged_name_for(target_.leaf, attempt);
        const interrupts_held held;
        if (take(staged)) {
            staged_name_ = std::move(staged);  // a move: nothing to allocate while interrupts are held
            remove_on_interrupt(target_.where, staged_name_);
            return true;
        }
        if (!name_was_in_use()) {
            break;
        }
    }
    return false;
}

bool staged_output::stage(std::int64_t size)
{
    int descriptor = create_unnamed(target_.where);
    if (descriptor < 0 && unnamed_unsupported()) {
        (void)take_staged_name([&](const std::filesystem::path& staged) {
            descriptor = create_new(target_.where, staged);
            return descriptor >= 0;
        });
    }
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
    if (target_.kind == file_kind::regular) {
        carry_over(target_, file_);
        if (!room_for_one_copy_only(target_, size)) {
            release_cached_pages(target_);
        } else if (remove_file(target_.where, target_.leaf)) {
            target_.kind = file_kind::absent;
        }
    }
    return true;
}

// Names the flushed file: with the final name where that is free, otherwise with a staged
// name for the move, registered as soon as it exists. A file made with a name keeps it.
bool staged_output::name_flushed_file()
{
    if (!staged_name_.empty()) {
        return true;
    }
    if (target_.kind == file_kind::absent) {
        return name_unnamed(file_, target_.where, target_.leaf);
    }
    return take_staged_name(
        [&](const std::filesystem::path& staged) { return name_unnamed(file_, target_.where, staged); });
}

bool staged_output::commit()
{
    bool written = flush_file(file_) && (direct_ || name_flushed_file());
    written = close_file(file_) && written;
    file_.descriptor = -1;
    if (!written || (!staged_name_.empty() && !move_over(target_.where, staged_name_, target_.leaf))) {
        discard();
        return false;
    }
    if (direct_) {
        return true;
    }
    {
        const interrupts_held held;
        withdraw_from_interrupt();
        staged_name_.clear();
    }
    return flush_folder(target_.where);
}

void staged_output::discard() noexcept
{
    if (file_.descriptor >= 0) {
        (void)close_file(file_);
        file_.descriptor = -1;
    }
    if (!staged_name_.empty()) {
        const interrupts_held held;
        (void)remove_file(target_.where, staged_name_);
        withdraw_from_interrupt();
        staged_name_.clear();
    }
}

}  // namespace halvek
