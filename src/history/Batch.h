#pragma once

// What the service hands the history: one batch per parse pass of tag reads, device events,
// presence, zone and alert events, each carrying its number from the service's one sequence.
// The views point into the caller's buffers and are read during Append only.

#include <span>

#include "events/Event.h"

namespace trelvane::history {

using events::DeviceEventKind;
using events::PresenceKind;
using events::ZoneEventKind;
using Read = events::Read;
using DeviceEvent = events::Device;
using PresenceEvent = events::Presence;
using ZoneEvent = events::ZoneChange;
using AlertEvent = events::Alert;

// The last read of a tag in the zone it is in: not an event, it keeps the open stay current.
struct ZoneSeen {
    std::uint32_t tag = 0;
    std::int64_t lastSeenMs = 0;
};

struct Batch {
    std::span<const Read> reads;
    std::span<const DeviceEvent> devices;
    std::span<const PresenceEvent> presence;
    std::span<const ZoneEvent> zones = {};
    std::span<const ZoneSeen> zoneSeen = {};
    std::span<const AlertEvent> alerts = {};
};

}  // namespace trelvane::history
