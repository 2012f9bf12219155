#pragma once

// The history's tables (format version 6), shared by the writer and the readers. What each
// holds and why its key is ordered as it is: doc/history.md.
//
//   meta              format, version, history_id, last_seq, rollup_seq
//   readers           one row per (name, device) ever seen; the other tables refer to its id
//   reads             every read, append-only in seq order
//   minutes           per minute of read time, the seq range of its reads
//   tag_minutes       the rollup per tag and minute over all readers (SeqList, ReaderList)
//   device_events     device events by seq
//   presence          arrive and depart events by seq
//   presence_minutes  presence events per minute and tag, a row per batch (SeqList)
//   presence_open     arrivals not departed yet, by the arrival's number
//   zone_names        one row per zone name ever seen; zone_events and zone_open refer to its id
//   zone_events       enter and exit events by seq, indexed by (tag, time), (zone, time), time
//   zone_open         per tag, its stay in a zone not exited yet (the enter's number and time)
//   zone_stays        an R*Tree over the stays that ended: per exit, [since, exit time) x zone
//   alert_events      raised, cleared and acknowledged alerts by seq, indexed by time, tag, rule
//   alert_open        per alert raised and not cleared yet, the raised event and its latest
//                     acknowledgement (never pruned: what a restart takes up)
//   outbox            per output, the last number it has handed on
//
// Times are Unix milliseconds, minutes Unix minutes (floor of time / 60000); sequence numbers
// must stay below 2^63. The rollup of the reads after meta.rollup_seq (at most kMaxOpenReads
// plus one batch) is only in the writer's memory: queries read that tail from `reads` itself.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane::history::schema {

inline constexpr const char* kFormat = "trelvane-history";
inline constexpr int kVersion = 6;

// The writer flushes its rollup when a read's minute passes the open minute, or when this many
// reads wait in memory: it bounds what a query scans and what a restart re-reads.
inline constexpr std::size_t kMaxOpenReads = std::size_t{1} << 17;

inline constexpr std::int64_t kMinuteMs = 60000;

constexpr std::int64_t MinuteOf(std::int64_t timeMs) {
    return timeMs >= 0 ? timeMs / kMinuteMs : -((-timeMs + kMinuteMs - 1) / kMinuteMs);
}

// The statements that make an empty database a history (auto_vacuum is set before them),
// with CreateTagMinutes("tag_minutes").
extern const char* const kCreate;
// The presence tables of version 4 (run after kCreate; the upgrade makes them beside the old).
extern const char* const kCreatePresenceTables;
// The zone tables of version 5, each made only when absent (run after kCreate; the upgrade
// makes them in a version 4 file).
extern const char* const kCreateZoneTables;
// The alert tables of version 6, each made only when absent (run after kCreate; the upgrade
// makes them in a version 5 file).
extern const char* const kCreateAlertTables;
// What takes a version 1 history to version 2 (in one transaction with the version update).
extern const char* const kUpgradeTo2;
// The version 3 rollup table under the name `table` (the upgrade builds it beside the old one).
std::string CreateTagMinutes(std::string_view table);

// Ascending sequence numbers as the gaps after the first, each a LEB128 varint (1 byte for the
// common gap below 128). The first number is the rollup row's first_seq.
void EncodeSeqList(std::span<const std::uint64_t> ascending, std::vector<std::uint8_t>& out);
// Appends the decoded numbers to `out`; false when the bytes are malformed (then `out` holds
// what decoded before the fault).
bool DecodeSeqList(std::uint64_t first, std::span<const std::uint8_t> bytes,
                   std::vector<std::uint64_t>& out);

// A rollup row's readers: ascending reader ids, each as the gap from the previous id (the
// first from 0) and its last read time's offset in the row's minute (0-59,999 ms), both
// LEB128 varints.
struct ReaderLast {
    std::int64_t reader = 0;
    std::int64_t lastTime = 0;  // Unix ms
    friend bool operator==(const ReaderLast&, const ReaderLast&) = default;
};
void EncodeReaderList(std::int64_t minute, std::span<const ReaderLast> ascending,
                      std::vector<std::uint8_t>& out);
// Replaces `out` with the decoded list; false when the bytes are malformed.
bool DecodeReaderList(std::int64_t minute, std::span<const std::uint8_t> bytes,
                      std::vector<ReaderLast>& out);

}  // namespace trelvane::history::schema
