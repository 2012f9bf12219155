#pragma once

// Slots of a vector reused after their element is gone, so that indices held elsewhere stay
// valid and the vector grows only to the most elements alive at once.

#include <cstdint>
#include <vector>

namespace trelvane::detail {

// The index of a slot for a new element: the last index put in `freed`, else a new
// value-initialised slot at the end of `slots`. The caller fills the slot.
template <typename T>
std::uint32_t TakeSlot(std::vector<T>& slots, std::vector<std::uint32_t>& freed) {
    if (!freed.empty()) {
        const std::uint32_t index = freed.back();
        freed.pop_back();
        return index;
    }
    slots.emplace_back();
    return static_cast<std::uint32_t>(slots.size() - 1);
}

}  // namespace trelvane::detail
