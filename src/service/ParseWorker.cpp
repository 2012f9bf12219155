#include "service/ParseWorker.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <cstring>
#include <system_error>

namespace trelvane {
namespace {

constexpr std::size_t kParseRecords = 50;

}  // namespace

ParseWorker::ParseWorker(DeviceTable& devices, TagStore& tags, const Clock& clock,
                         PipelineStats& stats)
    : devices_(devices), tags_(tags), clock_(clock), stats_(stats) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

ParseWorker::~ParseWorker() {
    Stop();
    ::close(wakeFd_);
}

bool ParseWorker::Start(Sequence firstSeq, std::vector<SinkThread*> sinks,
                        std::int64_t departAfterMs, ZoneSetup zones, RuleSetup rules) {
    if (thread_.joinable()) {
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = false;
        queue_.clear();
        queued_.clear();
        controls_.clear();
        blocked_.clear();
    }
    sinks_ = std::move(sinks);
    presence_ = PresenceTracker(departAfterMs);
    zones.deviceFor = [this](EventBatch& batch, std::string_view reader, std::string_view key) {
        return DeviceFor(batch, reader, key);
    };
    zones_.Start(std::move(zones), firstSeq);
    rules_.Start(std::move(rules));
    present_.store(0, std::memory_order_relaxed);
    nextSeq_.store(firstSeq, std::memory_order_relaxed);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ParseWorker::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    queue_.clear();
    queued_.clear();
    controls_.clear();
    blocked_.clear();
    std::lock_guard notifyLock(notifyMutex_);
    notifications_.clear();  // about devices that are gone
}

// ---- event loop side ----

void ParseWorker::Enqueue(const std::string& key, const DeviceRecord& device) {
    {
        std::lock_guard lock(mutex_);
        const auto [it, inserted] = queued_.try_emplace(key, device);
        if (!inserted) {
            it->second = device;
            return;
        }
        queue_.push_back(key);
    }
    wake_.notify_one();
}

void ParseWorker::Block(const std::string& key) {
    std::lock_guard lock(mutex_);
    blocked_.insert(key);
}

void ParseWorker::Unblock(const std::string& key) {
    std::lock_guard lock(mutex_);
    blocked_.erase(key);
}

bool ParseWorker::IsBlocked(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return blocked_.contains(key);
}

void ParseWorker::ClearBlocked() {
    std::lock_guard lock(mutex_);
    blocked_.clear();
}

void ParseWorker::Post(Control control) {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) {
            return;
        }
        controls_.push_back(std::move(control));
    }
    wake_.notify_one();
}

void ParseWorker::PostDeviceEvent(DeviceEventKind kind, const std::string& key,
                                  const std::string& name) {
    Post(Control{Control::Kind::kDevice, kind, key, name, clock_.UnixMillis()});
}

void ParseWorker::PostPresenceCheck() {
    // One check pending at most: while the parse thread waits for a sink, the checks of every
    // second would otherwise pile up. The latest time covers the earlier ones.
    const std::int64_t now = clock_.UnixMillis();
    {
        std::lock_guard lock(mutex_);
        for (Control& control : controls_) {
            if (control.kind == Control::Kind::kPresenceCheck) {
                control.timeMs = now;
                return;
            }
        }
    }
    Post(Control{Control::Kind::kPresenceCheck, {}, {}, {}, now});
}

void ParseWorker::PostDepartAll() {
    Post(Control{Control::Kind::kDepartAll, {}, {}, {}, clock_.UnixMillis()});
}

void ParseWorker::SetDepartAfter(std::int64_t ms) {
    Post(Control{Control::Kind::kDepartAfter, {}, {}, {}, ms});
}

bool ParseWorker::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] {
        return !thread_.joinable() || (queue_.empty() && controls_.empty() && !busy_);
    });
}

bool ParseWorker::Idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && controls_.empty() && !busy_;
}

std::size_t ParseWorker::PendingControls() const {
    std::lock_guard lock(mutex_);
    return controls_.size();
}

std::vector<ParseWorker::Notification> ParseWorker::TakeNotifications() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
    std::vector<Notification> batch;
    std::lock_guard lock(notifyMutex_);
    batch.swap(notifications_);
    return batch;
}

