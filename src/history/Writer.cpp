#include "history/Writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <numeric>
#include <optional>
#include <random>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "history/Schema.h"
#include "history/Sqlite.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::ErrorOf;
using sql::Stmt;

struct BucketKey {
    std::int64_t minute = 0;
    std::uint32_t tag = 0;
    std::int64_t reader = 0;

    friend bool operator==(const BucketKey&, const BucketKey&) = default;
    friend bool operator<(const BucketKey& a, const BucketKey& b) {
        return std::tie(a.minute, a.tag, a.reader) < std::tie(b.minute, b.tag, b.reader);
    }
};

struct BucketKeyHash {
    std::size_t operator()(const BucketKey& k) const noexcept {
        std::uint64_t h = static_cast<std::uint64_t>(k.minute) * 0x9E3779B97F4A7C15ull;
        h ^= (static_cast<std::uint64_t>(k.tag) << 20) ^ static_cast<std::uint64_t>(k.reader);
        h *= 0xBF58476D1CE4E5B9ull;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
};

// One rollup row being gathered: reads of one tag at one reader in one minute.
struct Bucket {
    std::uint64_t firstSeq = 0;
    std::uint64_t lastSeq = 0;
    std::int64_t firstTime = 0;
    std::int64_t lastTime = 0;
    std::int64_t count = 0;
    // The reads' numbers, complete when their count equals `count` (then written as the row's
    // SeqList; otherwise the row has none and queries scan its seq range).
    std::vector<std::uint64_t> seqs;
    bool dirty = false;
};

struct MinuteSpan {
    std::int64_t minute = 0;
    std::uint64_t firstSeq = 0;
    std::uint64_t lastSeq = 0;
    std::int64_t count = 0;
};

std::string RandomHex128() {
    std::random_device device;
    std::string out;
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t word = device();
        for (int shift = 28; shift >= 0; shift -= 4) {
            out.push_back(kHex[(word >> shift) & 0xF]);
        }
    }
    return out;
}

std::int64_t SizeOr0(const std::filesystem::path& file) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

std::string SeqText(std::uint64_t seq) {
    return "sequence number " + std::to_string(seq);
}

constexpr std::int64_t kVacuumPages = 1024;  // 4 MiB of 4 KiB pages per Prune call

}  // namespace

struct Writer::Impl {
    Options options;
    std::string path;
    std::string lockPath;
    int lockFd = -1;
    sqlite3* db = nullptr;
    std::string historyId;
    std::uint64_t lastSeq = 0;
    std::uint64_t rollupSeq = 0;
    // After a failed transaction the memory (reader ids, open rollup) may hold what was rolled
    // back: it is reloaded from the database before the next write.
    bool stale = false;

    std::unordered_map<std::string, std::int64_t> readerIds;
    std::unordered_map<BucketKey, Bucket, BucketKeyHash> buckets;
    std::size_t openReads = 0;
    std::int64_t openMaxMinute = INT64_MIN;
    std::vector<std::uint8_t> blob;
    std::vector<BucketKey> keys;
    std::vector<MinuteSpan> minuteSpans;
    std::vector<std::size_t> order;

    Stmt begin, commit, findReader, insertReader, insertRead, insertDevice, insertPresence,
        openArrival, closeArrival, upsertMinute, upsertRollup, setMeta;

    std::atomic<std::uint64_t> reads{0}, deviceEvents{0}, presenceEvents{0}, duplicates{0},
        rowsPruned{0}, lostToOutput{0};

    ~Impl() {
        // close_v2 waits for the statements (members, finalized after this body); no write can
        // follow, so the lock can go now.
        sqlite3_close_v2(db);
        if (lockFd >= 0) {
            ::close(lockFd);
        }
    }

    Error Fail(int rc, std::string_view what) const {
        return ErrorOf(db, rc, path + ": " + std::string(what));
    }

    Status Lock();
    Status Setup();
    Status Prepare();
    Status Recover();
    Status Flush(std::uint64_t watermark);
    struct Taken {
        std::uint64_t reads = 0, devices = 0, presence = 0, duplicates = 0;
    };
    Status WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken);
    Status Append(const Batch& batch);
    Result<PruneResult> Prune(std::int64_t nowMs, std::size_t maxRows);
    Result<std::int64_t> ReaderId(std::string_view name, std::string_view device);
    Status SetMeta(const char* key, std::int64_t value);
    Result<std::int64_t> QueryInt(const char* text, std::int64_t fallback);
    void AddRead(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::int64_t reader,
                 bool keepSeq);
    void RollBack() {
        if (sqlite3_get_autocommit(db) == 0) {
            sql::Exec(db, "ROLLBACK");
        }
    }
};

