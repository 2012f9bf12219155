#pragma once

// Reader's state and what its queries share, for the reader's own files only: opening and the
// shared helpers (Reader.cpp), and a file per query kind: reads (ReadsQuery.cpp), presence
// (PresenceQuery.cpp), device events and the plain event scan (DevicesQuery.cpp), open arrivals
// (OpenArrivals.cpp), zone events and where tags were (ZoneQuery.cpp), alerts (AlertQuery.cpp).

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "history/MinuteRows.h"
#include "history/Reader.h"
#include "history/Schema.h"
#include "history/Sqlite.h"

namespace trelvane::history {

// Past this many a query keeps its candidates sorted and cut, so memory follows the page.
inline constexpr std::size_t kMaxLimit = std::size_t{1} << 28;

// The last seq a query may return: INT64_MAX when unbounded.
std::int64_t LastSeqOf(const Filter& f);

// A filter's ranges of numbers and minutes.
struct Bounds {
    std::int64_t lo = 0, hi = 0;
    std::int64_t firstMinute = INT64_MIN, lastMinute = INT64_MAX;
};
// None when the filter can match nothing.
std::optional<Bounds> BoundsOf(const Filter& f);

// What a filter asks of a row's time and reader, once the reader ids it names are known.
struct RowFilter {
    explicit RowFilter(const Filter& filter) : f(filter) {}

    bool TimeOk(std::int64_t t) const {
        return (!f.sinceMs || t >= *f.sinceMs) && (!f.untilMs || t < *f.untilMs);
    }
    bool ReaderOk(std::int64_t id) const {
        return !readerIds || std::binary_search(readerIds->begin(), readerIds->end(), id);
    }

    const Filter& f;
    std::optional<std::vector<std::int64_t>> readerIds;  // sorted; none: any reader
};

// What one query looks at: at most `limit` rows within `bounds`, each passing `rows`.
struct QueryScope {
    explicit QueryScope(const Filter& f) : limit(std::min(f.limit, kMaxLimit)), rows(f) {}

    std::size_t limit;
    Bounds bounds;
    RowFilter rows;
};

using ReaderNames = std::pair<std::string, std::string>;  // name, device

struct Reader::Impl {
    std::string path;
    sqlite3* db = nullptr;
    std::string historyId;
    // Reader rows are never changed once written, so their names are cached by id; zone names
    // likewise.
    std::unordered_map<std::int64_t, ReaderNames> names;
    std::unordered_map<std::int64_t, std::string> zoneNames;
    std::uint64_t work = 0;  // progress-handler calls, one per kWorkSteps steps

    ~Impl() { sqlite3_close_v2(db); }

