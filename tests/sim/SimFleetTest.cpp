// Fleets: names, the connection window, the shared tag cursor that makes the distinct-ID count
// predictable, totals, reconnecting and failing to connect.

#include "sim/SimFleet.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <map>
#include <set>

#include "sim/SimHost.h"

namespace trelvane {
namespace {

using test::B;
using test::Bytes;
using test::DecodeFrames;
using test::HostCommand;
using test::SimHost;
using test::WaitUntil;
using test::WireFrame;

TEST(SimFleetNames, NumberedFromOneInAtLeastTwoDigits) {
    SimReaderOptions base;
    base.productType = "K314B";
    base.reportLength = 14;
    EXPECT_EQ(FleetReaderOptions(base, "R", 0).deviceName, "R01");
    EXPECT_EQ(FleetReaderOptions(base, "R", 8).deviceName, "R09");
    EXPECT_EQ(FleetReaderOptions(base, "R", 98).deviceName, "R99");
    EXPECT_EQ(FleetReaderOptions(base, "R", 99).deviceName, "R100");
    EXPECT_EQ(FleetReaderOptions(base, "DTU-", 9999).deviceName, "DTU-10000");
    const SimReaderOptions r = FleetReaderOptions(base, "R", 41);
    EXPECT_EQ(r.serialNo, "SN00000042");
    EXPECT_EQ(r.productType, "K314B");
    EXPECT_EQ(r.reportLength, 14);
}

class SimFleetTest : public ::testing::Test {
  protected:
    SimFleetOptions Options(int readers) {
        SimFleetOptions options;
        options.host = host_.Address();
        options.port = host_.Port();
        options.readers = readers;
        options.reader.rate = 1e-9;
        return options;
    }

    SimHost host_;
};

TEST_F(SimFleetTest, ConnectsEveryReaderThroughTheWindow) {
    SimFleetOptions options = Options(12);
    options.connectWindow = 3;
    SimFleet fleet(options);
    QSignalSpy connected(&fleet, &SimFleet::ReaderConnected);
    QSignalSpy finished(&fleet, &SimFleet::AttemptsFinished);
    fleet.Start();
    int worst = 0;
    ASSERT_TRUE(WaitUntil([&] {
        int connecting = 0;
        for (int i = 0; i < fleet.Size(); ++i) {
            connecting += fleet.Reader(i).IsConnecting() ? 1 : 0;
        }
        worst = std::max(worst, connecting);
        return fleet.ConnectedCount() == 12 && host_.ConnectionCount() == 12;
    }));
    EXPECT_LE(worst, 3);
    EXPECT_EQ(connected.count(), 12);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_TRUE(fleet.AllAttempted());
    EXPECT_EQ(fleet.PendingAttempts(), 0);

    // Each host connection is one reader, found by its port, and answers with its own name.
    std::map<quint16, int> byPort;
    for (int i = 0; i < fleet.Size(); ++i) {
        byPort[fleet.Reader(i).LocalPort()] = i;
    }
    ASSERT_EQ(byPort.size(), 12u);
    for (std::size_t k = 0; k < host_.ConnectionCount(); ++k) {
        SimHost::Connection& c = host_.At(k);
        const int index = byPort.at(c.socket->peerPort());
        SimHost::Send(c, HostCommand(CMD_QUERY_INFO, 0));
        char name[16];
        std::snprintf(name, sizeof name, "R%02d", index + 1);
        Bytes data{0x00};
        data.insert(data.end(), name, name + 3);
        const Bytes expected = WireFrame(0x01, 0, data);
        ASSERT_TRUE(SimHost::WaitForBytes(c, expected.size()));
        EXPECT_EQ(c.received, expected) << name;
    }

    fleet.Stop();
    EXPECT_EQ(fleet.ConnectedCount(), 0);
    EXPECT_TRUE(WaitUntil([&] {
        for (std::size_t k = 0; k < host_.ConnectionCount(); ++k) {
            if (!host_.At(k).closed) {
                return false;
            }
        }
        return true;
    }));
}

TEST_F(SimFleetTest, SharedTagCursorMakesTheDistinctIdCountPredictable) {
    SimFleetOptions options = Options(3);
    options.reader.rate = 400;
    options.reader.firstTag = 5000;
    options.reader.tagCount = 5;
    SimFleet fleet(options);
    // The host acknowledges every chunk after a connection's start acknowledgement, as the
    // server does while a reader is reading.
    std::uint64_t acked = 0;
    std::map<const SimHost::Connection*, std::size_t> seen;
    host_.onReceive = [&](SimHost::Connection& c, std::size_t n) {
        const std::size_t before = seen[&c];
        seen[&c] = before + n;
        const std::size_t skip = before >= 8 ? 0 : std::min<std::size_t>(8 - before, n);
        if (n > skip) {
            SimHost::Send(c, HostCommand(CMD_DATA_ACK, static_cast<unsigned>(n - skip)));
            acked += n - skip;
        }
    };
    fleet.Start();
    ASSERT_TRUE(WaitUntil([&] { return host_.ConnectionCount() == 3; }));
    for (std::size_t k = 0; k < 3; ++k) {
        SimHost::Send(host_.At(k), HostCommand(CMD_START_READ));
    }
    ASSERT_TRUE(WaitUntil([&] { return fleet.Totals().reports >= 23; }));
    for (std::size_t k = 0; k < 3; ++k) {
        SimHost::Send(host_.At(k), HostCommand(CMD_STOP_READ));
    }
    ASSERT_TRUE(WaitUntil([&] {
        const SimFleetTotals t = fleet.Totals();
        std::size_t received = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            received += host_.At(k).received.size();
        }
        return t.bytesSent == received && t.bytesAcked == acked &&
               fleet.Pacer().PacedReaders() == 0;
    }));

