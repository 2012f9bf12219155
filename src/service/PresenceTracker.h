#pragma once

// Turns raw reads into presence: a tag arrives at a reader (by the reader's name) at its first
// read there and departs once that reader has not read it for the depart interval. Readers
// report a tag many times a second; consumers want the two moments that matter.
//
// Memory is one entry per (tag, reader) present (about 60 bytes with its index cell), and the
// entries are compacted once most of them have departed.
//
// Cost per read is one probe of a flat index. Entries are kept in order of the second of their
// last read, not the millisecond: a read moves its entry to the back only when it falls in a
// later second than the entry's last, so a tag read forty times a second moves once. An expiry
// check walks from the front and stops at the first entry whose second is too recent to
// depart, so it costs what departs plus at most one second's worth of entries.
//
// Threading: none; the parse worker owns it.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/KeyIndex.h"
#include "records/NamePool.h"

namespace trelvane {

class PresenceTracker {
  public:
    struct Change {
        bool arrive = true;  // false: depart
        std::uint32_t tag = 0;
        std::string_view reader;  // valid during the callback only
        std::int64_t timeMs = 0;
        // The device key the reader had when the tag arrived (a depart names the same one, so
        // the pair is matched wherever it is stored).
        std::string_view device;
    };
    using Emit = std::function<void(const Change&)>;

    explicit PresenceTracker(std::int64_t departAfterMs) : departAfterMs_(departAfterMs) {}

    void SetDepartAfter(std::int64_t ms) { departAfterMs_ = ms; }
    std::int64_t DepartAfterMs() const { return departAfterMs_; }

    // Readers send many reads at once: asking for the index cells of the next few before
    // handling them hides most of the memory latency of a large presence table.
    void Prefetch(std::uint32_t tag, std::string_view reader);
    // A read of `tag` by `reader` at `timeMs`: an arrival when the tag was not present there.
    void OnRead(std::uint32_t tag, std::string_view reader, std::string_view device,
                std::int64_t timeMs, const Emit& emit);
    // Departs every tag its reader has not read for the depart interval (a read exactly that
    // long ago still counts as present), at `nowMs`.
    void Expire(std::int64_t nowMs, const Emit& emit);
    // Departs the tags present at `reader` (its device went), at `nowMs`.
    void DepartReader(std::string_view reader, std::int64_t nowMs, const Emit& emit);
    // Departs everything (the service stops), at `nowMs`.
    void DepartAll(std::int64_t nowMs, const Emit& emit);

    std::size_t Present() const { return present_; }
    // Heap bytes held for the entries and their index.
    std::size_t MemoryBytes() const;

  private:
    static constexpr std::uint32_t kNil = std::numeric_limits<std::uint32_t>::max();
    // In the order list; the time of the last read is in the index, beside the key, so a read
    // that stays within its second touches one cell and nothing else.
    struct Entry {
        std::uint64_t key = 0;     // reader text index << 32 | tag
        std::uint32_t device = 0;  // text index of the device key at arrival
        std::uint32_t prev = kNil;
        std::uint32_t next = kNil;
    };
    struct Presence {
        std::int64_t lastMs = 0;
        std::uint32_t entry = 0;
    };

    static std::uint64_t KeyOf(std::uint32_t reader, std::uint32_t tag) {
        return std::uint64_t{reader} << 32 | tag;
    }
    static std::int64_t SecondOf(std::int64_t ms) {
        return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    }
    void Unlink(std::uint32_t index);
    void LinkBack(std::uint32_t index);
    void Depart(std::uint32_t index, std::int64_t nowMs, const Emit& emit);
    std::int64_t LastMsOf(const Entry& entry) { return index_.Find(entry.key)->lastMs; }
    // Renumbers the entries in order once few of the allocated ones are in use.
    void CompactIfSparse();

    std::int64_t departAfterMs_;
    // Reader names and device keys, with a reference per entry that names them.
    detail::NamePool texts_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> free_;
    std::uint32_t head_ = kNil;  // oldest second of last read first
    std::uint32_t tail_ = kNil;
    std::size_t present_ = 0;
    detail::KeyIndex<Presence> index_;  // KeyOf(reader, tag)
};

}  // namespace trelvane
