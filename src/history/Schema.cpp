#include "history/Schema.h"

#include <climits>

namespace trelvane::history {

namespace schema {

const char* const kCreatePresenceTables = R"sql(
CREATE TABLE presence_open(seq INTEGER PRIMARY KEY, tag INTEGER NOT NULL,
                           reader INTEGER NOT NULL, time INTEGER NOT NULL);
CREATE TABLE presence_minutes(minute INTEGER NOT NULL, since INTEGER NOT NULL,
                              tag INTEGER NOT NULL, first_seq INTEGER NOT NULL,
                              last_seq INTEGER NOT NULL, seqs BLOB NOT NULL,
                              PRIMARY KEY(minute, since, tag, first_seq)) WITHOUT ROWID;
)sql";

// Each index of zone_events ends in seq (the row id), so (tag, time) is in (tag, time, seq)
// order. zone_stays uses SQLite's built-in R*Tree module (Debian's libsqlite3 is built with
// it: ENABLE_RTREE); the triggers fill and empty it, so it always holds the exits that
// zone_events holds (retention included); a stay of no length (an exit at or before its enter's
// time, a clock step) contains no time and is left out. R*Tree coordinates are 32-bit floats
// rounded outwards: a query through it takes the exact times from zone_events.
const char* const kCreateZoneTables = R"sql(
CREATE TABLE IF NOT EXISTS zone_names(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS zone_events(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,
                                       tag INTEGER NOT NULL, zone INTEGER NOT NULL,
                                       kind INTEGER NOT NULL, reader INTEGER NOT NULL,
                                       since INTEGER NOT NULL, last_seen INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS zone_events_tag ON zone_events(tag, time);
CREATE INDEX IF NOT EXISTS zone_events_zone ON zone_events(zone, time);
CREATE INDEX IF NOT EXISTS zone_events_time ON zone_events(time);
CREATE TABLE IF NOT EXISTS zone_open(tag INTEGER PRIMARY KEY, zone INTEGER NOT NULL,
                                     seq INTEGER NOT NULL, since INTEGER NOT NULL,
                                     reader INTEGER NOT NULL, last_seen INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS zone_open_zone ON zone_open(zone);
CREATE VIRTUAL TABLE IF NOT EXISTS zone_stays USING rtree(seq, since, until, zone_lo, zone_hi);
CREATE TRIGGER IF NOT EXISTS zone_stay_ended AFTER INSERT ON zone_events
WHEN new.kind = 1 AND new.since < new.time BEGIN
    INSERT INTO zone_stays VALUES (new.seq, new.since, new.time, new.zone, new.zone);
END;
CREATE TRIGGER IF NOT EXISTS zone_stay_pruned AFTER DELETE ON zone_events WHEN old.kind = 1 BEGIN
    DELETE FROM zone_stays WHERE seq = old.seq;
END;
)sql";

// Alert events keep their texts (rule, zone, reader) in the row: they are few, and an alert
// names a reader without its device key. A raised event's tag is NULL when its rule concerns
// no tag. alert_open holds what an open alert needs whatever retention deletes: the raised
// event's fields under its number, and its latest acknowledgement's own fields (an
// acknowledgement repeats the rest). The rule engine keeps at most 100,000 alerts open, which
// bounds it.
const char* const kCreateAlertTables = R"sql(
CREATE TABLE IF NOT EXISTS alert_events(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,
                                        kind INTEGER NOT NULL, raised INTEGER NOT NULL,
                                        rule TEXT NOT NULL, rule_kind INTEGER NOT NULL,
                                        tag INTEGER, zone TEXT NOT NULL, reader TEXT NOT NULL,
                                        since INTEGER NOT NULL, text TEXT NOT NULL,
                                        who TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS alert_events_time ON alert_events(time);
CREATE INDEX IF NOT EXISTS alert_events_tag ON alert_events(tag, time);
CREATE INDEX IF NOT EXISTS alert_events_rule ON alert_events(rule, time);
CREATE TABLE IF NOT EXISTS alert_open(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,
                                      rule TEXT NOT NULL, rule_kind INTEGER NOT NULL,
                                      tag INTEGER, zone TEXT NOT NULL, reader TEXT NOT NULL,
                                      since INTEGER NOT NULL, text TEXT NOT NULL,
                                      ack_seq INTEGER, ack_time INTEGER, ack_note TEXT,
                                      ack_who TEXT);
)sql";

const char* const kCreate = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL) WITHOUT ROWID;
CREATE TABLE readers(id INTEGER PRIMARY KEY, name TEXT NOT NULL, device TEXT NOT NULL,
                     UNIQUE(name, device));
CREATE TABLE reads(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, tag INTEGER NOT NULL,
                   reader INTEGER NOT NULL, reader_time INTEGER);
CREATE TABLE minutes(minute INTEGER PRIMARY KEY, first_seq INTEGER NOT NULL,
                     last_seq INTEGER NOT NULL, count INTEGER NOT NULL);
CREATE TABLE device_events(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,
                           kind INTEGER NOT NULL, reader INTEGER NOT NULL);
CREATE INDEX device_events_time ON device_events(time);
CREATE TABLE presence(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, tag INTEGER NOT NULL,
                      reader INTEGER NOT NULL, kind INTEGER NOT NULL);
CREATE INDEX presence_time ON presence(time);
CREATE TABLE outbox(name TEXT PRIMARY KEY, seq INTEGER NOT NULL) WITHOUT ROWID;
)sql";

const char* const kUpgradeTo2 = R"sql(
CREATE TABLE IF NOT EXISTS outbox(name TEXT PRIMARY KEY, seq INTEGER NOT NULL) WITHOUT ROWID;
UPDATE meta SET value = 2 WHERE key = 'version';
)sql";

