#include "history/Reader.h"

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <map>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "history/Schema.h"
#include "history/Sqlite.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::Stmt;

// Past this many a query keeps its candidates sorted and cut, so memory follows the page.
constexpr std::size_t kMaxLimit = std::size_t{1} << 28;
// A presence query for a tag reads the events of its range of numbers directly when there are
// no more than this many.
constexpr std::size_t kPresenceScanRows = 4096;
// Virtual-machine steps per unit of Reader::Work.
constexpr int kWorkSteps = 100;

// The last seq a query may return: INT64_MAX when unbounded.
std::int64_t LastSeqOf(const Filter& f) {
    return f.throughSeq
               ? static_cast<std::int64_t>(std::min<std::uint64_t>(*f.throughSeq, INT64_MAX))
               : INT64_MAX;
}

// A filter's ranges of numbers and minutes; none when it can match nothing.
struct Bounds {
    std::int64_t lo = 0, hi = 0;
    std::int64_t firstMinute = INT64_MIN, lastMinute = INT64_MAX;
};
std::optional<Bounds> BoundsOf(const Filter& f) {
    if (f.afterSeq >= static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    Bounds b{static_cast<std::int64_t>(f.afterSeq) + 1, LastSeqOf(f)};
    if (b.lo > b.hi) {
        return std::nullopt;
    }
    if (f.sinceMs) {
        b.firstMinute = MinuteOf(*f.sinceMs);
    }
    if (f.untilMs) {
        if (*f.untilMs == INT64_MIN || (f.sinceMs && *f.untilMs <= *f.sinceMs)) {
            return std::nullopt;
        }
        b.lastMinute = MinuteOf(*f.untilMs - 1);
    }
    return b;
}

}  // namespace

// The rows of one minute and tag in the rollup (tag_minutes) or the presence index
// (presence_minutes). From version 4 a minute's rows are grouped by the rollup flush they
// follow (`since`): the groups of a minute are found once, by a seek each, and then each group
// is looked up for the tag.
class MinuteRows {
  public:
    // `columns` are the caller's; `grouped` when the table has `since` in its key.
    int Prepare(sqlite3* db, const char* table, const std::string& columns, bool grouped) {
        grouped_ = grouped;
        minute_ = std::nullopt;
        const std::string from = std::string(" FROM ") + table + " WHERE minute = ?1";
        const std::string select = "SELECT " + columns + from;
        if (!grouped) {
            return Stmt::Prepare(db, select + " AND tag = ?2", rows_);
        }
        const int rc = Stmt::Prepare(
            db, "SELECT since" + from + " AND since > ?2 ORDER BY since LIMIT 1", next_);
        return rc != SQLITE_OK ? rc
                               : Stmt::Prepare(db, select + " AND since = ?3 AND tag = ?2", rows_);
    }

    // Calls `row(stmt)` for each row; returns the first SQLite error code, or SQLITE_DONE.
    template <typename Fn>
    int ForEach(std::int64_t minute, std::int64_t tag, Fn&& row) {
        if (!grouped_) {
            return Scan(minute, tag, std::nullopt, row);
        }
        if (minute_ != minute) {
            groups_.clear();
            minute_.reset();
            for (std::int64_t after = INT64_MIN;;) {
                next_.Reset();
                next_.Bind(1, minute);
                next_.Bind(2, after);
                const int rc = next_.Step();
                if (rc == SQLITE_DONE) {
                    break;
                }
                if (rc != SQLITE_ROW) {
                    return rc;
                }
                after = next_.Int(0);
                groups_.push_back(after);
            }
            minute_ = minute;
        }
        for (const std::int64_t since : groups_) {
            if (const int rc = Scan(minute, tag, since, row); rc != SQLITE_DONE) {
                return rc;
            }
        }
        return SQLITE_DONE;
    }

  private:
    template <typename Fn>
    int Scan(std::int64_t minute, std::int64_t tag, std::optional<std::int64_t> since, Fn& row) {
        rows_.Reset();
        rows_.Bind(1, minute);
        rows_.Bind(2, tag);
        if (since) {
            rows_.Bind(3, *since);
        }
        int rc = 0;
        while ((rc = rows_.Step()) == SQLITE_ROW) {
            if (const int stop = row(rows_); stop != SQLITE_ROW) {
                return stop;
            }
        }
        return rc;
    }

    bool grouped_ = false;
    Stmt next_, rows_;
    std::optional<std::int64_t> minute_;
    std::vector<std::int64_t> groups_;
};

