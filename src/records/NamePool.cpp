#include "records/NamePool.h"

#include <cassert>

#include "records/FreeSlots.h"

namespace trelvane::detail {

std::uint32_t NamePool::Acquire(std::string_view name) {
    if (const std::uint32_t found = Find(name); found != kNone) {
        ++entries_[found].references;
        return found;
    }
    const std::uint32_t index = TakeSlot(entries_, free_);
    const auto it = byName_.emplace(std::string(name), index).first;
    entries_[index] = Entry{&it->first, 1};
    lastHit_ = index;
    return index;
}

std::uint32_t NamePool::Find(std::string_view name) const {
    if (lastHit_ < entries_.size() && entries_[lastHit_].name != nullptr &&
        *entries_[lastHit_].name == name) {
        return lastHit_;
    }
    const auto it = byName_.find(name);
    if (it == byName_.end()) {
        return kNone;
    }
    lastHit_ = it->second;
    return lastHit_;
}

void NamePool::Release(std::uint32_t index) {
    Entry& entry = entries_[index];
    assert(entry.name != nullptr && entry.references > 0);
    if (--entry.references == 0) {
        // Erase through the iterator: the key text that would be passed lives in the node.
        byName_.erase(byName_.find(*entry.name));
        entry.name = nullptr;
        free_.push_back(index);
    }
}

void NamePool::Clear() {
    byName_.clear();
    std::vector<Entry>().swap(entries_);
    std::vector<std::uint32_t>().swap(free_);
    lastHit_ = 0;
}

}  // namespace trelvane::detail
