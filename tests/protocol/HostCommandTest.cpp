#include "protocol/HostCommand.h"

#include <gtest/gtest.h>

#include "support/LocalTime.h"
#include "support/ManualClock.h"

#include "support/Bytes.h"

namespace trelvane {
namespace {

using test::Bytes;
using test::Hex;

using test::At;

Bytes Command(int type, unsigned parameter, const Clock& clock = SystemClock()) {
    std::array<std::uint8_t, kCommandBufferSize> out{};
    const auto n = BuildCommandFrame(type, parameter, clock, out);
    EXPECT_TRUE(n.has_value()) << "type " << type;
    return Bytes(out.begin(), out.begin() + static_cast<long>(n.value_or(0)));
}

class RecordingSocket final : public CommandSocket {
  public:
    bool accept = true;
    std::vector<Bytes> sends;
    bool SendBytes(std::span<const std::uint8_t> bytes) override {
        sends.emplace_back(bytes.begin(), bytes.end());
        return accept;
    }
};

TEST(HostCommand, FramesOfTheCommandTable) {
    EXPECT_EQ(Hex(Command(CMD_START_READ, 0)), "55 00 00 03 62 01 01 BD AD");
    EXPECT_EQ(Hex(Command(CMD_STOP_READ, 0)), "55 00 00 01 6F 87 61");
    EXPECT_EQ(Hex(Command(CMD_QUERY_INFO, 0)), "55 00 00 02 01 00 06 28");
    EXPECT_EQ(Hex(Command(CMD_QUERY_ATTEN, 0)), "55 00 00 01 12 86 6F");
    EXPECT_EQ(Hex(Command(CMD_QUERY_CARRIER, 0)), "55 00 00 05 14 00 00 00 00 1E 65");
    EXPECT_EQ(Hex(Command(CMD_SET_ATTEN, 5)),
              "55 05 00 0D 11 00 00 03 00 00 00 05 00 00 00 00 00 2C B8");
    EXPECT_EQ(Hex(Command(CMD_SET_CARRIER, 2)), "55 02 00 04 13 00 01 02 79 CA");
    EXPECT_EQ(Hex(Command(CMD_DATA_ACK, 300)), "55 0C 00 03 D0 01 2C 14 A4");
    // 85 = 0x55: the data byte is escaped on the wire.
    EXPECT_EQ(Hex(Command(CMD_DATA_ACK, 85)), "55 05 00 03 D0 00 56 56 AB B8");
}

TEST(HostCommand, ParameterAppearsInByteOneAndInTheData) {
    const Bytes item1 = Command(CMD_QUERY_INFO, 1);
    EXPECT_EQ(item1[1], 0x01);
    EXPECT_EQ(item1[5], 0x01);
    EXPECT_EQ(Hex(item1), "55 01 00 02 01 01 06 56 57");
    const Bytes item5 = Command(CMD_QUERY_INFO, 5);
    EXPECT_EQ(item5[1], 0x05);
    EXPECT_EQ(item5[5], 0x05);
    // Counts above 16 go modulo 16 into byte 1; bits above 15 are dropped from the data.
    const Bytes ack = Command(CMD_DATA_ACK, 0x12345);
    EXPECT_EQ(ack[1], 0x05);
    EXPECT_EQ(ack[5], 0x23);
    EXPECT_EQ(ack[6], 0x45);
    EXPECT_EQ(Command(CMD_DATA_ACK, 16)[1], 0x10);
    // Only the low 8 bits of an index reach the data.
    EXPECT_EQ(Command(CMD_SET_CARRIER, 0x117)[7], 0x17);
}

TEST(HostCommand, SetTimeSendsThePinnedLocalClockInBcd) {
    ManualClock clock;
    clock.SetLocalTime(At(2026, 3, 8, 9, 5, 3));  // a Sunday
    EXPECT_EQ(Hex(Bytes(Command(CMD_SET_TIME, 0, clock))).substr(0, 15), "55 00 00 08 B0 ");
    Bytes frame = Command(CMD_SET_TIME, 0, clock);
    EXPECT_EQ(Hex(Bytes(frame.begin() + 5, frame.begin() + 12)), "03 05 09 07 08 03 26");

    clock.SetLocalTime(At(2026, 3, 9, 23, 59, 59));  // Monday
    const auto monday = ClockData(clock.LocalNow());
    EXPECT_EQ(Hex(Bytes(monday.begin(), monday.end())), "59 59 23 01 09 03 26");
    clock.SetLocalTime(At(2026, 3, 14, 0, 0, 0));  // Saturday
    EXPECT_EQ(ClockData(clock.LocalNow())[3], 0x06);
}

TEST(HostCommand, DecimalAsBcdReadsTwoDigitsOnly) {
    EXPECT_EQ(DecimalAsBcd(0), 0x00);
    EXPECT_EQ(DecimalAsBcd(7), 0x07);
    EXPECT_EQ(DecimalAsBcd(26), 0x26);
    EXPECT_EQ(DecimalAsBcd(59), 0x59);
    EXPECT_EQ(DecimalAsBcd(100), 0x10) << "year 2100";
    EXPECT_EQ(DecimalAsBcd(999), 0x99) << "year 2999";
    EXPECT_EQ(ClockData(At(2100, 1, 1, 0, 0, 0))[6], 0x10);
}

TEST(HostCommand, UnknownTypesBuildAndSendNothing) {
    std::array<std::uint8_t, kCommandBufferSize> out{};
    EXPECT_FALSE(BuildCommandFrame(9, 0, SystemClock(), out));
    EXPECT_FALSE(BuildCommandFrame(-1, 0, SystemClock(), out));
    RecordingSocket socket;
    EXPECT_FALSE(SendCommand(socket, 9, 0, SystemClock()));
    EXPECT_FALSE(SendCommand(socket, 200, 0, SystemClock()));
    EXPECT_TRUE(socket.sends.empty());
}

TEST(HostCommand, SendCommandMakesOneSendAndReportsItsResult) {
    RecordingSocket socket;
    EXPECT_TRUE(SendCommand(socket, CMD_STOP_READ, 0, SystemClock()));
    ASSERT_EQ(socket.sends.size(), 1u);
    EXPECT_EQ(Hex(socket.sends[0]), "55 00 00 01 6F 87 61");

    socket.accept = false;
    EXPECT_FALSE(SendCommand(socket, CMD_START_READ, 0, SystemClock()));
    EXPECT_EQ(socket.sends.size(), 2u) << "no retry";
}

}  // namespace
}  // namespace trelvane
