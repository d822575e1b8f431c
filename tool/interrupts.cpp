#include "interrupts.hpp"

#include <utility>

namespace halvek {
namespace {

// The list an interrupt empties. It changes only while interrupts are held, so an interrupt
// finds it whole.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
staged_name* registered = nullptr;

}  // namespace

void staged_name::take(native_handle by, std::filesystem::path leaf) noexcept
{
    by_ = by;
    leaf_ = std::move(leaf);  // a move: nothing to allocate while interrupts are held
    next_ = registered;
    registered = this;
}

void staged_name::unlink_from_list() noexcept
{
    for (staged_name** link = &registered; *link != nullptr; link = &(*link)->next_) {
        if (*link == this) {
            *link = next_;
            return;
        }
    }
}

void staged_name::forget() noexcept
{
    if (leaf_.empty()) {
        return;
    }
    const interrupts_held held;
    unlink_from_list();
    leaf_.clear();
}

bool staged_name::remove() noexcept
{
    if (leaf_.empty()) {
        return true;
    }
    const interrupts_held held;
    const bool removed = remove_name(by_, leaf_);
    unlink_from_list();
    leaf_.clear();
    return removed;
}

void staged_name::remove_all() noexcept
{
    for (const staged_name* entry = registered; entry != nullptr; entry = entry->next_) {
        (void)remove_name(entry->by_, entry->leaf_);
    }
}

}  // namespace halvek
