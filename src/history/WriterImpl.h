#pragma once

// Writer's state and its jobs, for the writer's own files only: setup and the lock
// (WriterSetup.cpp), each old format's upgrade (Upgrade3.cpp … Upgrade6.cpp), the rollup
// (Rollup.cpp), presence (PresenceWrite.cpp), zone events (ZoneWrite.cpp), alerts
// (AlertWrite.cpp), retention and the size cap (Retention.cpp), and the batch itself
// (Writer.cpp).

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/KeyIndex.h"
#include "history/Rollup.h"
#include "history/Sqlite.h"
#include "history/Writer.h"

namespace trelvane::history {

// An open arrival's pair as one key: reader ids (row ids from 1) stay below 2^32 - 1, which
// LookUpReader makes sure of, so they fit the key's upper half.
constexpr std::uint64_t PairKeyOf(std::uint32_t tag, std::int64_t reader) {
    return static_cast<std::uint64_t>(reader) << 32 | tag;
}
inline constexpr std::int64_t kMaxReaderId = 0xFFFFFFFE;

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
    OpenRollup rollup;
    std::vector<std::uint8_t> blob;
    std::vector<std::uint8_t> readerBlob;
    // The batch's reads per minute, for the minutes table.
    struct MinuteSpan {
        std::int64_t minute = 0;
        std::uint64_t firstSeq = 0;
        std::uint64_t lastSeq = 0;
        std::int64_t count = 0;
    };
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
    // Zone names (zone_names never changes a row) by name; reloaded after a failed transaction.
    std::unordered_map<std::string, std::int64_t> zoneIds;
    // The batch's zone events as they change zone_open, applied in number order.
    struct StayChange {
        std::uint64_t seq;
        std::uint32_t tag;
        std::int64_t zone;
        std::int64_t reader;
        std::int64_t since;
        std::int64_t lastSeen;
        bool enter;
    };
    std::vector<StayChange> stayChanges;
    // The batch's new alert events, applied to alert_open in number order.
    std::vector<const AlertEvent*> alertChanges;

    sql::Stmt begin, commit, findReader, insertReader, insertDevice, closeArrival, upsertMinute,
        setMeta, findZone, insertZone, openStay, closeStay, seenStay, insertAlert, openAlert,
        ackAlert, clearAlert;
    sql::MultiRowInsert insertReads, upsertRollups, insertPresence, openArrivals, presenceMinutes,
        insertZoneEvents;

    std::atomic<std::uint64_t> reads{0}, deviceEvents{0}, presenceEvents{0}, zoneEvents{0},
        alertEvents{0}, duplicates{0}, rowsPruned{0}, lostToOutput{0};

    // What a batch took in, counted once it is committed.
    struct Taken {
        std::uint64_t reads = 0, devices = 0, presence = 0, zones = 0, alerts = 0, duplicates = 0;
    };

    ~Impl() {
        // close_v2 waits for the statements (members, finalized after this body); no write can
        // follow, so the lock can go now.
        sqlite3_close_v2(db);
        if (lockFd >= 0) {
            ::close(lockFd);
        }
    }

    // WriterSetup.cpp
    Status Lock();
    Status Setup();
    Status CreateSchema();
    Status CheckMeta(std::int64_t& version);
    Status Upgrade(std::int64_t version);
    Status UpgradeTo2();
    Status Prepare();
    Status Recover();
    Status RecoverTail();
    Status RecoverOpenArrivals();
    Status StoreRecoveredRollup();
    // Upgrade3.cpp … Upgrade6.cpp
    Status UpgradeTo3();
    Status MergeRollupRows();
    Status UpgradeTo4();
    int MoveOpenArrivals();
    int BuildPresenceMinutes();
    int GroupRollupByFlush();
    Status UpgradeTo5();
    Status UpgradeTo6();
    // Rollup.cpp
    Status Flush(std::uint64_t watermark);
    int AddRollupRow(const OpenRollup::Row& row, std::int64_t since);
    // PresenceWrite.cpp
    Status WritePresence(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                         Taken& taken);
    Status InsertPresenceMinutes();
    Status ApplyOpenChanges();
    // ZoneWrite.cpp
    Status WriteZones(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                      Taken& taken);
    Status CheckZoneNumbers(const Batch& batch, std::uint64_t before) const;
    Status ApplyStayChanges();
    Status NoteZoneSeen(const Batch& batch);
    Result<std::int64_t> ZoneId(std::string_view name);
    // AlertWrite.cpp
    Status WriteAlerts(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                       Taken& taken);
    Status InsertAlert(const AlertEvent& a);
    Status CheckAlertNumbers(const Batch& batch, std::uint64_t before) const;
    Status ApplyAlertChanges();
    // Retention.cpp
    Result<PruneResult> Prune(std::int64_t nowMs, std::size_t maxRows);
    class Pruning;
    // Writer.cpp
    Status Append(const Batch& batch);
    Status WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken);
    Status FlushBeforeALaterMinute(const Batch& batch, std::uint64_t before);
    Status InsertReads(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                       Taken& taken);
    Status InsertDevices(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                         Taken& taken);
    void CountInMinute(std::int64_t minute, std::uint64_t seq);
    Status UpsertMinutes();
    // Calls `store(event, readerId)` for each event numbered above `before` (a resend's older
    // ones are counted as duplicates) until one fails.
    template <class Event, class Store>
    Status EachNew(std::span<const Event> events, std::uint64_t before, Taken& taken,
                   Store&& store);
    // The reader id of an event numbered `seq`, or kDuplicate (counted in `taken`) when the
    // number is not above `before`.
    static constexpr std::int64_t kDuplicate = 0;
    Result<std::int64_t> Admit(std::uint64_t seq, std::string_view name, std::string_view device,
                               std::uint64_t before, Taken& taken);
    Result<std::int64_t> ReaderId(std::string_view name, std::string_view device);
    Result<std::int64_t> LookUpReader(std::string_view name, std::string_view device);
    Status SetMeta(const char* key, std::int64_t value);
    Result<std::int64_t> QueryInt(const char* text, std::int64_t fallback);
    // Runs `work` in one write transaction. When it fails or the commit does (`commitFailure`
    // says what was lost), all is rolled back and the memory marked stale.
    template <typename Work>
    Status InTransaction(const char* commitFailure, Work&& work);

    Error Fail(int rc, std::string_view what) const {
        return sql::ErrorOf(db, rc, path + ": " + std::string(what));
    }
    // A row of `seq` that could not be stored: a number used twice is the caller's fault.
    Error StoreFailure(int rc, std::uint64_t seq) const;
    void RollBack();
};

template <class Event, class Store>
Status Writer::Impl::EachNew(std::span<const Event> events, std::uint64_t before, Taken& taken,
                             Store&& store) {
    for (const Event& event : events) {
        const Result<std::int64_t> id = Admit(event.seq, event.reader, event.device, before, taken);
        if (!id) {
            return id.error();
        }
        if (id.value() == kDuplicate) {
            continue;
        }
        if (Status st = store(event, id.value()); !st) {
            return st;
        }
    }
    return {};
}

template <typename Work>
Status Writer::Impl::InTransaction(const char* commitFailure, Work&& work) {
    int rc = begin.Step();
    begin.Reset();
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot begin a transaction");
    }
    Status st = work();
    if (st) {
        rc = commit.Step();
        commit.Reset();
        if (rc != SQLITE_DONE) {
            st = Fail(rc, commitFailure);
        }
    }
    if (!st) {
        RollBack();
        stale = true;
    }
    return st;
}

}  // namespace trelvane::history