bool ParseWorker::HasNotifications() const {
    std::lock_guard lock(notifyMutex_);
    return !notifications_.empty();
}

// ---- parse thread ----

void ParseWorker::OnDeviceNamed(const std::string& key) {
    Notify({Notification::Kind::kNamed, key});
}

void ParseWorker::OnPageReply(PageReply reply, const std::string& key, bool ok,
                              std::uint8_t command) {
    Notify({Notification::Kind::kPageReply, key, reply, ok, command});
}

void ParseWorker::Notify(Notification notification) {
    bool wake = false;
    {
        std::lock_guard lock(notifyMutex_);
        wake = notifications_.empty();
        notifications_.push_back(std::move(notification));
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

void ParseWorker::Run() {
    pthread_setname_np(pthread_self(), "trelvane-parse");
    std::vector<FrameRecord> records(kParseRecords);
    std::vector<Job> jobs;
    std::vector<Control> controls;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            if (queue_.empty() && controls_.empty()) {
                idle_.notify_all();
            }
            wake_.wait(lock, [this] { return stop_ || !queue_.empty() || !controls_.empty(); });
            // Stop closes every socket first, so what is queued then is all there will be: it
            // was acknowledged to the readers, so it is still parsed (and logged) before the end.
            if (stop_ && queue_.empty() && controls_.empty()) {
                break;
            }
            for (std::string& key : queue_) {
                auto node = queued_.extract(key);
                jobs.push_back(Job{std::move(key), std::move(node.mapped())});
            }
            queue_.clear();
            controls.swap(controls_);
            busy_ = true;
        }
        auto batch = std::make_shared<EventBatch>();
        batch->localTime = clock_.LocalNow();
        batch->timeMs = clock_.UnixMillis();
        batch->firstSeq = batch->nextSeq = nextSeq_.load(std::memory_order_relaxed);
        passNames_.clear();
        rules_.BeginPass(*batch, zones_);  // before the zone stage's: it asks for the stays
        zones_.BeginPass(*batch);
        // A connection comes before what it sent; everything else the event loop reported
        // comes after the reads of the pass (a removed device's last bytes are still parsed).
        for (const Control& control : controls) {
            if (control.kind == Control::Kind::kDevice &&
                control.event == DeviceEventKind::kConnected) {
                ApplyControl(control, *batch);
            }
        }
        // Every device with buffered bytes is served in one wake-up, so no reader's last
        // reports wait for it to send again.
        for (const Job& job : jobs) {
            ParseDevice(job, records, *batch);
        }
        for (const Control& control : controls) {
            if (control.kind != Control::Kind::kDevice ||
                control.event != DeviceEventKind::kConnected) {
                ApplyControl(control, *batch);
            }
        }
        zones_.EndPass();
        rules_.EndPass(*batch);  // after the pass's zone events: its alerts follow them
        jobs.clear();
        controls.clear();
        nextSeq_.store(batch->nextSeq, std::memory_order_relaxed);
        present_.store(presence_.Present(), std::memory_order_relaxed);
        if (!batch->Empty()) {
            stats_.eventsEmitted.fetch_add(batch->EventCount(), std::memory_order_relaxed);
            const std::shared_ptr<const EventBatch> shared = std::move(batch);
            for (SinkThread* sink : sinks_) {
                sink->Push(shared);
            }
        }
    }
}

// Presence follows each read inside the pass, so an arrival comes right after its read.
void ParseWorker::OnRead(const ReadEvent& read, EventBatch& batch) {
    const EventDevice& device = batch.devices[read.device];
    presence_.OnRead(
        read.report.tag, device.name, device.key, read.timeMs,
        [&](const PresenceTracker::Change& change) { EmitPresence(change, batch, read.device); });
    if (zones_.Active()) {
        zones_.OnRead(read, batch);
    }
    rules_.OnRead(read, batch);
}

void ParseWorker::Upcoming(std::uint32_t tag, std::uint32_t device, const EventBatch& batch) {
    presence_.Prefetch(tag, batch.devices[device].name);
}

void ParseWorker::EmitPresence(const PresenceTracker::Change& change, EventBatch& batch,
                               std::uint32_t device) {
    batch.presence.push_back(
        PresenceEvent{batch.TakeSeq(), change.timeMs, change.tag,
                      change.arrive ? PresenceKind::kArrive : PresenceKind::kDepart, device});
}

