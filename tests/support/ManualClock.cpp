#include "support/ManualClock.h"

namespace trelvane {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (the days-from-civil algorithm).
std::int64_t DaysFromCivil(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

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
