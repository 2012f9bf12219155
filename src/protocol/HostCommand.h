#pragma once

// The nine commands the host sends to a reader. Every sender names a command by its type and
// one parameter value; BuildCommandFrame lays out the data and SendCommand puts the frame on a
// socket in a single send.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"

namespace trelvane {

enum CommandType : int {
    CMD_START_READ = 0,     // 0x62 01 01
    CMD_STOP_READ = 1,      // 0x6F
    CMD_QUERY_INFO = 2,     // 0x01 item; parameter = identity item
    CMD_SET_ATTEN = 3,      // 0x11 ...; parameter = ATTEN list index
    CMD_QUERY_ATTEN = 4,    // 0x12
    CMD_SET_CARRIER = 5,    // 0x13 00 01 v; parameter = carrier list index
    CMD_QUERY_CARRIER = 6,  // 0x14 00 00 00 00
    CMD_SET_TIME = 7,       // 0xB0 + BCD local clock
    CMD_DATA_ACK = 8,       // 0xD0 n_hi n_lo; parameter = bytes of the chunk acknowledged
};

inline constexpr int kCommandTypeCount = 9;

// Command bytes. A reader answers a command with a frame carrying the same byte (0x62 also
// marks its tag reports).
namespace commandbyte {
inline constexpr std::uint8_t kStartRead = 0x62;
inline constexpr std::uint8_t kStopRead = 0x6F;
inline constexpr std::uint8_t kQueryInfo = 0x01;
inline constexpr std::uint8_t kSetAtten = 0x11;
inline constexpr std::uint8_t kQueryAtten = 0x12;
inline constexpr std::uint8_t kSetCarrier = 0x13;
inline constexpr std::uint8_t kQueryCarrier = 0x14;
inline constexpr std::uint8_t kSetTime = 0xB0;
inline constexpr std::uint8_t kDataAck = 0xD0;
}  // namespace commandbyte

// Command byte of each command type.
inline constexpr std::array<std::uint8_t, kCommandTypeCount> kCommandBytes = {
    commandbyte::kStartRead,    commandbyte::kStopRead,   commandbyte::kQueryInfo,
    commandbyte::kSetAtten,     commandbyte::kQueryAtten, commandbyte::kSetCarrier,
    commandbyte::kQueryCarrier, commandbyte::kSetTime,    commandbyte::kDataAck};

// Identity items a reader answers to CMD_QUERY_INFO.
enum IdentityItem : int {
    kItemDeviceName = 0,
    kItemProductType = 1,
    kItemSerialNo = 2,
    kItemSoftwareVer = 3,
    kItemHardwareVer = 5,
};

// The size of the senders' frame buffer.
inline constexpr std::size_t kCommandBufferSize = 264;

// Writes `value` as decimal text of at most three characters and reads it back as two hex
// digits: 26 -> 0x26, 7 -> 0x07, 100 -> 0x10. The clock of CMD_SET_TIME is sent this way.
std::uint8_t DecimalAsBcd(int value);

// The 7 clock data bytes of CMD_SET_TIME: second, minute, hour, weekday (Monday 1 .. Sunday 7),
// day, month, year - 2000.
std::array<std::uint8_t, 7> ClockData(const LocalDateTime& now);

// Builds the escaped frame of command `type` with `parameter`. CMD_SET_TIME reads `clock` once.
// Returns the frame length, or nothing for a type outside 0..8.
std::optional<std::size_t> BuildCommandFrame(int type, unsigned parameter, const Clock& clock,
                                             std::span<std::uint8_t, kCommandBufferSize> out);

// Where SendCommand puts its bytes: one call per frame, true when the bytes were accepted for
// sending (a short send counts as sent).
class CommandSocket {
  public:
    virtual ~CommandSocket() = default;
    virtual bool SendBytes(std::span<const std::uint8_t> bytes) = 0;
};

// Builds the frame and hands it to one SendBytes call. False when the type is unknown or the
// socket refused the bytes; never retries.
bool SendCommand(CommandSocket& socket, int type, unsigned parameter, const Clock& clock);

}  // namespace trelvane
