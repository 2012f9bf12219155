// Opening a history for queries, what the queries share (the snapshot, the reader names, the
// filter's bounds), the queries not yet in files of their own, and the Reader's accessors.

#include "history/Reader.h"

#include <map>
#include <system_error>

#include "history/ReaderImpl.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::Stmt;

// Virtual-machine steps per unit of Reader::Work.
constexpr int kWorkSteps = 100;

}  // namespace

std::int64_t LastSeqOf(const Filter& f) {
    return f.throughSeq
               ? static_cast<std::int64_t>(std::min<std::uint64_t>(*f.throughSeq, INT64_MAX))
               : INT64_MAX;
}

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

Result<std::int64_t> Reader::Impl::QueryInt(const char* text, std::int64_t fallback) {
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

Result<const ReaderNames*> Reader::Impl::Names(std::int64_t id) {
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

Result<std::vector<std::int64_t>> Reader::Impl::ReaderIds(const std::string& reader) {
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

Status Reader::Impl::ReaderFilter(RowFilter& rows, bool& matchesNone) {
    matchesNone = false;
    if (!rows.f.reader) {
        return {};
    }
    Result<std::vector<std::int64_t>> found = ReaderIds(*rows.f.reader);
    if (!found) {
        return found.error();
    }
    matchesNone = found->empty();
    rows.readerIds = std::move(found.value());
    return {};
}

Status Reader::Impl::RowReaders(const Stmt& row, int column, bool legacy, std::int64_t minute,
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

namespace {

// A presence query for a tag reads the events of its range of numbers directly when there are
// no more than this many.
constexpr std::size_t kPresenceScanRows = 4096;

}  // namespace

using sql::Stmt;

class Reader::Impl::TagPresence {
  public:
    TagPresence(Impl& r, const RowFilter& rows, const Bounds& bounds, std::size_t limit,
                std::vector<PresenceRow>& out)
        : r_(r), rows_(rows), bounds_(bounds), tag_(*rows.f.tag), limit_(limit), out_(out) {}

    Status ReadShortRange(bool& done);
    Status CollectFromIndex();
    Status Fetch();

  private:
    Status TakeIndexRow(const Stmt& row);
    // Filters that need the row itself: the time at the range's edges, the reader.
    bool Wanted(std::int64_t time, std::int64_t tag, std::int64_t reader) const {
        return rows_.TimeOk(time) && tag == std::int64_t{tag_} && rows_.ReaderOk(reader);
    }
    Status Emit(std::uint64_t seq, std::int64_t time, std::int64_t reader, std::int64_t kind) {
        Result<const ReaderNames*> n = r_.Names(reader);
        if (!n) {
            return n.error();
        }
        out_.push_back(PresenceRow{seq, time, tag_, n.value()->first, n.value()->second,
                                   static_cast<PresenceKind>(kind)});
        return {};
    }

    Impl& r_;
    const RowFilter& rows_;
    const Bounds& bounds_;
    const std::uint32_t tag_;
    const std::size_t limit_;
    std::vector<PresenceRow>& out_;
    Stmt fetch_;
    // The numbers of the tag's events in the range: two per visit of the tag to a reader.
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint64_t> list_;
};

Status Reader::Impl::Presence(const Filter& f, std::vector<PresenceRow>& out) {
    if (f.tag) {
        // Before version 4 an index on tag answers.
        const Result<std::int64_t> version = Version();
        if (!version) {
            return version.error();
        }
        if (version.value() >= 4) {
            return PresenceOfTag(f, out);
        }
    }
    return Events("seq, time, tag, reader, kind", "presence", f, "cannot read the presence events",
                  [&](const Stmt& q, const ReaderNames& n) {
                      out.push_back(PresenceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                                static_cast<std::uint32_t>(q.Int(2)), n.first,
                                                n.second, static_cast<PresenceKind>(q.Int(4))});
                  });
}

Status Reader::Impl::PresenceOfTag(const Filter& f, std::vector<PresenceRow>& out) {
    const std::size_t limit = std::min(f.limit, kMaxLimit);
    const std::optional<Bounds> bounds = BoundsOf(f);
    if (limit == 0 || !bounds) {
        return {};
    }
    RowFilter rows(f);
    bool matchesNone = false;
    if (Status st = ReaderFilter(rows, matchesNone); !st || matchesNone) {
        return st;
    }
    TagPresence query(*this, rows, *bounds, limit, out);
    bool done = false;
    if (Status st = query.ReadShortRange(done); !st || done) {
        return st;
    }
    if (Status st = query.CollectFromIndex(); !st) {
        return st;
    }
    return query.Fetch();
}

// Few events in the range of numbers (a follower asking for what is new): they are read as
// they are, without walking the minutes of the whole history; `done` then.
Status Reader::Impl::TagPresence::ReadShortRange(bool& done) {
    Stmt tail;
    if (Status st = r_.Prepare(tail,
                               "SELECT seq, time, tag, reader, kind FROM presence WHERE seq "
                               "BETWEEN ?1 AND ?2 ORDER BY seq LIMIT ?3");
        !st) {
        return st;
    }
    tail.Bind(1, bounds_.lo);
    tail.Bind(2, bounds_.hi);
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
        return r_.Fail(rc, "cannot read the presence events");
    }
    if (found.size() > kPresenceScanRows) {
        return {};
    }
    done = true;
    for (const Row& row : found) {
        if (out_.size() < limit_ && Wanted(row.time, row.tag, row.reader)) {
            if (Status st =
                    Emit(static_cast<std::uint64_t>(row.seq), row.time, row.reader, row.kind);
                !st) {
                return st;
            }
        }
    }
    return {};
}

Status Reader::Impl::TagPresence::CollectFromIndex() {
    Stmt next;
    if (Status st = r_.PrepareAll({
            {&next,
             "SELECT minute FROM presence_minutes WHERE minute BETWEEN ?1 AND ?2 "
             "ORDER BY minute LIMIT 1"},
            {&fetch_, "SELECT time, tag, reader, kind FROM presence WHERE seq = ?1"},
        });
        !st) {
        return st;
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(r_.db, "presence_minutes", "first_seq, last_seq, seqs", true);
        rc != SQLITE_OK) {
        return r_.Fail(rc, "query failed");
    }
    for (std::int64_t minute = bounds_.firstMinute;;) {
        next.Reset();
        next.Bind(1, minute);
        next.Bind(2, bounds_.lastMinute);
        const int rc = next.Step();
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            return r_.Fail(rc, "cannot read the presence index");
        }
        const std::int64_t found = next.Int(0);
        if (Status st =
                r_.EachRow(rows, found, std::int64_t{tag_}, "cannot read the presence index",
                           [&](const Stmt& row) { return TakeIndexRow(row); });
            !st) {
            return st;
        }
        if (found >= bounds_.lastMinute) {
            break;
        }
        minute = found + 1;
    }
    return {};
}

Status Reader::Impl::TagPresence::TakeIndexRow(const Stmt& row) {
    if (row.Int(1) < bounds_.lo || row.Int(0) > bounds_.hi) {
        return {};
    }
    list_.clear();
    if (!schema::DecodeSeqList(static_cast<std::uint64_t>(row.Int(0)), row.Blob(2), list_)) {
        return Error{ErrorCode::kCorrupt, r_.path + ": a damaged presence index row"};
    }
    for (const std::uint64_t s : list_) {
        if (static_cast<std::int64_t>(s) >= bounds_.lo &&
            static_cast<std::int64_t>(s) <= bounds_.hi) {
            candidates_.push_back(s);
        }
    }
    return {};
}

// The rows fetched in number order, until `limit` have passed the filter.
Status Reader::Impl::TagPresence::Fetch() {
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    for (const std::uint64_t s : candidates_) {
        if (out_.size() >= limit_) {
            break;
        }
        fetch_.Reset();
        fetch_.Bind(1, static_cast<std::int64_t>(s));
        const int rc = fetch_.Step();
        if (rc == SQLITE_DONE) {
            continue;  // deleted by retention meanwhile
        }
        if (rc != SQLITE_ROW) {
            return r_.Fail(rc, "cannot read the presence events");
        }
        if (!Wanted(fetch_.Int(0), fetch_.Int(1), fetch_.Int(2))) {
            continue;
        }
        if (Status st = Emit(s, fetch_.Int(0), fetch_.Int(2), fetch_.Int(3)); !st) {
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

void BindEventQuery(sql::Stmt& q, const Filter& f) {
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

Status Reader::Impl::Events(const char* columns, const char* table, const Filter& f,
                            const char* what,
                            const std::function<void(const sql::Stmt&, const ReaderNames&)>& row) {
    sql::Stmt q;
    if (Status st = Prepare(q, EventQuery(columns, table, f)); !st) {
        return st;
    }
    BindEventQuery(q, f);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const ReaderNames*> n = Names(q.Int(3));
        if (!n) {
            return n.error();
        }
        row(q, *n.value());
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, what));
}

Status Reader::Impl::Devices(const Filter& f, std::vector<DeviceRow>& out) {
    if (f.tag) {
        return {};
    }
    return Events(
        "seq, time, kind, reader", "device_events", f, "cannot read the device events",
        [&](const sql::Stmt& q, const ReaderNames& n) {
            out.push_back(DeviceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                    static_cast<DeviceEventKind>(q.Int(2)), n.first, n.second});
        });
}

using schema::MinuteOf;
using sql::Stmt;

class Reader::Impl::LastReads {
  public:
    LastReads(Impl& r, std::vector<OpenArrival>& out) : r_(r), out_(out) {}

    Status LoadArrivals();
    bool Done() const { return pending_.empty(); }
    Status NoteTailReads();
    Status NoteRollup();

  private:
    struct Open {
        std::size_t index;
        std::int64_t minute;
    };
    void Note(std::int64_t tag, std::int64_t reader, std::int64_t time) {
        const auto it = pending_.find({tag, reader});
        if (it != pending_.end() && MinuteOf(time) >= it->second.minute) {
            std::optional<std::int64_t>& last = out_[it->second.index].lastReadMs;
            last = std::max(last.value_or(INT64_MIN), time);
        }
    }
    // Before the rollup's minute `m` is read: done with an arrival when its best time lies in
    // a later minute (minute m holds no later time) or when m is before its arrival.
    void Settle(std::int64_t m) {
        std::erase_if(pending_, [&](const auto& item) {
            const std::optional<std::int64_t>& best = out_[item.second.index].lastReadMs;
            return (best && MinuteOf(*best) > m) || item.second.minute > m;
        });
    }
    Status NoteMinute(MinuteRows& rows, std::int64_t minute, bool legacy);
    Status NoteRow(const Stmt& row, std::int64_t tag, std::int64_t minute, bool legacy);

    Impl& r_;
    std::vector<OpenArrival>& out_;
    std::map<std::pair<std::int64_t, std::int64_t>, Open> pending_;  // (tag, reader id)
    std::vector<std::int64_t> tags_;
    std::vector<schema::ReaderLast> rowReaders_;
};

Status Reader::Impl::OpenArrivals(std::vector<OpenArrival>& out) {
    LastReads query(*this, out);
    if (Status st = query.LoadArrivals(); !st || query.Done()) {
        return st;
    }
    if (Status st = query.NoteTailReads(); !st) {
        return st;
    }
    return query.NoteRollup();
}

Status Reader::Impl::LastReads::LoadArrivals() {
    Stmt q;
    if (Status st = r_.Prepare(q, "SELECT tag, reader, seq, time FROM presence_open ORDER BY seq");
        !st) {
        return st;
    }
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const ReaderNames*> n = r_.Names(q.Int(1));
        if (!n) {
            return n.error();
        }
        pending_[{q.Int(0), q.Int(1)}] = Open{out_.size(), MinuteOf(q.Int(3))};
        out_.push_back(OpenArrival{static_cast<std::uint32_t>(q.Int(0)), n.value()->first,
                                   n.value()->second, static_cast<std::uint64_t>(q.Int(2)),
                                   q.Int(3), std::nullopt});
    }
    if (rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the open arrivals");
    }
    return {};
}

// The reads after the rollup's watermark (they have no rollup rows yet).
Status Reader::Impl::LastReads::NoteTailReads() {
    const Result<std::int64_t> watermark = r_.Watermark();
    if (!watermark) {
        return watermark.error();
    }
    Stmt q;
    if (Status st = r_.Prepare(q,
                               "SELECT tag, reader, max(time) FROM reads WHERE seq > ?1 "
                               "GROUP BY tag, reader");
        !st) {
        return st;
    }
    q.Bind(1, watermark.value());
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Note(q.Int(0), q.Int(1), q.Int(2));
    }
    if (rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the last reads");
    }
    return {};
}

