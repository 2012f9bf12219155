#pragma once

#include <array>
#include <cstdint>

#include "protocol/FrameCodec.h"
#include "protocol/TagReport.h"

namespace trelvane::test {

// The frame record of a tag report (command 0x62) as the deframer hands it over: length byte
// `length`, tag number at 10..13 (MSB first), reader clock at 14..20 (second, minute, hour,
// weekday, day, month, year - 2000), zeros behind. The CRC is not looked at after deframing.
// Writes `id` as a tag report's tag number (bytes 10..13, MSB first).
inline void SetTagId(FrameRecord& frame, std::uint32_t id) {
    frame[10] = static_cast<std::uint8_t>(id >> 24);
    frame[11] = static_cast<std::uint8_t>(id >> 16);
    frame[12] = static_cast<std::uint8_t>(id >> 8);
    frame[13] = static_cast<std::uint8_t>(id);
}

// The i-th of a run of distinct, scattered tag IDs (an odd multiplier is a bijection modulo
// 2^32), so large tables are not filled in key order.
inline std::uint32_t ScatteredTagId(std::uint64_t i) {
    return static_cast<std::uint32_t>(i * 2654435761u);
}

inline FrameRecord TagFrame(std::uint32_t id, std::uint8_t length = 17,
                            std::array<std::uint8_t, 7> clock = {0x03, 0x05, 0x09, 0x07, 0x08, 0x03,
                                                                 0x26}) {
    FrameRecord f{};
    f[0] = 0x55;
    f[3] = length;
    f[4] = 0x62;
    SetTagId(f, id);
    for (std::size_t i = 0; i < clock.size(); ++i) {
        f[14 + i] = clock[i];
    }
    return f;
}

// The typed report the deframed TagFrame decodes to.
inline TagReport TagReportFor(std::uint32_t id, std::uint8_t length = 17,
                              std::array<std::uint8_t, 7> clock = {0x03, 0x05, 0x09, 0x07, 0x08,
                                                                   0x03, 0x26}) {
    return DecodeTagReport(TagFrame(id, length, clock));
}

}  // namespace trelvane::test