struct Reader::Impl {
    std::string path;
    sqlite3* db = nullptr;
    std::string historyId;
    // Reader rows are never changed once written, so their names are cached by id.
    std::unordered_map<std::int64_t, std::pair<std::string, std::string>> names;
    std::uint64_t work = 0;  // progress-handler calls, one per kWorkSteps steps

    ~Impl() { sqlite3_close_v2(db); }

    Error Fail(int rc, std::string_view what) const {
        return sql::ErrorOf(db, rc, path + ": " + std::string(what));
    }

    Status Prepare(Stmt& s, const std::string& text) const {
        const int rc = Stmt::Prepare(db, text, s);
        return rc == SQLITE_OK ? Status() : Status(Fail(rc, "query failed"));
    }

    Result<std::int64_t> QueryInt(const char* text, std::int64_t fallback) {
        Stmt q;
        if (Status st = Prepare(q, text); !st) {
            return st.error();
        }
        const int rc = q.Step();
        if (rc == SQLITE_ROW) {
            return q.IsNull(0) ? fallback : q.Int(0);
        }
        return rc == SQLITE_DONE ? Result<std::int64_t>(fallback)
                                 : Result<std::int64_t>(Fail(rc, "query failed"));
    }

    // The query's snapshot: one read transaction around all its statements.
    Status Begin() {
        const int rc = sql::Exec(db, "BEGIN");
        return rc == SQLITE_OK ? Status() : Status(Fail(rc, "cannot begin reading"));
    }
    void End() {
        if (sqlite3_get_autocommit(db) == 0) {
            sql::Exec(db, "COMMIT");
        }
    }

