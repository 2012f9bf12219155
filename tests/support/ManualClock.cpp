#include "support/ManualClock.h"

namespace trelvane {
namespace {

std::int64_t AsUtcMillis(const LocalDateTime& time) {
    const std::int64_t days = DaysFromCivil(time.year, time.month, time.day);
    const std::int64_t seconds = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
    return seconds * 1000 + time.millisecond;
}

}  // namespace

std::int64_t ManualClock::UnixMillis() const {
    std::lock_guard lock(mutex_);
    return AsUtcMillis(now_) - std::int64_t{utcOffsetMinutes_} * 60000;
}

void ManualClock::Advance(std::uint32_t milliseconds) {
    std::lock_guard lock(mutex_);
    tick_ += milliseconds;
    now_ = AddMilliseconds(now_, milliseconds);
}

}  // namespace trelvane
