#include "base/Clock.h"

#include <chrono>
#include <ctime>

namespace trelvane {
namespace {

class RealClock final : public Clock {
  public:
    std::uint32_t TickCount() const override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }

    LocalDateTime LocalNow() const override {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        // The conversion to local time (time zone rules) costs far more than reading the clock,
        // and the parse thread stamps every report: convert once per second per thread.
        thread_local std::time_t cachedSeconds = -1;
        thread_local LocalDateTime cached;
        if (seconds != cachedSeconds) {
            std::tm local{};
            localtime_r(&seconds, &local);
            cached.year = local.tm_year + 1900;
            cached.month = local.tm_mon + 1;
            cached.day = local.tm_mday;
            cached.hour = local.tm_hour;
            cached.minute = local.tm_min;
            cached.second = local.tm_sec;
            cached.dayOfWeek = local.tm_wday;
            cachedSeconds = seconds;
        }
        LocalDateTime result = cached;
        result.millisecond = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000);
        return result;
    }

    std::int64_t UnixMillis() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

std::tm ToTm(const LocalDateTime& time) {
    std::tm tm{};
    tm.tm_year = time.year - 1900;
    tm.tm_mon = time.month - 1;
    tm.tm_mday = time.day;
    tm.tm_hour = time.hour;
    tm.tm_min = time.minute;
    tm.tm_sec = time.second;
    tm.tm_wday = time.dayOfWeek;
    tm.tm_isdst = -1;
    return tm;
}

}  // namespace

std::int64_t Clock::UnixMillis() const {
    return LocalToUnixMillis(LocalNow());
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

std::int64_t LocalToUnixMillis(const LocalDateTime& time) {
    std::tm tm = ToTm(time);
    const std::time_t seconds = std::mktime(&tm);
    return static_cast<std::int64_t>(seconds) * 1000 + time.millisecond;
}

const Clock& SystemClock() {
    static const RealClock clock;
    return clock;
}

LocalDateTime AddMilliseconds(const LocalDateTime& time, std::uint32_t milliseconds) {
    LocalDateTime next = time;
    std::uint64_t ms = static_cast<std::uint64_t>(next.millisecond) + milliseconds;
    next.millisecond = static_cast<int>(ms % 1000);
    std::uint64_t seconds = static_cast<std::uint64_t>(next.second) + ms / 1000;
    next.second = static_cast<int>(seconds % 60);
    std::uint64_t minutes = static_cast<std::uint64_t>(next.minute) + seconds / 60;
    next.minute = static_cast<int>(minutes % 60);
    std::uint64_t hours = static_cast<std::uint64_t>(next.hour) + minutes / 60;
    next.hour = static_cast<int>(hours % 24);
    for (std::uint64_t days = hours / 24; days > 0; --days) {
        if (++next.day > DaysInMonth(next.year, next.month)) {
            next.day = 1;
            if (++next.month > 12) {
                next.month = 1;
                ++next.year;
            }
        }
    }
    next.dayOfWeek = DayOfWeek(next.year, next.month, next.day);
    return next;
}

std::string FormatTime(const LocalDateTime& time, const char* pattern) {
    const std::tm tm = ToTm(time);
    char buffer[128];
    const std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &tm);
    return std::string(buffer, length);
}

std::string FormatDateTime(const LocalDateTime& time) {
    return FormatTime(time, "%Y-%m-%d %H:%M:%S");
}

int DayOfWeek(int year, int month, int day) {
    // Sakamoto's method.
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) {
        year -= 1;
    }
    return (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
}

std::int64_t DaysFromCivil(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

}  // namespace trelvane