// The rollup, newest minute first, down to the oldest pending arrival's minute: the rows of
// each pending tag (by key), their readers' last times.
Status Reader::Impl::LastReads::NoteRollup() {
    std::int64_t oldest = INT64_MAX;
    for (const auto& [key, open] : pending_) {
        oldest = std::min(oldest, open.minute);
    }
    const Result<std::int64_t> version = r_.Version();
    if (!version) {
        return version.error();
    }
    const bool legacy = version.value() < 3;
    Stmt minutes;
    if (Status st = r_.Prepare(
            minutes, "SELECT minute FROM minutes WHERE minute >= ?1 ORDER BY minute DESC");
        !st) {
        return st;
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(r_.db, "tag_minutes", legacy ? "reader, last_time" : "readers",
                                    version.value() >= 4);
        rc != SQLITE_OK) {
        return r_.Fail(rc, "query failed");
    }
    minutes.Bind(1, oldest);
    int rc = 0;
    while (!pending_.empty() && (rc = minutes.Step()) == SQLITE_ROW) {
        const std::int64_t minute = minutes.Int(0);
        Settle(minute);
        if (pending_.empty()) {
            break;
        }
        if (Status st = NoteMinute(rows, minute, legacy); !st) {
            return st;
        }
    }
    if (!pending_.empty() && rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the minute index");
    }
    return {};
}

Status Reader::Impl::LastReads::NoteMinute(MinuteRows& rows, std::int64_t minute, bool legacy) {
    tags_.clear();
    for (const auto& [key, open] : pending_) {
        if (tags_.empty() || tags_.back() != key.first) {
            tags_.push_back(key.first);
        }
    }
    for (const std::int64_t tag : tags_) {
        if (Status st =
                r_.EachRow(rows, minute, tag, "cannot read the rollup",
                           [&](const Stmt& row) { return NoteRow(row, tag, minute, legacy); });
            !st) {
            return st;
        }
    }
    return {};
}

Status Reader::Impl::LastReads::NoteRow(const Stmt& row, std::int64_t tag, std::int64_t minute,
                                        bool legacy) {
    if (Status st = r_.RowReaders(row, 0, legacy, minute, rowReaders_); !st) {
        return st;
    }
    for (const schema::ReaderLast& r : rowReaders_) {
        Note(tag, r.reader, r.lastTime);
    }
    return {};
}

}  // namespace trelvane::history
