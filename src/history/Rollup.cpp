// The open rollup in memory, and the flush that stores its changed buckets.

#include "history/Rollup.h"

#include <algorithm>

#include "history/WriterImpl.h"

namespace trelvane::history {

using schema::MinuteOf;

void OpenRollup::Add(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::int64_t reader,
                     bool keepSeq) {
    const std::int64_t minute = MinuteOf(time);
    const std::uint32_t at = buckets_.Get(BucketKeyOf(SlotOf(minute), tag));
    Bucket& b = buckets_.At(at);
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
        openSeqs_.push_back(OpenSeq{at, seq});
        ++b.seqCount;
    }
    b.dirty = true;
    Visit& v = visits_.At(visits_.Get(VisitKeyOf(at, reader)));
    v.lastTime = std::max(v.lastTime, time);
    ++openReads_;
    maxMinute_ = std::max(maxMinute_, minute);
}

std::uint32_t OpenRollup::SlotOf(std::int64_t minute) {
    if (minute != lastMinute_) {
        const auto [slot, added] = slotOfMinute_.FindOrInsert(
            MinuteKeyOf(minute), static_cast<std::uint32_t>(minutes_.size()));
        if (added) {
            minutes_.push_back(minute);
        }
        lastMinute_ = minute;
        lastSlot_ = *slot;
    }
    return lastSlot_;
}