    const SimFleetTotals totals = fleet.Totals();
    std::map<std::uint32_t, int> perId;
    std::uint64_t reports = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        for (const Bytes& frame : DecodeFrames(host_.At(k).received)) {
            if (frame[4] == 0x62 && frame[3] == 17) {
                ++reports;
                ++perId[static_cast<std::uint32_t>(frame[10] << 24 | frame[11] << 16 |
                                                   frame[12] << 8 | frame[13])];
            }
        }
    }
    EXPECT_EQ(reports, totals.reports);
    ASSERT_EQ(perId.size(), std::min<std::uint64_t>(totals.reports, 5));
    EXPECT_EQ(perId.begin()->first, 5000u);
    EXPECT_EQ(perId.rbegin()->first, 5004u);
    for (const auto& [id, count] : perId) {
        EXPECT_GE(static_cast<std::uint64_t>(count), totals.reports / 5) << id;
        EXPECT_LE(static_cast<std::uint64_t>(count), (totals.reports + 4) / 5) << id;
    }
    // Every acknowledged byte was a reporting byte: the host acked only what followed the start
    // acknowledgement, and that is exactly what the readers count as reporting, plus the stop
    // answers.
    EXPECT_EQ(totals.bytesAcked, totals.bytesReporting + 3 * WireFrame(0x6F, 0, B({0})).size());
    EXPECT_EQ(totals.everConnected, 3);
    EXPECT_EQ(totals.connected, 3);
}

TEST_F(SimFleetTest, ReconnectsAfterTheHostDrops) {
    SimFleetOptions options = Options(1);
    options.reconnectMs = 10;
    SimFleet fleet(options);
    QSignalSpy connected(&fleet, &SimFleet::ReaderConnected);
    QSignalSpy disconnected(&fleet, &SimFleet::ReaderDisconnected);
    fleet.Start();
    SimHost::Connection* first = host_.WaitForConnection(0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return connected.count() == 1; }));
    const quint16 firstPort = fleet.Reader(0).LocalPort();

    first->socket->disconnectFromHost();
    ASSERT_NE(host_.WaitForConnection(1), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return connected.count() == 2; }));
    EXPECT_EQ(disconnected.count(), 1);
    EXPECT_NE(fleet.Reader(0).LocalPort(), firstPort);
    EXPECT_EQ(fleet.Reader(0).Stats().connects, 2u);
    EXPECT_EQ(fleet.Totals().everConnected, 1);

    fleet.Stop();
    EXPECT_TRUE(WaitUntil([&] { return host_.At(1).closed; }));
    EXPECT_EQ(fleet.PendingAttempts(), 0);
    EXPECT_FALSE(fleet.Reader(0).IsConnecting());
}

TEST_F(SimFleetTest, FailedConnectionsAreReportedAndFinish) {
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.serverPort();
    }
    SimFleetOptions options = Options(5);
    options.port = port;
    options.connectWindow = 2;
    SimFleet fleet(options);
    QSignalSpy failed(&fleet, &SimFleet::ReaderConnectFailed);
    QSignalSpy finished(&fleet, &SimFleet::AttemptsFinished);
    fleet.Start();
    ASSERT_TRUE(WaitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(failed.count(), 5);
    EXPECT_EQ(fleet.PendingAttempts(), 0);
    EXPECT_EQ(fleet.Totals().everConnected, 0);
}

}  // namespace
}  // namespace trelvane
