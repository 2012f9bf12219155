// The batch: one transaction per Append, its reads, device, presence, zone and alert events, the
// minute index, the rollup's flushes, the reader ids; and the Writer's own small accessors.

#include "history/Writer.h"

#include <algorithm>
#include <climits>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using sql::Stmt;

std::int64_t SizeOr0(const std::filesystem::path& file) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

// Numbers above this do not fit SQLite's integers.
constexpr auto kMaxSeq = static_cast<std::uint64_t>(INT64_MAX);

std::string SeqText(std::uint64_t seq) {
    return "sequence number " + std::to_string(seq);
}

}  // namespace

Error Writer::Impl::StoreFailure(int rc, std::uint64_t seq) const {
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT) {
        return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is used twice"};
    }
    return Fail(rc, "cannot store " + SeqText(seq));
}

void Writer::Impl::RollBack() {
    insertReads.Discard();
    upsertRollups.Discard();
    insertPresence.Discard();
    openArrivals.Discard();
    presenceMinutes.Discard();
    insertZoneEvents.Discard();
    if (sqlite3_get_autocommit(db) == 0) {
        sql::Exec(db, "ROLLBACK");
    }
}

Status Writer::Impl::Append(const Batch& batch) {
    if (stale) {
        if (Status st = Recover(); !st) {
            return st;
        }
    }
    std::uint64_t newLast = lastSeq;
    Taken taken;
    const Status st =
        InTransaction("cannot commit the batch", [&] { return WriteBatch(batch, newLast, taken); });
    if (!st) {
        if (stale) {
            // Best effort now; if the database still refuses, the next Append tries again.
            (void)Recover();
        }
        return st;
    }
    lastSeq = newLast;
    reads += taken.reads;
    deviceEvents += taken.devices;
    presenceEvents += taken.presence;
    zoneEvents += taken.zones;
    alertEvents += taken.alerts;
    duplicates += taken.duplicates;
    return {};
}

Status Writer::Impl::WriteBatch(const Batch& batch, std::uint64_t& newLast, Taken& taken) {
    const std::uint64_t before = lastSeq;
    std::uint64_t maxSeq = before;
    if (Status st = FlushBeforeALaterMinute(batch, before); !st) {
        return st;
    }
    if (Status st = InsertReads(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = InsertDevices(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = WritePresence(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = WriteZones(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = WriteAlerts(batch, before, maxSeq, taken); !st) {
        return st;
    }
    if (Status st = UpsertMinutes(); !st) {
        return st;
    }
    if (!options.keepReads ? !minuteSpans.empty() : rollup.OpenReads() >= schema::kMaxOpenReads) {
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

// A read of a later minute closes the open rollup before it joins.
Status Writer::Impl::FlushBeforeALaterMinute(const Batch& batch, std::uint64_t before) {
    if (!options.keepReads || rollup.Empty()) {
        return {};
    }
    for (const Read& r : batch.reads) {
        if (r.seq > before && MinuteOf(r.timeMs) > rollup.MaxMinute()) {
            return Flush(before);
        }
    }
    return {};
}

// The reads (when kept) into their table, each into the open rollup and its minute's span.
Status Writer::Impl::InsertReads(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                 Taken& taken) {
    minuteSpans.clear();
    Status stored =
        EachNew(batch.reads, before, taken, [&](const Read& r, std::int64_t id) -> Status {
            if (options.keepReads) {
                sql::MultiRowInsert& s = insertReads;
                s.Add(static_cast<std::int64_t>(r.seq));
                s.Add(r.timeMs);
                s.Add(std::int64_t{r.tag});
                s.Add(id);
                if (r.readerTime) {
                    s.Add(static_cast<std::int64_t>(PackReaderTime(*r.readerTime)));
                } else {
                    s.AddNull();
                }
                if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
                    return StoreFailure(rc, static_cast<std::uint64_t>(s.FailedKey()));
                }
            }
            rollup.Add(r.seq, r.timeMs, r.tag, id, options.keepReads);
            CountInMinute(MinuteOf(r.timeMs), r.seq);
            maxSeq = std::max(maxSeq, r.seq);
            ++taken.reads;
            return {};
        });
    if (!stored) {
        return stored;
    }
    if (const int rc = insertReads.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertReads.FailedKey()));
    }
    return {};
}

void Writer::Impl::CountInMinute(std::int64_t minute, std::uint64_t seq) {
    auto span = std::find_if(minuteSpans.begin(), minuteSpans.end(),
                             [&](const MinuteSpan& m) { return m.minute == minute; });
    if (span == minuteSpans.end()) {
        minuteSpans.push_back(MinuteSpan{minute, seq, seq, 0});
        span = minuteSpans.end() - 1;
    }
    span->firstSeq = std::min(span->firstSeq, seq);
    span->lastSeq = std::max(span->lastSeq, seq);
    ++span->count;
}

Status Writer::Impl::InsertDevices(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                   Taken& taken) {
    return EachNew(batch.devices, before, taken, [&](const DeviceEvent& d, std::int64_t id) {
        Stmt& s = insertDevice;
        s.Bind(1, static_cast<std::int64_t>(d.seq));
        s.Bind(2, d.timeMs);
        s.Bind(3, static_cast<std::int64_t>(d.kind));
        s.Bind(4, id);
        const int rc = s.Step();
        s.Reset();
        if (rc != SQLITE_DONE) {
            return Status(StoreFailure(rc, d.seq));
        }
        maxSeq = std::max(maxSeq, d.seq);
        ++taken.devices;
        return Status();
    });
}

// The batch's reads per minute into the minutes table, which turns a time range into a range
// of numbers.
Status Writer::Impl::UpsertMinutes() {
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
    return {};
}

Result<std::int64_t> Writer::Impl::Admit(std::uint64_t seq, std::string_view name,
                                         std::string_view device, std::uint64_t before,
                                         Taken& taken) {
    if (seq <= before) {
        ++taken.duplicates;
        return kDuplicate;
    }
    if (seq > kMaxSeq) {
        return Error{ErrorCode::kBadInput, path + ": " + SeqText(seq) + " is too large"};
    }
    return ReaderId(name, device);
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

Writer::Writer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

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
    c.zoneEvents = impl_->zoneEvents.load();
    c.alertEvents = impl_->alertEvents.load();
    c.duplicates = impl_->duplicates.load();
    c.rowsPruned = impl_->rowsPruned.load();
    c.lostToOutput = impl_->lostToOutput.load();
    c.bytesOnDisk = SizeOr0(impl_->path) + SizeOr0(impl_->path + "-wal");
    return c;
}

}  // namespace trelvane::history
