// The batch: one transaction per Append, its reads, device and presence events, the minute
// index, the rollup's flushes, the reader ids; and the Writer's own small accessors.

#include "history/Writer.h"

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <optional>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::Stmt;

std::int64_t SizeOr0(const std::filesystem::path& file) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

// Numbers above this do not fit SQLite's integers.
constexpr auto kMaxSeq = static_cast<std::uint64_t>(INT64_MAX);

std::string SeqText(std::uint64_t seq) {
    return "sequence number " + std::to_string(seq);
}

}  // namespace

Error Writer::Impl::StoreFailure(int rc, std::uint64_t seq) const {
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT) {
        return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is used twice"};
    }
    return Fail(rc, "cannot store " + SeqText(seq));
}

void Writer::Impl::RollBack() {
    insertReads.Discard();
    upsertRollups.Discard();
    insertPresence.Discard();
    openArrivals.Discard();
    presenceMinutes.Discard();
    if (sqlite3_get_autocommit(db) == 0) {
        sql::Exec(db, "ROLLBACK");
    }
}

Status Writer::Impl::Append(const Batch& batch) {
    if (stale) {
        if (Status st = Recover(); !st) {
            return st;
        }
    }
    std::uint64_t newLast = lastSeq;
    Taken taken;
    const Status st =
        InTransaction("cannot commit the batch", [&] { return WriteBatch(batch, newLast, taken); });
    if (!st) {
        if (stale) {
            // Best effort now; if the database still refuses, the next Append tries again.
            (void)Recover();
        }
        return st;
    }
    lastSeq = newLast;
    reads += taken.reads;
    deviceEvents += taken.devices;
    presenceEvents += taken.presence;
    duplicates += taken.duplicates;
    return {};
}

Status Writer::Impl::WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken) {
    const std::uint64_t before = lastSeq;
    std::uint64_t maxSeq = before;
    if (Status st = FlushBeforeALaterMinute(batch, before); !st) {
        return st;
    }
    if (Status st = InsertReads(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = InsertDevices(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = WritePresence(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = UpsertMinutes(); !st) {
        return st;
    }
    if (!options.keepReads ? !minuteSpans.empty() : rollup.OpenReads() >= schema::kMaxOpenReads) {
        if (Status st = Flush(maxSeq); !st) {
            return st;
        }
    }
    if (maxSeq != before) {
        if (Status st = SetMeta("last_seq", static_cast<std::int64_t>(maxSeq)); !st) {
            return st;
        }
    }
    newLast = maxSeq;
    return {};
}

// A read of a later minute closes the open rollup before it joins.
Status Writer::Impl::FlushBeforeALaterMinute(const Batch& batch, std::uint64_t before) {
    if (!options.keepReads || rollup.Empty()) {
        return {};
    }
    for (const Read& r : batch.reads) {
        if (r.seq > before && MinuteOf(r.timeMs) > rollup.MaxMinute()) {
            return Flush(before);
        }
    }
    return {};
}

// The reads (when kept) into their table, each into the open rollup and its minute's span.
Status Writer::Impl::InsertReads(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                 Taken& taken) {
    minuteSpans.clear();
    for (const Read& r : batch.reads) {
        const Result<std::int64_t> id = Admit(r.seq, r.reader, r.device, before, taken);
        if (!id) {
            return id.error();
        }
        if (id.value() == kDuplicate) {
            continue;
        }
        if (options.keepReads) {
            sql::MultiRowInsert& s = insertReads;
            s.Add(static_cast<std::int64_t>(r.seq));
            s.Add(r.timeMs);
            s.Add(std::int64_t{r.tag});
            s.Add(id.value());
            if (r.readerTime) {
                s.Add(static_cast<std::int64_t>(PackReaderTime(*r.readerTime)));
            } else {
                s.AddNull();
            }
            if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
                return StoreFailure(rc, static_cast<std::uint64_t>(s.FailedKey()));
            }
        }
        rollup.Add(r.seq, r.timeMs, r.tag, id.value(), options.keepReads);
        const std::int64_t minute = MinuteOf(r.timeMs);
        auto span = std::find_if(minuteSpans.begin(), minuteSpans.end(),
                                 [&](const MinuteSpan& m) { return m.minute == minute; });
        if (span == minuteSpans.end()) {
            minuteSpans.push_back(MinuteSpan{minute, r.seq, r.seq, 0});
            span = minuteSpans.end() - 1;
        }
        span->firstSeq = std::min(span->firstSeq, r.seq);
        span->lastSeq = std::max(span->lastSeq, r.seq);
        ++span->count;
        maxSeq = std::max(maxSeq, r.seq);
        ++taken.reads;
    }
    if (const int rc = insertReads.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertReads.FailedKey()));
    }
    return {};
}

