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
#include <optional>
#include <random>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/KeyIndex.h"
#include "history/Schema.h"
#include "history/Sqlite.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::ErrorOf;
using sql::Stmt;

// The minute of the tables' empty key: MinuteOf never gives it (its least is INT64_MIN / 60000).
constexpr std::int64_t kNoMinute = INT64_MIN;

// A rollup row being gathered: reads of one tag in one minute, at any reader.
struct BucketKey {
    std::int64_t minute = 0;
    std::uint32_t tag = 0;

    friend bool operator==(const BucketKey&, const BucketKey&) = default;
    friend bool operator<(const BucketKey& a, const BucketKey& b) {
        return std::tie(a.minute, a.tag) < std::tie(b.minute, b.tag);
    }
    std::uint64_t Hash() const {
        return static_cast<std::uint64_t>(minute) * 0x9E3779B97F4A7C15ull ^ tag;
    }
    static constexpr BucketKey Empty() { return BucketKey{kNoMinute, 0}; }
};

struct Bucket {
    std::uint64_t firstSeq = 0;
    std::uint64_t lastSeq = 0;
    std::int64_t firstTime = 0;
    std::int64_t lastTime = 0;
    std::int64_t count = 0;
    // How many of the reads' numbers are in the open list. The row's SeqList is written when it
    // holds them all; otherwise the row has none and queries scan its seq range.
    std::int64_t seqCount = 0;
    bool dirty = false;
};

// One reader of an open bucket: its last read there makes the row's ReaderList. Keyed by the
// bucket's index and the reader's id (below 2^32 - 1, see kMaxReaderId) as one 64-bit key.
constexpr std::uint64_t ReaderKeyOf(std::uint32_t bucket, std::int64_t reader) {
    return std::uint64_t{bucket} << 32 | static_cast<std::uint64_t>(reader);
}
constexpr std::uint32_t BucketOf(std::uint64_t readerKey) {
    return static_cast<std::uint32_t>(readerKey >> 32);
}
constexpr std::int64_t ReaderOf(std::uint64_t readerKey) {
    return static_cast<std::int64_t>(readerKey & 0xFFFFFFFF);
}

struct Pair {
    std::int64_t lastTime = INT64_MIN;
};

// Open entries by key, numbered densely in the order they were made (the numbers stay until
// Clear or Rebuild). A busy site opens many at once and all of them go at each flush: the index
// and the arrays allocate nothing per entry, and clearing keeps the memory for the next flush.
template <class Key, class Data>
class OpenTable {
  public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // The index of the key's entry, made (zeroed) when it is new.
    std::uint32_t Get(const Key& key) {
        const auto [at, made] = index_.FindOrInsert(key, static_cast<std::uint32_t>(keys_.size()));
        if (made) {
            keys_.push_back(key);
            data_.emplace_back();
        }
        return *at;
    }

    std::size_t Size() const { return keys_.size(); }
    bool Empty() const { return keys_.empty(); }
    const Key& KeyAt(std::uint32_t i) const { return keys_[i]; }
    Data& At(std::uint32_t i) { return data_[i]; }

    void Clear() {
        keys_.clear();
        data_.clear();
        index_.ClearKeepingMemory();
    }

    // Keeps the entries to which `keyOf` gives a key (their new one), in their order; `moved`
    // gets each old index's new one (kNone for an entry dropped).
    template <typename KeyOf>
    void Rebuild(KeyOf keyOf, std::vector<std::uint32_t>& moved) {
        moved.assign(keys_.size(), kNone);
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < keys_.size(); ++i) {
            if (const std::optional<Key> key = keyOf(keys_[i])) {
                moved[i] = kept;
                keys_[kept] = *key;
                data_[kept] = data_[i];
                ++kept;
            }
        }
        keys_.resize(kept);
        data_.resize(kept);
        index_.ClearKeepingMemory();
        for (std::uint32_t at = 0; at < kept; ++at) {
            index_.Insert(keys_[at], at);
        }
    }

  private:
    detail::KeyIndex<std::uint32_t, Key> index_;
    std::vector<Key> keys_;
    std::vector<Data> data_;
};

