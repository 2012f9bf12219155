#include "records/TagStore.h"

#include <algorithm>
#include <span>
#include <utility>

#include "records/TagId.h"

namespace trelvane {

namespace {

detail::ReadStamp StampOf(const TagReport& report, const LocalDateTime& pcNow) {
    if (const auto& t = report.readerTime) {
        return detail::ReadStamp{static_cast<std::uint16_t>(2000 + t->year),
                                 t->month,
                                 t->day,
                                 t->hour,
                                 t->minute,
                                 t->second,
                                 true};
    }
    return detail::ReadStamp{static_cast<std::uint16_t>(pcNow.year),
                             static_cast<std::uint8_t>(pcNow.month),
                             static_cast<std::uint8_t>(pcNow.day),
                             static_cast<std::uint8_t>(pcNow.hour),
                             static_cast<std::uint8_t>(pcNow.minute),
                             static_cast<std::uint8_t>(pcNow.second),
                             false};
}

detail::TimeText TextOf(const detail::ReadStamp& stamp) {
    if (stamp.fromReader) {
        const ReaderTime time{static_cast<std::uint8_t>(stamp.year - 2000),
                              stamp.month,
                              stamp.day,
                              stamp.hour,
                              stamp.minute,
                              stamp.second};
        return detail::TimeText(ReaderTimeText(time));
    }
    LocalDateTime local;
    local.year = stamp.year;
    local.month = stamp.month;
    local.day = stamp.day;
    local.hour = stamp.hour;
    local.minute = stamp.minute;
    local.second = stamp.second;
    return detail::TimeText(FormatDateTime(local));
}

}  // namespace

std::string ReadTimeText(const TagReport& report, const LocalDateTime& pcNow) {
    return report.readerTime ? ReaderTimeText(*report.readerTime) : FormatDateTime(pcNow);
}

void TagStore::RecordRead(std::string_view deviceName, const TagReport& report,
                          const LocalDateTime& pcNow) {
    RecordReads(
        deviceName, std::span(&report, 1), [](const TagReport& r) { return r; }, pcNow);
}

void TagStore::RecordLocked(std::uint32_t name, const TagReport& report,
                            const LocalDateTime& pcNow) {
    const std::uint32_t id = report.tag;
    const detail::ReadStamp time = StampOf(report, pcNow);
    const auto [found, added] = index_.FindOrInsert(id, static_cast<std::uint32_t>(slots_.size()));
    const std::uint32_t at = *found;
    if (added) {
        names_.AddReference(name);
        slots_.push_back(Slot{id, name, 1, false, time});
        QueueLocked(at);
        return;
    }
    Slot& slot = slots_[at];
    slot.readCount = detail::AddOneRead(slot.readCount);
    if (slot.device != name) {  // one index per live name: indices compare as the names do
        names_.AddReference(name);
        names_.Release(slot.device);
        slot.device = name;
    }
    slot.time = time;
    QueueLocked(at);
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
            list.UpdateRow(*row, names[change.name], change.readCount, TextOf(change.time));
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
        list.AppendRow(change.id, names[change.name], change.readCount, TextOf(change.time));
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
    const std::uint32_t* found = index_.Find(*id);
    if (found == nullptr) {
        return std::nullopt;
    }
    const Slot& slot = slots_[*found];
    CIdCardInfo info;
    info.deviceName = names_.Get(slot.device);
    info.lastReadTime = std::string(TextOf(slot.time).View());
    info.readCount = slot.readCount;
    return info;
}

std::size_t TagStore::LiveNames() const {
    std::lock_guard lock(mutex_);
    return names_.LiveNames();
}

std::size_t TagStore::MemoryBytes() const {
    std::lock_guard lock(mutex_);
    return slots_.capacity() * sizeof(Slot) + index_.MemoryBytes() +
           changed_.capacity() * sizeof(std::uint32_t);
}

}  // namespace trelvane