Status Writer::Impl::InsertDevices(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                   Taken& taken) {
    for (const DeviceEvent& d : batch.devices) {
        const Result<std::int64_t> id = Admit(d.seq, d.reader, d.device, before, taken);
        if (!id) {
            return id.error();
        }
        if (id.value() == kDuplicate) {
            continue;
        }
        Stmt& s = insertDevice;
        s.Bind(1, static_cast<std::int64_t>(d.seq));
        s.Bind(2, d.timeMs);
        s.Bind(3, static_cast<std::int64_t>(d.kind));
        s.Bind(4, id.value());
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return StoreFailure(rc, d.seq);
        }
        maxSeq = std::max(maxSeq, d.seq);
        ++taken.devices;
    }
    return {};
}

// The batch's reads per minute into the minutes table, which turns a time range into a range
// of numbers.
Status Writer::Impl::UpsertMinutes() {
    for (const MinuteSpan& m : minuteSpans) {
        Stmt& s = upsertMinute;
        s.Bind(1, m.minute);
        s.Bind(2, static_cast<std::int64_t>(m.firstSeq));
        s.Bind(3, static_cast<std::int64_t>(m.lastSeq));
        s.Bind(4, m.count);
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the minute index");
        }
    }
    return {};
}

Result<std::int64_t> Writer::Impl::Admit(std::uint64_t seq, std::string_view name,
                                         std::string_view device, std::uint64_t before,
                                         Taken& taken) {
    if (seq <= before) {
        ++taken.duplicates;
        return kDuplicate;
    }
    if (seq > kMaxSeq) {
        return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is too large"};
    }
    return ReaderId(name, device);
}

Result<std::int64_t> Writer::Impl::ReaderId(std::string_view name, std::string_view device) {
    if (lastReaderId >= 0 && name == lastReaderName && device == lastReaderDevice) {
        return lastReaderId;
    }
    Result<std::int64_t> id = LookUpReader(name, device);
    if (id) {
        lastReaderName = name;
        lastReaderDevice = device;
        lastReaderId = id.value();
    }
    return id;
}

Result<std::int64_t> Writer::Impl::LookUpReader(std::string_view name, std::string_view device) {
    std::string key = std::to_string(name.size());
    key += ':';
    key += name;
    key += device;
    if (const auto it = readerIds.find(key); it != readerIds.end()) {
        return it->second;
    }
    findReader.Bind(1, name);
    findReader.Bind(2, device);
    int rc = findReader.Step();
    std::int64_t id = 0;
    if (rc == SQLITE_ROW) {
        id = findReader.Int(0);
    }
    findReader.Reset();
    if (rc == SQLITE_DONE) {
        insertReader.Bind(1, name);
        insertReader.Bind(2, device);
        rc = insertReader.Step();
        insertReader.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a reader");
        }
        id = sqlite3_last_insert_rowid(db);
    } else if (rc != SQLITE_ROW) {
        return Fail(rc, "cannot look up a reader");
    }
    if (id < 1 || id > kMaxReaderId) {
        return Error{ErrorCode::kCorrupt,
                     path + ": reader id " + std::to_string(id) + " is out of range"};
    }
    readerIds.emplace(std::move(key), id);
    return id;
}

Writer::Writer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