    Result<const std::pair<std::string, std::string>*> Names(std::int64_t id) {
        if (const auto it = names.find(id); it != names.end()) {
            return &it->second;
        }
        Stmt q;
        if (Status st = Prepare(q, "SELECT name, device FROM readers WHERE id = ?1"); !st) {
            return st.error();
        }
        q.Bind(1, id);
        const int rc = q.Step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the readers");
        }
        auto& entry = names[id];
        if (rc == SQLITE_ROW) {
            entry = {std::string(q.Text(0)), std::string(q.Text(1))};
        }
        return &entry;
    }

    Result<std::vector<std::int64_t>> ReaderIds(const std::string& reader) {
        Stmt q;
        if (Status st = Prepare(q, "SELECT id FROM readers WHERE name = ?1 OR device = ?1"); !st) {
            return st.error();
        }
        q.Bind(1, std::string_view(reader));
        std::vector<std::int64_t> ids;
        int rc = 0;
        while ((rc = q.Step()) == SQLITE_ROW) {
            ids.push_back(q.Int(0));
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the readers");
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    // The ids a reader filter stands for (none without a filter); `matchesNone` when it names
    // no reader stored.
    Status ReaderFilter(const Filter& f, std::optional<std::vector<std::int64_t>>& ids,
                        bool& matchesNone) {
        matchesNone = false;
        if (!f.reader) {
            return {};
        }
        Result<std::vector<std::int64_t>> found = ReaderIds(*f.reader);
        if (!found) {
            return found.error();
        }
        matchesNone = found->empty();
        ids = std::move(found.value());
        return {};
    }

    // The snapshot's version: a file the writer has not upgraded yet, which a Reader may not
    // change, keeps its older tables. Before 3 the rollup had a row per reader; before 4 no
    // `since` in its key.
    Result<std::int64_t> Version() {
        return QueryInt("SELECT value FROM meta WHERE key = 'version'", 0);
    }

    // The readers of the rollup row in `row` (its columns from `column` on): a ReaderList, or
    // a legacy row's reader and last time.
    Status RowReaders(const Stmt& row, int column, bool legacy, std::int64_t minute,
                      std::vector<schema::ReaderLast>& out) const {
        if (legacy) {
            out.assign(1, schema::ReaderLast{row.Int(column), row.Int(column + 1)});
            return {};
        }
        if (!schema::DecodeReaderList(minute, row.Blob(column), out)) {
            return Error{ErrorCode::kCorrupt, path + ": a damaged rollup row"};
        }
        return {};
    }

    template <class Row, class Fn>
    Result<std::vector<Row>> Snapshot(Fn&& fn) {
        std::vector<Row> rows;
        if (Status st = Begin(); !st) {
            return st.error();
        }
        Status st = fn(rows);
        End();
        if (!st) {
            return st.error();
        }
        return rows;
    }

    Status Reads(const Filter& f, std::vector<ReadRow>& out);
    Status Presence(const Filter& f, std::vector<PresenceRow>& out);
    Status PresenceOfTag(const Filter& f, std::vector<PresenceRow>& out);
    Status Devices(const Filter& f, std::vector<DeviceRow>& out);
    Status OpenArrivals(std::vector<OpenArrival>& out);
};

Status Reader::Impl::Reads(const Filter& f, std::vector<ReadRow>& out) {
    const std::size_t limit = std::min(f.limit, kMaxLimit);
    const std::optional<Bounds> bounds = BoundsOf(f);
    if (limit == 0 || !bounds) {
        return {};
    }
    std::optional<std::vector<std::int64_t>> readerIds;
    bool matchesNone = false;
    if (Status st = ReaderFilter(f, readerIds, matchesNone); !st || matchesNone) {
        return st;
    }
    const auto readerOk = [&](std::int64_t id) {
        return !readerIds || std::binary_search(readerIds->begin(), readerIds->end(), id);
    };
    const auto timeOk = [&](std::int64_t t) {
        return (!f.sinceMs || t >= *f.sinceMs) && (!f.untilMs || t < *f.untilMs);
    };

    // The time range as a range of minutes, then of sequence numbers.
    std::int64_t lo = bounds->lo;
    std::int64_t hi = bounds->hi;
    const std::int64_t firstMinute = bounds->firstMinute;
    const std::int64_t lastMinute = bounds->lastMinute;
    if (f.sinceMs || f.untilMs) {
        Stmt q;
        if (Status st = Prepare(q,
                                "SELECT min(first_seq), max(last_seq) FROM minutes "
                                "WHERE minute BETWEEN ?1 AND ?2");
            !st) {
            return st;
        }
        q.Bind(1, firstMinute);
        q.Bind(2, lastMinute);
        const int rc = q.Step();
        if (rc != SQLITE_ROW) {
            return Fail(rc, "cannot read the minute index");
        }
        if (q.IsNull(0)) {
            return {};
        }
        lo = std::max(lo, q.Int(0));
        hi = std::min(hi, q.Int(1));
    }
    if (lo > hi) {
        return {};
    }

    const auto emit = [&](std::int64_t seq, std::int64_t time, std::int64_t tag,
                          std::int64_t reader, const Stmt& row, int readerTimeColumn) -> Status {
        Result<const std::pair<std::string, std::string>*> n = Names(reader);
        if (!n) {
            return n.error();
        }
        ReadRow r;
        r.seq = static_cast<std::uint64_t>(seq);
        r.timeMs = time;
        r.tag = static_cast<std::uint32_t>(tag);
        r.reader = n.value()->first;
        r.device = n.value()->second;
        if (!row.IsNull(readerTimeColumn)) {
            r.readerTime = UnpackReaderTime(static_cast<std::uint64_t>(row.Int(readerTimeColumn)));
        }
        out.push_back(std::move(r));
        return {};
    };

    if (!f.tag) {
        Stmt scan;
        if (Status st = Prepare(scan,
                                "SELECT seq, time, tag, reader, reader_time FROM reads "
                                "WHERE seq BETWEEN ?1 AND ?2 ORDER BY seq");
            !st) {
            return st;
        }
        scan.Bind(1, lo);
        scan.Bind(2, hi);
        int rc = 0;
        while (out.size() < limit && (rc = scan.Step()) == SQLITE_ROW) {
            if (timeOk(scan.Int(1)) && readerOk(scan.Int(3))) {
                if (Status st = emit(scan.Int(0), scan.Int(1), scan.Int(2), scan.Int(3), scan, 4);
                    !st) {
                    return st;
                }
            }
        }
        if (out.size() < limit && rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the reads");
        }
        return {};
    }

    // One tag: its seq numbers from the rollup (exact lists), the reads after the rollup's
    // watermark from the table itself, then those rows by their primary key. With a reader
    // filter, a row whose readers are all wanted needs no look-up, one without them is
    // skipped, and in the others each read's reader is looked up.
    const std::int64_t tag = *f.tag;
    const Result<std::int64_t> watermark =
        QueryInt("SELECT value FROM meta WHERE key = 'rollup_seq'", 0);
    if (!watermark) {
        return watermark.error();
    }
    const Result<std::int64_t> version = Version();
    if (!version) {
        return version.error();
    }
    const bool legacy = version.value() < 3;
    MinuteRows rollup;
    if (const int rc = rollup.Prepare(db, "tag_minutes",
                                      legacy ? "first_seq, last_seq, seqs, reader, last_time"
                                             : "first_seq, last_seq, seqs, readers",
                                      version.value() >= 4);
        rc != SQLITE_OK) {
        return Fail(rc, "query failed");
    }
    Stmt minutes, range, lookUp, tail, fetch;
    for (const auto& [stmt, text] : std::initializer_list<std::pair<Stmt*, const char*>>{
             {&minutes,
              "SELECT minute, first_seq FROM minutes WHERE minute BETWEEN ?1 AND ?2 "
              "AND last_seq >= ?3 AND first_seq <= ?4 ORDER BY first_seq"},
             {&range,
              "SELECT seq, time, reader FROM reads WHERE seq BETWEEN ?1 AND ?2 AND tag = ?3"},
             {&lookUp, "SELECT time, reader FROM reads WHERE seq = ?1"},
             {&tail,
              "SELECT seq, time, reader FROM reads WHERE seq > ?1 AND seq <= ?2 AND tag = ?3"},
             {&fetch, "SELECT time, tag, reader, reader_time FROM reads WHERE seq = ?1"}}) {
        if (Status st = Prepare(*stmt, text); !st) {
            return st;
        }
    }
    std::vector<std::uint64_t> candidates;
    std::vector<std::uint64_t> list;
    std::vector<schema::ReaderLast> rowReaders;
    // Keeps the `limit` smallest; true when that many are known.
    const auto compact = [&] {
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        if (candidates.size() > limit) {
            candidates.resize(limit);
        }
        return candidates.size() == limit;
    };
    const auto inRange = [&](std::uint64_t s) {
        return static_cast<std::int64_t>(s) >= lo && static_cast<std::int64_t>(s) <= hi;
    };

    minutes.Bind(1, firstMinute);
    minutes.Bind(2, lastMinute);
    minutes.Bind(3, lo);
    minutes.Bind(4, hi);
    int rc = 0;
    while ((rc = minutes.Step()) == SQLITE_ROW) {
        const std::int64_t minute = minutes.Int(0);
        // Minutes come in order of their first number: once `limit` candidates are known and
        // this minute starts above them, no later minute can add one.
        if (candidates.size() >= limit && compact() &&
            static_cast<std::uint64_t>(minutes.Int(1)) > candidates.back()) {
            break;
        }
        // Only the edge minutes of a time range hold reads outside it.
        const bool edge =
            (f.sinceMs && minute == firstMinute) || (f.untilMs && minute == lastMinute);
        Status failed;
        const int rrc = rollup.ForEach(minute, tag, [&](const Stmt& row) -> int {
            bool everyReader = true;
            if (readerIds) {
                if (Status st = RowReaders(row, 3, legacy, minute, rowReaders); !st) {
                    failed = st;
                    return SQLITE_ABORT;
                }
                const auto wanted = static_cast<std::size_t>(
                    std::count_if(rowReaders.begin(), rowReaders.end(),
                                  [&](const schema::ReaderLast& r) { return readerOk(r.reader); }));
                if (wanted == 0) {
                    return SQLITE_ROW;
                }
                everyReader = wanted == rowReaders.size();
            }
            const auto first = static_cast<std::uint64_t>(row.Int(0));
            if (row.IsNull(2)) {
                range.Reset();
                range.Bind(1, std::max<std::int64_t>(lo, row.Int(0)));
                range.Bind(2, std::min<std::int64_t>(hi, row.Int(1)));
                range.Bind(3, tag);
                int src = 0;
                while ((src = range.Step()) == SQLITE_ROW) {
                    if (timeOk(range.Int(1)) && readerOk(range.Int(2))) {
                        candidates.push_back(static_cast<std::uint64_t>(range.Int(0)));
                    }
                }
                if (src != SQLITE_DONE) {
                    failed = Fail(src, "cannot read the reads");
                    return SQLITE_ABORT;
                }
                return SQLITE_ROW;
            }
            list.clear();
            if (!schema::DecodeSeqList(first, row.Blob(2), list)) {
                failed = Error{ErrorCode::kCorrupt, path + ": a damaged rollup row"};
                return SQLITE_ABORT;
            }
            for (const std::uint64_t s : list) {
                if (!inRange(s)) {
                    continue;
                }
                if (edge || !everyReader) {
                    lookUp.Reset();
                    lookUp.Bind(1, static_cast<std::int64_t>(s));
                    if (lookUp.Step() != SQLITE_ROW || !timeOk(lookUp.Int(0)) ||
                        !readerOk(lookUp.Int(1))) {
                        continue;
                    }
                }
                candidates.push_back(s);
            }
            return SQLITE_ROW;
        });
        if (!failed) {
            return failed;
        }
        if (rrc != SQLITE_DONE) {
            return Fail(rrc, "cannot read the rollup");
        }
        if (candidates.size() >= 2 * limit) {
            compact();
        }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the minute index");
    }
    tail.Bind(1, std::max<std::int64_t>(watermark.value(), lo - 1));
    tail.Bind(2, hi);
    tail.Bind(3, tag);
    while ((rc = tail.Step()) == SQLITE_ROW) {
        if (timeOk(tail.Int(1)) && readerOk(tail.Int(2))) {
            candidates.push_back(static_cast<std::uint64_t>(tail.Int(0)));
        }
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the last reads");
    }
    compact();
    for (const std::uint64_t s : candidates) {
        fetch.Reset();
        fetch.Bind(1, static_cast<std::int64_t>(s));
        rc = fetch.Step();
        if (rc == SQLITE_DONE) {
            continue;  // deleted by retention meanwhile
        }
        if (rc != SQLITE_ROW) {
            return Fail(rc, "cannot read the reads");
        }
        if (Status st = emit(static_cast<std::int64_t>(s), fetch.Int(0), fetch.Int(1), fetch.Int(2),
                             fetch, 3);
            !st) {
            return st;
        }
    }
    return {};
}

namespace {

// The WHERE clause of an event query; parameters ?1 after, ?2 since, ?3 until, ?4 tag,
// ?5 reader, ?6 limit, ?7 through (unused numbers stay unbound).
std::string EventQuery(const char* columns, const char* table, const Filter& f) {
    std::string text = std::string("SELECT ") + columns + " FROM " + table + " WHERE seq > ?1";
    if (f.throughSeq) {
        text += " AND seq <= ?7";
    }
    if (f.sinceMs) {
        text += " AND time >= ?2";
    }
    if (f.untilMs) {
        text += " AND time < ?3";
    }
    if (f.tag) {
        text += " AND tag = ?4";
    }
    if (f.reader) {
        text += " AND reader IN (SELECT id FROM readers WHERE name = ?5 OR device = ?5)";
    }
    text += " ORDER BY seq LIMIT ?6";
    return text;
}

void BindEventQuery(Stmt& q, const Filter& f) {
    q.Bind(1, static_cast<std::int64_t>(
                  std::min<std::uint64_t>(f.afterSeq, static_cast<std::uint64_t>(INT64_MAX))));
    if (f.sinceMs) {
        q.Bind(2, *f.sinceMs);
    }
    if (f.untilMs) {
        q.Bind(3, *f.untilMs);
    }
    if (f.tag) {
        q.Bind(4, std::int64_t{*f.tag});
    }
    if (f.reader) {
        q.Bind(5, std::string_view(*f.reader));
    }
    q.Bind(6, static_cast<std::int64_t>(std::min(f.limit, kMaxLimit)));
    if (f.throughSeq) {
        q.Bind(7, LastSeqOf(f));
    }
}

}  // namespace

// One tag's events: their numbers from presence_minutes, minute by minute of the range (each
// next minute that has events found by one seek), then those rows by their primary key.
Status Reader::Impl::PresenceOfTag(const Filter& f, std::vector<PresenceRow>& out) {
    const std::size_t limit = std::min(f.limit, kMaxLimit);
    const std::optional<Bounds> bounds = BoundsOf(f);
    if (limit == 0 || !bounds) {
        return {};
    }
    const std::int64_t lo = bounds->lo;
    const std::int64_t hi = bounds->hi;
    const std::int64_t lastMinute = bounds->lastMinute;
    std::optional<std::vector<std::int64_t>> readerIds;
    bool matchesNone = false;
    if (Status st = ReaderFilter(f, readerIds, matchesNone); !st || matchesNone) {
        return st;
    }
    const auto wanted = [&](std::int64_t time, std::int64_t tag, std::int64_t reader) {
        return (!f.sinceMs || time >= *f.sinceMs) && (!f.untilMs || time < *f.untilMs) &&
               tag == std::int64_t{*f.tag} &&
               (!readerIds || std::binary_search(readerIds->begin(), readerIds->end(), reader));
    };
    const auto emit = [&](std::uint64_t seq, std::int64_t time, std::int64_t reader,
                          std::int64_t kind) -> Status {
        Result<const std::pair<std::string, std::string>*> n = Names(reader);
        if (!n) {
            return n.error();
        }
        out.push_back(PresenceRow{seq, time, *f.tag, n.value()->first, n.value()->second,
                                  static_cast<PresenceKind>(kind)});
        return {};
    };

    // Few events in the range of numbers (a follower asking for what is new): they are read
    // as they are, without walking the minutes of the whole history.
    {
        Stmt tail;
        if (Status st = Prepare(tail,
                                "SELECT seq, time, tag, reader, kind FROM presence WHERE seq "
                                "BETWEEN ?1 AND ?2 ORDER BY seq LIMIT ?3");
            !st) {
            return st;
        }
        tail.Bind(1, lo);
        tail.Bind(2, hi);
        tail.Bind(3, static_cast<std::int64_t>(kPresenceScanRows + 1));
        struct Row {
            std::int64_t seq, time, tag, reader, kind;
        };
        std::vector<Row> found;
        int rc = 0;
        while ((rc = tail.Step()) == SQLITE_ROW) {
            found.push_back(Row{tail.Int(0), tail.Int(1), tail.Int(2), tail.Int(3), tail.Int(4)});
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the presence events");
        }
        if (found.size() <= kPresenceScanRows) {
            for (const Row& r : found) {
                if (out.size() < limit && wanted(r.time, r.tag, r.reader)) {
                    if (Status st =
                            emit(static_cast<std::uint64_t>(r.seq), r.time, r.reader, r.kind);
                        !st) {
                        return st;
                    }
                }
            }
            return {};
        }
    }

    Stmt next, fetch;
    for (const auto& [stmt, text] : std::initializer_list<std::pair<Stmt*, const char*>>{
             {&next,
              "SELECT minute FROM presence_minutes WHERE minute BETWEEN ?1 AND ?2 "
              "ORDER BY minute LIMIT 1"},
             {&fetch, "SELECT time, tag, reader, kind FROM presence WHERE seq = ?1"}}) {
        if (Status st = Prepare(*stmt, text); !st) {
            return st;
        }
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(db, "presence_minutes", "first_seq, last_seq, seqs", true);
        rc != SQLITE_OK) {
        return Fail(rc, "query failed");
    }
    // The numbers of the tag's events in the range: two per visit of the tag to a reader.
    std::vector<std::uint64_t> candidates;
    std::vector<std::uint64_t> list;
    for (std::int64_t minute = bounds->firstMinute;;) {
        next.Reset();
        next.Bind(1, minute);
        next.Bind(2, lastMinute);
        int rc = next.Step();
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            return Fail(rc, "cannot read the presence index");
        }
        const std::int64_t found = next.Int(0);
        bool damaged = false;
        rc = rows.ForEach(found, std::int64_t{*f.tag}, [&](const Stmt& row) -> int {
            if (row.Int(1) < lo || row.Int(0) > hi) {
                return SQLITE_ROW;
            }
            list.clear();
            if (!schema::DecodeSeqList(static_cast<std::uint64_t>(row.Int(0)), row.Blob(2), list)) {
                damaged = true;
                return SQLITE_ABORT;
            }
            for (const std::uint64_t s : list) {
                if (static_cast<std::int64_t>(s) >= lo && static_cast<std::int64_t>(s) <= hi) {
                    candidates.push_back(s);
                }
            }
            return SQLITE_ROW;
        });
        if (damaged) {
            return Error{ErrorCode::kCorrupt, path + ": a damaged presence index row"};
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the presence index");
        }
        if (found >= lastMinute) {
            break;
        }
        minute = found + 1;
    }
    // Filters that need the row itself (the time at the range's edges, the reader) are applied
    // as the rows are fetched in number order, until `limit` have passed.
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (const std::uint64_t s : candidates) {
        if (out.size() >= limit) {
            break;
        }
        fetch.Reset();
        fetch.Bind(1, static_cast<std::int64_t>(s));
        const int rc = fetch.Step();
        if (rc == SQLITE_DONE) {
            continue;  // deleted by retention meanwhile
        }
        if (rc != SQLITE_ROW) {
            return Fail(rc, "cannot read the presence events");
        }
        if (!wanted(fetch.Int(0), fetch.Int(1), fetch.Int(2))) {
            continue;
        }
        if (Status st = emit(s, fetch.Int(0), fetch.Int(2), fetch.Int(3)); !st) {
            return st;
        }
    }
    return {};
}

