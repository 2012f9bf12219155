#pragma once

// The open rollup: the reads after the rollup's watermark, gathered in the writer's memory per
// minute and tag (a bucket) until a flush stores each changed bucket as a tag_minutes row.
// Pure C++; the writer's thread alone.

#include <climits>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "base/KeyIndex.h"
#include "history/Schema.h"

namespace trelvane::history {

// A rollup row being gathered: reads of one tag in one minute, at any reader.
struct BucketKey {
    std::int64_t minute = 0;
    std::uint32_t tag = 0;

    friend bool operator<(const BucketKey& a, const BucketKey& b) {
        return std::tie(a.minute, a.tag) < std::tie(b.minute, b.tag);
    }
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

// Open entries by a 64-bit key, numbered densely in the order they were made (the numbers stay
// until Clear or Rebuild). A busy site opens many at once and all of them go at each flush: the
// index and the arrays allocate nothing per entry, and clearing keeps the memory for the next
// flush.
template <class Data>
class OpenTable {
  public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // The index of the key's entry, made (zeroed) when it is new.
    std::uint32_t Get(std::uint64_t key) {
        const auto [at, made] = index_.FindOrInsert(key, static_cast<std::uint32_t>(keys_.size()));
        if (made) {
            keys_.push_back(key);
            data_.emplace_back();
        }
        return *at;
    }

    std::size_t Size() const { return keys_.size(); }
    bool Empty() const { return keys_.empty(); }
    std::uint64_t KeyAt(std::uint32_t i) const { return keys_[i]; }
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
            if (const std::optional<std::uint64_t> key = keyOf(keys_[i])) {
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
    detail::KeyIndex<std::uint32_t> index_;
    std::vector<std::uint64_t> keys_;
    std::vector<Data> data_;
};

class OpenRollup {
  public:
    // A changed bucket as its row stores it: the reads' numbers ascending (none unless
    // `listed`) and its readers by id, each with its last read time.
    struct Row {
        BucketKey key;
        Bucket& bucket;
        bool listed;
        std::span<const std::uint64_t> seqs;
        std::span<const schema::ReaderLast> readers;
    };

    // A read; its number joins the bucket's list when `keepSeq` (the reads are stored).
    void Add(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::int64_t reader,
             bool keepSeq);

    bool Empty() const { return buckets_.Empty(); }
    std::size_t OpenReads() const { return openReads_; }
    std::int64_t MaxMinute() const { return maxMinute_; }

    // The changed buckets in key order, their numbers and readers grouped for RowOf (valid
    // until the next Add or Flushed).
    const std::vector<std::uint32_t>& Changed();
    Row RowOf(std::uint32_t bucket);

    // After the changed rows are stored. With the reads stored, everything goes (later reads
    // open new rows); without, a bucket stays while its minute may still get reads, its row
    // then updated in place.
    void Flushed(bool keepReads);
    void Clear();

  private:
    // Every key is 64 bits, so that the index's cells are 16 bytes: the open buckets are many and
    // each read looks up two. A bucket is keyed by its minute's slot (the open buckets' minutes,
    // numbered as they come; mostly one or two) and its tag; one reader of a bucket, whose last
    // read there makes the row's ReaderList, by the bucket's index and the reader's id. Neither
    // is ever all ones: slots and indexes stay below the open reads, reader ids below 2^32 - 1.
    static constexpr std::uint64_t BucketKeyOf(std::uint32_t slot, std::uint32_t tag) {
        return std::uint64_t{slot} << 32 | tag;
    }
    static constexpr std::uint64_t VisitKeyOf(std::uint32_t bucket, std::int64_t reader) {
        return std::uint64_t{bucket} << 32 | static_cast<std::uint64_t>(reader);
    }
    static constexpr std::uint32_t HighOf(std::uint64_t key) {
        return static_cast<std::uint32_t>(key >> 32);
    }
    static constexpr std::uint32_t LowOf(std::uint64_t key) {
        return static_cast<std::uint32_t>(key);
    }
    // A minute as a key: its sign bit flipped, so all ones would be INT64_MAX, which MinuteOf
    // never gives.
    static constexpr std::uint64_t MinuteKeyOf(std::int64_t minute) {
        return static_cast<std::uint64_t>(minute) ^ (std::uint64_t{1} << 63);
    }
    std::uint32_t SlotOf(std::int64_t minute);
    BucketKey KeyOf(std::uint32_t bucket) const {
        const std::uint64_t key = buckets_.KeyAt(bucket);
        return BucketKey{minutes_[HighOf(key)], LowOf(key)};
    }
    struct Visit {
        std::int64_t lastTime = INT64_MIN;
    };
    // A read's number, kept for its bucket's SeqList.
    struct OpenSeq {
        std::uint32_t bucket = 0;
        std::uint64_t seq = 0;
    };
    void GroupByBucket();
    void KeepRecentMinutes();

    std::vector<std::int64_t> minutes_;             // by slot
    detail::KeyIndex<std::uint32_t> slotOfMinute_;  // by MinuteKeyOf
    std::int64_t lastMinute_ = INT64_MIN;           // reads come in runs of one minute
    std::uint32_t lastSlot_ = 0;
    OpenTable<Bucket> buckets_;  // by BucketKeyOf
    OpenTable<Visit> visits_;    // by VisitKeyOf
    std::vector<OpenSeq> openSeqs_;
    std::size_t openReads_ = 0;
    std::int64_t maxMinute_ = INT64_MIN;
    // Scratch of Changed (counting sorts: each bucket's numbers stay in arrival order), and of
    // KeepRecentMinutes.
    std::vector<std::uint32_t> seqStart_, visitStart_;  // where each bucket's entries begin
    std::vector<std::uint64_t> seqsByBucket_;
    std::vector<schema::ReaderLast> readersByBucket_;
    std::vector<std::uint32_t> changed_;
    std::vector<std::uint32_t> movedSlots_, movedBuckets_, movedVisits_;
};

}  // namespace trelvane::history
