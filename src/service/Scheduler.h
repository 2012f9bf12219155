#pragma once

// Every pause and timer of the service goes through Scheduler, so tests run a 225-second
// handshake or a day of supervision in virtual time. All calls, and every callback, happen on
// the event-loop thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace trelvane {

class Scheduler {
  public:
    using TimerId = std::uint64_t;  // 0 is never a valid id
    using Callback = std::function<void()>;

    virtual ~Scheduler() = default;
    // Runs `callback` after `interval`, and again every `interval` when `repeat` is set, until
    // cancelled. Cancelling from inside the callback is allowed.
    virtual TimerId Start(std::chrono::milliseconds interval, bool repeat, Callback callback) = 0;
    virtual void Cancel(TimerId id) = 0;

    TimerId After(std::chrono::milliseconds delay, Callback callback) {
        return Start(delay, false, std::move(callback));
    }
    TimerId Every(std::chrono::milliseconds period, Callback callback) {
        return Start(period, true, std::move(callback));
    }
};

}  // namespace trelvane