// A read's number, kept for its bucket's SeqList.
struct OpenSeq {
    std::uint32_t bucket = 0;
    std::uint64_t seq = 0;
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

// An open arrival's pair as one key: reader ids (row ids from 1) stay below 2^32 - 1, which
// ReaderId makes sure of, so the all-ones key KeyIndex reserves is never made.
constexpr std::uint64_t PairKeyOf(std::uint32_t tag, std::int64_t reader) {
    return static_cast<std::uint64_t>(reader) << 32 | tag;
}
constexpr std::int64_t kMaxReaderId = 0xFFFFFFFE;

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
    // The last reader looked up: a batch's reads mostly come from few readers in runs.
    std::string lastReaderName, lastReaderDevice;
    std::int64_t lastReaderId = -1;
    OpenTable<BucketKey, Bucket> buckets;
    OpenTable<std::uint64_t, Pair> pairs;                 // by ReaderKeyOf
    std::vector<std::uint32_t> movedBuckets, movedPairs;  // Flush without reads: new indexes
    std::vector<OpenSeq> openSeqs;
    std::vector<std::uint32_t> seqStart;  // Flush: where each bucket's numbers begin
    std::vector<std::uint64_t> seqsByBucket;
    std::vector<std::uint32_t> pairStart;  // Flush: where each bucket's readers begin
    std::vector<schema::ReaderLast> pairsByBucket;
    std::vector<std::uint8_t> readerBlob;
    std::size_t openReads = 0;
    std::int64_t openMaxMinute = INT64_MIN;
    std::vector<std::uint8_t> blob;
    std::vector<std::uint32_t> flushOrder;
    std::vector<MinuteSpan> minuteSpans;
    // The open arrivals by pair (PairKeyOf): the number of each one's row in presence_open.
    // One 16-byte cell per arrival not yet departed, so bounded as presence_open is: by the
    // pairs the presence tracker holds (each departs after DepartAfter without a read, or at
    // Stop Service); the index gives memory back as they depart.
    detail::KeyIndex<std::uint64_t> openByPair;
    // Scratch of one batch, cleared at its start and keeping its capacity: at most the batch's
    // presence events (the sink's queue bounds a batch).
    // The batch's presence events in the order they are applied: by pair, then number.
    struct OpenChange {
        std::uint64_t pair;
        std::uint64_t seq;
        std::int64_t time;
        bool arrive;
    };
    std::vector<OpenChange> openChanges;
    std::vector<std::uint64_t> closedSeqs;
    std::vector<OpenChange> opened;
    // The batch's presence events by (minute, tag, seq), for presence_minutes.
    struct MinuteEvent {
        std::int64_t minute;
        std::uint32_t tag;
        std::uint64_t seq;
        auto operator<=>(const MinuteEvent&) const = default;
    };
    std::vector<MinuteEvent> minuteEvents;
    std::vector<std::uint64_t> minuteSeqs;

