#include "service/PresenceTracker.h"

#include <algorithm>
#include <cassert>

#include "records/FreeSlots.h"

namespace trelvane {

void PresenceTracker::Unlink(std::uint32_t index) {
    Entry& e = entries_[index];
    (e.prev == kNil ? head_ : entries_[e.prev].next) = e.next;
    (e.next == kNil ? tail_ : entries_[e.next].prev) = e.prev;
    e.prev = e.next = kNil;
}

void PresenceTracker::LinkBack(std::uint32_t index) {
    Entry& e = entries_[index];
    e.prev = tail_;
    e.next = kNil;
    (tail_ == kNil ? head_ : entries_[tail_].next) = index;
    tail_ = index;
}

void PresenceTracker::Prefetch(std::uint32_t tag, std::string_view reader) {
    const std::uint32_t name = texts_.Find(reader);
    if (name != detail::NamePool::kNone) {
        index_.Prefetch(KeyOf(name, tag));
    }
}

void PresenceTracker::OnRead(std::uint32_t tag, std::string_view reader, std::string_view device,
                             std::int64_t timeMs, const Emit& emit) {
    // Fast path: the reader's name is known (it nearly always is) and the tag present there.
    const std::uint32_t name = texts_.Find(reader);
    if (name != detail::NamePool::kNone) {
        if (Presence* found = index_.Find(KeyOf(name, tag))) {
            if (SecondOf(timeMs) > SecondOf(found->lastMs) && found->entry != tail_) {
                Unlink(found->entry);
                LinkBack(found->entry);
            }
            found->lastMs = std::max(found->lastMs, timeMs);
            return;
        }
    }
    const std::uint32_t readerText = texts_.Acquire(reader);
    const std::uint32_t deviceText = texts_.Acquire(device);
    const std::uint32_t index = detail::TakeSlot(entries_, free_);
    entries_[index] = Entry{KeyOf(readerText, tag), deviceText, kNil, kNil};
    LinkBack(index);
    index_.Insert(KeyOf(readerText, tag), Presence{timeMs, index});
    ++present_;
    emit(Change{true, tag, texts_.Get(readerText), timeMs, texts_.Get(deviceText)});
}

void PresenceTracker::Depart(std::uint32_t index, std::int64_t nowMs, const Emit& emit) {
    const Entry entry = entries_[index];
    const auto reader = static_cast<std::uint32_t>(entry.key >> 32);
    emit(Change{false, static_cast<std::uint32_t>(entry.key), texts_.Get(reader), nowMs,
                texts_.Get(entry.device)});
    Unlink(index);
    index_.Erase(entry.key);
    free_.push_back(index);
    --present_;
    texts_.Release(entry.device);
    texts_.Release(reader);
}

void PresenceTracker::Expire(std::int64_t nowMs, const Emit& emit) {
    // A tag departs when its last read is before `cutoff`. Every entry of an earlier second
    // than the cutoff's departs; those of the cutoff's own second are looked at one by one; the
    // first of a later second ends the walk.
    const std::int64_t cutoff = nowMs - departAfterMs_;
    const std::int64_t lastSecond = SecondOf(cutoff);
    for (std::uint32_t i = head_; i != kNil;) {
        const std::int64_t lastMs = LastMsOf(entries_[i]);
        if (SecondOf(lastMs) > lastSecond) {
            break;
        }
        const std::uint32_t next = entries_[i].next;
        if (lastMs < cutoff) {
            Depart(i, nowMs, emit);
        }
        i = next;
    }
    CompactIfSparse();
}

void PresenceTracker::DepartReader(std::string_view reader, std::int64_t nowMs, const Emit& emit) {
    const std::uint32_t name = texts_.Find(reader);
    if (name == detail::NamePool::kNone) {
        return;
    }
    for (std::uint32_t i = head_; i != kNil;) {
        const std::uint32_t next = entries_[i].next;
        if (entries_[i].key >> 32 == name) {
            Depart(i, nowMs, emit);
        }
        i = next;
    }
    CompactIfSparse();
}

void PresenceTracker::DepartAll(std::int64_t nowMs, const Emit& emit) {
    while (head_ != kNil) {
        Depart(head_, nowMs, emit);
    }
    CompactIfSparse();
}

void PresenceTracker::CompactIfSparse() {
    if (present_ == 0) {
        std::vector<Entry>().swap(entries_);
        std::vector<std::uint32_t>().swap(free_);
        index_.Clear();
        return;
    }
    if (entries_.size() <= 4096 || present_ * 4 > entries_.size()) {
        return;
    }
    std::vector<Entry> kept;
    kept.reserve(present_);
    for (std::uint32_t i = head_; i != kNil; i = entries_[i].next) {
        const auto index = static_cast<std::uint32_t>(kept.size());
        Entry entry = entries_[i];
        entry.prev = index == 0 ? kNil : index - 1;
        entry.next = index + 1;
        kept.push_back(entry);
        index_.Find(entry.key)->entry = index;
    }
    kept.back().next = kNil;
    head_ = 0;
    tail_ = static_cast<std::uint32_t>(kept.size() - 1);
    entries_.swap(kept);
    std::vector<std::uint32_t>().swap(free_);
}

std::size_t PresenceTracker::MemoryBytes() const {
    return entries_.capacity() * sizeof(Entry) + free_.capacity() * sizeof(std::uint32_t) +
           index_.MemoryBytes();
}

}  // namespace trelvane