Status Writer::Impl::Lock() {
    lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (lockFd < 0) {
        const int err = errno;
        return Error{
            err == ENOSPC ? ErrorCode::kDiskFull : ErrorCode::kUnwritable,
            path + ": cannot create the lock file " + lockPath + ": " + std::strerror(err)};
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            return Error{ErrorCode::kLocked,
                         path + ": locked by another process (a writer holds " + lockPath + ")"};
        }
        return Error{ErrorCode::kIo,
                     path + ": cannot lock " + lockPath + ": " + std::strerror(err)};
    }
    return {};
}

Result<std::int64_t> Writer::Impl::QueryInt(const char* text, std::int64_t fallback) {
    Stmt q;
    int rc = Stmt::Prepare(db, text, q);
    if (rc != SQLITE_OK) {
        return Fail(rc, text);
    }
    rc = q.Step();
    if (rc == SQLITE_ROW) {
        return q.IsNull(0) ? fallback : q.Int(0);
    }
    if (rc == SQLITE_DONE) {
        return fallback;
    }
    return Fail(rc, text);
}

Status Writer::Impl::Setup() {
    const Result<std::int64_t> tables = QueryInt("SELECT count(*) FROM sqlite_schema", 0);
    if (!tables) {
        return tables.error();
    }
    if (tables.value() == 0) {
        // auto_vacuum only takes effect before the first table; WAL is kept in the file.
        int rc = sql::Exec(db, "PRAGMA auto_vacuum=INCREMENTAL");
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, "PRAGMA journal_mode=WAL");
        }
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, "BEGIN IMMEDIATE");
        }
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, schema::kCreate);
        }
        if (rc == SQLITE_OK) {
            historyId = RandomHex128();
            const std::string meta = "INSERT INTO meta(key, value) VALUES ('format', '" +
                                     std::string(schema::kFormat) + "'), ('version', " +
                                     std::to_string(schema::kVersion) + "), ('history_id', '" +
                                     historyId + "'), ('last_seq', 0), ('rollup_seq', 0)";
            rc = sql::Exec(db, meta.c_str());
        }
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, "COMMIT");
        }
        if (rc != SQLITE_OK) {
            const Error error = Fail(rc, "cannot create the history");
            RollBack();
            return error;
        }
    } else {
        const int rc = sql::Exec(db, "PRAGMA journal_mode=WAL");
        if (rc != SQLITE_OK) {
            return Fail(rc, "cannot switch to WAL");
        }
    }
    sql::Exec(db, "PRAGMA synchronous=NORMAL");
    sql::Exec(db, "PRAGMA cache_size=-32768");

    // Only our own tables, of a version we know.
    Stmt q;
    int rc = Stmt::Prepare(db, "SELECT key, value FROM meta", q);
    if (rc != SQLITE_OK) {
        return Error{ErrorCode::kCorrupt, path + ": not a Trelvane history database"};
    }
    std::string format;
    std::int64_t version = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        const std::string_view key = q.Text(0);
        if (key == "format") {
            format = q.Text(1);
        } else if (key == "version") {
            version = q.Int(1);
        } else if (key == "history_id") {
            historyId = q.Text(1);
        }
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the history's meta table");
    }
    if (format != schema::kFormat) {
        return Error{ErrorCode::kCorrupt, path + ": not a Trelvane history database"};
    }
    if (version > schema::kVersion) {
        return Error{ErrorCode::kCorrupt, path + ": made by a newer release (history version " +
                                              std::to_string(version) + ")"};
    }
    if (version < 2) {
        int urc = sql::Exec(db, "BEGIN IMMEDIATE");
        if (urc == SQLITE_OK) {
            urc = sql::Exec(db, schema::kUpgradeTo2);
        }
        if (urc == SQLITE_OK) {
            urc = sql::Exec(db, "COMMIT");
        }
        if (urc != SQLITE_OK) {
            const Error error = Fail(urc, "cannot upgrade the history to version 2");
            RollBack();
            return error;
        }
    }
    if (Status st = Prepare(); !st) {
        return st;
    }
    if (Status st = Recover(); !st) {
        return st;
    }
    // The rollup of the tail a killed writer left in memory: made again and stored now, so
    // the new session starts with nothing open.
    if (!buckets.empty()) {
        rc = begin.Step();
        begin.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot begin a transaction");
        }
        Status st = Flush(lastSeq);
        if (st) {
            rc = commit.Step();
            commit.Reset();
            if (rc != SQLITE_DONE) {
                st = Fail(rc, "cannot store the rollup of the last reads");
            }
        }
        if (!st) {
            RollBack();
            return st;
        }
    }
    return {};
}

