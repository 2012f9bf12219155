#pragma once

// What the service hands the history: one batch per parse pass of tag reads, device events and
// presence events, each carrying its number from the service's one sequence. The views point
// into the caller's buffers and are read during Append only.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/TagReport.h"

namespace trelvane::history {

struct Read {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;  // Unix milliseconds (Clock::UnixMillis)
    std::uint32_t tag = 0;
    std::string_view reader;  // UTF-8, the reader's name (its device key until named)
    std::string_view device;  // "ip:port" device key
    std::optional<ReaderTime> readerTime;
};

// Stored as these numbers: never renumber.
enum class DeviceEventKind : std::uint8_t {
    kConnected = 0,
    kNamed = 1,
    kReadingStarted = 2,
    kReadingStopped = 3,
    kRemoved = 4,
};

struct DeviceEvent {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;
    DeviceEventKind kind = DeviceEventKind::kConnected;
    std::string_view reader;
    std::string_view device;
};

enum class PresenceKind : std::uint8_t { kArrive = 0, kDepart = 1 };

struct PresenceEvent {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    std::string_view reader;
    std::string_view device;  // the device key the reader had (readers are named per device)
    PresenceKind kind = PresenceKind::kArrive;
};

struct Batch {
    std::span<const Read> reads;
    std::span<const DeviceEvent> devices;
    std::span<const PresenceEvent> presence;
};

// The words the query tools print: "connected", "named", "reading_started", "reading_stopped",
// "removed"; "arrive", "depart". Unknown stored numbers give "unknown".
std::string_view DeviceEventText(DeviceEventKind kind);
std::string_view PresenceText(PresenceKind kind);

}  // namespace trelvane::history
