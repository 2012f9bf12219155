#pragma once

// The tag table: one record for every distinct tag ID read since the service started or the
// records were last cleared, with the device that read it last, when, and how often.
//
// Threads: RecordRead runs on the parse thread; RefreshTagList and ClearAllRecords run on the
// user-interface thread (one thread for both); Size, Find and TotalReads from anywhere. One
// mutex guards the table; it is never held while the list is being changed, so a refresh that
// appends many rows does not stall the parse thread.
//
// Refresh cost follows the number of IDs read since the last refresh, not the table size:
// RecordRead queues each record it changes once, and the refresh takes that queue. The list's
// Version tells the store whether the list it is handed is the one it last brought up to date
// (in that state); if not, it replays every record, which gives the same rows as walking the
// whole table.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "protocol/TagReport.h"
#include "records/NamePool.h"
#include "records/TagListModel.h"
#include "records/TagStorage.h"

namespace trelvane {

// One tag ID's record as the rest of the program sees it (the ID is the key, not a field).
struct CIdCardInfo {
    std::string deviceName;  // device that reported the last read (raw bytes)
    std::string reserved = "111111111111";
    std::string lastReadTime;
    std::int32_t readCount = 0;
};

// The read time text of a report: the reader's own clock when the report carries it
// ("%04d-%02d-%02d %02d:%02d:%02d" of its fields, unchecked), otherwise the PC's time `pcNow`
// ("%Y-%m-%d %H:%M:%S"). What the tag list shows, the daily log writes and the export holds.
std::string ReadTimeText(const TagReport& report, const LocalDateTime& pcNow);

class TagStore {
  public:
    // Records one tag report read by `deviceName` (raw bytes: the name the reader reported, or
    // its device key) at the PC's time `pcNow`.
    void RecordRead(std::string_view deviceName, const TagReport& report,
                    const LocalDateTime& pcNow);
    // Records a run of reports of one device, in order, under one lock: what the parse thread
    // does with the reads of one deframing. `report(item)` gives the TagReport of an item.
    template <typename Items, typename Report>
    void RecordReads(std::string_view deviceName, const Items& items, Report report,
                     const LocalDateTime& pcNow) {
        std::size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            const std::uint32_t name = names_.Acquire(deviceName);
            for (const auto& item : items) {
                RecordLocked(name, report(item), pcNow);
                ++count;
            }
            names_.Release(name);
        }
        totalReads_.fetch_add(count, std::memory_order_relaxed);
    }

    // Brings `list` up to date with the table: an ID without a row gets one at the end (IDs
    // new in the same refresh in the byte-wise order of their texts), an existing row gets its
    // device, count and time rewritten. Rows are never removed or reordered. An empty table
    // changes nothing.
    TagListUpdate RefreshTagList(TagListModel& list);

    // Empties the table and the list; the next row created is numbered 1 again.
    void ClearAllRecords(TagListModel& list);

    // Distinct IDs in the table.
    std::size_t Size() const;
    std::optional<CIdCardInfo> Find(std::string_view idText) const;
    // Reads recorded since construction (Clear does not reset it), for a reads/s figure.
    std::uint64_t TotalReads() const { return totalReads_.load(std::memory_order_relaxed); }

    // Device names the table holds (each is freed with the last record that names it).
    std::size_t LiveNames() const;
    // Approximate heap bytes held by the table.
    std::size_t MemoryBytes() const;

  private:
    struct Slot {
        std::uint32_t id;
        std::uint32_t device;  // index into names_
        std::int32_t readCount;
        bool queued;  // in changed_, i.e. not yet shown by a refresh
        detail::ReadStamp time;
    };
    // One record as a refresh took it out of the table.
    struct Change {
        std::uint32_t id;
        std::uint32_t name;  // index into the refresh's own copy of the names
        std::int32_t readCount;
        detail::ReadStamp time;
    };

    // One read under the lock; `name` is a live index in names_ (one more reference is taken
    // for each record that comes to name it).
    void RecordLocked(std::uint32_t name, const TagReport& report, const LocalDateTime& pcNow);
    void QueueLocked(std::uint32_t slot);
    void TakeChangesLocked(std::vector<Change>& changes, std::vector<std::string>& names);

    mutable std::mutex mutex_;
    // Guarded by mutex_:
    std::vector<Slot> slots_;  // in order of first read
    detail::IdIndex index_;    // ID -> slot
    detail::NamePool names_;
    std::vector<std::uint32_t> changed_;  // slots changed since the last refresh, each once
    // Per name index: the refresh pass that last copied it, and where to (dedupes the copies).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> nameCopy_;
    std::uint32_t pass_ = 0;
    std::uint64_t listVersion_ = 0;  // Version of the list after our last refresh or clear

    std::atomic<std::uint64_t> totalReads_{0};
};

}  // namespace trelvane