Status Writer::Impl::Prepare() {
    struct Item {
        Stmt* stmt;
        const char* text;
    };
    const Item items[] = {
        {&begin, "BEGIN IMMEDIATE"},
        {&commit, "COMMIT"},
        {&findReader, "SELECT id FROM readers WHERE name = ?1 AND device = ?2"},
        {&insertReader, "INSERT INTO readers(name, device) VALUES (?1, ?2)"},
        {&insertRead,
         "INSERT INTO reads(seq, time, tag, reader, reader_time) VALUES (?1, ?2, ?3, ?4, ?5)"},
        {&insertDevice,
         "INSERT INTO device_events(seq, time, kind, reader) VALUES (?1, ?2, ?3, ?4)"},
        {&insertPresence,
         "INSERT INTO presence(seq, time, tag, reader, kind) VALUES (?1, ?2, ?3, ?4, ?5)"},
        {&openArrival,
         "INSERT INTO presence_open(tag, reader, seq, time) VALUES (?1, ?2, ?3, ?4) "
         "ON CONFLICT(tag, reader) DO UPDATE SET seq = excluded.seq, time = excluded.time"},
        {&closeArrival, "DELETE FROM presence_open WHERE tag = ?1 AND reader = ?2"},
        {&upsertMinute,
         "INSERT INTO minutes(minute, first_seq, last_seq, count) VALUES (?1, ?2, ?3, ?4) "
         "ON CONFLICT(minute) DO UPDATE SET first_seq = min(first_seq, excluded.first_seq), "
         "last_seq = max(last_seq, excluded.last_seq), count = count + excluded.count"},
        {&upsertRollup,
         "INSERT INTO tag_minutes(minute, tag, reader, first_seq, last_seq, first_time, "
         "last_time, count, seqs) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) "
         "ON CONFLICT(minute, tag, reader, first_seq) DO UPDATE SET last_seq = "
         "excluded.last_seq, first_time = excluded.first_time, last_time = excluded.last_time, "
         "count = excluded.count, seqs = excluded.seqs"},
        {&setMeta, "UPDATE meta SET value = ?2 WHERE key = ?1"},
    };
    for (const Item& item : items) {
        const int rc = Stmt::Prepare(db, item.text, *item.stmt);
        if (rc != SQLITE_OK) {
            return Error{sql::CodeOf(rc) == ErrorCode::kIo ? ErrorCode::kCorrupt : sql::CodeOf(rc),
                         path + ": not a Trelvane history database of this release (" +
                             sqlite3_errmsg(db) + ")"};
        }
    }
    return {};
}

void Writer::Impl::AddRead(std::uint64_t seq, std::int64_t time, std::uint32_t tag,
                           std::int64_t reader, bool keepSeq) {
    const BucketKey key{MinuteOf(time), tag, reader};
    Bucket& b = buckets[key];
    if (b.count == 0) {
        b.firstSeq = b.lastSeq = seq;
        b.firstTime = b.lastTime = time;
    } else {
        b.firstSeq = std::min(b.firstSeq, seq);
        b.lastSeq = std::max(b.lastSeq, seq);
        b.firstTime = std::min(b.firstTime, time);
        b.lastTime = std::max(b.lastTime, time);
    }
    ++b.count;
    if (keepSeq) {
        b.seqs.push_back(seq);
    }
    b.dirty = true;
    ++openReads;
    openMaxMinute = std::max(openMaxMinute, key.minute);
}

