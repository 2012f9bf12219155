#include "service/Supervision.h"

#include <algorithm>
#include <limits>

#include "protocol/HostCommand.h"

namespace trelvane {

Supervision::Supervision(DeviceTable& devices, Scheduler& scheduler, const Clock& clock,
                         Callbacks callbacks)
    : devices_(devices),
      scheduler_(scheduler),
      clock_(clock),
      callbacks_(std::move(callbacks)),
      lastDaySeen_(clock.LocalNow().day) {}

Supervision::~Supervision() {
    Stop();
}

void Supervision::Start(std::uint32_t refreshSeconds) {
    StartRebuildTimer(refreshSeconds);
    tagTimer_ = scheduler_.Every(kTagRefreshPeriod, [this] {
        callbacks_.refreshTags();
        callbacks_.tick();
    });
    presenceTimer_ = scheduler_.Every(kPresencePeriod, [this] { callbacks_.presenceCheck(); });
}

void Supervision::StartRebuildTimer(std::uint32_t refreshSeconds) {
    if (refreshSeconds == 0) {
        return;
    }
    const auto period = std::min<std::uint64_t>(std::uint64_t{refreshSeconds} * 1000,
                                                std::numeric_limits<int>::max());
    rebuildTimer_ = scheduler_.Every(std::chrono::milliseconds(period), [this] {
        callbacks_.rebuild();
        callbacks_.tick();
    });
}

void Supervision::SetRefreshPeriod(std::uint32_t refreshSeconds) {
    if (rebuildTimer_ != 0) {
        scheduler_.Cancel(rebuildTimer_);
        rebuildTimer_ = 0;
    }
    StartRebuildTimer(refreshSeconds);
}

void Supervision::Stop() {
    for (Scheduler::TimerId* timer : {&rebuildTimer_, &tagTimer_, &presenceTimer_}) {
        if (*timer != 0) {
            scheduler_.Cancel(*timer);
            *timer = 0;
        }
    }
    CancelSequences();
}

void Supervision::StartHandshake(const std::string& key,
                                 const std::shared_ptr<DeviceSocket>& socket) {
    auto handshake = std::make_shared<StartupHandshake>(devices_, scheduler_, clock_, key, socket);
    std::erase_if(handshakes_, [](const auto& w) { return w.expired(); });
    handshakes_.push_back(handshake);
    handshake->Start();
}

void Supervision::StartStopRead(const DeviceRecord& device) {
    std::string key = DeviceKey(device->ip, device->port);
    auto sequence =
        std::make_shared<StopReadSequence>(device, scheduler_, clock_, SequenceTiming{},
                                           [this, key] { callbacks_.readingStopped(key); });
    std::erase_if(stopSequences_, [](const auto& w) { return w.expired(); });
    stopSequences_.push_back(sequence);
    sequence->Start();
}

void Supervision::CancelSequences() {
    for (const auto& weak : handshakes_) {
        if (auto handshake = weak.lock()) {
            handshake->Cancel();
        }
    }
    handshakes_.clear();
    for (const auto& weak : stopSequences_) {
        if (auto sequence = weak.lock()) {
            sequence->Cancel();
        }
    }
    stopSequences_.clear();
    for (const auto& [key, device] : devices_.Entries()) {
        device->registrationPending = false;
    }
}

void Supervision::CalibrationCheck() {
    const LocalDateTime now = clock_.LocalNow();
    if (now.day != lastDaySeen_) {
        calibrationPending_ = true;
        lastDaySeen_ = now.day;
    }
    if (!calibrationPending_) {
        return;
    }
    calibrationPending_ = false;
    for (const auto& [key, device] : devices_.Entries()) {
        if (device->online && device->socket) {
            SendCommand(*device->socket, CMD_SET_TIME, 0, clock_);
        }
    }
}

}  // namespace trelvane
