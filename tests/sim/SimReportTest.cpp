// Tag reports: their exact bytes, the clock they carry, the tag cycle, the pacing, and the bound
// on what a reader queues when the host does not keep up.

#include <gtest/gtest.h>

#include "support/LocalTime.h"
#include "support/ManualClock.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <cmath>
#include <mutex>

#include "sim/SimHost.h"
#include "sim/SimPacer.h"
#include "sim/SimReader.h"

namespace trelvane {
namespace {

using test::B;
using test::Bytes;
using test::DecodeFrames;
using test::Hex;
using test::HostCommand;
using test::SimHost;
using test::WaitUntil;
using test::WireFrame;

using test::At;

std::uint32_t TagOf(const Bytes& report) {
    return static_cast<std::uint32_t>(report[10] << 24 | report[11] << 16 | report[12] << 8 |
                                      report[13]);
}

// Waits until the reader's count of reports stands still over many turns of the event loop:
// the kernel's buffers are full and the reader's own queue is at its bound.
bool WaitForStall(const SimReader& reader) {
    std::uint64_t last = 0;
    int still = 0;
    return WaitUntil(
        [&] {
            const std::uint64_t now = reader.Stats().reportsSent;
            still = now == last ? still + 1 : 0;
            last = now;
            return still >= 20;
        },
        10000);
}

class SimReportTest : public ::testing::Test {
  protected:
    SimHost::Connection& Connect(SimReader& reader) {
        const std::size_t index = host_.ConnectionCount();
        reader.ConnectTo(host_.Address(), host_.Port());
        EXPECT_TRUE(WaitUntil([&] { return reader.IsConnected(); }));
        SimHost::Connection* c = host_.WaitForConnection(index);
        EXPECT_NE(c, nullptr);
        return *c;
    }

    // Starts reporting and waits for the start acknowledgement; returns where reports begin.
    std::size_t Start(SimHost::Connection& c) {
        const std::size_t start = c.received.size();
        SimHost::Send(c, HostCommand(CMD_START_READ));
        EXPECT_TRUE(SimHost::WaitForBytes(c, start + 8));
        EXPECT_EQ(Hex(Bytes(c.received.begin() + static_cast<long>(start),
                            c.received.begin() + static_cast<long>(start) + 8)),
                  "55 00 00 02 62 00 CC 2D");
        return start + 8;
    }

    // Stops reporting and waits until everything the reader sent has arrived.
    void Stop(SimHost::Connection& c, const SimReader& reader) {
        SimHost::Send(c, HostCommand(CMD_STOP_READ));
        ASSERT_TRUE(WaitUntil([&] {
            return !reader.IsReporting() && c.received.size() == reader.Stats().bytesSent;
        })) << "reporting "
            << reader.IsReporting() << " host " << c.received.size() << " sent "
            << reader.Stats().bytesSent << " unsent " << reader.UnsentBytes() << " hostbuf "
            << c.socket->bytesAvailable() << " rbs " << c.socket->readBufferSize();
    }

