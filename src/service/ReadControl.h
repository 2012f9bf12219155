#pragma once

// The timed command sequences of one device, run on the event loop through the Scheduler:
// the start-up handshake of every accepted connection, and Stop Read. Each holds the socket it
// was started for and stops as soon as that connection is no longer the device's (removed,
// disconnected, or replaced by a reconnect from the same address and port).

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "service/DeviceRegistry.h"
#include "service/Scheduler.h"

namespace trelvane {

struct SequenceTiming {
    std::chrono::milliseconds identifyPause{10'000};
    std::chrono::milliseconds clockPause{5'000};
    std::chrono::milliseconds startPause{10'000};
    std::chrono::milliseconds stopPause{500};
    int triesPerStage = 9;
    int stopTries = 4;
};

// Drives a new reader through identification (CMD_QUERY_INFO item 0 every 10 s while its name
// is pending), clock setting (CMD_SET_TIME every 5 s until acknowledged) and start of reading
// (CMD_START_READ every 10 s until acknowledged), at most 9 tries per stage. The answers are
// tested after each pause only; a stage whose tries run out disconnects the reader and marks
// it offline for the next rebuild. A reader that answers at once gets its clock 10 s and its
// start command 15 s after connecting; the sequence ends 25 s after connecting.
class StartupHandshake : public std::enable_shared_from_this<StartupHandshake> {
  public:
    enum class Stage { kIdentify, kClock, kStartReading, kDone };

    StartupHandshake(const DeviceTable& table, Scheduler& scheduler, const Clock& clock,
                     std::string key, std::shared_ptr<DeviceSocket> socket,
                     SequenceTiming timing = {});

    // Runs the first step now; later steps run from the scheduler, which keeps the sequence
    // alive until it ends or is cancelled.
    void Start();
    void Cancel();
    Stage CurrentStage() const { return stage_; }
    bool GaveUp() const { return gaveUp_; }

  private:
    void Step();
    void Schedule(std::chrono::milliseconds pause);
    void GiveUp(CDeviceInfo& device);

    const DeviceTable& table_;
    Scheduler& scheduler_;
    const Clock& clock_;
    const std::string key_;
    const std::shared_ptr<DeviceSocket> socket_;
    const SequenceTiming timing_;
    Stage stage_ = Stage::kIdentify;
    int tries_ = 0;  // sends made in the current stage
    bool gaveUp_ = false;
    Scheduler::TimerId timer_ = 0;
};

// Stop Read: CMD_STOP_READ four times; after each send that went out, a 500 ms pause and then
// `reading` cleared. A failed send is followed at once by the next try. The reader's answers
// are not awaited.
class StopReadSequence : public std::enable_shared_from_this<StopReadSequence> {
  public:
    // `onCleared` runs when the sequence clears a `reading` flag that was set.
    StopReadSequence(DeviceRecord device, Scheduler& scheduler, const Clock& clock,
                     SequenceTiming timing = {}, std::function<void()> onCleared = {});
    void Start();
    void Cancel();
    bool Done() const { return tries_ >= timing_.stopTries && timer_ == 0; }

  private:
    void Step();

    const DeviceRecord device_;
    Scheduler& scheduler_;
    const Clock& clock_;
    const SequenceTiming timing_;
    const std::function<void()> onCleared_;
    int tries_ = 0;
    Scheduler::TimerId timer_ = 0;
};

}  // namespace trelvane
