// Opening the writer: the lock, the tables (made, checked, upgraded), the prepared statements,
// and the state a killed writer left (the numbers, the open rollup, the open arrivals).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

using sql::Stmt;

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

}  // namespace

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
        if (Status st = CreateSchema(); !st) {
            return st;
        }
    } else if (const int rc = sql::Exec(db, "PRAGMA journal_mode=WAL"); rc != SQLITE_OK) {
        return Fail(rc, "cannot switch to WAL");
    }
    sql::Exec(db, "PRAGMA synchronous=NORMAL");
    sql::Exec(db, "PRAGMA cache_size=-32768");
    std::int64_t version = 0;
    if (Status st = CheckMeta(version); !st) {
        return st;
    }
    if (Status st = Upgrade(version); !st) {
        return st;
    }
    if (Status st = Prepare(); !st) {
        return st;
    }
    if (Status st = Recover(); !st) {
        return st;
    }
    return StoreRecoveredRollup();
}

Status Writer::Impl::CreateSchema() {
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
        rc = sql::Exec(db, schema::kCreateZoneTables);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::kCreateAlertTables);
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
    return {};
}

// Only our own tables, of a version we know; `version` gets the file's.
Status Writer::Impl::CheckMeta(std::int64_t& version) {
    Stmt q;
    int rc = Stmt::Prepare(db, "SELECT key, value FROM meta", q);
    if (rc != SQLITE_OK) {
        return Error{ErrorCode::kCorrupt, path + ": not a Trelvane history database"};
    }
    std::string format;
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
    return {};
}

// Each older format's upgrade in turn, each in one transaction of its own.
Status Writer::Impl::Upgrade(std::int64_t version) {
    Status st;
    if (version < 2) {
        st = UpgradeTo2();
    }
    if (st && version < 3) {
        st = UpgradeTo3();
    }
    if (st && version < 4) {
        st = UpgradeTo4();
    }
    if (st && version < 5) {
        st = UpgradeTo5();
    }
    if (st && version < 6) {
        st = UpgradeTo6();
    }
    if (!st) {
        RollBack();
    }
    return st;
}

// Version 1 had no outbox.
Status Writer::Impl::UpgradeTo2() {
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::kUpgradeTo2);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, "COMMIT");
    }
    return rc == SQLITE_OK ? Status() : Status(Fail(rc, "cannot upgrade the history to version 2"));
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
        {&findZone, "SELECT id FROM zone_names WHERE name = ?1"},
        {&insertZone, "INSERT INTO zone_names(name) VALUES (?1)"},
        {&openStay,
         "INSERT OR REPLACE INTO zone_open(tag, zone, seq, since, reader, last_seen) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"},
        {&closeStay, "DELETE FROM zone_open WHERE tag = ?1 AND zone = ?2"},
        {&seenStay, "UPDATE zone_open SET last_seen = ?2 WHERE tag = ?1 AND last_seen < ?2"},
        {&insertAlert,
         "INSERT INTO alert_events(seq, time, kind, raised, rule, rule_kind, tag, zone, reader, "
         "since, text, who) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"},
        {&openAlert,
         "INSERT OR REPLACE INTO alert_open(seq, time, rule, rule_kind, tag, zone, reader, since, "
         "text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"},
        {&ackAlert,
         "UPDATE alert_open SET ack_seq = ?2, ack_time = ?3, ack_note = ?4, ack_who = ?5 "
         "WHERE seq = ?1"},
        {&clearAlert, "DELETE FROM alert_open WHERE seq = ?1"},
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
    if (rc == SQLITE_OK) {
        rc = insertZoneEvents.Prepare(
            db, "INSERT INTO zone_events(seq, time, tag, zone, kind, reader, since, last_seen)", 8);
    }
    return rc == SQLITE_OK ? Status() : Status(notOurs(rc));
}

// The state of the last committed batch: the numbers, the open rollup of the reads after the
// watermark, the open arrivals. Also after a failed transaction (the memory may hold what was
// rolled back).
Status Writer::Impl::Recover() {
    readerIds.clear();
    lastReaderId = -1;
    zoneIds.clear();
    rollup.Clear();
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
    if (Status st = RecoverTail(); !st) {
        return st;
    }
    if (Status st = RecoverOpenArrivals(); !st) {
        return st;
    }
    stale = false;
    return {};
}

// The reads after the watermark, into the open rollup.
Status Writer::Impl::RecoverTail() {
    Stmt tail;
    int rc = Stmt::Prepare(db, "SELECT seq, time, tag, reader FROM reads WHERE seq > ?1", tail);
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot read the last reads");
    }
    tail.Bind(1, static_cast<std::int64_t>(rollupSeq));
    while ((rc = tail.Step()) == SQLITE_ROW) {
        const auto seq = static_cast<std::uint64_t>(tail.Int(0));
        rollup.Add(seq, tail.Int(1), static_cast<std::uint32_t>(tail.Int(2)), tail.Int(3), true);
        lastSeq = std::max(lastSeq, seq);
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the last reads");
    }
    return {};
}

Status Writer::Impl::RecoverOpenArrivals() {
    openByPair.Clear();
    Stmt open;
    int rc = Stmt::Prepare(db, "SELECT seq, tag, reader FROM presence_open ORDER BY seq", open);
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
    return {};
}

// The rollup of the tail a killed writer left in memory: made again and stored now, so the new
// session starts with nothing open.
Status Writer::Impl::StoreRecoveredRollup() {
    if (rollup.Empty()) {
        return {};
    }
    return InTransaction("cannot store the rollup of the last reads",
                         [&] { return Flush(lastSeq); });
}

Status Writer::Impl::SetMeta(const char* key, std::int64_t value) {
    setMeta.Bind(1, std::string_view(key));
    setMeta.Bind(2, value);
    const int rc = setMeta.Step();
    setMeta.Reset();
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot update the meta table"));
}

}  // namespace trelvane::history
