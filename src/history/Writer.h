#pragma once

// The one process that writes the history. The service's history sink owns a Writer and calls
// it from its sink thread; queries run meanwhile from any process through history::Reader
// (the database is in WAL mode, so readers see committed batches and never block the writer).
//
// Threading: construct (Open) on any thread and move it to another; then one thread at a time
// calls Append, Prune and the accessors. Counters() alone may be called from any thread.
//
// Durability: each Append is one transaction (synchronous=NORMAL: a power loss may take the
// last batches, a killed process loses none that Append returned for). After a kill the
// database opens with every committed batch and LastSequence continues from the last one.
//
// One writer per database: Open takes an exclusive flock(2) on "<path>-lock" for the Writer's
// lifetime, so a second writer (another process, or another Writer in this one) fails with
// kLocked. Readers never look at that lock.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "history/Batch.h"
#include "history/Result.h"

namespace trelvane::history {

struct Options {
    std::filesystem::path path;
    // false: device, presence and zone events and the per-minute rollup (counts, first and
    // last times per tag and reader) are stored, the reads themselves are not.
    bool keepReads = true;
    int retentionDays = 90;                    // 0 = keep everything
    std::int64_t maxSizeBytes = 2048LL << 20;  // <= 0 = no size cap
    // An output whose outbox cursor retention respects (empty: none). Retention still deletes
    // by age and size, but counts the reads, presence events and alerts it deletes above that
    // cursor (never handed on) in WriterCounters::lostToOutput.
    std::string guardedOutput{};
};

struct WriterCounters {
    std::uint64_t reads = 0;  // read events taken in since Open (stored or rolled up)
    std::uint64_t deviceEvents = 0;
    std::uint64_t presenceEvents = 0;
    std::uint64_t zoneEvents = 0;
    std::uint64_t alertEvents = 0;
    std::uint64_t duplicates = 0;  // events skipped: seq not above LastSequence
    std::uint64_t rowsPruned = 0;
    std::uint64_t lostToOutput = 0;  // pruned before the guarded output handed them on
    std::int64_t bytesOnDisk = 0;    // database file plus its WAL, now
};

struct PruneResult {
    std::size_t rowsDeleted = 0;
    bool more = false;  // call again soon: old rows, excess size or free pages remain
};

// Rows of each table one Prune call deletes at most, in one short transaction.
inline constexpr std::size_t kPruneBatchRows = 5000;

class Writer {
  public:
    // Creates the database when absent. Errors: kLocked (another writer), kUnwritable (no
    // folder, no rights, read-only file system), kCorrupt (not a database or not a history).
    static Result<Writer> Open(const Options& options);

    Writer(Writer&&) noexcept;
    Writer& operator=(Writer&&) noexcept;
    ~Writer();

    // The largest sequence number stored (0 for a new database), or an output's cursor when
    // that is larger (it handed on numbers a killed service did not store); never goes down,
    // also when retention deletes the rows.
    std::uint64_t LastSequence() const;
    // 32 hex digits made when the database was created: a consumer that remembers sequence
    // numbers can tell a new database from the one it knew.
    const std::string& HistoryId() const;

    // Stores the batch in one transaction. Events whose seq is not above LastSequence() are
    // skipped as duplicates (a service resending after a restart). Within a batch the numbers
    // may interleave across kinds; a number used twice fails the batch (kBadInput). On any
    // failure nothing of the batch is stored and the writer stays usable.
    Status Append(const Batch& batch);

    // Retention: rows older than retentionDays before `nowMs` (whole minutes), then, while the
    // live data is above maxSizeBytes, the oldest rows by sequence number (never an open zone
    // stay or an open alert: those are the present, not history); at most `maxRows`
    // rows of each table in one transaction, then up to 4 MiB of free pages given back to the
    // file system (incremental vacuum). Call it repeatedly (between batches) while `more`.
    Result<PruneResult> Prune(std::int64_t nowMs, std::size_t maxRows = kPruneBatchRows);

    WriterCounters Counters() const;

  private:
    struct Impl;
    explicit Writer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::history
