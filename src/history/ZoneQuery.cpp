// Zone events by filter (the plain event scan; the tag and zone indexes serve those filters),
// the open stays, and where tags were: a tag's last zone event up to a time (one seek in
// zone_events_tag), and the tags in a zone at a time.
//
// The tags in a zone at T are the stays containing T: the ended ones, [since, exit), and the
// open ones begun by T. Walking the zone's events back from T finds them too, but cannot stop
// until the zone's first event (a tag may have entered a year before and stayed), so its cost
// grows with the zone's whole history. The R*Tree zone_stays finds the ended stays containing T
// in a few node reads however long the history; zone_open (one row per tag in a zone) gives the
// open ones. Over a million zone events (bench_history_zones) this takes about 1 ms where the
// walk back takes 15-20 ms, and the walk's grows with the days kept.

#include "history/ReaderImpl.h"

namespace trelvane::history {
namespace {

using sql::Stmt;

// The ended stays of zone ?1 that contain time ?2. The R*Tree's rounded times only narrow the
// search: the exact ones are compared in zone_events, looked up by number (CROSS JOIN keeps the
// R*Tree as the outer loop).
constexpr const char* kEndedStays =
    "SELECT e.tag, e.since FROM zone_stays s CROSS JOIN zone_events e ON e.seq = s.seq "
    "WHERE s.since <= ?2 AND s.until > ?2 AND s.zone_lo <= ?1 AND s.zone_hi >= ?1 "
    "AND e.since <= ?2 AND e.time > ?2";
constexpr const char* kOpenStays =
    "SELECT tag, since FROM zone_open WHERE zone = ?1 AND since <= ?2";

// A tag in two stays at once (a clock stepped back): its later enter counts.
void KeepOnePerTag(std::vector<TagInZone>& tags) {
    std::sort(tags.begin(), tags.end(), [](const TagInZone& a, const TagInZone& b) {
        return a.tag != b.tag ? a.tag < b.tag : a.sinceMs < b.sinceMs;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (i + 1 == tags.size() || tags[i + 1].tag != tags[i].tag) {
            tags[kept++] = tags[i];
        }
    }
    tags.resize(kept);
}

}  // namespace

Result<bool> Reader::Impl::HasZones() {
    const Result<std::int64_t> version = Version();
    if (!version) {
        return version.error();
    }
    return version.value() >= 5;
}

Status Reader::Impl::Zones(const Filter& f, std::vector<ZoneRow>& out) {
    if (f.rule) {
        return {};  // zone events have no rule
    }
    const Result<bool> has = HasZones();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    Status named;
    const Status st =
        Events("seq, time, tag, reader, zone, kind, since, last_seen", "zone_events", f,
               "cannot read the zone events", [&](const Stmt& q, const ReaderNames& n) {
                   const Result<const std::string*> zone = ZoneName(q.Int(4));
                   if (!zone) {
                       named = zone.error();
                       return;
                   }
                   out.push_back(ZoneRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                         static_cast<std::uint32_t>(q.Int(2)), *zone.value(),
                                         static_cast<ZoneEventKind>(q.Int(5)), n.first, n.second,
                                         q.Int(6), q.Int(7)});
               });
    return st ? named : st;
}

Status Reader::Impl::OpenZones(std::vector<OpenZone>& out) {
    const Result<bool> has = HasZones();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    Stmt q;
    if (Status st = Prepare(
            q, "SELECT tag, zone, seq, since, reader, last_seen FROM zone_open ORDER BY seq");
        !st) {
        return st;
    }
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        const Result<const std::string*> zone = ZoneName(q.Int(1));
        if (!zone) {
            return zone.error();
        }
        const Result<const ReaderNames*> n = Names(q.Int(4));
        if (!n) {
            return n.error();
        }
        out.push_back(OpenZone{static_cast<std::uint32_t>(q.Int(0)), *zone.value(),
                               static_cast<std::uint64_t>(q.Int(2)), q.Int(3), n.value()->first,
                               n.value()->second, q.Int(5)});
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot read the open zone stays"));
}

Status Reader::Impl::ZoneOfTagAt(std::uint32_t tag, std::int64_t timeMs,
                                 std::optional<ZoneRow>& out) {
    const Result<bool> has = HasZones();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    Stmt q;
    if (Status st = Prepare(q,
                            "SELECT seq, time, zone, kind, reader, since, last_seen FROM "
                            "zone_events WHERE tag = ?1 AND time <= ?2 "
                            "ORDER BY time DESC, seq DESC LIMIT 1");
        !st) {
        return st;
    }
    q.Bind(1, std::int64_t{tag});
    q.Bind(2, timeMs);
    const int rc = q.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the zone events");
    }
    if (rc == SQLITE_ROW) {
        const Result<const std::string*> zone = ZoneName(q.Int(2));
        const Result<const ReaderNames*> n = Names(q.Int(4));
        if (!zone || !n) {
            return !zone ? zone.error() : n.error();
        }
        out = ZoneRow{static_cast<std::uint64_t>(q.Int(0)),
                      q.Int(1),
                      tag,
                      *zone.value(),
                      static_cast<ZoneEventKind>(q.Int(3)),
                      n.value()->first,
                      n.value()->second,
                      q.Int(5),
                      q.Int(6)};
    }
    return OpenStayAt(tag, timeMs, out);
}