    Stmt begin, commit, findReader, insertReader, insertDevice, closeArrival, upsertMinute, setMeta;
    sql::MultiRowInsert insertReads, upsertRollups, insertPresence, openArrivals, presenceMinutes;

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
    // A row of `seq` that could not be stored: a number used twice is the caller's fault.
    Error StoreFailure(int rc, std::uint64_t seq) const {
        if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is used twice"};
        }
        return Fail(rc, "cannot store " + SeqText(seq));
    }

    struct Taken {
        std::uint64_t reads = 0, devices = 0, presence = 0, duplicates = 0;
    };
    Status Lock();
    Status Setup();
    Status UpgradeTo3();
    Status UpgradeTo4();
    Status WritePresence(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                         Taken& taken);
    Status Prepare();
    Status Recover();
    Status Flush(std::uint64_t watermark);
    Status WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken);
    Status Append(const Batch& batch);
    Result<PruneResult> Prune(std::int64_t nowMs, std::size_t maxRows);
    Result<std::int64_t> ReaderId(std::string_view name, std::string_view device);
    Result<std::int64_t> LookUpReader(std::string_view name, std::string_view device);
    Status SetMeta(const char* key, std::int64_t value);
    Result<std::int64_t> QueryInt(const char* text, std::int64_t fallback);
    void AddRead(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::int64_t reader,
                 bool keepSeq);
    void RollBack() {
        insertReads.Discard();
        upsertRollups.Discard();
        insertPresence.Discard();
        openArrivals.Discard();
        presenceMinutes.Discard();
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
            rc = sql::Exec(db, schema::kCreatePresenceTables);
        }
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, schema::CreateTagMinutes("tag_minutes").c_str());
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
    if (version < 3) {
        if (Status st = UpgradeTo3(); !st) {
            RollBack();
            return st;
        }
    }
    if (version < 4) {
        if (Status st = UpgradeTo4(); !st) {
            RollBack();
            return st;
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
    if (!buckets.Empty()) {
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

// Version 2 kept a rollup row per (minute, tag, reader, flush); version 3 one per (minute, tag,
// flush). The old rows of a minute and tag (any reader, any flush) merge into one: its SeqList
// the union of theirs (none when one had none: queries then scan its seq range), its
// ReaderList each reader's last time. One pass in key order, in one transaction.
Status Writer::Impl::UpgradeTo3() {
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // A file whose version was set back (by hand, or a test) may have the rollup already.
    const Result<std::int64_t> has =
        QueryInt("SELECT count(*) FROM pragma_table_info('tag_minutes') WHERE name = 'readers'", 0);
    if (!has) {
        return has.error();
    }
    if (rc == SQLITE_OK && has.value() > 0) {
        rc = sql::Exec(db, "UPDATE meta SET value = 3 WHERE key = 'version'; COMMIT");
        return rc == SQLITE_OK ? Status()
                               : Status(Fail(rc, "cannot upgrade the history to version 3"));
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::CreateTagMinutes("tag_minutes_v3").c_str());
    }
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot upgrade the history to version 3");
    }
    Stmt old;
    sql::MultiRowInsert insert;
    rc = Stmt::Prepare(db,
                       "SELECT minute, tag, reader, first_seq, last_seq, first_time, last_time, "
                       "count, seqs FROM tag_minutes ORDER BY minute, tag, reader, first_seq",
                       old);
    if (rc == SQLITE_OK) {
        rc = insert.Prepare(db,
                            "INSERT INTO tag_minutes_v3(minute, since, tag, first_seq, last_seq, "
                            "first_time, last_time, count, seqs, readers)",
                            10);
    }
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot upgrade the history to version 3");
    }
    struct Row {
        std::int64_t minute = 0, tag = -1, firstSeq = 0, lastSeq = 0, firstTime = 0, lastTime = 0,
                     count = 0;
        bool listed = true;
    } row;
    std::vector<std::uint64_t> seqs;
    std::vector<schema::ReaderLast> readers;
    const auto store = [&]() -> int {
        insert.Add(row.minute);
        insert.Add(std::int64_t{0});  // one row per minute and tag: one group
        insert.Add(row.tag);
        insert.Add(row.firstSeq);
        insert.Add(row.lastSeq);
        insert.Add(row.firstTime);
        insert.Add(row.lastTime);
        insert.Add(row.count);
        if (row.listed) {
            std::sort(seqs.begin(), seqs.end());
            seqs.erase(std::unique(seqs.begin(), seqs.end()), seqs.end());
            schema::EncodeSeqList(seqs, blob);
            insert.AddBlob(blob);
        } else {
            insert.AddNull();
        }
        schema::EncodeReaderList(row.minute, readers, readerBlob);
        insert.AddBlob(readerBlob);
        return insert.EndRow();
    };
    bool any = false;
    while ((rc = old.Step()) == SQLITE_ROW) {
        const std::int64_t minute = old.Int(0);
        const std::int64_t tag = old.Int(1);
        const std::int64_t reader = old.Int(2);
        const std::int64_t lastTime = old.Int(6);
        if (!any || minute != row.minute || tag != row.tag) {
            if (any) {
                if (const int src = store(); src != SQLITE_DONE) {
                    rc = src;
                    break;
                }
            }
            any = true;
            row = Row{minute, tag, old.Int(3), old.Int(4), old.Int(5), lastTime, 0, true};
            seqs.clear();
            readers.clear();
        }
        row.firstSeq = std::min(row.firstSeq, old.Int(3));
        row.lastSeq = std::max(row.lastSeq, old.Int(4));
        row.firstTime = std::min(row.firstTime, old.Int(5));
        row.lastTime = std::max(row.lastTime, lastTime);
        row.count += old.Int(7);
        if (old.IsNull(8)) {
            row.listed = false;
        } else if (row.listed && !schema::DecodeSeqList(static_cast<std::uint64_t>(old.Int(3)),
                                                        old.Blob(8), seqs)) {
            return Error{ErrorCode::kCorrupt, path + ": a damaged rollup row"};
        }
        // Rows come in reader order within a minute and tag.
        if (!readers.empty() && readers.back().reader == reader) {
            readers.back().lastTime = std::max(readers.back().lastTime, lastTime);
        } else {
            readers.push_back(schema::ReaderLast{reader, lastTime});
        }
    }
    if (rc == SQLITE_DONE && any) {
        rc = store();
    }
    if (rc == SQLITE_DONE) {
        rc = insert.Finish();
    }
    if (rc != SQLITE_DONE) {
        insert.Discard();
        return Fail(rc, "cannot upgrade the history to version 3");
    }
    old = Stmt();
    insert = sql::MultiRowInsert();
    rc = sql::Exec(db,
                   "DROP TABLE tag_minutes; ALTER TABLE tag_minutes_v3 RENAME TO tag_minutes; "
                   "UPDATE meta SET value = 3 WHERE key = 'version'; COMMIT");
    return rc == SQLITE_OK ? Status() : Status(Fail(rc, "cannot upgrade the history to version 3"));
}

