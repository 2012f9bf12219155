// A simulated reader against a test host over loopback: the exact answer to every host command,
// the misbehaviour options, and the byte stream cut and merged in every way TCP may deliver it.

#include "sim/SimReader.h"

#include <gtest/gtest.h>

#include "support/LocalTime.h"
#include "support/ManualClock.h"

#include <QSignalSpy>

#include "sim/SimHost.h"

namespace trelvane {
namespace {

using test::B;
using test::Bytes;
using test::Concat;
using test::Hex;
using test::HostCommand;
using test::SimHost;
using test::WaitUntil;
using test::WireFrame;

using test::At;

class SimReaderTest : public ::testing::Test {
  protected:
    SimReaderOptions Quiet() {
        SimReaderOptions options;
        options.rate = 1e-9;  // reports, if started, stay out of the way
        return options;
    }

    // Connects `reader` and returns the host's end of the connection.
    SimHost::Connection& Connect(SimReader& reader) {
        const std::size_t index = host_.ConnectionCount();
        reader.ConnectTo(host_.Address(), host_.Port());
        EXPECT_TRUE(WaitUntil([&] { return reader.IsConnected(); }));
        SimHost::Connection* c = host_.WaitForConnection(index);
        EXPECT_NE(c, nullptr);
        sentBase_ = reader.Stats().bytesSent;
        return *c;
    }

    // Sends `command` and returns what the reader answered to it: the reader writes its answers
    // while it handles a frame, so once the frame is counted, everything the reader has sent on
    // this connection is on its way and the host waits for exactly that many bytes.
    Bytes Exchange(SimHost::Connection& c, const SimReader& reader, const Bytes& command) {
        const std::size_t start = c.received.size();
        const std::uint64_t frames = reader.Stats().framesReceived;
        SimHost::Send(c, command);
        const bool done = WaitUntil([&] {
            return reader.Stats().framesReceived > frames &&
                   c.received.size() == reader.Stats().bytesSent - sentBase_;
        });
        EXPECT_TRUE(done) << "received " << Hex(c.received);
        return Bytes(c.received.begin() + static_cast<long>(start), c.received.end());
    }

    SimHost host_;
    std::uint64_t sentBase_ = 0;  // the reader's bytesSent when its connection began
};

TEST_F(SimReaderTest, IdentityItemsAreAnsweredWithTheirTexts) {
    SimReaderOptions options = Quiet();
    options.deviceName = "R01";
    options.productType = "K314B";
    options.serialNo = "SN12345";
    options.softwareVer = "V3.2";
    options.hardwareVer = "H\x55\x56";  // escaped on the wire
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);

    // Fixed vectors for the layout: parameter byte = item, status, then the text.
    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 0))),
              "55 00 00 05 01 00 52 30 31 3C B0");
    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 4))), "55 04 00 02 01 01 07 CE");

    const auto text = [](const std::string& s) {
        Bytes data{0x00};
        data.insert(data.end(), s.begin(), s.end());
        return data;
    };
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 1)),
              WireFrame(0x01, 1, text("K314B")));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 2)),
              WireFrame(0x01, 2, text("SN12345")));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 3)),
              WireFrame(0x01, 3, text("V3.2")));
    const Bytes hardware = Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 5));
    EXPECT_EQ(hardware, WireFrame(0x01, 5, text("H\x55\x56")));
    EXPECT_NE(Hex(hardware).find("56 56 56 57"), std::string::npos) << Hex(hardware);
    // Unknown items, including one past the parameter byte's range, get status 1 and no text.
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 6)), WireFrame(0x01, 6, B({0x01})));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 40)), WireFrame(0x01, 40, B({0x01})));
    EXPECT_EQ(reader.Stats().framesByCommand[0x01], 8u);
    EXPECT_EQ(reader.Stats().framesReceived, 8u);
}

TEST_F(SimReaderTest, TooLongIdentityTextIsRefusedNotTruncated) {
    SimReaderOptions options = Quiet();
    options.productType = std::string(kMaxSimIdentityText + 1, 'x');
    options.serialNo = std::string(kMaxSimIdentityText, '\x55');  // longest, all escaped
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 1)), WireFrame(0x01, 1, B({0x01})));
    const Bytes serial = Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 2));
    Bytes data{0x00};
    data.insert(data.end(), kMaxSimIdentityText, 0x55);
    EXPECT_EQ(serial, WireFrame(0x01, 2, data));
    ASSERT_GT(serial.size(), 3u);
    EXPECT_EQ(serial[3], 2 + kMaxSimIdentityText);
}

