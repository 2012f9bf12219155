// A batch's zone events: their rows (an exit's stay goes into zone_stays by trigger), the zone
// names they bring, and the open stays in zone_open.

#include <algorithm>
#include <optional>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {

Status Writer::Impl::WriteZones(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                Taken& taken) {
    stayChanges.clear();
    Status stored =
        EachNew(batch.zones, before, taken, [&](const ZoneEvent& z, std::int64_t reader) {
            const Result<std::int64_t> zone = ZoneId(z.zone);
            if (!zone) {
                return Status(zone.error());
            }
            sql::MultiRowInsert& s = insertZoneEvents;
            s.Add(static_cast<std::int64_t>(z.seq));
            s.Add(z.timeMs);
            s.Add(std::int64_t{z.tag});
            s.Add(zone.value());
            s.Add(static_cast<std::int64_t>(z.kind));
            s.Add(reader);
            s.Add(z.sinceMs);
            s.Add(z.lastSeenMs);
            if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
                return Status(StoreFailure(rc, static_cast<std::uint64_t>(s.FailedKey())));
            }
            stayChanges.push_back(StayChange{z.seq, z.tag, zone.value(), reader, z.sinceMs,
                                             z.lastSeenMs, z.kind == ZoneEventKind::kEnter});
            maxSeq = std::max(maxSeq, z.seq);
            ++taken.zones;
            return Status();
        });
    if (!stored) {
        return stored;
    }
    if (const int rc = insertZoneEvents.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertZoneEvents.FailedKey()));
    }
    std::sort(stayChanges.begin(), stayChanges.end(),
              [](const StayChange& a, const StayChange& b) { return a.seq < b.seq; });
    if (Status st = CheckZoneNumbers(batch, before); !st) {
        return st;
    }
    if (Status st = ApplyStayChanges(); !st) {
        return st;
    }
    return NoteZoneSeen(batch);
}

// The open stays' last reads, so that a restart takes them up where they were.
Status Writer::Impl::NoteZoneSeen(const Batch& batch) {
    for (const ZoneSeen& seen : batch.zoneSeen) {
        seenStay.Bind(1, std::int64_t{seen.tag});
        seenStay.Bind(2, seen.lastSeenMs);
        const int rc = seenStay.Step();
        seenStay.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a zone stay's last read");
        }
    }
    return {};
}

// A zone event's number taken by an event of another kind too, which no table's key sees. The
// zone events are few: each other event is looked up among theirs.
Status Writer::Impl::CheckZoneNumbers(const Batch& batch, std::uint64_t before) const {
    const auto clash = [&](const auto& events) -> std::optional<std::uint64_t> {
        for (const auto& e : events) {
            const auto at = std::lower_bound(
                stayChanges.begin(), stayChanges.end(), e.seq,
                [](const StayChange& c, std::uint64_t seq) { return c.seq < seq; });
            if (e.seq > before && at != stayChanges.end() && at->seq == e.seq) {
                return e.seq;
            }
        }
        return std::nullopt;
    };
    if (stayChanges.empty()) {
        return {};
    }
    std::optional<std::uint64_t> seq = clash(batch.reads);
    seq = seq ? seq : clash(batch.presence);
    seq = seq ? seq : clash(batch.devices);
    return seq ? Status(StoreFailure(SQLITE_CONSTRAINT, *seq)) : Status();
}

// In number order, whatever the batch's order: an enter replaces the tag's open stay, an exit
// ends it when it is of that zone (an exit of another zone changes nothing).
Status Writer::Impl::ApplyStayChanges() {
    for (const StayChange& c : stayChanges) {
        sql::Stmt& s = c.enter ? openStay : closeStay;
        s.Bind(1, std::int64_t{c.tag});
        s.Bind(2, c.zone);
        if (c.enter) {
            s.Bind(3, static_cast<std::int64_t>(c.seq));
            s.Bind(4, c.since);
            s.Bind(5, c.reader);
            s.Bind(6, c.lastSeen);
        }
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a zone stay");
        }
    }
    return {};
}

Result<std::int64_t> Writer::Impl::ZoneId(std::string_view name) {
    std::string key(name);
    if (const auto it = zoneIds.find(key); it != zoneIds.end()) {
        return it->second;
    }
    findZone.Bind(1, name);
    int rc = findZone.Step();
    std::int64_t id = rc == SQLITE_ROW ? findZone.Int(0) : 0;
    findZone.Reset();
    if (rc == SQLITE_DONE) {
        insertZone.Bind(1, name);
        rc = insertZone.Step();
        insertZone.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a zone name");
        }
        id = sqlite3_last_insert_rowid(db);
    } else if (rc != SQLITE_ROW) {
        return Fail(rc, "cannot look up a zone name");
    }
    zoneIds.emplace(std::move(key), id);
    return id;
}

}  // namespace trelvane::history
