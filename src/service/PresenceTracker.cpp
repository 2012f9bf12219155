#include "service/PresenceTracker.h"

#include <algorithm>

namespace trelvane {

const std::string* PresenceTracker::Intern(std::string_view text) {
    auto it = readers_.find(text);
    if (it == readers_.end()) {
        it = readers_.emplace(std::string(text), 0).first;
    }
    ++it->second;
    return &it->first;
}

void PresenceTracker::Release(const std::string* text) {
    const auto it = readers_.find(*text);
    if (--it->second == 0) {
        readers_.erase(it);
    }
}

void PresenceTracker::OnRead(std::uint32_t tag, std::string_view reader, std::string_view device,
                             std::int64_t timeMs, const Emit& emit) {
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
    const std::string* key = Intern(device);
    order_.push_back(Entry{Key{tag, interned}, key, timeMs});
    entries_.emplace(Key{tag, interned}, std::prev(order_.end()));
    emit(Change{true, tag, *interned, timeMs, *key});
}

void PresenceTracker::Depart(Order::iterator it, std::int64_t nowMs, const Emit& emit) {
    const Key key = it->key;
    const std::string* device = it->device;
    emit(Change{false, key.tag, *key.reader, nowMs, *device});
    entries_.erase(key);
    order_.erase(it);
    Release(device);
    Release(key.reader);
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
