// Retention and the size cap: each Prune call deletes the oldest rows of every table, at most a
// budget of each, in one short transaction, then gives free pages back to the file system. The
// open stays (zone_open) and the open alerts (alert_open) are never deleted: they are the
// present.

#include <algorithm>
#include <initializer_list>
#include <optional>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::Stmt;

constexpr std::int64_t kVacuumPages = 1024;  // 4 MiB of 4 KiB pages per Prune call

// A table rows are deleted from, by its key. The reads, presence events and alerts are
// `guarded`: those above the guarded output's cursor that go are counted as lost to it.
struct Table {
    const char* name;
    const char* key;  // a column, or a parenthesized list of them
    bool guarded;
};
constexpr Table kReads{"reads", "seq", true};
constexpr Table kPresence{"presence", "seq", true};
constexpr Table kDevices{"device_events", "seq", false};
// No output hands zone events on yet: none is lost to one.
constexpr Table kZoneEvents{"zone_events", "seq", false};
constexpr Table kAlertEvents{"alert_events", "seq", true};
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
    if (st) {
        st = DeleteOldest(kZoneEvents, "time < ?1", "time", {cutMs}, full);
    }
    if (st) {
        st = DeleteOldest(kAlertEvents, "time < ?1", "time", {cutMs}, full);
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
        st = DeleteOldest(kZoneEvents, "seq <= ?1", "seq", {cut}, full);
    }
    if (st) {
        st = DeleteOldest(kAlertEvents, "seq <= ?1", "seq", {cut}, full);
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
    for (const Table& table : {kReads, kPresence, kDevices, kZoneEvents, kAlertEvents}) {
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
