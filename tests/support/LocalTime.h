#pragma once

#include "base/Clock.h"

namespace trelvane::test {

// A local date and time with its weekday filled in, for pinning a ManualClock.
inline LocalDateTime At(int year, int month, int day, int hour, int minute, int second) {
    LocalDateTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.dayOfWeek = DayOfWeek(year, month, day);
    return t;
}

}  // namespace trelvane::test
