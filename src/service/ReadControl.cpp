#include "service/ReadControl.h"

namespace trelvane {

StartupHandshake::StartupHandshake(const DeviceTable& table, Scheduler& scheduler,
                                   const Clock& clock, std::string key,
                                   std::shared_ptr<DeviceSocket> socket, SequenceTiming timing)
    : table_(table),
      scheduler_(scheduler),
      clock_(clock),
      key_(std::move(key)),
      socket_(std::move(socket)),
      timing_(timing) {}

void StartupHandshake::Start() {
    Step();
}

void StartupHandshake::Cancel() {
    if (timer_ != 0) {
        scheduler_.Cancel(timer_);
        timer_ = 0;
    }
    stage_ = Stage::kDone;
}

void StartupHandshake::Schedule(std::chrono::milliseconds pause) {
    // The scheduled callback owns the sequence between steps.
    timer_ = scheduler_.After(pause, [self = shared_from_this()] {
        self->timer_ = 0;
        self->Step();
    });
}

void StartupHandshake::GiveUp(CDeviceInfo& device) {
    gaveUp_ = true;
    stage_ = Stage::kDone;
    socket_->Close();
    device.online = false;
}

// One step per pause. The stage's condition is tested when the step begins, never between a
// send and its pause; after the last try's pause the clock and start stages give up without
// testing again, while identification tests its flag once more first.
void StartupHandshake::Step() {
    const DeviceRecord device = table_.Find(key_);
    if (!device || device->socket != socket_) {
        stage_ = Stage::kDone;  // removed, disconnected or replaced: nothing of ours to touch
        return;
    }
    for (;;) {
        switch (stage_) {
            case Stage::kIdentify:
                if (!device->registrationPending) {
                    stage_ = Stage::kClock;
                    tries_ = 0;
                    continue;
                }
                if (tries_ == timing_.triesPerStage) {
                    GiveUp(*device);
                    return;
                }
                ++tries_;
                SendCommand(*socket_, CMD_QUERY_INFO, kItemDeviceName, clock_);
                Schedule(timing_.identifyPause);
                return;
            case Stage::kClock:
                if (tries_ == timing_.triesPerStage) {
                    GiveUp(*device);
                    return;
                }
                if (device->clockSet) {
                    stage_ = Stage::kStartReading;
                    tries_ = 0;
                    continue;
                }
                ++tries_;
                SendCommand(*socket_, CMD_SET_TIME, 0, clock_);
                Schedule(timing_.clockPause);
                return;
            case Stage::kStartReading:
                if (tries_ == timing_.triesPerStage) {
                    GiveUp(*device);
                    return;
                }
                if (device->reading) {
                    stage_ = Stage::kDone;
                    return;
                }
                ++tries_;
                SendCommand(*socket_, CMD_START_READ, 0, clock_);
                Schedule(timing_.startPause);
                return;
            case Stage::kDone:
                return;
        }
    }
}

StopReadSequence::StopReadSequence(DeviceRecord device, Scheduler& scheduler, const Clock& clock,
                                   SequenceTiming timing, std::function<void()> onCleared)
    : device_(std::move(device)),
      scheduler_(scheduler),
      clock_(clock),
      timing_(timing),
      onCleared_(std::move(onCleared)) {}

void StopReadSequence::Start() {
    Step();
}

void StopReadSequence::Cancel() {
    if (timer_ != 0) {
        scheduler_.Cancel(timer_);
        timer_ = 0;
    }
    tries_ = timing_.stopTries;
}

void StopReadSequence::Step() {
    while (tries_ < timing_.stopTries) {
        ++tries_;
        const auto& socket = device_->socket;
        if (socket && SendCommand(*socket, CMD_STOP_READ, 0, clock_)) {
            timer_ = scheduler_.After(timing_.stopPause, [self = shared_from_this()] {
                self->timer_ = 0;
                if (self->device_->reading.exchange(false) && self->onCleared_) {
                    self->onCleared_();
                }
                self->Step();
            });
            return;
        }
    }
}

}  // namespace trelvane