Status Reader::Impl::Presence(const Filter& f, std::vector<PresenceRow>& out) {
    if (f.tag) {
        // Before version 4 an index on tag answers.
        const Result<std::int64_t> version =
            QueryInt("SELECT value FROM meta WHERE key = 'version'", 0);
        if (!version) {
            return version.error();
        }
        if (version.value() >= 4) {
            return PresenceOfTag(f, out);
        }
    }
    Stmt q;
    if (Status st = Prepare(q, EventQuery("seq, time, tag, reader, kind", "presence", f)); !st) {
        return st;
    }
    BindEventQuery(q, f);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const std::pair<std::string, std::string>*> n = Names(q.Int(3));
        if (!n) {
            return n.error();
        }
        out.push_back(PresenceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                  static_cast<std::uint32_t>(q.Int(2)), n.value()->first,
                                  n.value()->second, static_cast<PresenceKind>(q.Int(4))});
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot read the presence events"));
}

Status Reader::Impl::Devices(const Filter& f, std::vector<DeviceRow>& out) {
    if (f.tag) {
        return {};
    }
    Stmt q;
    if (Status st = Prepare(q, EventQuery("seq, time, kind, reader", "device_events", f)); !st) {
        return st;
    }
    BindEventQuery(q, f);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const std::pair<std::string, std::string>*> n = Names(q.Int(3));
        if (!n) {
            return n.error();
        }
        out.push_back(DeviceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                static_cast<DeviceEventKind>(q.Int(2)), n.value()->first,
                                n.value()->second});
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot read the device events"));
}