std::string CreateTagMinutes(std::string_view table) {
    return "CREATE TABLE " + std::string(table) +
           "(minute INTEGER NOT NULL, since INTEGER NOT NULL, tag INTEGER NOT NULL, "
           "first_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL, first_time INTEGER NOT NULL, "
           "last_time INTEGER NOT NULL, count INTEGER NOT NULL, seqs BLOB, "
           "readers BLOB NOT NULL, PRIMARY KEY(minute, since, tag, first_seq)) WITHOUT ROWID";
}

namespace {

void PutVarint(std::uint64_t value, std::vector<std::uint8_t>& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

// False at the end of the bytes or on a malformed number.
bool GetVarint(std::span<const std::uint8_t> bytes, std::size_t& at, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; at < bytes.size() && shift <= 63; shift += 7) {
        const std::uint8_t byte = bytes[at++];
        value |= std::uint64_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void EncodeReaderList(std::int64_t minute, std::span<const ReaderLast> ascending,
                      std::vector<std::uint8_t>& out) {
    out.clear();
    std::int64_t previous = 0;
    for (const ReaderLast& r : ascending) {
        PutVarint(static_cast<std::uint64_t>(r.reader - previous), out);
        PutVarint(static_cast<std::uint64_t>(r.lastTime - minute * kMinuteMs), out);
        previous = r.reader;
    }
}

bool DecodeReaderList(std::int64_t minute, std::span<const std::uint8_t> bytes,
                      std::vector<ReaderLast>& out) {
    out.clear();
    // A minute from a damaged file could overflow the times below.
    constexpr std::int64_t kLastMinute = INT64_MAX / kMinuteMs - 1;
    if (minute < -kLastMinute || minute > kLastMinute) {
        return bytes.empty();
    }
    std::size_t at = 0;
    std::int64_t reader = 0;
    while (at < bytes.size()) {
        std::uint64_t gap = 0;
        std::uint64_t offset = 0;
        if (!GetVarint(bytes, at, gap) || !GetVarint(bytes, at, offset) ||
            gap > static_cast<std::uint64_t>(INT64_MAX - reader) || (gap == 0 && !out.empty()) ||
            offset >= static_cast<std::uint64_t>(kMinuteMs)) {
            return false;
        }
        reader += static_cast<std::int64_t>(gap);
        out.push_back(ReaderLast{reader, minute * kMinuteMs + static_cast<std::int64_t>(offset)});
    }
    return true;
}

void EncodeSeqList(std::span<const std::uint64_t> ascending, std::vector<std::uint8_t>& out) {
    out.clear();
    for (std::size_t i = 1; i < ascending.size(); ++i) {
        PutVarint(ascending[i] - ascending[i - 1], out);
    }
}

bool DecodeSeqList(std::uint64_t first, std::span<const std::uint8_t> bytes,
                   std::vector<std::uint64_t>& out) {
    out.push_back(first);
    std::uint64_t value = first;
    std::uint64_t gap = 0;
    int shift = 0;
    for (const std::uint8_t byte : bytes) {
        if (shift > 63) {
            return false;
        }
        gap |= std::uint64_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) != 0) {
            shift += 7;
            continue;
        }
        value += gap;
        out.push_back(value);
        gap = 0;
        shift = 0;
    }
    return shift == 0;
}

}  // namespace schema
}  // namespace trelvane::history
