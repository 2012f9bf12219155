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
//   tag_minutes(minute, since, tag, first_seq, last_seq, first_time, last_time, count, seqs,
//               readers)
//                                      the rollup per tag and minute over all readers, keyed
//                                      (minute, since, tag, first_seq) so that it is written
//                                      at its end; a flush writes one row per tag and minute
//                                      it saw, all with the same `since` (the watermark its
//                                      reads lie above; 0 for counts-only rows and rows from
//                                      before version 4). A busy minute takes many flushes:
//                                      with the tag before `since`, each flush's rows went to
//                                      a random place in the minute's part of the table,
//                                      dirtying a page per row. A query for a tag looks up
//                                      each `since` of a minute in turn. `seqs` lists the
//                                      sequence numbers of the row's reads exactly (SeqList),
//                                      NULL when reads are not kept; `readers` (ReaderList)
//                                      the readers among them with each one's last read time
//                                      in the row
//   device_events(seq PK, time, kind, reader), index on time
//   presence(seq PK, time, tag, reader, kind), index on time
//   presence_minutes(minute, since, tag, first_seq, last_seq, seqs)
//                                      the presence events per minute of their time and tag,
//                                      one row per batch that had any (`seqs` a SeqList),
//                                      grouped like the rollup by the watermark at their
//                                      writing (0 when reads are not kept): what a presence
//                                      query for a tag reads instead of an index on tag (from
//                                      version 4)
//   presence_open(seq PK, tag, reader, time)
//                                      arrivals not departed yet, by the arrival's number
//                                      (from version 4; before, keyed by tag and reader)
//   outbox(name PK, seq)               per output (e.g. "mqtt"): the last number it has handed
//                                      on; the output advances it, retention reads it (from
//                                      version 2; older databases get the table on opening)
//
// Times are Unix milliseconds, minutes are Unix minutes (floor of time / 60000). Sequence
// numbers are stored as SQLite integers and must stay below 2^63.
//
// Why the rollup has no reader in its key: a site's readers see the same tags, so rows per
// (tag, reader) pair grow with readers x tags (100 x 10,000 is 1,000,000 pairs, more than the
// reads between two flushes: nearly a row per read, which halved the write rate). Per tag the
// rows of a flush are at most its distinct tags. What needed the reader gets it elsewhere: a
// tag query with a reader filter skips the rows whose ReaderList lacks the reader and looks
// up the reader of each listed read only in rows shared with other readers (the reads table
// has it, by primary key); the last read of an open arrival is in the ReaderList, so presence
// recovery needs no reads (they may not be kept) and no per-pair table written per read.
// Version 2 had a row per (minute, tag, reader); opening it with the writer rebuilds the
// rollup in one transaction (Upgrade), and history::Reader still answers from a version 2
// file it cannot change.
//
// Why presence has no index on tag: a first sight of a site's tags (every tag at every reader
// when the service starts) is an arrival per read, and an index in tag order, like the open
// arrivals keyed by pair, put an entry at a random place per arrival: together they took
// about 70 % of the time of such a burst. Both are now written in the order of their keys'
// first part: presence_minutes by minute and rollup flush (a batch's rows land in the current
// group at the table's end), presence_open by number (arrivals append, and departures, which come in about
// the order of the arrivals, delete near the front); the writer keeps the open arrivals by
// pair in memory. Version 3 files are rebuilt so on opening with the writer (UpgradeTo4);
// history::Reader answers from a version 3 file through its tag index.
//
// The rollup of the reads after meta.rollup_seq ("the tail", at most kMaxOpenReads plus one
// batch) is only in the writer's memory; queries read the tail from the reads table itself.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane::history::schema {

inline constexpr const char* kFormat = "trelvane-history";
inline constexpr int kVersion = 4;

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