Status Reader::Impl::OpenArrivals(std::vector<OpenArrival>& out) {
    struct Open {
        std::size_t index;
        std::int64_t minute;
    };
    std::map<std::pair<std::int64_t, std::int64_t>, Open> pending;  // (tag, reader id)
    {
        Stmt q;
        if (Status st = Prepare(q, "SELECT tag, reader, seq, time FROM presence_open ORDER BY seq");
            !st) {
            return st;
        }
        int rc = 0;
        while ((rc = q.Step()) == SQLITE_ROW) {
            Result<const std::pair<std::string, std::string>*> n = Names(q.Int(1));
            if (!n) {
                return n.error();
            }
            pending[{q.Int(0), q.Int(1)}] = Open{out.size(), MinuteOf(q.Int(3))};
            out.push_back(OpenArrival{static_cast<std::uint32_t>(q.Int(0)), n.value()->first,
                                      n.value()->second, static_cast<std::uint64_t>(q.Int(2)),
                                      q.Int(3), std::nullopt});
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the open arrivals");
        }
    }
    if (pending.empty()) {
        return {};
    }
    const auto note = [&](std::int64_t tag, std::int64_t reader, std::int64_t time) {
        const auto it = pending.find({tag, reader});
        if (it != pending.end() && MinuteOf(time) >= it->second.minute) {
            std::optional<std::int64_t>& last = out[it->second.index].lastReadMs;
            last = std::max(last.value_or(INT64_MIN), time);
        }
    };
    // Before the rollup's minute `m` is read: done with an arrival when its best time lies in
    // a later minute (minute m holds no later time) or when m is before its arrival.
    const auto settle = [&](std::int64_t m) {
        std::erase_if(pending, [&](const auto& item) {
            const std::optional<std::int64_t>& best = out[item.second.index].lastReadMs;
            return (best && MinuteOf(*best) > m) || item.second.minute > m;
        });
    };
    // The reads after the rollup's watermark first (they have no rollup rows yet).
    const Result<std::int64_t> watermark =
        QueryInt("SELECT value FROM meta WHERE key = 'rollup_seq'", 0);
    if (!watermark) {
        return watermark.error();
    }
    {
        Stmt q;
        if (Status st = Prepare(q,
                                "SELECT tag, reader, max(time) FROM reads WHERE seq > ?1 "
                                "GROUP BY tag, reader");
            !st) {
            return st;
        }
        q.Bind(1, watermark.value());
        int rc = 0;
        while ((rc = q.Step()) == SQLITE_ROW) {
            note(q.Int(0), q.Int(1), q.Int(2));
        }
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot read the last reads");
        }
    }
    // Then the rollup, newest minute first, down to the oldest pending arrival's minute: the
    // rows of each pending tag (by key), their readers' last times.
    std::int64_t oldest = INT64_MAX;
    for (const auto& [key, open] : pending) {
        oldest = std::min(oldest, open.minute);
    }
    const Result<std::int64_t> version = Version();
    if (!version) {
        return version.error();
    }
    const bool legacy = version.value() < 3;
    Stmt minutes;
    if (Status st =
            Prepare(minutes, "SELECT minute FROM minutes WHERE minute >= ?1 ORDER BY minute DESC");
        !st) {
        return st;
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(db, "tag_minutes", legacy ? "reader, last_time" : "readers",
                                    version.value() >= 4);
        rc != SQLITE_OK) {
        return Fail(rc, "query failed");
    }
    std::vector<std::int64_t> tags;
    std::vector<schema::ReaderLast> rowReaders;
    minutes.Bind(1, oldest);
    int rc = 0;
    while (!pending.empty() && (rc = minutes.Step()) == SQLITE_ROW) {
        const std::int64_t minute = minutes.Int(0);
        settle(minute);
        if (pending.empty()) {
            break;
        }
        tags.clear();
        for (const auto& [key, open] : pending) {
            if (tags.empty() || tags.back() != key.first) {
                tags.push_back(key.first);
            }
        }
        for (const std::int64_t tag : tags) {
            Status failed;
            const int rrc = rows.ForEach(minute, tag, [&](const Stmt& row) -> int {
                if (Status st = RowReaders(row, 0, legacy, minute, rowReaders); !st) {
                    failed = st;
                    return SQLITE_ABORT;
                }
                for (const schema::ReaderLast& r : rowReaders) {
                    note(tag, r.reader, r.lastTime);
                }
                return SQLITE_ROW;
            });
            if (!failed) {
                return failed;
            }
            if (rrc != SQLITE_DONE) {
                return Fail(rrc, "cannot read the rollup");
            }
        }
    }
    if (!pending.empty() && rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the minute index");
    }
    return {};
}

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;
Reader::~Reader() = default;

