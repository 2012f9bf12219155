#include "service/PresenceTracker.h"

#include <algorithm>

namespace trelvane {

const std::string* PresenceTracker::Intern(std::string_view reader) {
    auto it = readers_.find(reader);
    if (it == readers_.end()) {
        it = readers_.emplace(std::string(reader), 0).first;
    }
    ++it->second;
    return &it->first;
}

void PresenceTracker::OnRead(std::uint32_t tag, std::string_view reader, std::int64_t timeMs,
                             const Emit& emit) {
    // Fast path: the name is known (it nearly always is), so no string is made.
    const auto name = readers_.find(reader);
    if (name != readers_.end()) {
        const auto found = entries_.find(Key{tag, &name->first});
        if (found != entries_.end()) {
            Order::iterator entry = found->second;
            entry->lastMs = std::max(entry->lastMs, timeMs);
            order_.splice(order_.end(), order_, entry);
            return;
        }
    }
    const std::string* interned = Intern(reader);
    order_.push_back(Entry{Key{tag, interned}, timeMs});
    entries_.emplace(Key{tag, interned}, std::prev(order_.end()));
    emit(Change{true, tag, *interned, timeMs});
}

void PresenceTracker::Depart(Order::iterator it, std::int64_t nowMs, const Emit& emit) {
    const Key key = it->key;
    emit(Change{false, key.tag, *key.reader, nowMs});
    entries_.erase(key);
    order_.erase(it);
    const auto name = readers_.find(*key.reader);
    if (--name->second == 0) {
        readers_.erase(name);
    }
}

void PresenceTracker::Expire(std::int64_t nowMs, const Emit& emit) {
    while (!order_.empty() && nowMs - order_.front().lastMs > departAfterMs_) {
        Depart(order_.begin(), nowMs, emit);
    }
}

void PresenceTracker::DepartReader(std::string_view reader, std::int64_t nowMs, const Emit& emit) {
    if (!readers_.contains(reader)) {
        return;
    }
    for (auto it = order_.begin(); it != order_.end();) {
        const auto next = std::next(it);
        if (*it->key.reader == reader) {
            Depart(it, nowMs, emit);
        }
        it = next;
    }
}

void PresenceTracker::DepartAll(std::int64_t nowMs, const Emit& emit) {
    while (!order_.empty()) {
        Depart(order_.begin(), nowMs, emit);
    }
}

}  // namespace trelvane
