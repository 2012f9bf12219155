#pragma once

// The history's tables, shared by the writer and the readers.
//
//   meta(key, value)                   format, version, history_id, last_seq, rollup_seq
//   readers(id, name, device)          one row per (name, device) ever seen; rows refer to id
//   reads(seq PK, time, tag, reader, reader_time)
//                                      append-only in seq order; no index on tag (an index in
//                                      tag order would dirty a page per read)
//   minutes(minute PK, first_seq, last_seq, count)
//                                      per minute of read time: the seq range of its reads,
//                                      which turns a time range into a seq range
//   tag_minutes(minute, tag, reader, first_seq, last_seq, first_time, last_time, count, seqs)
//                                      the rollup per tag, reader and minute, keyed minute
//                                      first so that it is written at its end; `seqs` lists
//                                      the sequence numbers of the rows' reads exactly
//                                      (SeqList), NULL when reads are not kept
//   device_events(seq PK, time, kind, reader), index on time
//   presence(seq PK, time, tag, reader, kind), indexes on time and tag
//   presence_open(tag, reader, seq, time)  arrivals not departed yet
//   outbox(name PK, seq)               per output (e.g. "mqtt"): the last number it has handed
//                                      on; the output advances it, retention reads it (from
//                                      version 2; older databases get the table on opening)
//
// Times are Unix milliseconds, minutes are Unix minutes (floor of time / 60000). Sequence
// numbers are stored as SQLite integers and must stay below 2^63.
//
// The rollup of the reads after meta.rollup_seq ("the tail", at most kMaxOpenReads plus one
// batch) is only in the writer's memory; queries read the tail from the reads table itself.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <vector>

namespace trelvane::history::schema {

inline constexpr const char* kFormat = "trelvane-history";
inline constexpr int kVersion = 2;

// The writer flushes its rollup when a read's minute passes the open minute, or when this many
// reads wait in memory: it bounds what a query scans and what a restart re-reads.
inline constexpr std::size_t kMaxOpenReads = std::size_t{1} << 17;

inline constexpr std::int64_t kMinuteMs = 60000;

constexpr std::int64_t MinuteOf(std::int64_t timeMs) {
    return timeMs >= 0 ? timeMs / kMinuteMs : -((-timeMs + kMinuteMs - 1) / kMinuteMs);
}

// The statements that make an empty database a history (auto_vacuum is set before them).
extern const char* const kCreate;
// What takes a version 1 history to version 2 (in one transaction with the version update).
extern const char* const kUpgradeTo2;

// Ascending sequence numbers as the gaps after the first, each a LEB128 varint (1 byte for the
// common gap below 128). The first number is the rollup row's first_seq.
void EncodeSeqList(std::span<const std::uint64_t> ascending, std::vector<std::uint8_t>& out);
// Appends the decoded numbers to `out`; false when the bytes are malformed (then `out` holds
// what decoded before the fault).
bool DecodeSeqList(std::uint64_t first, std::span<const std::uint8_t> bytes,
                   std::vector<std::uint64_t>& out);

}  // namespace trelvane::history::schema
