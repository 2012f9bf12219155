#include "protocol/HostCommand.h"

#include <cstdio>
#include <string>

namespace trelvane {

std::uint8_t DecimalAsBcd(int value) {
    // The reader's clock format: at most three decimal characters, read back as two hex digits.
    const std::string text = std::to_string(value).substr(0, 3);
    unsigned parsed = 0;
    if (std::sscanf(text.c_str(), "%02x", &parsed) != 1) {
        return 0;
    }
    return static_cast<std::uint8_t>(parsed & 0xFF);
}

std::array<std::uint8_t, 7> ClockData(const LocalDateTime& now) {
    std::uint8_t weekday = DecimalAsBcd(now.dayOfWeek);
    if (weekday == 0) {
        weekday = 7;
    }
    return {
        DecimalAsBcd(now.second), DecimalAsBcd(now.minute), DecimalAsBcd(now.hour),       weekday,
        DecimalAsBcd(now.day),    DecimalAsBcd(now.month),  DecimalAsBcd(now.year - 2000)};
}

std::optional<std::size_t> BuildCommandFrame(int type, unsigned parameter, const Clock& clock,
                                             std::span<std::uint8_t, kCommandBufferSize> out) {
    if (type < 0 || type >= kCommandTypeCount) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 128> data{};
    std::size_t length = 0;
    const auto low = static_cast<std::uint8_t>(parameter & 0xFF);
    switch (static_cast<CommandType>(type)) {
        case CMD_START_READ:
            data[0] = 0x01;
            data[1] = 0x01;
            length = 2;
            break;
        case CMD_STOP_READ:
        case CMD_QUERY_ATTEN:
            length = 0;
            break;
        case CMD_QUERY_INFO:
            data[0] = low;
            length = 1;
            break;
        case CMD_SET_ATTEN:
            data[2] = 0x03;
            data[6] = low;
            length = 12;
            break;
        case CMD_SET_CARRIER:
            data[1] = 0x01;
            data[2] = low;
            length = 3;
            break;
        case CMD_QUERY_CARRIER:
            length = 4;
            break;
        case CMD_SET_TIME: {
            const auto clockData = ClockData(clock.LocalNow());
            std::copy(clockData.begin(), clockData.end(), data.begin());
            length = clockData.size();
            break;
        }
        case CMD_DATA_ACK:
            data[0] = static_cast<std::uint8_t>((parameter >> 8) & 0xFF);
            data[1] = low;
            length = 2;
            break;
    }
    return BuildFrame(kCommandBytes[static_cast<std::size_t>(type)],
                      std::span<const std::uint8_t>(data.data(), length), parameter, out);
}

bool SendCommand(CommandSocket& socket, int type, unsigned parameter, const Clock& clock) {
    std::array<std::uint8_t, kCommandBufferSize> buffer{};
    const auto length = BuildCommandFrame(type, parameter, clock, buffer);
    if (!length) {
        return false;
    }
    return socket.SendBytes(std::span<const std::uint8_t>(buffer.data(), *length));
}

}  // namespace trelvane
