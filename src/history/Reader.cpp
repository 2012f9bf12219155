// Opening a history for queries, what the queries share (the snapshot, the reader names, the
// filter's bounds), and the Reader's accessors. The queries are in a file per kind.

#include "history/Reader.h"

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

Result<const std::string*> Reader::Impl::ZoneName(std::int64_t id) {
    if (const auto it = zoneNames.find(id); it != zoneNames.end()) {
        return &it->second;
    }
    Stmt q;
    if (Status st = Prepare(q, "SELECT name FROM zone_names WHERE id = ?1"); !st) {
        return st.error();
    }
    q.Bind(1, id);
    const int rc = q.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the zone names");
    }
    auto& entry = zoneNames[id];
    if (rc == SQLITE_ROW) {
        entry = std::string(q.Text(0));
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

Status Reader::Impl::Scope(QueryScope& scope, bool& empty) {
    const Filter& f = scope.rows.f;
    const std::optional<Bounds> bounds = BoundsOf(f);
    empty = scope.limit == 0 || !bounds;
    if (empty) {
        return {};
    }
    scope.bounds = *bounds;
    if (!f.reader) {
        return {};
    }
    Result<std::vector<std::int64_t>> found = ReaderIds(*f.reader);
    if (!found) {
        return found.error();
    }
    empty = found->empty();
    scope.rows.readerIds = std::move(found.value());
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

Result<bool> Reader::Impl::FetchBySeq(Stmt& fetch, std::uint64_t seq, const char* what) {
    fetch.Reset();
    fetch.Bind(1, static_cast<std::int64_t>(seq));
    const int rc = fetch.Step();
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        return rc == SQLITE_ROW;
    }
    return Fail(rc, what);
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

Result<std::vector<ZoneRow>> Reader::Zones(const Filter& filter) {
    return impl_->Snapshot<ZoneRow>([&](auto& rows) { return impl_->Zones(filter, rows); });
}

Result<std::vector<OpenZone>> Reader::OpenZones() {
    return impl_->Snapshot<OpenZone>([&](auto& rows) { return impl_->OpenZones(rows); });
}

Result<std::optional<ZoneRow>> Reader::ZoneOfTagAt(std::uint32_t tag, std::int64_t timeMs) {
    return impl_->InSnapshot<std::optional<ZoneRow>>(
        [&](auto& row) { return impl_->ZoneOfTagAt(tag, timeMs, row); });
}

Result<std::vector<AlertRow>> Reader::Alerts(const Filter& filter) {
    return impl_->Snapshot<AlertRow>([&](auto& rows) { return impl_->Alerts(filter, rows); });
}

Result<std::vector<OpenAlert>> Reader::OpenAlerts() {
    return impl_->Snapshot<OpenAlert>([&](auto& rows) { return impl_->OpenAlerts(rows); });
}

Result<std::vector<TagInZone>> Reader::TagsInZoneAt(const std::string& zone, std::int64_t timeMs) {
    return impl_->Snapshot<TagInZone>(
        [&](auto& tags) { return impl_->TagsInZoneAt(zone, timeMs, tags); });
}

}  // namespace trelvane::history
