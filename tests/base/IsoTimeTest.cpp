// ISO 8601 times, as every output writes them and the tools read them.
#include "base/IsoTime.h"

#include <gtest/gtest.h>

#include "support/TimeZoneScope.h"

namespace trelvane {
namespace {

using test::TimeZoneScope;
// 2026-12-08T01:00:00Z = 09:00 in Shanghai.
constexpr std::int64_t kMorning = 1796691600000;

TEST(IsoTimeTest, IsoTimesWithAndWithoutOffsets) {
    TimeZoneScope zone("Asia/Shanghai");
    EXPECT_EQ(ParseIsoTime("2026-12-08T09:00"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08 09:00:00"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08T09:00:00+08:00"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08T01:00:00Z"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08T01:00Z"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-07T19:30:00-0530"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08T10:00:00+09"), kMorning);
    EXPECT_EQ(ParseIsoTime("2026-12-08T09:00:01.25"), kMorning + 1250);
    EXPECT_EQ(ParseIsoTime("2026-12-08T09:00:01.250999"), kMorning + 1250);
    EXPECT_EQ(ParseIsoTime("2026-12-08"), kMorning - 9 * 3600000);       // local midnight
    EXPECT_EQ(ParseIsoTime("2024-02-29"), 1709164800000 - 8 * 3600000);  // leap day
    {
        TimeZoneScope utc("UTC");
        EXPECT_EQ(ParseIsoTime("2026-12-08T01:00"), kMorning);
    }
    for (const char* bad : {"",
                            "x",
                            "2026",
                            "2026-12",
                            "2026-12-8",
                            "2026-13-01",
                            "2026-00-10",
                            "2026-02-29",
                            "2026-04-31",
                            "2026-12-00",
                            "2026-12-08T",
                            "2026-12-08T09",
                            "2026-12-08T9:00",
                            "2026-12-08T24:00",
                            "2026-12-08T09:60",
                            "2026-12-08T09:00:60",
                            "2026-12-08T09:00:00.",
                            "2026-12-08T09:00+8",
                            "2026-12-08T09:00+08:0",
                            "2026-12-08T09:00+24:00",
                            "2026-12-08T09:00 ",
                            "2026-12-08T09:00:00+08:00x",
                            "2026-12-08x",
                            "1969-12-31",
                            "2026/12/08"}) {
        EXPECT_FALSE(ParseIsoTime(bad).has_value()) << bad;
    }
}

TEST(IsoTimeTest, FormatsLocalTimeWithMillisecondsAndOffset) {
    {
        TimeZoneScope zone("Asia/Shanghai");
        EXPECT_EQ(FormatIsoTime(kMorning + 1250), "2026-12-08T09:00:01.250+08:00");
        EXPECT_EQ(FormatIsoTime(kMorning - 9 * 3600000), "2026-12-08T00:00:00.000+08:00");
    }
    {
        TimeZoneScope zone("UTC");
        EXPECT_EQ(FormatIsoTime(kMorning + 999), "2026-12-08T01:00:00.999+00:00");
        EXPECT_EQ(FormatIsoTime(-1), "1969-12-31T23:59:59.999+00:00");
    }
    {
        TimeZoneScope zone("America/New_York");  // offsets change with daylight saving
        EXPECT_EQ(FormatIsoTime(kMorning), "2026-12-07T20:00:00.000-05:00");
        EXPECT_EQ(FormatIsoTime(kMorning - 150LL * 86400000), "2026-07-10T21:00:00.000-04:00");
        EXPECT_EQ(ParseIsoTime("2026-07-10T21:00"), kMorning - 150LL * 86400000);
    }
}

// One text per second is kept: the next second, and another zone, must not reuse it.
TEST(IsoTimeTest, TheCachedTextFollowsSecondsAndZones) {
    {
        TimeZoneScope zone("Asia/Shanghai");
        IsoTimeText text;
        std::string out;
        text.Append(out, kMorning + 1250);
        EXPECT_EQ(out, "2026-12-08T09:00:01.250+08:00");
        out.clear();
        text.Append(out, kMorning + 1250 + 9);  // the same second from the cache
        EXPECT_EQ(out, "2026-12-08T09:00:01.259+08:00");
        out.clear();
        text.Append(out, kMorning + 1250 + 750);  // the next second
        EXPECT_EQ(out, "2026-12-08T09:00:02.000+08:00");
    }
    {
        TimeZoneScope zone("America/St_Johns");  // -03:30 in December
        std::string out;
        IsoTimeText().Append(out, kMorning + 1250);
        EXPECT_EQ(out, "2026-12-07T21:30:01.250-03:30");
    }
    {
        TimeZoneScope zone("UTC");
        std::string out;
        IsoTimeText().Append(out, -1);  // before 1970: the millisecond part stays positive
        EXPECT_EQ(out, "1969-12-31T23:59:59.999+00:00");
    }
}

}  // namespace
}  // namespace trelvane