// The tag's open stay, when it began by `timeMs` and after the event found (retention deleted
// its enter): the enter as it was stored, its last read its own time.
Status Reader::Impl::OpenStayAt(std::uint32_t tag, std::int64_t timeMs,
                                std::optional<ZoneRow>& out) {
    Stmt q;
    if (Status st = Prepare(q, "SELECT zone, seq, since, reader FROM zone_open WHERE tag = ?1");
        !st) {
        return st;
    }
    q.Bind(1, std::int64_t{tag});
    const int rc = q.Step();
    if (rc == SQLITE_DONE) {
        return {};
    }
    if (rc != SQLITE_ROW) {
        return Fail(rc, "cannot read the open zone stays");
    }
    const auto seq = static_cast<std::uint64_t>(q.Int(1));
    const std::int64_t since = q.Int(2);
    if (since > timeMs || (out && std::pair(out->timeMs, out->seq) >= std::pair(since, seq))) {
        return {};
    }
    const Result<const std::string*> zone = ZoneName(q.Int(0));
    const Result<const ReaderNames*> n = Names(q.Int(3));
    if (!zone || !n) {
        return !zone ? zone.error() : n.error();
    }
    out = ZoneRow{seq,
                  since,
                  tag,
                  *zone.value(),
                  ZoneEventKind::kEnter,
                  n.value()->first,
                  n.value()->second,
                  since,
                  since};
    return {};
}

Status Reader::Impl::TagsInZoneAt(const std::string& zone, std::int64_t timeMs,
                                  std::vector<TagInZone>& out) {
    const Result<bool> has = HasZones();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    const Result<std::optional<std::int64_t>> id = ZoneIdOf(zone);
    if (!id || !id.value()) {
        return id ? Status() : Status(id.error());
    }
    for (const char* text : {kEndedStays, kOpenStays}) {
        Stmt q;
        if (Status st = Prepare(q, text); !st) {
            return st;
        }
        q.Bind(1, *id.value());
        q.Bind(2, timeMs);
        int rc = 0;
        while ((rc = q.Step()) == SQLITE_ROW) {
            out.push_back(TagInZone{static_cast<std::uint32_t>(q.Int(0)), q.Int(1)});
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the zone stays");
        }
    }
    KeepOnePerTag(out);
    return {};
}

Result<std::optional<std::int64_t>> Reader::Impl::ZoneIdOf(const std::string& zone) {
    Stmt q;
    if (Status st = Prepare(q, "SELECT id FROM zone_names WHERE name = ?1"); !st) {
        return st.error();
    }
    q.Bind(1, std::string_view(zone));
    const int rc = q.Step();
    if (rc == SQLITE_ROW) {
        return std::optional<std::int64_t>(q.Int(0));
    }
    if (rc == SQLITE_DONE) {
        return std::optional<std::int64_t>();
    }
    return Fail(rc, "cannot read the zone names");
}

}  // namespace trelvane::history
