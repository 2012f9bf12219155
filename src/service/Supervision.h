#pragma once

// Supervision of the connected readers, on the event loop: each new connection's start-up
// dialogue, the operator's stop-read sequences, the periodic device rebuild (which expires
// readers silent for longer than the registration time-out), the tag-list refresh, the presence
// check, and the daily clock calibration. Every wait goes through the Scheduler, so tests run a
// day of it in virtual time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "service/DeviceRegistry.h"
#include "service/ReadControl.h"
#include "service/Scheduler.h"

namespace trelvane {

class Supervision {
  public:
    struct Callbacks {
        std::function<void()> rebuild;        // every refresh period: rebuild, expire
        std::function<void()> refreshTags;    // every 100 ms
        std::function<void()> presenceCheck;  // every second
        std::function<void()> tick;           // after each of the above
        std::function<void(const std::string& key)> readingStopped;  // a stop sequence cleared it
    };

    static constexpr std::chrono::milliseconds kTagRefreshPeriod{100};
    static constexpr std::chrono::milliseconds kPresencePeriod{1000};

    Supervision(DeviceTable& devices, Scheduler& scheduler, const Clock& clock,
                Callbacks callbacks);
    ~Supervision();

    // Starts the timers; `refreshSeconds` 0 = no device rebuild timer.
    void Start(std::uint32_t refreshSeconds);
    // Restarts the rebuild timer with a new period.
    void SetRefreshPeriod(std::uint32_t refreshSeconds);
    // Cancels the timers and every sequence.
    void Stop();

    void StartHandshake(const std::string& key, const std::shared_ptr<DeviceSocket>& socket);
    void StartStopRead(const DeviceRecord& device);
    // Ends every start-up dialogue and stop sequence; no device waits for its registration.
    void CancelSequences();

    // Sends the PC's time to every live reader once the calendar day has changed since the last
    // check, so the clocks that stamp the tag reports stay right. The day seen lives as long as
    // this object, across stops and starts.
    void CalibrationCheck();

  private:
    void StartRebuildTimer(std::uint32_t refreshSeconds);

    DeviceTable& devices_;
    Scheduler& scheduler_;
    const Clock& clock_;
    Callbacks callbacks_;
    Scheduler::TimerId rebuildTimer_ = 0;
    Scheduler::TimerId tagTimer_ = 0;
    Scheduler::TimerId presenceTimer_ = 0;
    std::vector<std::weak_ptr<StartupHandshake>> handshakes_;
    std::vector<std::weak_ptr<StopReadSequence>> stopSequences_;
    int lastDaySeen_;
    bool calibrationPending_ = false;
};

}  // namespace trelvane
