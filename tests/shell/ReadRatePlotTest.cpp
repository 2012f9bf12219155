// The reads-per-second series on virtual time: bursts land in their seconds, quiet seconds are
// zero, a long gap clears the window, a total that went down starts again; and the cost of a
// refresh tick (sample and repaint request) measured and printed.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <chrono>
#include <cstdio>
#include <numeric>

#include "shell/ReadRatePlot.h"

namespace trelvane {
namespace {

constexpr std::int64_t kT0 = 1796691600000;  // a whole second

std::uint64_t Sum(const std::vector<std::uint64_t>& v) {
    return std::accumulate(v.begin(), v.end(), std::uint64_t{0});
}

TEST(ReadRateSeriesTest, ABurstCountsInTheSecondsItArrivedIn) {
    ReadRateSeries s(60);
    std::uint64_t total = 1000;  // reads before the plot started do not count
    s.Sample(kT0, total);
    // 100 ms ticks for 10 s; a burst of 500 reads spread over second 3 (ticks 30..39), 7 reads
    // in every tick of second 8.
    for (int tick = 1; tick <= 100; ++tick) {
        if (tick >= 31 && tick <= 40) {
            total += 50;
        }
        if (tick >= 81 && tick <= 90) {
            total += 7;
        }
        s.Sample(kT0 + tick * 100, total);
    }
    const std::vector<std::uint64_t> v = s.Values();
    ASSERT_EQ(v.size(), 60u);
    // The latest sample is at second 10; index 59 is second 10, 59 - k is second 10 - k.
    // Tick 40 (t = 4.000 s) belongs to second 4: 450 reads in second 3, 50 in second 4.
    EXPECT_EQ(v[59 - 7], 450u);
    EXPECT_EQ(v[59 - 6], 50u);
    EXPECT_EQ(v[59 - 2], 63u);  // ticks 81..89 in second 8
    EXPECT_EQ(v[59 - 1], 7u);   // tick 90 in second 9
    EXPECT_EQ(v[59], 0u);
    EXPECT_EQ(Sum(v), 500u + 70u);
    EXPECT_EQ(s.Peak(), 450u);
    EXPECT_EQ(s.LastFullSecond(), 7u);
}

TEST(ReadRateSeriesTest, OldSecondsLeaveTheWindowAndAGapIsZero) {
    ReadRateSeries s(10);
    s.Sample(kT0, 0);
    s.Sample(kT0 + 500, 40);   // second 0: 40
    s.Sample(kT0 + 3500, 70);  // second 3: 30 (no samples in 1 and 2)
    auto v = s.Values();
    EXPECT_EQ(v[9], 30u);
    EXPECT_EQ(v[8], 0u);
    EXPECT_EQ(v[7], 0u);
    EXPECT_EQ(v[6], 40u);
    s.Sample(kT0 + 9500, 75);  // second 9: 5; second 0 is 9 seconds back, still shown
    v = s.Values();
    EXPECT_EQ(v[0], 40u);
    s.Sample(kT0 + 10500, 75);  // second 10: second 0 leaves
    EXPECT_EQ(Sum(s.Values()), 35u);
    // A gap longer than the window clears it all.
    s.Sample(kT0 + 3'600'000, 80);
    v = s.Values();
    EXPECT_EQ(Sum(v), 5u);
    EXPECT_EQ(v[9], 5u);
}

TEST(ReadRateSeriesTest, ATotalThatWentDownCountsFromItsNewValue) {
    ReadRateSeries s(10);
    s.Sample(kT0, 500);
    s.Sample(kT0 + 100, 520);  // +20
    s.Sample(kT0 + 200, 3);    // Clear All Record: nothing negative, no wrap-around
    s.Sample(kT0 + 300, 10);   // +7
    EXPECT_EQ(s.Values()[9], 27u);
}

TEST(ReadRateSeriesTest, TimeGoingBackCountsInTheLatestSecond) {
    ReadRateSeries s(10);
    s.Sample(kT0 + 5000, 0);
    s.Sample(kT0 + 2000, 9);  // the clock stepped back
    EXPECT_EQ(s.Values()[9], 9u);
    EXPECT_EQ(Sum(s.Values()), 9u);
}

// The refresh tick's share: well under a millisecond. Printed, not asserted on the machine's
// speed; the paint (off the tick, when Qt repaints) is printed beside it.
TEST(ReadRatePlotTest, ATickCostsFarLessThanAMillisecond) {
    ReadRatePlot plot(nullptr, 300);
    plot.resize(170, 20);
    plot.show();
    std::uint64_t total = 0;
    constexpr int kTicks = 20000;
    const auto start = std::chrono::steady_clock::now();
    for (int tick = 0; tick < kTicks; ++tick) {
        total += static_cast<std::uint64_t>(tick % 97);
        plot.Sample(kT0 + tick * 100LL, total);
    }
    const double tickUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        kTicks;
    constexpr int kPaints = 200;
    QImage canvas(plot.size(), QImage::Format_ARGB32_Premultiplied);
    const auto paintStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kPaints; ++i) {
        plot.render(&canvas);
    }
    const double paintUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - paintStart)
            .count() /
        kPaints;
    std::printf(
        "[ figures  ] read-rate plot: %.3f us per refresh tick (sample + update), "
        "%.1f us per paint of 300 seconds at %dx%d\n",
        tickUs, paintUs, plot.width(), plot.height());
    EXPECT_GT(Sum(plot.Series().Values()), 0u);
    // The sum of the window is the reads of its last 300 seconds (3,000 ticks).
    std::uint64_t expected = 0;
    for (int tick = kTicks - 1;
         tick >= 0 && kT0 + tick * 100LL >= kT0 + (kTicks - 1) / 10 * 1000LL - 299'000; --tick) {
        expected += static_cast<std::uint64_t>(tick % 97);
    }
    EXPECT_EQ(Sum(plot.Series().Values()), expected);
}

}  // namespace
}  // namespace trelvane
