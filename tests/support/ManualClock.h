#pragma once

// A clock that moves only when told to, for tests, fuzz targets and benchmarks: it pins the
// local time and drives the 32-bit tick (and its wrap) by hand. Tests move it on one thread
// while the service reads it on others, so every access is locked.

#include <cstdint>
#include <mutex>

#include "base/Clock.h"

namespace trelvane {

class ManualClock final : public Clock {
  public:
    std::uint32_t TickCount() const override {
        std::lock_guard lock(mutex_);
        return tick_;
    }
    LocalDateTime LocalNow() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    // The manual local time read as UTC less the offset set (0 by default), so tests do not
    // depend on the machine's time zone.
    std::int64_t UnixMillis() const override;
    void SetUtcOffsetMinutes(int minutes) {
        std::lock_guard lock(mutex_);
        utcOffsetMinutes_ = minutes;
    }

    void SetTick(std::uint32_t tick) {
        std::lock_guard lock(mutex_);
        tick_ = tick;
    }
    void SetLocalTime(const LocalDateTime& now) {
        std::lock_guard lock(mutex_);
        now_ = now;
    }
    // Moves the tick and the local time forward together (the local time keeps its calendar
    // right across midnight, month and year ends).
    void Advance(std::uint32_t milliseconds);

  private:
    mutable std::mutex mutex_;
    std::uint32_t tick_ = 0;
    LocalDateTime now_{};
    int utcOffsetMinutes_ = 0;
};

}  // namespace trelvane
