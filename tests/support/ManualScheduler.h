#pragma once

// Virtual time for tests: the service's timers run only when the test moves time on, so a
// 225-second handshake or a day of supervision takes microseconds. Event-loop thread only, as
// every Scheduler.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "service/Scheduler.h"
#include "support/ManualClock.h"

namespace trelvane {

// Virtual time for tests: nothing runs until AdvanceBy, which runs every due callback in time
// order and moves `clock` (tick and local time) to each callback's moment.
class ManualScheduler final : public Scheduler {
  public:
    explicit ManualScheduler(ManualClock& clock) : clock_(clock) {}

    TimerId Start(std::chrono::milliseconds interval, bool repeat, Callback callback) override {
        const TimerId id = ++lastId_;
        const std::uint64_t step = static_cast<std::uint64_t>(interval.count());
        due_.emplace(std::make_pair(now_ + step, id),
                     Timer{step, repeat, std::make_shared<Callback>(std::move(callback))});
        return id;
    }

    void Cancel(TimerId id) override {
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->first.second == id) {
                due_.erase(it);
                return;
            }
        }
        if (running_ == id) {
            runningCancelled_ = true;
        }
    }

    void AdvanceBy(std::chrono::milliseconds span) {
        const std::uint64_t target = now_ + static_cast<std::uint64_t>(span.count());
        while (!due_.empty() && due_.begin()->first.first <= target) {
            auto node = due_.extract(due_.begin());
            MoveTo(node.key().first);
            running_ = node.key().second;
            runningCancelled_ = false;
            const Timer timer = node.mapped();
            (*timer.callback)();
            if (timer.repeat && !runningCancelled_) {
                due_.emplace(std::make_pair(now_ + std::max<std::uint64_t>(timer.interval, 1),
                                            node.key().second),
                             timer);
            }
            running_ = 0;
        }
        MoveTo(target);
    }

    std::size_t PendingTimers() const { return due_.size(); }
    std::uint64_t NowMs() const { return now_; }

  private:
    struct Timer {
        std::uint64_t interval;
        bool repeat;
        std::shared_ptr<Callback> callback;
    };

    void MoveTo(std::uint64_t t) {
        clock_.Advance(static_cast<std::uint32_t>(t - now_));
        now_ = t;
    }

    ManualClock& clock_;
    std::uint64_t now_ = 0;
    TimerId lastId_ = 0;
    TimerId running_ = 0;
    bool runningCancelled_ = false;
    // Keyed by (due time, id): equal due times run in the order they were scheduled.
    std::map<std::pair<std::uint64_t, TimerId>, Timer> due_;
};

}  // namespace trelvane