    SimHost host_;
    ManualClock clock_;
};

TEST_F(SimReportTest, ReportBytesForBothLengthsWithAnEscapedTag) {
    clock_.SetLocalTime(At(2026, 3, 8, 9, 5, 3));
    SimReaderOptions options;
    options.rate = 1e-9;  // only the first report, which is due at once
    options.firstTag = 0x00556656;
    options.tagCount = 1;

    SimReader longReports(options, nullptr, clock_);
    SimHost::Connection& a = Connect(longReports);
    const std::size_t fromA = Start(a);
    ASSERT_TRUE(SimHost::WaitForBytes(a, fromA + 25));
    EXPECT_EQ(Hex(Bytes(a.received.begin() + static_cast<long>(fromA), a.received.end())),
              "55 00 00 11 62 00 00 00 00 00 00 56 56 66 56 57 03 05 09 07 08 03 26 A4 EF");

    options.reportLength = 14;
    SimReader shortReports(options, nullptr, clock_);
    SimHost::Connection& b = Connect(shortReports);
    const std::size_t fromB = Start(b);
    ASSERT_TRUE(SimHost::WaitForBytes(b, fromB + 22));
    EXPECT_EQ(Hex(Bytes(b.received.begin() + static_cast<long>(fromB), b.received.end())),
              "55 00 00 0E 62 00 00 00 00 00 00 56 56 66 56 57 00 00 00 00 34 E6");
    EXPECT_EQ(shortReports.Stats().bytesReporting, 22u);
    EXPECT_EQ(shortReports.Stats().lastTag, 0x00556656u);
}

TEST_F(SimReportTest, ReportsCarryTheHostClockPlusElapsedTime) {
    clock_.SetLocalTime(At(2026, 3, 8, 9, 5, 3));
    clock_.SetTick(0xFFFFF000u);  // the tick wraps while the reader's clock runs
    SimReaderOptions options;
    options.rate = 1e-9;
    SimReader reader(options, nullptr, clock_);
    SimHost::Connection& c = Connect(reader);

    ManualClock hostClock;
    hostClock.SetLocalTime(At(2030, 12, 31, 23, 59, 58));
    SimHost::Send(c, HostCommand(CMD_SET_TIME, 0, hostClock));
    ASSERT_TRUE(SimHost::WaitForBytes(c, 8));
    ASSERT_EQ(Hex(c.received), "55 00 00 02 B0 00 A0 22");

    clock_.Advance(3500);
    const std::size_t from = Start(c);
    ASSERT_TRUE(WaitUntil([&] {
        return reader.Stats().reportsSent == 1 && c.received.size() == reader.Stats().bytesSent;
    }));
    // 2031-01-01 00:00:01, a Wednesday.
    const Bytes data =
        B({0, 0, 0, 0, 0, 0x00, 0xBC, 0x61, 0x4E, 0x01, 0x00, 0x00, 0x03, 0x01, 0x01, 0x31});
    EXPECT_EQ(Hex(Bytes(c.received.begin() + static_cast<long>(from), c.received.end())),
              Hex(WireFrame(0x62, 0, data)));
}

TEST_F(SimReportTest, TagsCycleAndEveryReportedByteIsCounted) {
    SimReaderOptions options;
    options.rate = 2000;
    options.firstTag = 0xFFFFFFFD;  // the last three IDs of the 32-bit range
    options.tagCount = 3;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    const std::size_t from = Start(c);
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().reportsSent >= 10; }));
    Stop(c, reader);

    const std::vector<Bytes> frames =
        DecodeFrames(Bytes(c.received.begin() + static_cast<long>(from), c.received.end()));
    ASSERT_EQ(frames.size(), reader.Stats().reportsSent + 1);
    EXPECT_EQ(frames.back(), DecodeFrames(WireFrame(0x6F, 0, B({0}))).front());
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_EQ(frames[i][3], 17) << i;
        ASSERT_EQ(frames[i][4], 0x62) << i;
        EXPECT_EQ(TagOf(frames[i]), 0xFFFFFFFDu + i % 3) << i;
    }
    // Reporting bytes are the reports exactly: not the acknowledgement, not the stop answer.
    EXPECT_EQ(reader.Stats().bytesReporting,
              c.received.size() - from - WireFrame(0x6F, 0, B({0})).size());
}

TEST_F(SimReportTest, PacedReaderNeverRunsAheadOfItsRate) {
    SimReaderOptions options;
    options.rate = 200;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    QElapsedTimer elapsed;
    elapsed.start();
    Start(c);
    std::uint64_t worstExcess = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const std::uint64_t sent = reader.Stats().reportsSent;
        const auto allowed =
            static_cast<std::uint64_t>(std::floor(elapsed.elapsed() * options.rate / 1000.0)) + 1;
        worstExcess = std::max(worstExcess, sent > allowed ? sent - allowed : 0);
        return sent >= 30;
    }));
    EXPECT_EQ(worstExcess, 0u);
    EXPECT_EQ(reader.Stats().reportsSkipped, 0u);
}