Result<Reader> Reader::Open(const std::filesystem::path& path) {
    auto impl = std::make_unique<Impl>();
    impl->path = path.string();
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        return Error{ErrorCode::kNotFound, impl->path + ": no history database"};
    }
    if (!std::filesystem::is_regular_file(status)) {
        return Error{ErrorCode::kCorrupt, impl->path + ": not a file"};
    }
    int rc = sqlite3_open_v2(impl->path.c_str(), &impl->db,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        return impl->Fail(rc, "cannot open");
    }
    sqlite3_extended_result_codes(impl->db, 1);
    sqlite3_busy_timeout(impl->db, 5000);
    sqlite3_progress_handler(
        impl->db, kWorkSteps,
        [](void* work) {
            ++*static_cast<std::uint64_t*>(work);
            return 0;
        },
        &impl->work);
    Stmt q;
    rc = Stmt::Prepare(impl->db, "SELECT key, value FROM meta", q);
    if (rc != SQLITE_OK) {
        if (sql::CodeOf(rc) == ErrorCode::kIo || rc == SQLITE_ERROR) {
            return Error{ErrorCode::kCorrupt, impl->path + ": not a Trelvane history database"};
        }
        return impl->Fail(rc, "cannot read");
    }
    std::string format;
    while ((rc = q.Step()) == SQLITE_ROW) {
        if (q.Text(0) == "format") {
            format = q.Text(1);
        } else if (q.Text(0) == "history_id") {
            impl->historyId = q.Text(1);
        }
    }
    if (rc != SQLITE_DONE) {
        return impl->Fail(rc, "cannot read");
    }
    if (format != schema::kFormat) {
        return Error{ErrorCode::kCorrupt, impl->path + ": not a Trelvane history database"};
    }
    return Reader(std::move(impl));
}

