#include "service/ZoneStage.h"

#include <algorithm>

namespace trelvane {

void ZoneStage::Start(ZoneSetup setup, Sequence firstSeq) {
    std::lock_guard lock(mutex_);
    countedThrough_ = firstSeq - 1;
    site_ = setup.site;
    deviceFor_ = std::move(setup.deviceFor);
    codec_ = TextCodec::Usable(setup.codePage);
    tracker_ = ZoneTracker(setup.exitAfterMs, setup.moveAfterMs);
    tracker_.SetSeen(
        [this](std::uint32_t tag, std::int64_t lastSeenMs) {
            batch_->zoneSeen.push_back(ZoneSeen{tag, lastSeenMs});
        },
        kSeenEveryMs);
    // Oldest last read first: each goes to the back of the tracker's order.
    std::sort(setup.restored.begin(), setup.restored.end(),
              [](const auto& a, const auto& b) { return a.lastSeenMs < b.lastSeenMs; });
    for (const ZoneTracker::Stay& stay : setup.restored) {
        tracker_.Restore(stay);
    }
    snapshot_.reset();
    zoneOfName_.clear();
    active_ = false;
}

void ZoneStage::BeginPass(EventBatch& batch) {
    batch_ = &batch;
    passRefs_.clear();
    passResolved_.clear();
    passZones_.clear();
    if (site_ == nullptr) {
        return;
    }
    std::shared_ptr<const site::Snapshot> current = site_->Current();
    if (current != snapshot_) {
        passLock_.lock();
        Apply(current, batch);
    }
}

void ZoneStage::Apply(const std::shared_ptr<const site::Snapshot>& snapshot, EventBatch& batch) {
    snapshot_ = snapshot;
    zoneOfName_.clear();
    // Tags of a zone that is gone exit now; the rest keep their zone until the next reads.
    tracker_.ExitZones(
        [&](std::string_view zone) { return snapshot_->ZoneNamed(zone).has_value(); },
        batch.timeMs, EmitInto(batch));
    active_ = !snapshot_->Zones().empty();
}

ZoneTracker::Emit ZoneStage::EmitInto(EventBatch& batch) {
    return [this, &batch](const ZoneTracker::Change& change) {
        batch.zones.push_back(ZoneEvent{batch.TakeSeq(), change.timeMs, change.tag, change.kind,
                                        ZoneNameFor(batch, change.zone),
                                        deviceFor_(batch, change.reader, change.device),
                                        change.sinceMs, change.lastSeenMs});
    };
}

const ZoneTracker::Ref& ZoneStage::RefOf(std::uint32_t device, const EventBatch& batch) {
    if (device >= passRefs_.size()) {
        passRefs_.resize(device + 1);
        passResolved_.resize(device + 1);
    }
    if (!passResolved_[device]) {
        passResolved_[device] = true;
        const EventDevice& d = batch.devices[device];
        auto found = zoneOfName_.find(d.name);
        if (found == zoneOfName_.end()) {
            const std::uint32_t zone = snapshot_->ZoneOfReader(codec_.ToUtf8(d.name));
            found = zoneOfName_
                        .emplace(d.name, zone == site::Snapshot::kNoZone
                                             ? std::string()
                                             : snapshot_->Zones()[zone].name)
                        .first;
        }
        if (!found->second.empty()) {
            passRefs_[device] = tracker_.Resolve(found->second, d.name, d.key);
        }
    }
    return passRefs_[device];
}

void ZoneStage::OnRead(const ReadEvent& read, EventBatch& batch) {
    const ZoneTracker::Ref& ref = RefOf(read.device, batch);
    if (ref.zone == detail::NamePool::kNone) {
        return;
    }
    if (!passLock_.owns_lock()) {
        passLock_.lock();
    }
    tracker_.OnRead(read.report.tag, ref, read.timeMs, EmitInto(batch));
}

void ZoneStage::Expire(std::int64_t nowMs, EventBatch& batch) {
    if (!passLock_.owns_lock()) {
        passLock_.lock();
    }
    tracker_.Expire(nowMs, EmitInto(batch));
}

void ZoneStage::RecordAllSeen(EventBatch& batch) {
    if (!passLock_.owns_lock()) {
        passLock_.lock();
    }
    batch_ = &batch;
    tracker_.TellAllSeen();
}

void ZoneStage::EndPass() {
    if (!passRefs_.empty() && !passLock_.owns_lock()) {
        passLock_.lock();
    }
    for (const ZoneTracker::Ref& ref : passRefs_) {
        tracker_.Release(ref);
    }
    passRefs_.clear();
    if (passLock_.owns_lock()) {
        // Every number the pass took so far is in the state now; later passes lock again.
        countedThrough_ = batch_->nextSeq - 1;
        passLock_.unlock();
    }
    batch_ = nullptr;
}

std::uint32_t ZoneStage::ZoneNameFor(EventBatch& batch, std::string_view zone) {
    const auto found = passZones_.find(std::string(zone));
    if (found != passZones_.end()) {
        return found->second;
    }
    batch.zoneNames.emplace_back(zone);
    const auto index = static_cast<std::uint32_t>(batch.zoneNames.size() - 1);
    passZones_.emplace(std::string(zone), index);
    return index;
}

ZoneTracker::Stay ZoneStage::InUtf8(ZoneTracker::Stay stay) const {
    stay.reader = codec_.ToUtf8(stay.reader);
    return stay;
}

std::optional<ZoneTracker::Stay> ZoneStage::StayOf(std::uint32_t tag) const {
    std::lock_guard lock(mutex_);
    std::optional<ZoneTracker::Stay> stay = tracker_.StayOf(tag);
    if (stay) {
        stay = InUtf8(std::move(*stay));
    }
    return stay;
}

std::vector<ZoneTracker::Stay> ZoneStage::Stays(const std::string& zone) const {
    std::lock_guard lock(mutex_);
    std::vector<ZoneTracker::Stay> stays = tracker_.Stays(zone);
    for (ZoneTracker::Stay& stay : stays) {
        stay = InUtf8(std::move(stay));
    }
    return stays;
}

std::vector<std::pair<std::string, std::size_t>> ZoneStage::Counts() const {
    std::lock_guard lock(mutex_);
    return tracker_.Counts();
}

ZoneStage::Counted ZoneStage::CountsThrough() const {
    std::lock_guard lock(mutex_);
    return {tracker_.Counts(), countedThrough_};
}

std::size_t ZoneStage::InZones() const {
    std::lock_guard lock(mutex_);
    return tracker_.InZones();
}

}  // namespace trelvane