TEST_F(SimReaderTest, ClockIsStoredAndAnsweredOrRefused) {
    SimReader reader(Quiet());
    SimHost::Connection& c = Connect(reader);
    ManualClock hostClock;
    hostClock.SetLocalTime(At(2026, 3, 8, 9, 5, 3));  // a Sunday

    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_SET_TIME, 0, hostClock))),
              "55 00 00 02 B0 00 A0 22");
    ASSERT_TRUE(reader.Stats().lastClock.has_value());
    EXPECT_EQ(Hex(Bytes(reader.Stats().lastClock->begin(), reader.Stats().lastClock->end())),
              "03 05 09 07 08 03 26");

    // Not a date: refused, though what arrived is still on record.
    const Bytes badMonth = WireFrame(0xB0, 0, B({0x03, 0x05, 0x09, 0x07, 0x08, 0x13, 0x26}));
    EXPECT_EQ(Hex(Exchange(c, reader, badMonth)), "55 00 00 02 B0 01 20 27");
    EXPECT_EQ((*reader.Stats().lastClock)[5], 0x13);
    // Too short to carry a clock.
    EXPECT_EQ(Hex(Exchange(c, reader, WireFrame(0xB0, 0, B({0x03})))), "55 00 00 02 B0 01 20 27");

    reader.MutableOptions().failClock = true;
    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_SET_TIME, 0, hostClock))),
              "55 00 00 02 B0 01 20 27");
    EXPECT_EQ(reader.Stats().framesByCommand[0xB0], 4u);
}

TEST_F(SimReaderTest, StartAndStopRead) {
    SimReader reader(Quiet());
    SimHost::Connection& c = Connect(reader);
    QSignalSpy changes(&reader, &SimReader::ReportingChanged);

    // Anything but data 01 01 is refused and starts nothing.
    EXPECT_EQ(Exchange(c, reader, WireFrame(0x62, 0, B({0x01, 0x02}))), WireFrame(0x62, 0, B({1})));
    EXPECT_FALSE(reader.IsReporting());

    const std::size_t start = c.received.size();
    SimHost::Send(c, HostCommand(CMD_START_READ));
    ASSERT_TRUE(SimHost::WaitForBytes(c, start + 8));
    EXPECT_EQ(Hex(Bytes(c.received.begin() + static_cast<long>(start),
                        c.received.begin() + static_cast<long>(start) + 8)),
              "55 00 00 02 62 00 CC 2D");
    EXPECT_TRUE(reader.IsReporting());
    ASSERT_EQ(changes.count(), 1);
    EXPECT_TRUE(changes.at(0).at(0).toBool());
    // The first report follows at once even at this rate.
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().reportsSent == 1; }));

    // Then nothing but the stop's answer.
    ASSERT_TRUE(
        WaitUntil([&] { return c.received.size() == start + 8 + reader.Stats().bytesReporting; }));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_STOP_READ)), WireFrame(0x6F, 0, B({0})));
    EXPECT_FALSE(reader.IsReporting());
    ASSERT_EQ(changes.count(), 2);
    EXPECT_FALSE(changes.at(1).at(0).toBool());
    EXPECT_EQ(reader.Stats().reportsSent, 1u);
}

TEST_F(SimReaderTest, AttenAndCarrierQueriesAndSets) {
    SimReaderOptions options = Quiet();
    options.atten = 7;
    options.carrier = 3;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);

    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_QUERY_ATTEN))),
              "55 00 00 09 12 00 00 00 00 00 00 00 07 8A 6F");
    EXPECT_EQ(Hex(Exchange(c, reader, HostCommand(CMD_QUERY_CARRIER))),
              "55 00 00 03 14 00 03 3D 1A");

    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_SET_ATTEN, 5)), WireFrame(0x11, 0, B({0})));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_SET_CARRIER, 2)), WireFrame(0x13, 0, B({0})));
    EXPECT_EQ(reader.Options().atten, 5);
    EXPECT_EQ(reader.Options().carrier, 2);
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_ATTEN)),
              WireFrame(0x12, 0, B({0, 0, 0, 0, 0, 0, 0, 5})));

    reader.MutableOptions().failSet = true;
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_SET_ATTEN, 9)), WireFrame(0x11, 0, B({1})));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_SET_CARRIER, 1)), WireFrame(0x13, 0, B({1})));
    EXPECT_EQ(reader.Options().atten, 5);
    EXPECT_EQ(reader.Options().carrier, 2);
    // A set too short to carry its index is refused even by a willing reader.
    reader.MutableOptions().failSet = false;
    EXPECT_EQ(Exchange(c, reader, WireFrame(0x13, 0, B({0x00, 0x01}))), WireFrame(0x13, 0, B({1})));

    reader.MutableOptions().failQuery = true;
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_ATTEN)), WireFrame(0x12, 0, B({1})));
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_CARRIER)), WireFrame(0x14, 0, B({1})));
}