// Version 3 had an index on presence(tag, seq) and the open arrivals keyed by (tag, reader).
// The open arrivals move to a table keyed by number, the index gives way to presence_minutes,
// built from the presence rows in its key order, all in one transaction.
Status Writer::Impl::UpgradeTo4() {
    const auto failed = [&](int rc) {
        return Status(Fail(rc, "cannot upgrade the history to version 4"));
    };
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // A file whose version was set back (by hand, or a test) may have the new tables already.
    const Result<std::int64_t> has = QueryInt(
        "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'presence_minutes'", 0);
    if (!has) {
        return has.error();
    }
    if (rc == SQLITE_OK && has.value() == 0) {
        rc = sql::Exec(db, "ALTER TABLE presence_open RENAME TO presence_open_v3");
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db, schema::kCreatePresenceTables);
        }
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db,
                           "INSERT INTO presence_open(seq, tag, reader, time) SELECT seq, tag, "
                           "reader, time FROM presence_open_v3 ORDER BY seq; "
                           "DROP TABLE presence_open_v3");
        }
        if (rc != SQLITE_OK) {
            return failed(rc);
        }
        Stmt old;
        sql::MultiRowInsert insert;
        rc = Stmt::Prepare(db,
                           "SELECT CASE WHEN time >= 0 THEN time / 60000 ELSE -((59999 - time) / "
                           "60000) END AS minute, tag, seq FROM presence ORDER BY minute, tag, seq",
                           old);
        if (rc == SQLITE_OK) {
            rc = insert.Prepare(
                db, "INSERT INTO presence_minutes(minute, since, tag, first_seq, last_seq, seqs)",
                6);
        }
        if (rc != SQLITE_OK) {
            return failed(rc);
        }
        std::int64_t minute = 0;
        std::int64_t tag = -1;
        minuteSeqs.clear();
        const auto store = [&] {
            schema::EncodeSeqList(minuteSeqs, blob);
            insert.Add(minute);
            insert.Add(std::int64_t{0});
            insert.Add(tag);
            insert.Add(static_cast<std::int64_t>(minuteSeqs.front()));
            insert.Add(static_cast<std::int64_t>(minuteSeqs.back()));
            insert.AddBlob(blob);
            minuteSeqs.clear();
            return insert.EndRow();
        };
        rc = SQLITE_DONE;
        int step = 0;
        while (rc == SQLITE_DONE && (step = old.Step()) == SQLITE_ROW) {
            if (!minuteSeqs.empty() && (old.Int(0) != minute || old.Int(1) != tag)) {
                rc = store();
            }
            minute = old.Int(0);
            tag = old.Int(1);
            minuteSeqs.push_back(static_cast<std::uint64_t>(old.Int(2)));
        }
        if (rc == SQLITE_DONE && step != SQLITE_DONE) {
            rc = step;
        }
        if (rc == SQLITE_DONE && !minuteSeqs.empty()) {
            rc = store();
        }
        if (rc == SQLITE_DONE) {
            rc = insert.Finish();
        }
        if (rc != SQLITE_DONE) {
            insert.Discard();
            return failed(rc);
        }
        rc = SQLITE_OK;
    }
    // The rollup gains `since` in its key; the old rows are one group (0) per minute.
    const Result<std::int64_t> grouped =
        QueryInt("SELECT count(*) FROM pragma_table_info('tag_minutes') WHERE name = 'since'", 0);
    if (!grouped) {
        return grouped.error();
    }
    if (rc == SQLITE_OK && grouped.value() == 0) {
        rc = sql::Exec(db, schema::CreateTagMinutes("tag_minutes_v4").c_str());
        if (rc == SQLITE_OK) {
            rc = sql::Exec(db,
                           "INSERT INTO tag_minutes_v4(minute, since, tag, first_seq, last_seq, "
                           "first_time, last_time, count, seqs, readers) SELECT minute, 0, tag, "
                           "first_seq, last_seq, first_time, last_time, count, seqs, readers FROM "
                           "tag_minutes ORDER BY minute, tag, first_seq; DROP TABLE tag_minutes; "
                           "ALTER TABLE tag_minutes_v4 RENAME TO tag_minutes");
        }
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db,
                       "DROP INDEX IF EXISTS presence_tag; "
                       "UPDATE meta SET value = 4 WHERE key = 'version'; COMMIT");
    }
    return rc == SQLITE_OK ? Status() : failed(rc);
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
        {&insertDevice,
         "INSERT INTO device_events(seq, time, kind, reader) VALUES (?1, ?2, ?3, ?4)"},
        {&closeArrival, "DELETE FROM presence_open WHERE seq = ?1"},
        {&upsertMinute,
         "INSERT INTO minutes(minute, first_seq, last_seq, count) VALUES (?1, ?2, ?3, ?4) "
         "ON CONFLICT(minute) DO UPDATE SET first_seq = min(first_seq, excluded.first_seq), "
         "last_seq = max(last_seq, excluded.last_seq), count = count + excluded.count"},
        {&setMeta, "UPDATE meta SET value = ?2 WHERE key = ?1"},
    };
    const auto notOurs = [&](int rc) {
        return Error{sql::CodeOf(rc) == ErrorCode::kIo ? ErrorCode::kCorrupt : sql::CodeOf(rc),
                     path + ": not a Trelvane history database of this release (" +
                         sqlite3_errmsg(db) + ")"};
    };
    for (const Item& item : items) {
        if (const int rc = Stmt::Prepare(db, item.text, *item.stmt); rc != SQLITE_OK) {
            return notOurs(rc);
        }
    }
    int rc = insertReads.Prepare(db, "INSERT INTO reads(seq, time, tag, reader, reader_time)", 5);
    if (rc == SQLITE_OK) {
        rc = upsertRollups.Prepare(
            db,
            "INSERT INTO tag_minutes(first_seq, minute, since, tag, last_seq, first_time, "
            "last_time, count, seqs, readers)",
            10,
            "ON CONFLICT(minute, since, tag, first_seq) DO UPDATE SET last_seq = "
            "excluded.last_seq, "
            "first_time = excluded.first_time, last_time = excluded.last_time, count = "
            "excluded.count, seqs = excluded.seqs, readers = excluded.readers");
    }
    if (rc == SQLITE_OK) {
        rc = insertPresence.Prepare(db, "INSERT INTO presence(seq, time, tag, reader, kind)", 5);
    }
    if (rc == SQLITE_OK) {
        rc = openArrivals.Prepare(db, "INSERT INTO presence_open(seq, tag, reader, time)", 4);
    }
    if (rc == SQLITE_OK) {
        rc = presenceMinutes.Prepare(
            db, "INSERT INTO presence_minutes(minute, since, tag, first_seq, last_seq, seqs)", 6);
    }
    return rc == SQLITE_OK ? Status() : Status(notOurs(rc));
}