std::uint64_t Writer::LastSequence() const {
    return impl_->lastSeq;
}

const std::string& Writer::HistoryId() const {
    return impl_->historyId;
}

Status Writer::Append(const Batch& batch) {
    return impl_->Append(batch);
}

Result<PruneResult> Writer::Prune(std::int64_t nowMs, std::size_t maxRows) {
    return impl_->Prune(nowMs, maxRows);
}

WriterCounters Writer::Counters() const {
    WriterCounters c;
    c.reads = impl_->reads.load();
    c.deviceEvents = impl_->deviceEvents.load();
    c.presenceEvents = impl_->presenceEvents.load();
    c.duplicates = impl_->duplicates.load();
    c.rowsPruned = impl_->rowsPruned.load();
    c.lostToOutput = impl_->lostToOutput.load();
    c.bytesOnDisk = SizeOr0(impl_->path) + SizeOr0(impl_->path + "-wal");
    return c;
}

namespace {

using schema::MinuteOf;
using sql::Stmt;

constexpr std::int64_t kVacuumPages = 1024;  // 4 MiB of 4 KiB pages per Prune call

// A table rows are deleted from, by its key. The reads and presence events are `guarded`: those
// above the guarded output's cursor that go are counted as lost to it.
struct Table {
    const char* name;
    const char* key;  // a column, or a parenthesized list of them
    bool guarded;
};
constexpr Table kReads{"reads", "seq", true};
constexpr Table kPresence{"presence", "seq", true};
constexpr Table kDevices{"device_events", "seq", false};
constexpr Table kMinutes{"minutes", "minute", false};
constexpr Table kTagMinutes{"tag_minutes", "(minute, since, tag, first_seq)", false};
constexpr Table kPresenceMinutes{"presence_minutes", "(minute, since, tag, first_seq)", false};

}  // namespace

// One step of retention and of the size cap, inside the caller's transaction.
class Writer::Impl::Pruning {
  public:
    Pruning(Impl& w, std::int64_t budget, PruneResult& result)
        : w_(w), budget_(budget), result_(result) {}

    Status Run(std::int64_t nowMs);
    std::uint64_t Lost() const { return lost_; }

  private:
    void ReadCursor();
    Status ByAge(std::int64_t nowMs);
    Status BySize();
    Result<bool> OverSize();
    Result<std::int64_t> SizeCut();
    Status DeleteOldest(const Table& table, const char* where, const char* order,
                        std::initializer_list<std::int64_t> args, bool& full);
    Status Delete(const Table& table, std::string statement, const std::vector<std::int64_t>& args,
                  bool& full);

    Impl& w_;
    const std::int64_t budget_;
    PruneResult& result_;
    std::optional<std::int64_t> cursor_;
    std::uint64_t lost_ = 0;
};

Status Writer::Impl::Pruning::Run(std::int64_t nowMs) {
    ReadCursor();
    if (w_.options.retentionDays > 0) {
        if (Status st = ByAge(nowMs); !st) {
            return st;
        }
    }
    if (w_.options.maxSizeBytes > 0) {
        return BySize();
    }
    return {};
}

// The guarded output's cursor, read in this transaction: rows above it were never handed on.
void Writer::Impl::Pruning::ReadCursor() {
    if (w_.options.guardedOutput.empty()) {
        return;
    }
    Stmt q;
    if (Stmt::Prepare(w_.db, "SELECT seq FROM outbox WHERE name = ?1", q) == SQLITE_OK) {
        q.Bind(1, std::string_view(w_.options.guardedOutput));
        if (q.Step() == SQLITE_ROW) {
            cursor_ = q.Int(0);
        }
    }
}

