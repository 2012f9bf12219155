#include "service/RuleStage.h"

#include "service/ZoneStage.h"

namespace trelvane {
namespace {

constexpr RuleEngine::ReaderId kUnresolved = UINT32_MAX;

}  // namespace

void RuleStage::Start(RuleSetup setup) {
    std::lock_guard lock(mutex_);
    site_ = std::move(setup.site);
    codec_ = TextCodec::Usable(setup.codePage);
    engine_ = RuleEngine(setup.goneAfterMs);
    engine_.Restore(std::move(setup.restored));
    snapshot_.reset();
    rules_.clear();
    readerOfName_.clear();
    active_ = false;
}

void RuleStage::Lock() {
    if (!passLock_.owns_lock()) {
        passLock_.lock();
    }
}

RuleEngine::Emit RuleStage::EmitInto(EventBatch& batch) {
    return [&batch](const events::Alert& alert) {
        events::AlertRow row = events::Owned(alert);
        row.seq = batch.TakeSeq();
        const Sequence seq = row.seq;
        batch.alerts.push_back(std::move(row));
        return seq;
    };
}

void RuleStage::BeginPass(EventBatch& batch, const ZoneStage& zones) {
    passReaders_.clear();
    if (site_ == nullptr) {
        return;
    }
    std::shared_ptr<const site::Snapshot> current = site_->Current();
    if (current != snapshot_) {
        const std::vector<site::Rule> rules(current->Rules().begin(), current->Rules().end());
        std::vector<RuleEngine::InZone> stays;
        if (rules != rules_ || snapshot_ == nullptr) {
            for (const ZoneTracker::Stay& stay : zones.Stays("")) {
                stays.push_back({stay.tag, stay.zone, stay.reader, stay.sinceMs});
            }
        }
        Lock();
        snapshot_ = std::move(current);
        rules_ = rules;
        readerOfName_.clear();  // a reader's zone may have changed
        engine_.SetRules(rules, snapshot_, stays, batch.timeMs, EmitInto(batch));
        active_ = !engine_.Empty();
    }
    std::vector<Ack> acks;
    {
        std::lock_guard lock(acksMutex_);
        acks.swap(acks_);
    }
    if (!acks.empty()) {
        Lock();
        for (const Ack& ack : acks) {
            engine_.Acknowledge(ack.raised, ack.by, ack.note, batch.timeMs, EmitInto(batch));
        }
    }
    if (active_) {
        Lock();
    }
}

RuleEngine::ReaderId RuleStage::ReaderOf(std::uint32_t device, const EventBatch& batch) {
    if (device >= passReaders_.size()) {
        passReaders_.resize(device + 1, kUnresolved);
    }
    RuleEngine::ReaderId& id = passReaders_[device];
    if (id == kUnresolved) {
        const std::string& name = batch.devices[device].name;
        auto found = readerOfName_.find(name);
        if (found == readerOfName_.end()) {
            found = readerOfName_.emplace(name, engine_.Reader(codec_.ToUtf8(name))).first;
        }
        id = found->second;
    }
    return id;
}

void RuleStage::OnRead(const ReadEvent& read, EventBatch& batch) {
    if (!active_) {
        return;
    }
    engine_.OnRead(read.report.tag, ReaderOf(read.device, batch), read.timeMs, EmitInto(batch));
}

void RuleStage::EndPass(EventBatch& batch) {
    if (active_) {
        Lock();
        const RuleEngine::Emit emit = EmitInto(batch);
        // Zone events first: the alerts they cause are appended (and numbered) after them.
        const std::size_t zoneEvents = batch.zones.size();
        for (std::size_t i = 0; i < zoneEvents; ++i) {
            const ZoneEvent& z = batch.zones[i];
            engine_.OnZone(batch.View(z, codec_.ToUtf8(batch.devices[z.device].name)), emit);
        }
        for (const DeviceEvent& d : batch.deviceEvents) {
            if (d.kind == DeviceEventKind::kReadingStarted ||
                d.kind == DeviceEventKind::kReadingStopped || d.kind == DeviceEventKind::kRemoved) {
                engine_.OnReader(ReaderOf(d.device, batch),
                                 d.kind == DeviceEventKind::kReadingStarted, d.timeMs, emit);
            }
        }
    }
    if (passLock_.owns_lock()) {
        passLock_.unlock();
    }
}

void RuleStage::Expire(std::int64_t nowMs, EventBatch& batch) {
    if (!active_) {
        return;
    }
    Lock();
    engine_.Expire(nowMs, EmitInto(batch));
}

std::vector<RuleEngine::Open> RuleStage::OpenAlerts() const {
    std::lock_guard lock(mutex_);
    return engine_.OpenAlerts();
}

std::vector<std::pair<std::string, std::size_t>> RuleStage::OpenByRule() const {
    std::lock_guard lock(mutex_);
    return engine_.OpenByRule();
}

std::uint64_t RuleStage::Suppressed() const {
    std::lock_guard lock(mutex_);
    return engine_.Suppressed();
}

bool RuleStage::Acknowledge(Sequence raised, std::string by, std::string note) {
    {
        std::lock_guard lock(mutex_);
        if (!engine_.IsOpen(raised)) {
            return false;
        }
    }
    std::lock_guard lock(acksMutex_);
    acks_.push_back(Ack{raised, std::move(by), std::move(note)});
    return true;
}

}  // namespace trelvane