Status Writer::Impl::Recover() {
    readerIds.clear();
    buckets.clear();
    openReads = 0;
    openMaxMinute = INT64_MIN;
    const Result<std::int64_t> last = QueryInt("SELECT value FROM meta WHERE key = 'last_seq'", 0);
    if (!last) {
        return last.error();
    }
    const Result<std::int64_t> rolled =
        QueryInt("SELECT value FROM meta WHERE key = 'rollup_seq'", 0);
    if (!rolled) {
        return rolled.error();
    }
    // An output may have handed on numbers the history never stored (a kill between the two):
    // numbering on from below them would give consumers new events under numbers they have.
    const Result<std::int64_t> handedOn = QueryInt("SELECT max(seq) FROM outbox", 0);
    if (!handedOn) {
        return handedOn.error();
    }
    lastSeq = static_cast<std::uint64_t>(std::max(last.value(), handedOn.value()));
    rollupSeq = static_cast<std::uint64_t>(rolled.value());
    Stmt tail;
    int rc = Stmt::Prepare(db, "SELECT seq, time, tag, reader FROM reads WHERE seq > ?1", tail);
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot read the last reads");
    }
    tail.Bind(1, static_cast<std::int64_t>(rollupSeq));
    while ((rc = tail.Step()) == SQLITE_ROW) {
        const auto seq = static_cast<std::uint64_t>(tail.Int(0));
        AddRead(seq, tail.Int(1), static_cast<std::uint32_t>(tail.Int(2)), tail.Int(3), true);
        lastSeq = std::max(lastSeq, seq);
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the last reads");
    }
    stale = false;
    return {};
}

Status Writer::Impl::SetMeta(const char* key, std::int64_t value) {
    setMeta.Bind(1, std::string_view(key));
    setMeta.Bind(2, value);
    const int rc = setMeta.Step();
    setMeta.Reset();
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot update the meta table"));
}

// Writes every changed open bucket (in key order, which is the table's: the rows land at its
// end) and moves the watermark. Runs inside the caller's transaction.
Status Writer::Impl::Flush(std::uint64_t watermark) {
    keys.clear();
    for (const auto& [key, bucket] : buckets) {
        if (bucket.dirty) {
            keys.push_back(key);
        }
    }
    std::sort(keys.begin(), keys.end());
    for (const BucketKey& key : keys) {
        Bucket& b = buckets[key];
        Stmt& s = upsertRollup;
        s.Bind(1, key.minute);
        s.Bind(2, std::int64_t{key.tag});
        s.Bind(3, key.reader);
        s.Bind(4, static_cast<std::int64_t>(b.firstSeq));
        s.Bind(5, static_cast<std::int64_t>(b.lastSeq));
        s.Bind(6, b.firstTime);
        s.Bind(7, b.lastTime);
        s.Bind(8, b.count);
        if (static_cast<std::int64_t>(b.seqs.size()) == b.count) {
            if (!std::is_sorted(b.seqs.begin(), b.seqs.end())) {
                std::sort(b.seqs.begin(), b.seqs.end());
            }
            schema::EncodeSeqList(b.seqs, blob);
            // An empty blob is still a list (of the first number alone), unlike NULL.
            static constexpr std::uint8_t kNone = 0;
            s.BindBlob(9, blob.empty() ? std::span<const std::uint8_t>(&kNone, 0)
                                       : std::span<const std::uint8_t>(blob));
        } else {
            s.BindNull(9);
        }
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the rollup");
        }
        b.dirty = false;
    }
    if (Status st = SetMeta("rollup_seq", static_cast<std::int64_t>(watermark)); !st) {
        return st;
    }
    rollupSeq = watermark;
    if (options.keepReads) {
        buckets.clear();
        openReads = 0;
        openMaxMinute = INT64_MIN;
    } else {
        // Counts only: a bucket stays while its minute may still get reads, its row updated.
        std::erase_if(buckets,
                      [&](const auto& item) { return item.first.minute < openMaxMinute - 1; });
        openReads = 0;
    }
    return {};
}

Result<std::int64_t> Writer::Impl::ReaderId(std::string_view name, std::string_view device) {
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
    readerIds.emplace(std::move(key), id);
    return id;
}