const std::string& Reader::HistoryId() const {
    return impl_->historyId;
}

Result<std::uint64_t> Reader::LastSequence() {
    const Result<std::int64_t> v =
        impl_->QueryInt("SELECT value FROM meta WHERE key = 'last_seq'", 0);
    if (!v) {
        return v.error();
    }
    return static_cast<std::uint64_t>(v.value());
}

std::uint64_t Reader::Work() const {
    return impl_->work;
}

Result<std::vector<ReadRow>> Reader::Reads(const Filter& filter) {
    return impl_->Snapshot<ReadRow>([&](auto& rows) { return impl_->Reads(filter, rows); });
}

Result<std::vector<PresenceRow>> Reader::Presence(const Filter& filter) {
    return impl_->Snapshot<PresenceRow>([&](auto& rows) { return impl_->Presence(filter, rows); });
}

Result<std::vector<DeviceRow>> Reader::Devices(const Filter& filter) {
    return impl_->Snapshot<DeviceRow>([&](auto& rows) { return impl_->Devices(filter, rows); });
}

Result<std::vector<OpenArrival>> Reader::OpenArrivals() {
    return impl_->Snapshot<OpenArrival>([&](auto& rows) { return impl_->OpenArrivals(rows); });
}

}  // namespace trelvane::history