std::uint32_t ParseWorker::DeviceFor(EventBatch& batch, std::string_view name,
                                     std::string_view key) {
    std::string both;
    both.reserve(name.size() + key.size() + 1);
    both.append(key).append(1, '\0').append(name);
    const auto found = passNames_.find(both);
    if (found != passNames_.end()) {
        return found->second;
    }
    const std::uint32_t index = batch.AddDevice(std::string(key), std::string(name));
    passNames_.emplace(std::move(both), index);
    return index;
}

bool ParseWorker::NameStillConnected(const std::string& removedKey, const std::string& name) const {
    for (const auto& [key, device] : devices_.Entries()) {
        if (key != removedKey && device->DeviceName() == name) {
            return true;
        }
    }
    return false;
}

void ParseWorker::ApplyControl(const Control& control, EventBatch& batch) {
    const auto depart = [&](const PresenceTracker::Change& change) {
        EmitPresence(change, batch, DeviceFor(batch, change.reader, change.device));
    };
    switch (control.kind) {
        case Control::Kind::kDevice: {
            const std::uint32_t device = batch.AddDevice(control.key, control.name);
            batch.deviceEvents.push_back(
                DeviceEvent{batch.TakeSeq(), control.timeMs, control.event, device});
            // A reader that reconnected under a new key keeps what it sees present; its tags
            // depart when its last connection goes.
            if (control.event == DeviceEventKind::kRemoved &&
                !NameStillConnected(control.key, control.name)) {
                presence_.DepartReader(control.name, control.timeMs, depart);
            }
            return;
        }
        case Control::Kind::kPresenceCheck:
            presence_.Expire(control.timeMs, depart);
            zones_.Expire(control.timeMs, batch);
            rules_.Expire(control.timeMs, batch);
            return;
        case Control::Kind::kDepartAll:
            presence_.DepartAll(control.timeMs, depart);
            zones_.RecordAllSeen(batch);
            return;
        case Control::Kind::kDepartAfter:
            presence_.SetDepartAfter(control.timeMs);
            return;
    }
}

void ParseWorker::ParseDevice(const Job& job, std::vector<FrameRecord>& records,
                              EventBatch& batch) {
    const DeviceRecord& device = job.device;
    const std::string name = device->DeviceName();
    DispatchContext context{tags_, *this, batch, 0, this};
    bool added = false;
    // One pass takes at most a ring's worth from the ring, so a reader that streams without a
    // pause cannot keep the pass (and every other reader's batch) from ending.
    std::size_t refilled = 0;
    bool left = false;
    for (;;) {
        const std::size_t n =
            ExtractFrames(device->recvBuffer, device->bufferedBytes, records, device->receiveLock);
        if (n == 0) {
            // Refill from the staging ring what deframing freed, and deframe again. A buffer
            // full of bytes without a start byte can never become a frame: drop those so the
            // reader recovers.
            std::lock_guard lock(device->receiveLock);
            if (IsUndecodableFullBuffer(
                    std::span(device->recvBuffer.data(), device->bufferedBytes))) {
                std::memset(device->recvBuffer.data(), 0, kReceiveBufferSize);
                device->bufferedBytes = 0;
                stats_.bytesDiscarded.fetch_add(kReceiveBufferSize, std::memory_order_relaxed);
            }
            if (refilled >= StagingRing::kMaxCapacity) {
                left = !device->staging.Empty();
                break;
            }
            const std::size_t moved =
                device->staging.PopInto(device->recvBuffer.data() + device->bufferedBytes,
                                        kReceiveBufferSize - device->bufferedBytes);
            device->bufferedBytes += moved;
            refilled += moved;
            if (moved == 0) {
                break;
            }
            continue;
        }
        if (!added) {
            context.device = batch.AddDevice(job.key, name);
            added = true;
        }
        DispatchDeviceFrames(*device, job.key, name, std::span(records.data(), n), context);
        stats_.framesDispatched.fetch_add(n, std::memory_order_relaxed);
    }
    if (left) {
        Enqueue(job.key, device);  // the rest in the next pass, even if the reader sends no more
    }
    if (!IsBlocked(job.key)) {
        return;
    }
    Notify({Notification::Kind::kResume, job.key});
}

}  // namespace trelvane
