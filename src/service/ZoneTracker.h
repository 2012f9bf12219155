#pragma once

// Turns reads into zone events. A zone is a set of readers (the site register says which); a tag
// enters a zone at the first read by one of its readers and exits once none of them has read it
// for ExitAfter, or when it moves to another zone.
//
// Neighbouring zones often both see a tag at their border. To keep a tag read alternately by
// both from making an event per read, a tag stays in its zone until another zone has read it
// AND its own zone has not read it for MoveAfter: the move then happens at
// max(last read in the old zone + MoveAfter, first read in the new zone since), the old zone's
// exit first with the same time (doc/zones.md draws the timeline). Times are decided from the
// reads' own times, so the events do not depend on how often Expire is called: an exit by time
// is timed ExitAfter after the last read, whenever it is noticed.
//
// Memory: one stay per tag in a zone (about 64 bytes with its index cell); zone, reader and
// device names are held once each. Cost per read of a tag already in the read's zone: one probe,
// and a list move when the read falls in a later second than the stay's last (as the presence
// tracker does).
//
// Threading: none; the parse worker owns it and guards what the API may ask of it.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/KeyIndex.h"
#include "events/Event.h"
#include "records/NamePool.h"

namespace trelvane {

class ZoneTracker {
  public:
    struct Change {
        events::ZoneEventKind kind = events::ZoneEventKind::kEnter;
        std::uint32_t tag = 0;
        std::string_view zone;  // the texts are valid during the callback only
        std::string_view reader;
        std::string_view device;
        std::int64_t timeMs = 0;
        std::int64_t sinceMs = 0;
        std::int64_t lastSeenMs = 0;
    };
    using Emit = std::function<void(const Change&)>;

    // A zone, reader and device named once per pass (each holds a reference on its text).
    struct Ref {
        std::uint32_t zone = detail::NamePool::kNone;
        std::uint32_t reader = detail::NamePool::kNone;
        std::uint32_t device = detail::NamePool::kNone;
    };

    // A tag in a zone, as the API shows it.
    struct Stay {
        std::uint32_t tag = 0;
        std::string zone;
        std::string reader;  // of the last read in the zone
        std::string device;
        std::int64_t sinceMs = 0;
        std::int64_t lastSeenMs = 0;
        friend bool operator==(const Stay&, const Stay&) = default;
    };

    ZoneTracker(std::int64_t exitAfterMs, std::int64_t moveAfterMs)
        : exitAfterMs_(exitAfterMs), moveAfterMs_(moveAfterMs) {}

    // Told of a stay's last read when it has run `everyMs` ahead of the last one told (an enter
    // tells its own), so a restart after a kill finds it at most that stale.
    using Seen = std::function<void(std::uint32_t tag, std::int64_t lastSeenMs)>;
    void SetSeen(Seen seen, std::int64_t everyMs) {
        seen_ = std::move(seen);
        seenEveryMs_ = everyMs;
    }
    // Tells every stay's last read not told yet (the service stops).
    void TellAllSeen();

    void SetTiming(std::int64_t exitAfterMs, std::int64_t moveAfterMs) {
        exitAfterMs_ = exitAfterMs;
        moveAfterMs_ = moveAfterMs;
    }

    Ref Resolve(std::string_view zone, std::string_view reader, std::string_view device);
    void Release(const Ref& ref);

    // A read of `tag` at `timeMs` by a reader of a zone (`at`, from Resolve).
    void OnRead(std::uint32_t tag, const Ref& at, std::int64_t timeMs, const Emit& emit);
    // Every move and exit due at `nowMs`.
    void Expire(std::int64_t nowMs, const Emit& emit);
    // Exits, at `nowMs`, every tag in a zone for which `keep` is false (a zone removed).
    void ExitZones(const std::function<bool(std::string_view zone)>& keep, std::int64_t nowMs,
                   const Emit& emit);
    // A stay an earlier run left open (rebuilt from the history): no event.
    void Restore(const Stay& stay);

    std::size_t InZones() const { return inZones_; }
    std::size_t MemoryBytes() const;
    // The stay of `tag`, if it is in a zone.
    std::optional<Stay> StayOf(std::uint32_t tag) const;
    // The tags in `zone` (every zone when empty), by tag.
    std::vector<Stay> Stays(std::string_view zone) const;
    // The number of tags in each zone that has any.
    std::vector<std::pair<std::string, std::size_t>> Counts() const;

  private:
    static constexpr std::uint32_t kNil = std::numeric_limits<std::uint32_t>::max();
    struct Entry {
        std::uint32_t tag = 0;
        Ref at;                  // the zone, and the reader and device of the last read there
        std::int64_t sinceMs = 0;
        std::int64_t lastSeenMs = 0;
        Ref pending;             // another zone that read it since (zone kNone: none)
        std::int64_t pendingMs = 0;      // that zone's first read since
        std::int64_t pendingLastMs = 0;  // ... and its last
        std::int64_t toldMs = 0;         // the last read told to Seen
        bool listed = false;             // in pending_
        bool freed = false;
        std::uint32_t prev = kNil;  // in order of the second of lastSeenMs
        std::uint32_t next = kNil;
    };

    static std::int64_t SecondOf(std::int64_t ms) {
        return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    }
    void Hold(const Ref& ref);
    void Unlink(std::uint32_t index);
    void LinkBack(std::uint32_t index);  // in order of the second of lastSeenMs
    // A new stay; `emit` may be empty (a restored stay makes no event).
    void Enter(std::uint32_t tag, const Ref& at, std::int64_t timeMs, std::int64_t sinceMs,
               std::int64_t lastSeenMs, const Emit& emit);
    // Exits entry `index` at `timeMs` and frees it.
    void Exit(std::uint32_t index, std::int64_t timeMs, const Emit& emit);
    // The time the entry's pending move is due, or INT64_MAX.
    std::int64_t MoveDue(const Entry& e) const;
    // Whether a move or exit may be due by `nowMs` (cheap; Settle decides).
    bool Due(const Entry& e, std::int64_t nowMs) const;
    // Moves or exits the entry if either is due by `nowMs`; true when it left its zone.
    bool Settle(std::uint32_t index, std::int64_t nowMs, const Emit& emit);
    Stay StayAt(const Entry& e) const;

    std::int64_t exitAfterMs_;
    std::int64_t moveAfterMs_;
    Seen seen_;
    std::int64_t seenEveryMs_ = 0;
    detail::NamePool texts_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> pending_;  // entries with a pending move (may hold stale ones)
    std::uint32_t head_ = kNil;
    std::uint32_t tail_ = kNil;
    std::size_t inZones_ = 0;
    detail::KeyIndex<std::uint32_t, std::uint32_t> index_;  // tag -> entry
};

}  // namespace trelvane
