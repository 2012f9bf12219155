#include "records/TagStore.h"

#include <algorithm>
#include <utility>

#include "records/TagId.h"

namespace trelvane {

std::string TagIdText(const FrameRecord& frame) {
    return TagIdText(TagIdOf(frame));
}

namespace {

// Appends a non-negative value as decimal, zero-padded to `width` digits like "%0*d" (snprintf
// costs a third of a read on the parse thread).
void AppendPadded(std::string& out, int value, int width) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (; width > n; --width) {
        out += '0';
    }
    while (n > 0) {
        out += digits[--n];
    }
}

}  // namespace

std::string TagReadTimeText(const FrameRecord& frame, const LocalDateTime& pcNow) {
    if (frame[frame::kLength] < 15) {
        return FormatDateTime(pcNow);
    }
    // "%04d-%02d-%02d %02d:%02d:%02d"; each field is at most 165 (0xFF), so at most 24 bytes.
    std::string text;
    text.reserve(24);
    AppendPadded(text, 2000 + BcdToBinary(frame[20]), 4);
    text += '-';
    AppendPadded(text, BcdToBinary(frame[19]), 2);
    text += '-';
    AppendPadded(text, BcdToBinary(frame[18]), 2);
    text += ' ';
    AppendPadded(text, BcdToBinary(frame[16]), 2);
    text += ':';
    AppendPadded(text, BcdToBinary(frame[15]), 2);
    text += ':';
    AppendPadded(text, BcdToBinary(frame[14]), 2);
    return text;
}

TagRead TagStore::RecordRead(std::string_view deviceName, const FrameRecord& frame,
                             const LocalDateTime& pcNow) {
    const std::uint32_t id = TagIdOf(frame);
    TagRead read{TagIdText(id), TagReadTimeText(frame, pcNow)};
    const detail::TimeText time(read.readTimeText);
    {
        std::lock_guard lock(mutex_);
        const std::uint32_t found = index_.Find(id);
        if (found == detail::IdIndex::kNone) {
            const auto slot = static_cast<std::uint32_t>(slots_.size());
            slots_.push_back(Slot{id, names_.Acquire(deviceName), 1, false, time});
            index_.Insert(id, slot);
            QueueLocked(slot);
        } else {
            Slot& slot = slots_[found];
            slot.readCount = detail::AddOneRead(slot.readCount);
            if (names_.Get(slot.device) != deviceName) {
                const std::uint32_t name = names_.Acquire(deviceName);
                names_.Release(slot.device);
                slot.device = name;
            }
            slot.time = time;
            QueueLocked(found);
        }
    }
    totalReads_.fetch_add(1, std::memory_order_relaxed);
    return read;
}

void TagStore::QueueLocked(std::uint32_t slot) {
    if (!slots_[slot].queued) {
        slots_[slot].queued = true;
        changed_.push_back(slot);
    }
}

void TagStore::TakeChangesLocked(std::vector<Change>& changes, std::vector<std::string>& names) {
    if (nameCopy_.size() < names_.IndexLimit()) {
        nameCopy_.resize(names_.IndexLimit(), {0, 0});
    }
    if (++pass_ == 0) {  // wrapped: forget every old stamp
        std::fill(nameCopy_.begin(), nameCopy_.end(), std::pair<std::uint32_t, std::uint32_t>{});
        pass_ = 1;
    }
    changes.reserve(changed_.size());
    for (const std::uint32_t index : changed_) {
        Slot& slot = slots_[index];
        slot.queued = false;
        auto& [stamp, copy] = nameCopy_[slot.device];
        if (stamp != pass_) {
            stamp = pass_;
            copy = static_cast<std::uint32_t>(names.size());
            names.push_back(names_.Get(slot.device));
        }
        changes.push_back(Change{slot.id, copy, slot.readCount, slot.time});
    }
    changed_.clear();
}

TagListUpdate TagStore::RefreshTagList(TagListModel& list) {
    std::vector<Change> changes;
    std::vector<std::string> names;
    {
        std::lock_guard lock(mutex_);
        if (slots_.empty()) {
            return {};
        }
        if (list.Version() != listVersion_) {
            // Not the list we last brought up to date: replay every record.
            for (std::uint32_t i = 0; i < slots_.size(); ++i) {
                QueueLocked(i);
            }
        }
        TakeChangesLocked(changes, names);
    }

    TagListUpdate update;
    std::vector<std::uint32_t> updatedRows;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> fresh;  // (sort key, change)
    for (std::uint32_t i = 0; i < changes.size(); ++i) {
        const Change& change = changes[i];
        if (const auto row = list.FindRow(change.id)) {
            list.UpdateRow(*row, names[change.name], change.readCount, change.time);
            updatedRows.push_back(static_cast<std::uint32_t>(*row));
        } else {
            fresh.emplace_back(TagIdSortKey(change.id), i);
        }
    }

    std::sort(fresh.begin(), fresh.end());
    update.appendedFirst = list.RowCount();
    update.appendedCount = fresh.size();
    for (const auto& [key, i] : fresh) {
        const Change& change = changes[i];
        list.AppendRow(change.id, names[change.name], change.readCount, change.time);
    }

    std::sort(updatedRows.begin(), updatedRows.end());
    for (const std::uint32_t row : updatedRows) {
        if (!update.updated.empty() &&
            update.updated.back().first + update.updated.back().count == row) {
            ++update.updated.back().count;
        } else {
            update.updated.push_back(RowRange{row, 1});
        }
    }

    std::lock_guard lock(mutex_);
    listVersion_ = list.Version();
    return update;
}

void TagStore::ClearAllRecords(TagListModel& list) {
    // The old contents are freed after the lock is released.
    std::vector<Slot> slots;
    detail::IdIndex index;
    detail::NamePool names;
    std::vector<std::uint32_t> changed;
    {
        std::lock_guard lock(mutex_);
        slots.swap(slots_);
        std::swap(index, index_);
        std::swap(names, names_);
        changed.swap(changed_);
        nameCopy_.clear();
    }
    list.Clear();
    std::lock_guard lock(mutex_);
    listVersion_ = list.Version();
}

std::size_t TagStore::Size() const {
    std::lock_guard lock(mutex_);
    return slots_.size();
}

std::optional<CIdCardInfo> TagStore::Find(std::string_view idText) const {
    const auto id = ParseTagIdText(idText);
    if (!id) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    const std::uint32_t found = index_.Find(*id);
    if (found == detail::IdIndex::kNone) {
        return std::nullopt;
    }
    const Slot& slot = slots_[found];
    CIdCardInfo info;
    info.deviceName = names_.Get(slot.device);
    info.lastReadTime = std::string(slot.time.View());
    info.readCount = slot.readCount;
    return info;
}

std::size_t TagStore::MemoryBytes() const {
    std::lock_guard lock(mutex_);
    return slots_.capacity() * sizeof(Slot) + index_.MemoryBytes() +
           changed_.capacity() * sizeof(std::uint32_t);
}

}  // namespace trelvane