void Writer::Impl::AddRead(std::uint64_t seq, std::int64_t time, std::uint32_t tag,
                           std::int64_t reader, bool keepSeq) {
    const BucketKey key{MinuteOf(time), tag};
    const std::uint32_t at = buckets.Get(key);
    Bucket& b = buckets.At(at);
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
        openSeqs.push_back(OpenSeq{at, seq});
        ++b.seqCount;
    }
    b.dirty = true;
    Pair& p = pairs.At(pairs.Get(ReaderKeyOf(at, reader)));
    p.lastTime = std::max(p.lastTime, time);
    ++openReads;
    openMaxMinute = std::max(openMaxMinute, key.minute);
}

Status Writer::Impl::Recover() {
    readerIds.clear();
    lastReaderId = -1;
    buckets.Clear();
    pairs.Clear();
    openSeqs.clear();
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
    openByPair.Clear();
    Stmt open;
    rc = Stmt::Prepare(db, "SELECT seq, tag, reader FROM presence_open ORDER BY seq", open);
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot read the open arrivals");
    }
    while ((rc = open.Step()) == SQLITE_ROW) {
        if (open.Int(2) < 1 || open.Int(2) > kMaxReaderId) {
            return Error{ErrorCode::kCorrupt, path + ": a damaged open arrival"};
        }
        const std::uint64_t pair = PairKeyOf(static_cast<std::uint32_t>(open.Int(1)), open.Int(2));
        if (std::uint64_t* seq = openByPair.Find(pair)) {
            *seq = static_cast<std::uint64_t>(open.Int(0));  // not made by us: the last counts
        } else {
            openByPair.Insert(pair, static_cast<std::uint64_t>(open.Int(0)));
        }
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the open arrivals");
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
    // The kept numbers and the readers by bucket (counting sorts: each bucket's numbers stay
    // in arrival order).
    const std::size_t n = buckets.Size();
    seqStart.assign(n + 1, 0);
    for (const OpenSeq& o : openSeqs) {
        ++seqStart[o.bucket + 1];
    }
    pairStart.assign(n + 1, 0);
    for (std::uint32_t i = 0; i < pairs.Size(); ++i) {
        ++pairStart[BucketOf(pairs.KeyAt(i)) + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        seqStart[i + 1] += seqStart[i];
        pairStart[i + 1] += pairStart[i];
    }
    seqsByBucket.resize(openSeqs.size());
    pairsByBucket.resize(pairs.Size());
    {
        std::vector<std::uint32_t>& fill = flushOrder;  // as a cursor per bucket, reused below
        fill.assign(seqStart.begin(), seqStart.end() - 1);
        for (const OpenSeq& o : openSeqs) {
            seqsByBucket[fill[o.bucket]++] = o.seq;
        }
        fill.assign(pairStart.begin(), pairStart.end() - 1);
        for (std::uint32_t i = 0; i < pairs.Size(); ++i) {
            const std::uint64_t key = pairs.KeyAt(i);
            pairsByBucket[fill[BucketOf(key)]++] =
                schema::ReaderLast{ReaderOf(key), pairs.At(i).lastTime};
        }
    }
    flushOrder.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (buckets.At(i).dirty) {
            flushOrder.push_back(i);
        }
    }
    std::sort(flushOrder.begin(), flushOrder.end(), [&](std::uint32_t a, std::uint32_t b) {
        return buckets.KeyAt(a) < buckets.KeyAt(b);
    });
    // The rows of a flush share `since`, the watermark their reads all lie above: keyed by it
    // after the minute, they land at the minute's end of the table even when a minute takes
    // many flushes. Counts-only rows stay where they are and are updated in place.
    const std::int64_t since = options.keepReads ? static_cast<std::int64_t>(rollupSeq) : 0;
    for (const std::uint32_t i : flushOrder) {
        const BucketKey& key = buckets.KeyAt(i);
        Bucket& b = buckets.At(i);
        sql::MultiRowInsert& s = upsertRollups;
        s.Add(static_cast<std::int64_t>(b.firstSeq));
        s.Add(key.minute);
        s.Add(since);
        s.Add(std::int64_t{key.tag});
        s.Add(static_cast<std::int64_t>(b.lastSeq));
        s.Add(b.firstTime);
        s.Add(b.lastTime);
        s.Add(b.count);
        if (b.seqCount == b.count) {
            const std::span<std::uint64_t> seqs(seqsByBucket.data() + seqStart[i],
                                                seqStart[i + 1] - seqStart[i]);
            if (!std::is_sorted(seqs.begin(), seqs.end())) {
                std::sort(seqs.begin(), seqs.end());
            }
            schema::EncodeSeqList(seqs, blob);
            s.AddBlob(blob);  // an empty blob is still a list (of the first number alone)
        } else {
            s.AddNull();
        }
        const std::span<schema::ReaderLast> readers(pairsByBucket.data() + pairStart[i],
                                                    pairStart[i + 1] - pairStart[i]);
        std::sort(readers.begin(), readers.end(),
                  [](const schema::ReaderLast& x, const schema::ReaderLast& y) {
                      return x.reader < y.reader;
                  });
        schema::EncodeReaderList(key.minute, readers, readerBlob);
        s.AddBlob(readerBlob);
        if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the rollup");
        }
        b.dirty = false;
    }
    if (const int rc = upsertRollups.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store the rollup");
    }
    if (Status st = SetMeta("rollup_seq", static_cast<std::int64_t>(watermark)); !st) {
        return st;
    }
    rollupSeq = watermark;
    openSeqs.clear();
    openReads = 0;
    if (options.keepReads) {
        buckets.Clear();
        pairs.Clear();
        openMaxMinute = INT64_MIN;
    } else {
        // Counts only: a bucket stays while its minute may still get reads, its row updated.
        buckets.Rebuild(
            [&](const BucketKey& key) {
                return key.minute < openMaxMinute - 1 ? std::nullopt : std::optional(key);
            },
            movedBuckets);
        pairs.Rebuild(
            [&](std::uint64_t key) -> std::optional<std::uint64_t> {
                const std::uint32_t bucket = movedBuckets[BucketOf(key)];
                if (bucket == OpenTable<BucketKey, Bucket>::kNone) {
                    return std::nullopt;
                }
                return ReaderKeyOf(bucket, ReaderOf(key));
            },
            movedPairs);
    }
    return {};
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

