#include "base/Clock.h"

#include <gtest/gtest.h>

#include "support/LocalTime.h"
#include "support/ManualClock.h"

namespace trelvane {
namespace {

using test::At;

// The simulator stamps its reports with this arithmetic, and the manual clock moves by it.
TEST(Clock, AddMillisecondsKeepsTheCalendar) {
    // Carries through every field at once, into a leap day.
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2024, 2, 28, 23, 59, 59), 1000)),
              "2024-02-29 00:00:00");
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2023, 2, 28, 23, 59, 59), 1000)),
              "2023-03-01 00:00:00")
        << "2023 has no 29 February";
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2100, 2, 28, 12, 0, 0), 86'400'000)),
              "2100-03-01 12:00:00")
        << "a century year that is not a leap year";
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2000, 2, 28, 12, 0, 0), 86'400'000)),
              "2000-02-29 12:00:00")
        << "every 400th year is one";
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2026, 12, 31, 23, 0, 0), 3'600'000)),
              "2027-01-01 00:00:00");
    EXPECT_EQ(FormatDateTime(AddMilliseconds(At(2026, 4, 30, 10, 0, 0), 86'400'000)),
              "2026-05-01 10:00:00");

    // Milliseconds carry into seconds; the weekday follows the date.
    LocalDateTime t = At(2026, 3, 7, 23, 59, 59);  // a Saturday
    t.millisecond = 999;
    const LocalDateTime next = AddMilliseconds(t, 2);
    EXPECT_EQ(FormatDateTime(next), "2026-03-08 00:00:00");
    EXPECT_EQ(next.millisecond, 1);
    EXPECT_EQ(next.dayOfWeek, 0);

    // The largest step (the whole 32-bit tick range, about 49.7 days) lands on the right day.
    const LocalDateTime far = AddMilliseconds(At(2026, 1, 1, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(FormatDateTime(far), "2026-02-19 17:02:47");
    EXPECT_EQ(far.millisecond, 295);
    EXPECT_EQ(far.dayOfWeek, 4);  // Thursday

    EXPECT_EQ(AddMilliseconds(At(2026, 6, 1, 8, 0, 0), 0), At(2026, 6, 1, 8, 0, 0));
}

TEST(Clock, ManualClockMovesTickAndCalendarTogether) {
    ManualClock clock;
    clock.SetTick(0xFFFFFF00u);
    clock.SetLocalTime(At(2024, 2, 28, 23, 59, 59));
    clock.Advance(1000);
    EXPECT_EQ(FormatDateTime(clock.LocalNow()), "2024-02-29 00:00:00");
    EXPECT_EQ(clock.LocalNow().dayOfWeek, 4);  // Thursday
    EXPECT_EQ(clock.TickCount(), 0x000002E8u) << "the tick wraps";
    clock.SetLocalTime(At(2026, 12, 31, 23, 0, 0));
    clock.Advance(3'600'000);
    EXPECT_EQ(FormatDateTime(clock.LocalNow()), "2027-01-01 00:00:00");
    EXPECT_EQ(FormatTime(clock.LocalNow(), "%Y-%m-%d ReadIdRec.txt"), "2027-01-01 ReadIdRec.txt");
}

TEST(Clock, ManualClockUnixMillisIgnoresTheMachinesZone) {
    ManualClock clock;
    LocalDateTime t = At(2026, 12, 8, 11, 29, 38);
    t.millisecond = 250;
    clock.SetLocalTime(t);
    EXPECT_EQ(clock.UnixMillis(), 1'796'729'378'250);  // 2026-12-08T11:29:38.250Z
    // A local time one hour ahead of UTC is one hour less since the epoch.
    clock.SetUtcOffsetMinutes(60);
    EXPECT_EQ(clock.UnixMillis(), 1'796'725'778'250);
    clock.SetUtcOffsetMinutes(-330);
    EXPECT_EQ(clock.UnixMillis(), 1'796'749'178'250);
    clock.SetUtcOffsetMinutes(0);
    clock.SetLocalTime(At(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(clock.UnixMillis(), 0);
    clock.SetLocalTime(At(1969, 12, 31, 23, 59, 59));
    EXPECT_EQ(clock.UnixMillis(), -1000) << "before the epoch";
    clock.SetLocalTime(At(2000, 3, 1, 0, 0, 0));
    EXPECT_EQ(clock.UnixMillis(), 951'868'800'000) << "after a 400-year leap day";
}

TEST(Clock, DayOfWeek) {
    EXPECT_EQ(DayOfWeek(2026, 3, 8), 0);
    EXPECT_EQ(DayOfWeek(2010, 12, 24), 5);
    EXPECT_EQ(DayOfWeek(2000, 1, 1), 6);
    EXPECT_EQ(DayOfWeek(2024, 2, 29), 4);
}

}  // namespace
}  // namespace trelvane