// Rows older than retentionDays, in whole minutes.
Status Writer::Impl::Pruning::ByAge(std::int64_t nowMs) {
    const std::int64_t cutMinute =
        MinuteOf(nowMs - std::int64_t{w_.options.retentionDays} * 86400000);
    const std::int64_t cutMs = cutMinute * schema::kMinuteMs;
    bool readsFull = false;
    bool rollupFull = false;
    bool full = false;
    // The minutes table bounds the scan: reads of old minutes sit below their last seq.
    Status st = DeleteOldest(
        kReads, "seq <= (SELECT max(last_seq) FROM minutes WHERE minute < ?1) AND time < ?2", "seq",
        {cutMinute, cutMs}, readsFull);
    if (st) {
        st = DeleteOldest(kTagMinutes, "minute < ?1", "minute", {cutMinute}, rollupFull);
    }
    if (st && !readsFull && !rollupFull) {
        st = DeleteOldest(kMinutes, "minute < ?1", "minute", {cutMinute}, full);
    }
    if (st) {
        st = DeleteOldest(kPresence, "time < ?1", "time", {cutMs}, full);
    }
    if (st) {
        st = DeleteOldest(kPresenceMinutes, "minute < ?1", "minute", {cutMinute}, full);
    }
    if (st) {
        st = DeleteOldest(kDevices, "time < ?1", "time", {cutMs}, full);
    }
    return st;
}

// While the live data is above maxSizeBytes: the oldest rows by sequence number.
Status Writer::Impl::Pruning::BySize() {
    const Result<bool> over = OverSize();
    if (!over || !over.value()) {
        return over ? Status() : Status(over.error());
    }
    result_.more = true;
    const Result<std::int64_t> cutOrError = SizeCut();
    if (!cutOrError) {
        return cutOrError.error();
    }
    const std::int64_t cut = cutOrError.value();
    // The presence index rows go once all their events have; the scan stops at the minute of
    // the latest event this step deletes.
    const std::string doomed =
        "SELECT max(time) FROM presence WHERE seq IN (SELECT seq FROM presence WHERE seq <= " +
        std::to_string(cut) + " ORDER BY seq LIMIT " + std::to_string(budget_) + ")";
    const Result<std::int64_t> lastDoomed = w_.QueryInt(doomed.c_str(), INT64_MIN);
    if (!lastDoomed) {
        return lastDoomed.error();
    }
    bool full = false;
    bool rollupFull = false;
    Status st = Delete(kReads, "DELETE FROM reads WHERE seq <= ?1", {cut}, full);
    if (st) {
        st = DeleteOldest(kPresence, "seq <= ?1", "seq", {cut}, full);
    }
    if (st && lastDoomed.value() != INT64_MIN) {
        st = DeleteOldest(kPresenceMinutes, "minute <= ?1 AND last_seq <= ?2", "minute",
                          {MinuteOf(lastDoomed.value()), cut}, full);
    }
    if (st) {
        st = DeleteOldest(kDevices, "seq <= ?1", "seq", {cut}, full);
    }
    if (st) {
        st = DeleteOldest(kTagMinutes,
                          "minute <= coalesce((SELECT max(minute) FROM minutes WHERE last_seq <= "
                          "?1), -9223372036854775807) AND last_seq <= ?1",
                          "minute", {cut}, rollupFull);
    }
    if (st && !rollupFull) {
        st = DeleteOldest(kMinutes, "last_seq <= ?1", "minute", {cut}, full);
    }
    return st;
}

Result<bool> Writer::Impl::Pruning::OverSize() {
    const Result<std::int64_t> pages = w_.QueryInt("PRAGMA page_count", 0);
    const Result<std::int64_t> freePages = w_.QueryInt("PRAGMA freelist_count", 0);
    const Result<std::int64_t> pageSize = w_.QueryInt("PRAGMA page_size", 4096);
    if (!pages || !freePages || !pageSize) {
        return !pages ? pages.error() : !freePages ? freePages.error() : pageSize.error();
    }
    return (pages.value() - freePages.value()) * pageSize.value() > w_.options.maxSizeBytes;
}

