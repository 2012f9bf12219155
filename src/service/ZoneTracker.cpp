#include "service/ZoneTracker.h"

#include <algorithm>
#include <map>

#include "records/FreeSlots.h"

namespace trelvane {

using events::ZoneEventKind;

ZoneTracker::Ref ZoneTracker::Resolve(std::string_view zone, std::string_view reader,
                                      std::string_view device) {
    return Ref{texts_.Acquire(zone), texts_.Acquire(reader), texts_.Acquire(device)};
}

void ZoneTracker::Release(const Ref& ref) {
    for (const std::uint32_t text : {ref.zone, ref.reader, ref.device}) {
        if (text != detail::NamePool::kNone) {
            texts_.Release(text);
        }
    }
}

void ZoneTracker::Hold(const Ref& ref) {
    for (const std::uint32_t text : {ref.zone, ref.reader, ref.device}) {
        if (text != detail::NamePool::kNone) {
            texts_.AddReference(text);
        }
    }
}

void ZoneTracker::Unlink(std::uint32_t index) {
    Entry& e = entries_[index];
    (e.prev == kNil ? head_ : entries_[e.prev].next) = e.next;
    (e.next == kNil ? tail_ : entries_[e.next].prev) = e.prev;
    e.prev = e.next = kNil;
}

// At the back, behind the last entry of its second or an earlier one: a read's stay nearly
// always goes right to the back; a moved or restored stay may be older than the newest.
void ZoneTracker::LinkBack(std::uint32_t index) {
    Entry& e = entries_[index];
    const std::int64_t second = SecondOf(e.lastSeenMs);
    std::uint32_t after = tail_;
    while (after != kNil && SecondOf(entries_[after].lastSeenMs) > second) {
        after = entries_[after].prev;
    }
    e.prev = after;
    e.next = after == kNil ? head_ : entries_[after].next;
    (e.prev == kNil ? head_ : entries_[e.prev].next) = index;
    (e.next == kNil ? tail_ : entries_[e.next].prev) = index;
}

void ZoneTracker::OnRead(std::uint32_t tag, const Ref& at, std::int64_t timeMs,
                         const Emit& emit) {
    const std::uint32_t* found = index_.Find(tag);
    // A move or exit that fell due before this read happens first, as if it had been noticed
    // in time.
    while (found != nullptr && Due(entries_[*found], timeMs)) {
        if (!Settle(*found, timeMs, emit)) {
            break;
        }
        found = index_.Find(tag);
    }
    if (found == nullptr) {
        Enter(tag, at, timeMs, timeMs, timeMs, emit);
        return;
    }
    const std::uint32_t index = *found;
    Entry& e = entries_[index];
    if (e.at.zone == at.zone) {
        if (e.at.reader != at.reader || e.at.device != at.device) {
            Hold(Ref{detail::NamePool::kNone, at.reader, at.device});
            Release(Ref{detail::NamePool::kNone, e.at.reader, e.at.device});
            e.at.reader = at.reader;
            e.at.device = at.device;
        }
        const bool later = SecondOf(timeMs) > SecondOf(e.lastSeenMs);
        e.lastSeenMs = std::max(e.lastSeenMs, timeMs);
        if (later) {
            if (index != tail_) {
                Unlink(index);
                LinkBack(index);
            }
            if (seen_ && e.lastSeenMs - e.toldMs >= seenEveryMs_) {
                e.toldMs = e.lastSeenMs;
                seen_(tag, e.lastSeenMs);
            }
        }
        // Read here again: the other zone has to read it anew before it can move.
        if (e.pending.zone != detail::NamePool::kNone && timeMs >= e.pendingMs) {
            Release(e.pending);
            e.pending = Ref{};
        }
        return;
    }
    if (e.pending.zone != at.zone) {
        Release(e.pending);
        Hold(at);
        e.pending = at;
        e.pendingMs = e.pendingLastMs = timeMs;
        if (!e.listed) {
            e.listed = true;
            pending_.push_back(index);
        }
    } else {
        e.pendingLastMs = std::max(e.pendingLastMs, timeMs);
    }
    Settle(index, timeMs, emit);
}

void ZoneTracker::Enter(std::uint32_t tag, const Ref& at, std::int64_t timeMs,
                        std::int64_t sinceMs, std::int64_t lastSeenMs, const Emit& emit) {
    Hold(at);
    const std::uint32_t index = detail::TakeSlot(entries_, free_);
    Entry& e = entries_[index];
    e = Entry{};
    e.tag = tag;
    e.at = at;
    e.sinceMs = sinceMs;
    e.lastSeenMs = lastSeenMs;
    e.toldMs = lastSeenMs;  // an enter event carries it; a restored stay came with it
    LinkBack(index);
    index_.Insert(tag, index);
    ++inZones_;
    if (emit) {
        emit(Change{ZoneEventKind::kEnter, tag, texts_.Get(at.zone), texts_.Get(at.reader),
                    texts_.Get(at.device), timeMs, sinceMs, lastSeenMs});
    }
}

void ZoneTracker::Exit(std::uint32_t index, std::int64_t timeMs, const Emit& emit) {
    Entry& e = entries_[index];
    emit(Change{ZoneEventKind::kExit, e.tag, texts_.Get(e.at.zone), texts_.Get(e.at.reader),
                texts_.Get(e.at.device), timeMs, e.sinceMs, e.lastSeenMs});
    Unlink(index);
    index_.Erase(e.tag);
    Release(e.at);
    Release(e.pending);
    e.at = e.pending = Ref{};
    e.freed = true;
    free_.push_back(index);
    --inZones_;
}

std::int64_t ZoneTracker::MoveDue(const Entry& e) const {
    if (e.pending.zone == detail::NamePool::kNone) {
        return INT64_MAX;
    }
    return std::max(e.lastSeenMs + moveAfterMs_, e.pendingMs);
}

bool ZoneTracker::Due(const Entry& e, std::int64_t nowMs) const {
    return e.lastSeenMs + exitAfterMs_ <= nowMs || e.pending.zone != detail::NamePool::kNone;
}

bool ZoneTracker::Settle(std::uint32_t index, std::int64_t nowMs, const Emit& emit) {
    const Entry& e = entries_[index];
    // Never before the stay began (a timing shorter than the gap a restart left).
    const std::int64_t exitAt = std::max(e.lastSeenMs + exitAfterMs_, e.sinceMs);
    const std::int64_t moveAt = std::max(MoveDue(e), e.sinceMs);
    if (moveAt <= exitAt && moveAt <= nowMs) {
        const std::uint32_t tag = e.tag;
        const Ref to = e.pending;
        const std::int64_t lastSeen = e.pendingLastMs;
        Hold(to);  // Exit releases the entry's hold on it
        Exit(index, moveAt, emit);
        Enter(tag, to, moveAt, moveAt, std::max(lastSeen, moveAt), emit);
        Release(to);
        return true;
    }
    if (exitAt <= nowMs) {
        Exit(index, exitAt, emit);
        return true;
    }
    return false;
}

void ZoneTracker::Expire(std::int64_t nowMs, const Emit& emit) {
    std::vector<std::uint32_t> pending;
    pending.swap(pending_);
    for (const std::uint32_t index : pending) {
        Entry& e = entries_[index];
        e.listed = false;
        if (e.freed || e.pending.zone == detail::NamePool::kNone) {
            continue;
        }
        if (!Settle(index, nowMs, emit)) {
            e.listed = true;
            pending_.push_back(index);
        }
        // A moved stay is walked below with the others (it is linked by its last read).
    }
    // Every stay whose last read is in an earlier second than the cutoff's, or in that second,
    // may be due; the first of a later second ends the walk.
    const std::int64_t lastSecond = SecondOf(nowMs - exitAfterMs_);
    for (std::uint32_t i = head_; i != kNil;) {
        if (SecondOf(entries_[i].lastSeenMs) > lastSecond) {
            break;
        }
        const std::uint32_t next = entries_[i].next;
        Settle(i, nowMs, emit);
        i = next;
    }
}

void ZoneTracker::ExitZones(const std::function<bool(std::string_view zone)>& keep,
                            std::int64_t nowMs, const Emit& emit) {
    std::vector<std::uint32_t> leaving;
    for (std::uint32_t i = head_; i != kNil; i = entries_[i].next) {
        Entry& e = entries_[i];
        if (!keep(texts_.Get(e.at.zone))) {
            leaving.push_back(i);
        } else if (e.pending.zone != detail::NamePool::kNone &&
                   !keep(texts_.Get(e.pending.zone))) {
            Release(e.pending);
            e.pending = Ref{};
        }
    }
    for (const std::uint32_t i : leaving) {
        Exit(i, nowMs, emit);
    }
}

void ZoneTracker::Restore(const Stay& stay) {
    if (index_.Find(stay.tag) != nullptr) {
        return;
    }
    const Ref ref = Resolve(stay.zone, stay.reader, stay.device);
    Enter(stay.tag, ref, stay.sinceMs, stay.sinceMs, stay.lastSeenMs, {});
    Release(ref);
}

void ZoneTracker::TellAllSeen() {
    for (std::uint32_t i = head_; i != kNil; i = entries_[i].next) {
        Entry& e = entries_[i];
        if (seen_ && e.lastSeenMs > e.toldMs) {
            e.toldMs = e.lastSeenMs;
            seen_(e.tag, e.lastSeenMs);
        }
    }
}

ZoneTracker::Stay ZoneTracker::StayAt(const Entry& e) const {
    return Stay{e.tag, texts_.Get(e.at.zone), texts_.Get(e.at.reader), texts_.Get(e.at.device),
                e.sinceMs, e.lastSeenMs};
}

std::optional<ZoneTracker::Stay> ZoneTracker::StayOf(std::uint32_t tag) const {
    const std::uint32_t* found = index_.Find(tag);
    if (found == nullptr) {
        return std::nullopt;
    }
    return StayAt(entries_[*found]);
}

std::vector<ZoneTracker::Stay> ZoneTracker::Stays(std::string_view zone) const {
    std::vector<Stay> out;
    for (std::uint32_t i = head_; i != kNil; i = entries_[i].next) {
        if (zone.empty() || texts_.Get(entries_[i].at.zone) == zone) {
            out.push_back(StayAt(entries_[i]));
        }
    }
    std::sort(out.begin(), out.end(), [](const Stay& a, const Stay& b) { return a.tag < b.tag; });
    return out;
}

std::vector<std::pair<std::string, std::size_t>> ZoneTracker::Counts() const {
    std::map<std::string_view, std::size_t> counts;
    for (std::uint32_t i = head_; i != kNil; i = entries_[i].next) {
        ++counts[texts_.Get(entries_[i].at.zone)];
    }
    return {counts.begin(), counts.end()};
}

std::size_t ZoneTracker::MemoryBytes() const {
    return entries_.capacity() * sizeof(Entry) + index_.MemoryBytes() +
           (free_.capacity() + pending_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace trelvane