// The kept numbers and the readers by bucket (counting sorts: each bucket's numbers stay in
// arrival order).
void OpenRollup::GroupByBucket() {
    const std::size_t n = buckets_.Size();
    seqStart_.assign(n + 1, 0);
    for (const OpenSeq& o : openSeqs_) {
        ++seqStart_[o.bucket + 1];
    }
    visitStart_.assign(n + 1, 0);
    for (std::uint32_t i = 0; i < visits_.Size(); ++i) {
        ++visitStart_[HighOf(visits_.KeyAt(i)) + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        seqStart_[i + 1] += seqStart_[i];
        visitStart_[i + 1] += visitStart_[i];
    }
    seqsByBucket_.resize(openSeqs_.size());
    readersByBucket_.resize(visits_.Size());
    std::vector<std::uint32_t>& fill = changed_;  // as a cursor per bucket, refilled by Changed
    fill.assign(seqStart_.begin(), seqStart_.end() - 1);
    for (const OpenSeq& o : openSeqs_) {
        seqsByBucket_[fill[o.bucket]++] = o.seq;
    }
    fill.assign(visitStart_.begin(), visitStart_.end() - 1);
    for (std::uint32_t i = 0; i < visits_.Size(); ++i) {
        const std::uint64_t visit = visits_.KeyAt(i);
        readersByBucket_[fill[HighOf(visit)]++] =
            schema::ReaderLast{std::int64_t{LowOf(visit)}, visits_.At(i).lastTime};
    }
}

const std::vector<std::uint32_t>& OpenRollup::Changed() {
    GroupByBucket();
    changed_.clear();
    for (std::uint32_t i = 0; i < buckets_.Size(); ++i) {
        if (buckets_.At(i).dirty) {
            changed_.push_back(i);
        }
    }
    std::sort(changed_.begin(), changed_.end(),
              [&](std::uint32_t a, std::uint32_t b) { return KeyOf(a) < KeyOf(b); });
    return changed_;
}

OpenRollup::Row OpenRollup::RowOf(std::uint32_t i) {
    Bucket& b = buckets_.At(i);
    const std::span<std::uint64_t> seqs(seqsByBucket_.data() + seqStart_[i],
                                        seqStart_[i + 1] - seqStart_[i]);
    const bool listed = b.seqCount == b.count;
    if (listed && !std::is_sorted(seqs.begin(), seqs.end())) {
        std::sort(seqs.begin(), seqs.end());
    }
    const std::span<schema::ReaderLast> readers(readersByBucket_.data() + visitStart_[i],
                                                visitStart_[i + 1] - visitStart_[i]);
    std::sort(readers.begin(), readers.end(),
              [](const schema::ReaderLast& x, const schema::ReaderLast& y) {
                  return x.reader < y.reader;
              });
    return Row{KeyOf(i), b, listed, seqs, readers};
}

void OpenRollup::Flushed(bool keepReads) {
    if (keepReads) {
        Clear();
        return;
    }
    openSeqs_.clear();
    openReads_ = 0;
    KeepRecentMinutes();
}

// The buckets of the last two minutes stay, renumbered, and their readers with them.
void OpenRollup::KeepRecentMinutes() {
    constexpr std::uint32_t kNone = OpenTable<Bucket>::kNone;
    movedSlots_.assign(minutes_.size(), kNone);
    std::uint32_t kept = 0;
    for (std::uint32_t slot = 0; slot < minutes_.size(); ++slot) {
        if (minutes_[slot] >= maxMinute_ - 1) {
            minutes_[kept] = minutes_[slot];
            movedSlots_[slot] = kept++;
        }
    }
    minutes_.resize(kept);
    slotOfMinute_.ClearKeepingMemory();
    for (std::uint32_t slot = 0; slot < kept; ++slot) {
        slotOfMinute_.Insert(MinuteKeyOf(minutes_[slot]), slot);
    }
    lastMinute_ = INT64_MIN;
    buckets_.Rebuild(
        [&](std::uint64_t key) -> std::optional<std::uint64_t> {
            const std::uint32_t slot = movedSlots_[HighOf(key)];
            return slot == kNone ? std::nullopt : std::optional(BucketKeyOf(slot, LowOf(key)));
        },
        movedBuckets_);
    visits_.Rebuild(
        [&](std::uint64_t key) -> std::optional<std::uint64_t> {
            const std::uint32_t bucket = movedBuckets_[HighOf(key)];
            return bucket == kNone ? std::nullopt : std::optional(VisitKeyOf(bucket, LowOf(key)));
        },
        movedVisits_);
}

void OpenRollup::Clear() {
    minutes_.clear();
    slotOfMinute_.ClearKeepingMemory();
    lastMinute_ = INT64_MIN;
    buckets_.Clear();
    visits_.Clear();
    openSeqs_.clear();
    openReads_ = 0;
    maxMinute_ = INT64_MIN;
}

// Writes every changed open bucket (in key order, which is the table's: the rows land at its
// end) and moves the watermark. Runs inside the caller's transaction.
Status Writer::Impl::Flush(std::uint64_t watermark) {
    // The rows of a flush share `since`, the watermark their reads all lie above: keyed by it
    // after the minute, they land at the minute's end of the table even when a minute takes
    // many flushes. Counts-only rows stay where they are and are updated in place.
    const std::int64_t since = options.keepReads ? static_cast<std::int64_t>(rollupSeq) : 0;
    for (const std::uint32_t i : rollup.Changed()) {
        const OpenRollup::Row row = rollup.RowOf(i);
        if (const int rc = AddRollupRow(row, since); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the rollup");
        }
        row.bucket.dirty = false;
    }
    if (const int rc = upsertRollups.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store the rollup");
    }
    if (Status st = SetMeta("rollup_seq", static_cast<std::int64_t>(watermark)); !st) {
        return st;
    }
    rollupSeq = watermark;
    rollup.Flushed(options.keepReads);
    return {};
}

int Writer::Impl::AddRollupRow(const OpenRollup::Row& row, std::int64_t since) {
    const Bucket& b = row.bucket;
    sql::MultiRowInsert& s = upsertRollups;
    s.Add(static_cast<std::int64_t>(b.firstSeq));
    s.Add(row.key.minute);
    s.Add(since);
    s.Add(std::int64_t{row.key.tag});
    s.Add(static_cast<std::int64_t>(b.lastSeq));
    s.Add(b.firstTime);
    s.Add(b.lastTime);
    s.Add(b.count);
    if (row.listed) {
        schema::EncodeSeqList(row.seqs, blob);
        s.AddBlob(blob);  // an empty blob is still a list (of the first number alone)
    } else {
        s.AddNull();
    }
    schema::EncodeReaderList(row.key.minute, row.readers, readerBlob);
    s.AddBlob(readerBlob);
    return s.EndRow();
}

}  // namespace trelvane::history