TEST_F(SimReaderTest, AfterCountersIgnoreEarlyRequests) {
    SimReaderOptions options = Quiet();
    options.identityAfter = 3;
    options.clockAfter = 0;
    options.startAfter = 2;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    const Bytes name = WireFrame(0x01, 0, B({0x00, 'R', '0', '1'}));

    EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 0)).empty());
    // Any item counts as an identity request.
    EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 2)).empty());
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 0)), name);
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 0)), name);

    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_SET_TIME)).empty());
    }
    EXPECT_FALSE(reader.Stats().lastClock.has_value());

    EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_START_READ)).empty());
    EXPECT_FALSE(reader.IsReporting());
    const std::size_t start = c.received.size();
    SimHost::Send(c, HostCommand(CMD_START_READ));
    ASSERT_TRUE(SimHost::WaitForBytes(c, start + 8));
    EXPECT_EQ(Bytes(c.received.begin() + static_cast<long>(start),
                    c.received.begin() + static_cast<long>(start) + 8),
              WireFrame(0x62, 0, B({0})));
    EXPECT_TRUE(reader.IsReporting());
}

TEST_F(SimReaderTest, ReconnectRestartsTheRequestCounters) {
    SimReaderOptions options = Quiet();
    options.identityAfter = 2;
    SimReader reader(options);
    SimHost::Connection& first = Connect(reader);
    EXPECT_TRUE(Exchange(first, reader, HostCommand(CMD_QUERY_INFO, 0)).empty());

    SimHost::Connection& second = Connect(reader);  // drops the first connection
    EXPECT_TRUE(WaitUntil([&] { return first.closed; }));
    EXPECT_TRUE(Exchange(second, reader, HostCommand(CMD_QUERY_INFO, 0)).empty());
    EXPECT_EQ(Exchange(second, reader, HostCommand(CMD_QUERY_INFO, 0)),
              WireFrame(0x01, 0, B({0x00, 'R', '0', '1'})));
    EXPECT_EQ(reader.Stats().connects, 2u);
}

TEST_F(SimReaderTest, SilentReaderSendsNothingAtAll) {
    SimReaderOptions options = Quiet();
    options.silent = true;
    SimReader reader(options);
    SimHost::Connection& c = Connect(reader);
    const Bytes all = Concat({HostCommand(CMD_QUERY_INFO, 0), HostCommand(CMD_SET_TIME),
                              HostCommand(CMD_START_READ), HostCommand(CMD_QUERY_ATTEN),
                              HostCommand(CMD_QUERY_CARRIER), HostCommand(CMD_SET_ATTEN, 1),
                              HostCommand(CMD_SET_CARRIER, 1), HostCommand(CMD_STOP_READ),
                              HostCommand(CMD_DATA_ACK, 10)});
    SimHost::Send(c, all);
    // Answers are written while the frame is handled, so once the last frame is in, any answer
    // would already be counted.
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().framesReceived == 9; }));
    EXPECT_EQ(reader.Stats().bytesSent, 0u);
    EXPECT_EQ(reader.UnsentBytes(), 0);
    EXPECT_FALSE(reader.IsReporting());
    EXPECT_EQ(reader.Stats().bytesAcked, 10u);
    EXPECT_TRUE(c.received.empty());
}

TEST_F(SimReaderTest, DataAcksAreCountedNotAnswered) {
    SimReader reader(Quiet());
    SimHost::Connection& c = Connect(reader);
    EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_DATA_ACK, 300)).empty());
    EXPECT_TRUE(Exchange(c, reader, HostCommand(CMD_DATA_ACK, 85)).empty());  // 00 55: escaped
    EXPECT_TRUE(Exchange(c, reader, WireFrame(0xD0, 0, B({0x55, 0x56}))).empty());
    EXPECT_EQ(reader.Stats().bytesAcked, 300u + 85u + 0x5556u);
    EXPECT_EQ(reader.Stats().framesByCommand[0xD0], 3u);
}

