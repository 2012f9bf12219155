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