    Error Fail(int rc, std::string_view what) const {
        return sql::ErrorOf(db, rc, path + ": " + std::string(what));
    }
    Status Prepare(sql::Stmt& s, const std::string& text) const {
        const int rc = sql::Stmt::Prepare(db, text, s);
        return rc == SQLITE_OK ? Status() : Status(Fail(rc, "query failed"));
    }
    Status PrepareAll(std::initializer_list<std::pair<sql::Stmt*, const char*>> items) const {
        for (const auto& [stmt, text] : items) {
            if (Status st = Prepare(*stmt, text); !st) {
                return st;
            }
        }
        return {};
    }
    Result<std::int64_t> QueryInt(const char* text, std::int64_t fallback);
    // The snapshot's version: a file the writer has not upgraded yet, which a Reader may not
    // change, keeps its older tables. Before 3 the rollup had a row per reader; before 4 no
    // `since` in its key.
    Result<std::int64_t> Version() {
        return QueryInt("SELECT value FROM meta WHERE key = 'version'", 0);
    }
    // The rollup's watermark: the reads above it have no rollup rows yet.
    Result<std::int64_t> Watermark() {
        return QueryInt("SELECT value FROM meta WHERE key = 'rollup_seq'", 0);
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
    // `fn(value)` fills a T within the snapshot.
    template <class T, class Fn>
    Result<T> InSnapshot(Fn&& fn) {
        T value{};
        if (Status st = Begin(); !st) {
            return st.error();
        }
        Status st = fn(value);
        End();
        if (!st) {
            return st.error();
        }
        return value;
    }
    template <class Row, class Fn>
    Result<std::vector<Row>> Snapshot(Fn&& fn) {
        return InSnapshot<std::vector<Row>>(std::forward<Fn>(fn));
    }

    Result<const ReaderNames*> Names(std::int64_t id);
    Result<const std::string*> ZoneName(std::int64_t id);
    Result<std::vector<std::int64_t>> ReaderIds(const std::string& reader);
    // The scope's bounds and the ids its filter's reader stands for; `empty` when the filter
    // can match nothing (a bound, or a reader not stored).
    Status Scope(QueryScope& scope, bool& empty);
    // The readers of the rollup row in `row` (its columns from `column` on): a ReaderList, or
    // a legacy row's reader and last time.
    Status RowReaders(const sql::Stmt& row, int column, bool legacy, std::int64_t minute,
                      std::vector<schema::ReaderLast>& out) const;
    // Steps `fetch` (a look-up by number, ?1) for `seq`: true at its row, false when retention
    // deleted it meanwhile; SQLite's error as `what`.
    Result<bool> FetchBySeq(sql::Stmt& fetch, std::uint64_t seq, const char* what);
    // Calls `fn(row)` for each row of the minute and tag until one fails; then its error, or
    // SQLite's as `what`.
    template <typename Fn>
    Status EachRow(MinuteRows& rows, std::int64_t minute, std::int64_t tag, const char* what,
                   Fn&& fn) {
        Status failed;
        const int rc = rows.ForEach(minute, tag, [&](const sql::Stmt& row) -> int {
            failed = fn(row);
            return failed ? SQLITE_ROW : SQLITE_ABORT;
        });
        if (!failed) {
            return failed;
        }
        return rc == SQLITE_DONE ? Status() : Status(Fail(rc, what));
    }

    // ReadsQuery.cpp
    Status Reads(const Filter& f, std::vector<ReadRow>& out);
    Status NarrowToMinutes(const Filter& f, Bounds& bounds);
    Status ScanReads(const QueryScope& scope, std::vector<ReadRow>& out);
    Status EmitRead(std::int64_t seq, std::int64_t time, std::int64_t tag, std::int64_t reader,
                    const sql::Stmt& row, int readerTimeColumn, std::vector<ReadRow>& out);
    class TagReads;
    // PresenceQuery.cpp
    Status Presence(const Filter& f, std::vector<PresenceRow>& out);
    Status PresenceOfTag(const Filter& f, std::vector<PresenceRow>& out);
    class TagPresence;
    // DevicesQuery.cpp
    Status Devices(const Filter& f, std::vector<DeviceRow>& out);
    // The rows of an event table the filter picks, in number order, each with its reader's
    // names (column 3 holds the reader); SQLite's error as `what`.
    Status Events(const char* columns, const char* table, const Filter& f, const char* what,
                  const std::function<void(const sql::Stmt&, const ReaderNames&)>& row);
    // OpenArrivals.cpp
    Status OpenArrivals(std::vector<OpenArrival>& out);
    class LastReads;
    // ZoneQuery.cpp; before version 5 (no zone tables) each answers nothing.
    Result<bool> HasZones();
    Status Zones(const Filter& f, std::vector<ZoneRow>& out);
    Status OpenZones(std::vector<OpenZone>& out);
    Status ZoneOfTagAt(std::uint32_t tag, std::int64_t timeMs, std::optional<ZoneRow>& out);
    Status OpenStayAt(std::uint32_t tag, std::int64_t timeMs, std::optional<ZoneRow>& out);
    Status TagsInZoneAt(const std::string& zone, std::int64_t timeMs, std::vector<TagInZone>& out);
    Result<std::optional<std::int64_t>> ZoneIdOf(const std::string& zone);
    // AlertQuery.cpp; before version 6 (no alert tables) each answers nothing.
    Result<bool> HasAlerts();
    Status Alerts(const Filter& f, std::vector<AlertRow>& out);
    Status OpenAlerts(std::vector<OpenAlert>& out);
};

}  // namespace trelvane::history