TEST_F(SimReaderTest, CommandsSplitAcrossSegmentsAndMergedInOne) {
    SimReader reader(Quiet());
    SimHost::Connection& c = Connect(reader);

    // The identity query for item 1 ends in an escape pair (06 56 57); each byte goes alone, and
    // the reader must see each one before the next is sent.
    const Bytes query = HostCommand(CMD_QUERY_INFO, 1);
    ASSERT_EQ(Hex(query), "55 01 00 02 01 01 06 56 57");
    for (std::uint8_t b : query) {
        const std::uint64_t before = reader.Stats().bytesReceived;
        SimHost::Send(c, Bytes{b});
        ASSERT_TRUE(WaitUntil([&] { return reader.Stats().bytesReceived == before + 1; }));
    }
    const Bytes product = WireFrame(0x01, 1, B({0x00, 'K', '3', '1', '4'}));
    ASSERT_TRUE(SimHost::WaitForBytes(c, product.size()));
    EXPECT_EQ(c.received, product);

    // Three commands in one write: three answers, in order.
    c.received.clear();
    SimHost::Send(c, Concat({HostCommand(CMD_QUERY_ATTEN), HostCommand(CMD_SET_CARRIER, 4),
                             HostCommand(CMD_QUERY_CARRIER)}));
    const Bytes expected = Concat({WireFrame(0x12, 0, B({0, 0, 0, 0, 0, 0, 0, 0})),
                                   WireFrame(0x13, 0, B({0})), WireFrame(0x14, 0, B({0, 4}))});
    ASSERT_TRUE(SimHost::WaitForBytes(c, expected.size()));
    EXPECT_EQ(Hex(c.received), Hex(expected));
}

TEST_F(SimReaderTest, JunkAndDamagedFramesDoNotWedgeTheReader) {
    SimReader reader(Quiet());
    SimHost::Connection& c = Connect(reader);
    // More than a receive buffer of bytes without a start byte: dropped, not stuck.
    SimHost::Send(c, Bytes(3000, 0x41));
    Bytes damaged = HostCommand(CMD_QUERY_ATTEN);
    damaged[4] ^= 0x01;  // command 0x13 now, CRC no longer matches
    SimHost::Send(c, damaged);
    EXPECT_EQ(Exchange(c, reader, HostCommand(CMD_QUERY_INFO, 0)),
              WireFrame(0x01, 0, B({0x00, 'R', '0', '1'})));
    EXPECT_GE(reader.Stats().bytesDropped, 2048u);
    EXPECT_EQ(reader.Stats().framesByCommand[0x13], 0u);
    EXPECT_EQ(reader.Stats().framesReceived, 1u);
}

TEST_F(SimReaderTest, ConnectionFacingApi) {
    SimReader reader(Quiet());
    QSignalSpy frames(&reader, &SimReader::FrameReceived);
    QSignalSpy disconnected(&reader, &SimReader::Disconnected);
    SimHost::Connection& c = Connect(reader);

    EXPECT_EQ(reader.LocalPort(), c.socket->peerPort());
    EXPECT_EQ(reader.DeviceKey().toStdString(),
              "127.0.0.1:" + std::to_string(c.socket->peerPort()));

    // Received frames are kept unescaped, exactly as the host built them.
    const Bytes ack = HostCommand(CMD_DATA_ACK, 85);
    Exchange(c, reader, ack);
    ASSERT_EQ(reader.ReceivedFrames().size(), 1u);
    EXPECT_EQ(Hex(reader.ReceivedFrames()[0]), "55 05 00 03 D0 00 55 AB B8");
    ASSERT_EQ(frames.count(), 1);
    const QByteArray first = frames.at(0).at(0).toByteArray();
    EXPECT_EQ(Hex(Bytes(first.begin(), first.end())), "55 05 00 03 D0 00 55 AB B8");

    // Raw bytes go out untouched and are counted.
    const std::uint64_t sentBefore = reader.Stats().bytesSent;
    c.received.clear();
    ASSERT_TRUE(reader.SendRaw(B({0x55, 0x00, 0x56, 0x99})));
    ASSERT_TRUE(SimHost::WaitForBytes(c, 4));
    EXPECT_EQ(Hex(c.received), "55 00 56 99");
    EXPECT_EQ(reader.Stats().bytesSent, sentBefore + 4);

    // The host hangs up: the reader notices and says so.
    c.socket->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return disconnected.count() == 1; }));
    EXPECT_FALSE(reader.IsConnected());
    EXPECT_FALSE(reader.SendRaw(B({0x01})));

    // And the reader's own Close reaches the host.
    SimHost::Connection& again = Connect(reader);
    reader.Close();
    EXPECT_TRUE(WaitUntil([&] { return again.closed; }));
    EXPECT_EQ(disconnected.count(), 2);
}

}  // namespace
}  // namespace trelvane