TEST_F(SimReportTest, FloodingStaysWithinTheUnsentBound) {
    SimReaderOptions options;
    options.rate = 0;
    options.unsentBound = 4096;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    const std::size_t from = Start(c);
    SimHost::Pause(c);

    ASSERT_TRUE(WaitForStall(reader));
    ASSERT_GT(reader.UnsentBytes(), 0);  // the kernel refused some: the reader is held back
    const std::uint64_t stalled = reader.Stats().reportsSent;
    EXPECT_LE(reader.Stats().maxUnsentBytes, 4096);
    // The host holds back a good deal more than the reader's queue: the kernel is full.
    EXPECT_GT(reader.Stats().bytesSent,
              c.received.size() + static_cast<std::size_t>(reader.UnsentBytes()) + 4096);
    host_.Resume(c);
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().reportsSent > stalled + 2000; }, 10000));
    Stop(c, reader);
    EXPECT_LE(reader.Stats().maxUnsentBytes, 4096);
    EXPECT_EQ(reader.Stats().reportsSkipped, 0u);

    const std::vector<Bytes> frames =
        DecodeFrames(Bytes(c.received.begin() + static_cast<long>(from), c.received.end()));
    ASSERT_EQ(frames.size(), reader.Stats().reportsSent + 1);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_EQ(TagOf(frames[i]), options.firstTag + i % options.tagCount) << i;
    }
}

TEST_F(SimReportTest, PacedReportsBeyondTheBoundAreSkippedNotQueued) {
    SimReaderOptions options;
    options.rate = 0;  // floods first, to fill the kernel's buffers quickly
    options.unsentBound = 2048;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    Start(c);
    SimHost::Pause(c);
    ASSERT_TRUE(WaitForStall(reader));
    ASSERT_GT(reader.UnsentBytes(), 0);

    // Now paced at a thousand reports per tick against a full kernel: the queue fills up to the
    // bound, and from then on each tick's reports are skipped.
    reader.SetRate(100000);
    const std::uint64_t sent = reader.Stats().reportsSent;
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().reportsSkipped > 5000; }));
    // At most the bound's worth (reports are 23 bytes or more), plus what the kernel still took
    // while the host's pause took hold.
    EXPECT_LE(reader.Stats().reportsSent - sent, 2 * 2048u / 23);
    EXPECT_LE(reader.Stats().maxUnsentBytes, 2048);
    EXPECT_LE(reader.UnsentBytes(), 2048);

    // Back to flooding once the host reads again.
    reader.SetRate(0);
    host_.Resume(c);
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().reportsSent > sent + 1000; }, 10000));
    EXPECT_LE(reader.Stats().maxUnsentBytes, 2048);
}

TEST_F(SimReportTest, ReportingEndsWithTheConnectionOrTheReader) {
    SimPacer pacer;
    SimReaderOptions options;
    options.rate = 500;
    SimReader first(options, &pacer);
    auto second = std::make_unique<SimReader>(options, &pacer);
    SimHost::Connection& a = Connect(first);
    SimHost::Connection& b = Connect(*second);
    Start(a);
    Start(b);
    ASSERT_TRUE(WaitUntil([&] { return pacer.PacedReaders() == 2; }));

    QSignalSpy changes(&first, &SimReader::ReportingChanged);
    a.socket->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return !first.IsConnected(); }));
    EXPECT_FALSE(first.IsReporting());
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(pacer.PacedReaders(), 1u);

    // A reader destroyed while paced leaves the pacer; later ticks must not touch it.
    second.reset();
    EXPECT_EQ(pacer.PacedReaders(), 0u);
    const std::uint64_t tags = pacer.TagsIssued();
    SimReader third(options, &pacer);
    SimHost::Connection& d = Connect(third);
    Start(d);
    ASSERT_TRUE(WaitUntil([&] { return third.Stats().reportsSent >= 5; }));
    // One cursor for every reader of the pacer.
    EXPECT_EQ(pacer.TagsIssued(), tags + third.Stats().reportsSent);
    EXPECT_TRUE(WaitUntil([&] { return b.closed; }));
}

}  // namespace
}  // namespace trelvane
