#include "protocol/FrameCodec.h"

#include <gtest/gtest.h>

#include "support/Bytes.h"

namespace trelvane {
namespace {

using test::B;
using test::Bytes;
using test::Hex;

Bytes Build(std::uint8_t command, const Bytes& data, unsigned parameter) {
    std::array<std::uint8_t, 264> out{};
    const auto length = BuildFrame(command, data, parameter, out);
    EXPECT_TRUE(length.has_value());
    return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length.value_or(0)));
}

// Undoes the wire escaping of a built frame (test-side reference, independent of the codec).
Bytes Unescaped(const Bytes& wire) {
    Bytes out{wire.at(0)};
    for (std::size_t i = 1; i < wire.size(); ++i) {
        if (wire[i] == 0x56) {
            out.push_back(wire.at(i + 1) == 0x56 ? 0x55 : 0x56);
            ++i;
        } else {
            out.push_back(wire[i]);
        }
    }
    return out;
}

TEST(Crc16, CheckValueIgnoresTheStartByte) {
    for (std::uint8_t first : {0x00, 0x55, 0xFF}) {
        Bytes frame = B({first, '1', '2', '3', '4', '5', '6', '7', '8', '9'});
        EXPECT_EQ(Crc16(frame, 9), 0xFEE8);
    }
    EXPECT_EQ(Crc16(B({0x55, 0x12}), 0), 0);
    EXPECT_EQ(Crc16(B({0x55, 0, 0, 0, 0, 0}), 5), 0) << "zero bytes have a zero CRC";
}

// The table-sliced CRC must equal the plain bit-by-bit definition at every length, including
// every split into 16-, 8-, 4-, 2- and 1-byte steps.
TEST(Crc16, MatchesTheBitwiseDefinitionAtEveryLength) {
    const auto bitwise = [](const Bytes& frame, std::size_t n) {
        std::uint16_t reg = 0;
        for (std::size_t i = 1; i <= n; ++i) {
            reg ^= static_cast<std::uint16_t>(frame[i] << 8);
            for (int bit = 0; bit < 8; ++bit) {
                reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x8005 : reg << 1);
            }
        }
        return reg;
    };
    Bytes frame(262);
    std::uint32_t seed = 12345;
    for (auto& b : frame) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    for (std::size_t n = 0; n <= 260; ++n) {
        ASSERT_EQ(Crc16(frame, n), bitwise(frame, n)) << "n = " << n;
    }
}

TEST(BuildFrame, WorkedExamplesOnTheWire) {
    EXPECT_EQ(Hex(Build(0x01, B({0x00}), 0)), "55 00 00 02 01 00 06 28");
    // A CRC byte of 0x56 is escaped like any other byte.
    EXPECT_EQ(Hex(Build(0x01, B({0x01}), 1)), "55 01 00 02 01 01 06 56 57");
    EXPECT_EQ(Hex(Build(0x6F, {}, 0)), "55 00 00 01 6F 87 61");
    EXPECT_EQ(Hex(Build(0xD0, B({0x00, 0x55}), 85)), "55 05 00 03 D0 00 56 56 AB B8");
}

TEST(BuildFrame, ParameterByteRule) {
    EXPECT_EQ(ParameterByte(0), 0x00);
    EXPECT_EQ(ParameterByte(15), 0x0F);
    EXPECT_EQ(ParameterByte(16), 0x10);
    EXPECT_EQ(ParameterByte(17), 0x01);
    EXPECT_EQ(ParameterByte(32), 0x00);
    EXPECT_EQ(ParameterByte(300), 0x0C);
    EXPECT_EQ(Build(0x6F, {}, 16).at(1), 0x10);
    EXPECT_EQ(Build(0x6F, {}, 300).at(1), 0x0C);
}

TEST(BuildFrame, EveryBuiltFrameChecksToZero) {
    for (unsigned parameter = 0; parameter < 40; ++parameter) {
        for (int fill = 0; fill < 256; fill += 17) {
            Bytes data(parameter % 13, static_cast<std::uint8_t>(fill + parameter));
            const Bytes frame = Unescaped(Build(0x62, data, parameter));
            ASSERT_EQ(frame.size(), data.size() + 7);
            EXPECT_EQ(frame[3], data.size() + 1);
            EXPECT_EQ(Crc16(frame, frame[3] + 5u), 0) << Hex(frame);
        }
    }
}

TEST(BuildFrame, RefusesWhatDoesNotFit) {
    std::array<std::uint8_t, 8> small{};
    small.fill(0xEE);
    // 55 00 00 02 01 00 06 28 is 8 bytes: fits exactly; one byte less does not.
    EXPECT_EQ(BuildFrame(0x01, B({0x00}), 0, small), 8u);
    small.fill(0xEE);
    EXPECT_FALSE(BuildFrame(0x01, B({0x00}), 0, std::span(small).first(7)));
    EXPECT_EQ(small[0], 0xEE) << "nothing is written when the frame does not fit";

    std::array<std::uint8_t, 600> big{};
    EXPECT_FALSE(BuildFrame(0x01, Bytes(255, 0x01), 0, big)) << "L would exceed 255";
    // 254 data bytes make L = 255 but 261 bytes do not fit the 256-byte output area.
    EXPECT_FALSE(BuildFrame(0x01, Bytes(254, 0x01), 0, big));
    EXPECT_TRUE(BuildFrame(0x01, Bytes(200, 0x01), 0, big));
    EXPECT_FALSE(BuildFrame(0x01, Bytes(200, 0x55), 0, big)) << "escaping doubles it past 256";
}

TEST(ByteRoutines, BcdToBinaryIsArithmetic) {
    EXPECT_EQ(BcdToBinary(0x00), 0);
    EXPECT_EQ(BcdToBinary(0x26), 26);
    EXPECT_EQ(BcdToBinary(0x59), 59);
    EXPECT_EQ(BcdToBinary(0x1F), 25);
    EXPECT_EQ(BcdToBinary(0xFF), 165);
}

TEST(ByteRoutines, CopyBytesToText) {
    const Bytes data = B({'R', '0', 0x00, '1'});
    std::string text = "old";
    EXPECT_FALSE(CopyBytesToText(data, 5, text));
    EXPECT_EQ(text, "old");
    EXPECT_TRUE(CopyBytesToText(data, 4, text));
    EXPECT_EQ(text, std::string("R0\0"
                                "1",
                                4))
        << "NUL bytes are kept";
    EXPECT_TRUE(CopyBytesToText(data, 0, text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(CopyBytesToText({}, 0, text));
}

}  // namespace
}  // namespace trelvane