Status Writer::Impl::WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken) {
    const std::uint64_t before = lastSeq;
    std::uint64_t maxSeq = before;
    std::uint64_t& dups = taken.duplicates;
    constexpr auto kMaxSeq = static_cast<std::uint64_t>(INT64_MAX);

    // A read of a later minute closes the open rollup before it joins.
    if (options.keepReads && !buckets.Empty()) {
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

    if (const int rc = insertReads.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertReads.FailedKey()));
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
            return StoreFailure(rc, d.seq);
        }
        maxSeq = std::max(maxSeq, d.seq);
        ++taken.devices;
    }

    if (Status st = WritePresence(batch, before, maxSeq, taken); !st) {
        return st;
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

// The presence rows, their rows in presence_minutes and the changes to the open arrivals.
Status Writer::Impl::WritePresence(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                   Taken& taken) {
    constexpr auto kMaxSeq = static_cast<std::uint64_t>(INT64_MAX);
    openChanges.clear();
    minuteEvents.clear();
    for (const PresenceEvent& p : batch.presence) {
        if (p.seq <= before) {
            ++taken.duplicates;
            continue;
        }
        if (p.seq > kMaxSeq) {
            return Error{ErrorCode::kBadInput, path + ": " + SeqText(p.seq) + " is too large"};
        }
        const Result<std::int64_t> id = ReaderId(p.reader, p.device);
        if (!id) {
            return id.error();
        }
        sql::MultiRowInsert& s = insertPresence;
        s.Add(static_cast<std::int64_t>(p.seq));
        s.Add(p.timeMs);
        s.Add(std::int64_t{p.tag});
        s.Add(id.value());
        s.Add(static_cast<std::int64_t>(p.kind));
        if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
            return StoreFailure(rc, static_cast<std::uint64_t>(s.FailedKey()));
        }
        openChanges.push_back(OpenChange{PairKeyOf(p.tag, id.value()), p.seq, p.timeMs,
                                         p.kind == PresenceKind::kArrive});
        minuteEvents.push_back(MinuteEvent{MinuteOf(p.timeMs), p.tag, p.seq});
        maxSeq = std::max(maxSeq, p.seq);
        ++taken.presence;
    }
    if (const int rc = insertPresence.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertPresence.FailedKey()));
    }

    // One row per minute and tag, in key order, grouped by the rollup's watermark like the
    // rollup rows: the batches between two flushes insert into their group's part of the
    // table, at the current minute's end, and a group stays as small as a flush.
    const std::int64_t since = options.keepReads ? static_cast<std::int64_t>(rollupSeq) : 0;
    std::sort(minuteEvents.begin(), minuteEvents.end());
    for (std::size_t i = 0; i < minuteEvents.size();) {
        const MinuteEvent& first = minuteEvents[i];
        minuteSeqs.clear();
        for (; i < minuteEvents.size() && minuteEvents[i].minute == first.minute &&
               minuteEvents[i].tag == first.tag;
             ++i) {
            minuteSeqs.push_back(minuteEvents[i].seq);
        }
        schema::EncodeSeqList(minuteSeqs, blob);
        sql::MultiRowInsert& s = presenceMinutes;
        s.Add(first.minute);
        s.Add(since);
        s.Add(std::int64_t{first.tag});
        s.Add(static_cast<std::int64_t>(minuteSeqs.front()));
        s.Add(static_cast<std::int64_t>(minuteSeqs.back()));
        s.AddBlob(blob);
        if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the presence index");
        }
    }
    if (const int rc = presenceMinutes.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store the presence index");
    }

    // Each pair ends the batch as its last event leaves it (events of a pair apply in number
    // order, whatever the batch's order). The rows change in number order: closings near the
    // table's front, openings at its end.
    std::sort(openChanges.begin(), openChanges.end(), [](const OpenChange& a, const OpenChange& b) {
        return a.pair != b.pair ? a.pair < b.pair : a.seq < b.seq;
    });
    closedSeqs.clear();
    opened.clear();
    for (std::size_t i = 0; i < openChanges.size(); ++i) {
        const OpenChange& c = openChanges[i];
        if (i + 1 < openChanges.size() && openChanges[i + 1].pair == c.pair) {
            continue;  // a later event of the same pair decides
        }
        std::uint64_t* open = openByPair.Find(c.pair);
        if (open != nullptr) {
            closedSeqs.push_back(*open);
        }
        if (c.arrive) {
            opened.push_back(c);
            if (open != nullptr) {
                *open = c.seq;
            } else {
                openByPair.Insert(c.pair, c.seq);
            }
        } else if (open != nullptr) {
            openByPair.Erase(c.pair);
        }
    }
    std::sort(closedSeqs.begin(), closedSeqs.end());
    for (const std::uint64_t seq : closedSeqs) {
        Stmt& o = closeArrival;
        o.Bind(1, static_cast<std::int64_t>(seq));
        const int rc = o.Step();
        o.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a departure");
        }
    }
    std::sort(opened.begin(), opened.end(),
              [](const OpenChange& a, const OpenChange& b) { return a.seq < b.seq; });
    for (const OpenChange& c : opened) {
        sql::MultiRowInsert& o = openArrivals;
        o.Add(static_cast<std::int64_t>(c.seq));
        o.Add(std::int64_t{static_cast<std::uint32_t>(c.pair)});
        o.Add(static_cast<std::int64_t>(c.pair >> 32));
        o.Add(c.time);
        if (const int rc = o.EndRow(); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store an arrival");
        }
    }
    if (const int rc = openArrivals.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store an arrival");
    }
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
                run("DELETE FROM tag_minutes WHERE (minute, since, tag, first_seq) IN (SELECT "
                    "minute, since, tag, first_seq FROM tag_minutes WHERE minute < ?1 ORDER BY "
                    "minute LIMIT ?2)",
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
            st = run(
                "DELETE FROM presence_minutes WHERE (minute, since, tag, first_seq) IN (SELECT "
                "minute, since, tag, first_seq FROM presence_minutes WHERE minute < ?1 ORDER BY "
                "minute LIMIT ?2)",
                {cutMinute, budget}, full);
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
            // The presence index rows go once all their events have; the scan stops at the
            // minute of the latest event this step deletes.
            const std::string doomed =
                "SELECT max(time) FROM presence WHERE seq IN (SELECT seq "
                "FROM presence WHERE seq <= " +
                std::to_string(cut) + " ORDER BY seq LIMIT " + std::to_string(budget) + ")";
            const Result<std::int64_t> lastDoomed = QueryInt(doomed.c_str(), INT64_MIN);
            if (!lastDoomed) {
                return fail(lastDoomed.error());
            }
            Status st = run("DELETE FROM reads WHERE seq <= ?1", {cut}, full, true);
            if (st) {
                st = run(
                    "DELETE FROM presence WHERE seq IN (SELECT seq FROM presence WHERE seq <= ?1 "
                    "ORDER BY seq LIMIT ?2)",
                    {cut, budget}, full, true);
            }
            if (st && lastDoomed.value() != INT64_MIN) {
                st =
                    run("DELETE FROM presence_minutes WHERE (minute, since, tag, first_seq) IN "
                        "(SELECT minute, since, tag, first_seq FROM presence_minutes WHERE "
                        "minute <= ?1 AND "
                        "last_seq <= ?2 ORDER BY minute LIMIT ?3)",
                        {MinuteOf(lastDoomed.value()), cut, budget}, full);
            }
            if (st) {
                st = run(
                    "DELETE FROM device_events WHERE seq IN (SELECT seq FROM device_events WHERE "
                    "seq <= ?1 ORDER BY seq LIMIT ?2)",
                    {cut, budget}, full);
            }
            if (st) {
                st =
                    run("DELETE FROM tag_minutes WHERE (minute, since, tag, first_seq) IN (SELECT "
                        "minute, since, tag, first_seq FROM tag_minutes WHERE minute <= "
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