Status Writer::Impl::WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken) {
    const std::uint64_t before = lastSeq;
    std::uint64_t maxSeq = before;
    std::uint64_t& dups = taken.duplicates;
    constexpr auto kMaxSeq = static_cast<std::uint64_t>(INT64_MAX);
    const auto used = [&](int rc, std::uint64_t seq) -> Status {
        if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is used twice"};
        }
        return Fail(rc, "cannot store " + SeqText(seq));
    };

    // A read of a later minute closes the open rollup before it joins.
    if (options.keepReads && !buckets.empty()) {
        for (const Read& r : batch.reads) {
            if (r.seq > before && MinuteOf(r.timeMs) > openMaxMinute) {
                if (Status st = Flush(before); !st) {
                    return st;
                }
                break;
            }
        }
    }

    minuteSpans.clear();
    for (const Read& r : batch.reads) {
        if (r.seq <= before) {
            ++dups;
            continue;
        }
        if (r.seq > kMaxSeq) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(r.seq) + " is too large"};
        }
        const Result<std::int64_t> id = ReaderId(r.reader, r.device);
        if (!id) {
            return id.error();
        }
        if (options.keepReads) {
            Stmt& s = insertRead;
            s.Bind(1, static_cast<std::int64_t>(r.seq));
            s.Bind(2, r.timeMs);
            s.Bind(3, std::int64_t{r.tag});
            s.Bind(4, id.value());
            if (r.readerTime) {
                s.Bind(5, static_cast<std::int64_t>(PackReaderTime(*r.readerTime)));
            } else {
                s.BindNull(5);
            }
            const int rc = s.Step();
            s.Reset();
            if (rc != SQLITE_DONE) {
                return used(rc, r.seq);
            }
        }
        AddRead(r.seq, r.timeMs, r.tag, id.value(), options.keepReads);
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

    for (const DeviceEvent& d : batch.devices) {
        if (d.seq <= before) {
            ++dups;
            continue;
        }
        if (d.seq > kMaxSeq) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(d.seq) + " is too large"};
        }
        const Result<std::int64_t> id = ReaderId(d.reader, d.device);
        if (!id) {
            return id.error();
        }
        Stmt& s = insertDevice;
        s.Bind(1, static_cast<std::int64_t>(d.seq));
        s.Bind(2, d.timeMs);
        s.Bind(3, static_cast<std::int64_t>(d.kind));
        s.Bind(4, id.value());
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return used(rc, d.seq);
        }
        maxSeq = std::max(maxSeq, d.seq);
        ++taken.devices;
    }

    // Arrivals and departures of one tag apply in sequence order, whatever the span's order.
    order.resize(batch.presence.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return batch.presence[a].seq < batch.presence[b].seq;
    });
    for (const std::size_t i : order) {
        const PresenceEvent& p = batch.presence[i];
        if (p.seq <= before) {
            ++dups;
            continue;
        }
        if (p.seq > kMaxSeq) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(p.seq) + " is too large"};
        }
        const Result<std::int64_t> id = ReaderId(p.reader, p.device);
        if (!id) {
            return id.error();
        }
        Stmt& s = insertPresence;
        s.Bind(1, static_cast<std::int64_t>(p.seq));
        s.Bind(2, p.timeMs);
        s.Bind(3, std::int64_t{p.tag});
        s.Bind(4, id.value());
        s.Bind(5, static_cast<std::int64_t>(p.kind));
        int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return used(rc, p.seq);
        }
        Stmt& o = p.kind == PresenceKind::kArrive ? openArrival : closeArrival;
        o.Bind(1, std::int64_t{p.tag});
        o.Bind(2, id.value());
        if (p.kind == PresenceKind::kArrive) {
            o.Bind(3, static_cast<std::int64_t>(p.seq));
            o.Bind(4, p.timeMs);
        }
        rc = o.Step();
        o.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store an arrival");
        }
        maxSeq = std::max(maxSeq, p.seq);
        ++taken.presence;
    }

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

    if (!options.keepReads ? !minuteSpans.empty() : openReads >= schema::kMaxOpenReads) {
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

Status Writer::Impl::Append(const Batch& batch) {
    if (stale) {
        if (Status st = Recover(); !st) {
            return st;
        }
    }
    int rc = begin.Step();
    begin.Reset();
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot begin a transaction");
    }
    std::uint64_t newLast = lastSeq;
    Taken taken;
    Status st = WriteBatch(batch, newLast, taken);
    if (st) {
        rc = commit.Step();
        commit.Reset();
        if (rc != SQLITE_DONE) {
            st = Fail(rc, "cannot commit the batch");
        }
    }
    if (!st) {
        RollBack();
        stale = true;
        // Best effort now; if the database still refuses, the next Append tries again.
        (void)Recover();
        return st;
    }
    lastSeq = newLast;
    reads += taken.reads;
    deviceEvents += taken.devices;
    presenceEvents += taken.presence;
    duplicates += taken.duplicates;
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
    int rc = begin.Step();
    begin.Reset();
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot begin a transaction");
    }
    // The guarded output's cursor, read in this transaction: rows above it were never handed on.
    std::optional<std::int64_t> cursor;
    if (!options.guardedOutput.empty()) {
        Stmt q;
        if (Stmt::Prepare(db, "SELECT seq FROM outbox WHERE name = ?1", q) == SQLITE_OK) {
            q.Bind(1, std::string_view(options.guardedOutput));
            if (q.Step() == SQLITE_ROW) {
                cursor = q.Int(0);
            }
        }
    }
    std::uint64_t lost = 0;
    // Runs one DELETE with ?1.. bound to `args`; adds the rows it removed. True when it hit
    // the budget (more of the same remain). A `guarded` delete of reads or presence events
    // counts the rows above the cursor it removes.
    const auto run = [&](const char* text, std::initializer_list<std::int64_t> args, bool& full,
                         bool guarded = false) -> Status {
        Stmt s;
        const std::string statement =
            guarded && cursor ? std::string(text) + " RETURNING seq" : std::string(text);
        int prc = Stmt::Prepare(db, statement, s);
        if (prc != SQLITE_OK) {
            return Fail(prc, "cannot prune");
        }
        int i = 1;
        for (const std::int64_t a : args) {
            s.Bind(i++, a);
        }
        while ((prc = s.Step()) == SQLITE_ROW) {
            lost += s.Int(0) > *cursor ? 1 : 0;
        }
        if (prc != SQLITE_DONE) {
            return Fail(prc, "cannot prune");
        }
        const int n = sqlite3_changes(db);
        result.rowsDeleted += static_cast<std::size_t>(n);
        full = n >= budget;
        result.more = result.more || full;
        return {};
    };
    const auto fail = [&](Status st) -> Result<PruneResult> {
        RollBack();
        stale = true;
        return st.error();
    };

    if (options.retentionDays > 0) {
        const std::int64_t cutMinute =
            MinuteOf(nowMs - std::int64_t{options.retentionDays} * 86400000);
        const std::int64_t cutMs = cutMinute * schema::kMinuteMs;
        bool readsFull = false;
        bool rollupFull = false;
        bool full = false;
        // The minutes table bounds the scan: reads of old minutes sit below their last seq.
        Status st = run(
            "DELETE FROM reads WHERE seq IN (SELECT seq FROM reads WHERE seq <= (SELECT "
            "max(last_seq) FROM minutes WHERE minute < ?1) AND time < ?2 ORDER BY seq LIMIT ?3)",
            {cutMinute, cutMs, budget}, readsFull, true);
        if (st) {
            st =
                run("DELETE FROM tag_minutes WHERE (minute, tag, reader, first_seq) IN (SELECT "
                    "minute, tag, reader, first_seq FROM tag_minutes WHERE minute < ?1 "
                    "ORDER BY minute LIMIT ?2)",
                    {cutMinute, budget}, rollupFull);
        }
        if (st && !readsFull && !rollupFull) {
            st = run(
                "DELETE FROM minutes WHERE minute IN (SELECT minute FROM minutes WHERE minute < "
                "?1 ORDER BY minute LIMIT ?2)",
                {cutMinute, budget}, full);
        }
        if (st) {
            st =
                run("DELETE FROM presence WHERE seq IN (SELECT seq FROM presence WHERE time < ?1 "
                    "ORDER BY time LIMIT ?2)",
                    {cutMs, budget}, full, true);
        }
        if (st) {
            st =
                run("DELETE FROM device_events WHERE seq IN (SELECT seq FROM device_events WHERE "
                    "time < ?1 ORDER BY time LIMIT ?2)",
                    {cutMs, budget}, full);
        }
        if (!st) {
            return fail(st);
        }
    }

    if (options.maxSizeBytes > 0) {
        const Result<std::int64_t> pages = QueryInt("PRAGMA page_count", 0);
        const Result<std::int64_t> freePages = QueryInt("PRAGMA freelist_count", 0);
        const Result<std::int64_t> pageSize = QueryInt("PRAGMA page_size", 4096);
        if (!pages || !freePages || !pageSize) {
            return fail(!pages ? pages.error() : !freePages ? freePages.error() : pageSize.error());
        }
        if ((pages.value() - freePages.value()) * pageSize.value() > options.maxSizeBytes) {
            result.more = true;
            // The cut: the budget-th oldest number of the tables that hold that many rows, so
            // no table loses more than the budget; with fewer rows everywhere, all of them.
            std::int64_t cut = INT64_MAX;
            std::int64_t newest = 0;
            for (const char* table : {"reads", "presence", "device_events"}) {
                const std::string nth = std::string("SELECT seq FROM ") + table +
                                        " ORDER BY seq LIMIT 1 OFFSET " +
                                        std::to_string(budget - 1);
                const Result<std::int64_t> seq = QueryInt(nth.c_str(), INT64_MAX);
                const std::string last = std::string("SELECT max(seq) FROM ") + table;
                const Result<std::int64_t> top = QueryInt(last.c_str(), 0);
                if (!seq || !top) {
                    return fail(!seq ? seq.error() : top.error());
                }
                cut = std::min(cut, seq.value());
                newest = std::max(newest, top.value());
            }
            if (cut == INT64_MAX) {
                cut = newest;
            }
            bool full = false;
            bool rollupFull = false;
            Status st = run("DELETE FROM reads WHERE seq <= ?1", {cut}, full, true);
            if (st) {
                st = run(
                    "DELETE FROM presence WHERE seq IN (SELECT seq FROM presence WHERE seq <= ?1 "
                    "ORDER BY seq LIMIT ?2)",
                    {cut, budget}, full, true);
            }
            if (st) {
                st = run(
                    "DELETE FROM device_events WHERE seq IN (SELECT seq FROM device_events WHERE "
                    "seq <= ?1 ORDER BY seq LIMIT ?2)",
                    {cut, budget}, full);
            }
            if (st) {
                st =
                    run("DELETE FROM tag_minutes WHERE (minute, tag, reader, first_seq) IN (SELECT "
                        "minute, tag, reader, first_seq FROM tag_minutes WHERE minute <= "
                        "coalesce((SELECT max(minute) FROM minutes WHERE last_seq <= ?1), "
                        "-9223372036854775807) AND last_seq <= ?1 ORDER BY minute LIMIT ?2)",
                        {cut, budget}, rollupFull);
            }
            if (st && !rollupFull) {
                st =
                    run("DELETE FROM minutes WHERE minute IN (SELECT minute FROM minutes WHERE "
                        "last_seq <= ?1 ORDER BY minute LIMIT ?2)",
                        {cut, budget}, full);
            }
            if (!st) {
                return fail(st);
            }
        }
    }

    rc = commit.Step();
    commit.Reset();
    if (rc != SQLITE_DONE) {
        return fail(Fail(rc, "cannot commit the pruning"));
    }
    lostToOutput += lost;
    // Give freed pages back in small steps, outside the deleting transaction.
    const std::string vacuum = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")";
    rc = sql::Exec(db, vacuum.c_str());
    if (rc != SQLITE_OK) {
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

Writer::Writer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

Result<Writer> Writer::Open(const Options& options) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->path = options.path.string();
    impl->lockPath = impl->path + "-lock";
    if (impl->path.empty()) {
        return Error{ErrorCode::kUnwritable, "no history database path"};
    }
    if (Status st = impl->Lock(); !st) {
        return st.error();
    }
    const int rc =
        sqlite3_open_v2(impl->path.c_str(), &impl->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        return impl->Fail(rc, "cannot open");
    }
    sqlite3_extended_result_codes(impl->db, 1);
    sqlite3_busy_timeout(impl->db, 5000);
    if (Status st = impl->Setup(); !st) {
        return st.error();
    }
    return Writer(std::move(impl));
}

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

}  // namespace trelvane::history