// The cut: the budget-th oldest number of the tables that hold that many rows, so no table
// loses more than the budget; with fewer rows everywhere, all of them.
Result<std::int64_t> Writer::Impl::Pruning::SizeCut() {
    std::int64_t cut = INT64_MAX;
    std::int64_t newest = 0;
    for (const Table& table : {kReads, kPresence, kDevices}) {
        const std::string nth = std::string("SELECT seq FROM ") + table.name +
                                " ORDER BY seq LIMIT 1 OFFSET " + std::to_string(budget_ - 1);
        const Result<std::int64_t> seq = w_.QueryInt(nth.c_str(), INT64_MAX);
        const std::string last = std::string("SELECT max(seq) FROM ") + table.name;
        const Result<std::int64_t> top = w_.QueryInt(last.c_str(), 0);
        if (!seq || !top) {
            return !seq ? seq.error() : top.error();
        }
        cut = std::min(cut, seq.value());
        newest = std::max(newest, top.value());
    }
    return cut == INT64_MAX ? newest : cut;
}

// Deletes up to the budget of the table's first rows in `order` that match `where` (?1.. bound
// to `args`, the budget after them).
Status Writer::Impl::Pruning::DeleteOldest(const Table& table, const char* where, const char* order,
                                           std::initializer_list<std::int64_t> args, bool& full) {
    const std::string_view key = table.key;
    const std::string_view columns = key.front() == '(' ? key.substr(1, key.size() - 2) : key;
    std::string statement = std::string("DELETE FROM ") + table.name + " WHERE ";
    statement += key;
    statement += std::string(" IN (SELECT ") + std::string(columns) + " FROM " + table.name +
                 " WHERE " + where + " ORDER BY " + order + " LIMIT ?" +
                 std::to_string(args.size() + 1) + ")";
    std::vector<std::int64_t> bound(args);
    bound.push_back(budget_);
    return Delete(table, std::move(statement), bound, full);
}

// Runs one DELETE with ?1.. bound to `args` and counts the rows it removed; `full` when they
// reach the budget (more of the same remain).
Status Writer::Impl::Pruning::Delete(const Table& table, std::string statement,
                                     const std::vector<std::int64_t>& args, bool& full) {
    const bool counted = table.guarded && cursor_;
    if (counted) {
        statement += " RETURNING seq";
    }
    Stmt s;
    int rc = Stmt::Prepare(w_.db, statement, s);
    if (rc != SQLITE_OK) {
        return w_.Fail(rc, "cannot prune");
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        s.Bind(static_cast<int>(i) + 1, args[i]);
    }
    while ((rc = s.Step()) == SQLITE_ROW) {
        lost_ += s.Int(0) > *cursor_ ? 1 : 0;
    }
    if (rc != SQLITE_DONE) {
        return w_.Fail(rc, "cannot prune");
    }
    const int n = sqlite3_changes(w_.db);
    result_.rowsDeleted += static_cast<std::size_t>(n);
    full = n >= budget_;
    result_.more = result_.more || full;
    return {};
}

// One step of retention and of the size cap, each table's deletions bounded by `maxRows`.
Result<PruneResult> Writer::Impl::Prune(std::int64_t nowMs, std::size_t maxRows) {
    if (stale) {
        if (Status st = Recover(); !st) {
            return st.error();
        }
    }
    const auto budget = static_cast<std::int64_t>(std::max<std::size_t>(maxRows, 1));
    PruneResult result;
    std::uint64_t lost = 0;
    const Status st = InTransaction("cannot commit the pruning", [&] {
        Pruning step(*this, budget, result);
        const Status done = step.Run(nowMs);
        lost = step.Lost();
        return done;
    });
    if (!st) {
        return st.error();
    }
    lostToOutput += lost;
    // Give freed pages back in small steps, outside the deleting transaction.
    const std::string vacuum = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")";
    if (const int rc = sql::Exec(db, vacuum.c_str()); rc != SQLITE_OK) {
        return Fail(rc, "cannot give free pages back");
    }
    const Result<std::int64_t> freePages = QueryInt("PRAGMA freelist_count", 0);
    if (!freePages) {
        return freePages.error();
    }
    result.more = result.more || freePages.value() > 0;
    rowsPruned += result.rowsDeleted;
    return result;
}

}  // namespace trelvane::history
