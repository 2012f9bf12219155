#pragma once

// Every reading of time goes through Clock, so that tests pin the local time and drive the
// 32-bit millisecond tick (which wraps after about 49.7 days) by hand.

#include <cstdint>
#include <string>

namespace trelvane {

struct LocalDateTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int dayOfWeek = 6;  // 0 = Sunday .. 6 = Saturday
    int millisecond = 0;

    friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary origin, wrapping modulo 2^32; compare with unsigned
    // subtraction only.
    virtual std::uint32_t TickCount() const = 0;
    virtual LocalDateTime LocalNow() const = 0;
    // Milliseconds since 1970-01-01 00:00 UTC, the time stamp of what is kept and handed on
    // (history, outputs). The default reads LocalNow as local time.
    virtual std::int64_t UnixMillis() const;
};

// Milliseconds since the epoch of `time` read as local time in the process's time zone.
std::int64_t LocalToUnixMillis(const LocalDateTime& time);

// The process's real clocks: a monotonic tick and the system's local time.
const Clock& SystemClock();

// `time` moved forward by `milliseconds`, its calendar kept right across midnight, month and
// year ends, and its weekday recomputed.
LocalDateTime AddMilliseconds(const LocalDateTime& time, std::uint32_t milliseconds);

// Formats with strftime conversions ("%Y-%m-%d %H:%M:%S"); empty when the result does not fit
// 127 characters.
std::string FormatTime(const LocalDateTime& time, const char* pattern);

// "%Y-%m-%d %H:%M:%S", the program's time text.
std::string FormatDateTime(const LocalDateTime& time);

// The day of the week of a proleptic Gregorian date, 0 = Sunday.
int DayOfWeek(int year, int month, int day);

// 28 to 31: the days of `month` (1..12) in `year`.
int DaysInMonth(int year, int month);

// Days since 1970-01-01 of a proleptic Gregorian date (negative before it).
std::int64_t DaysFromCivil(int year, int month, int day);

}  // namespace trelvane
