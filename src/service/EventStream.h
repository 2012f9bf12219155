#pragma once

// The one stream of what the service observes: tag reads, device events, presence, zone and
// alert events (events/Event.h). The parse worker hands each parse pass's events to every sink
// as one batch, in a compact form: each event refers to its reader by an index into the
// batch's devices, whose names are the raw bytes the readers sent. Alerts are rare and whole
// rows of their own, their texts in UTF-8.

#include <cstdint>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "events/Event.h"
#include "protocol/TagReport.h"

namespace trelvane {

using events::DeviceEventKind;
using events::PresenceKind;

// A reader as the events of one batch refer to it. `name` is the name it reported (raw bytes in
// the configured code page), or its device key while it has not named itself.
struct EventDevice {
    std::string key;  // "ip:port"
    std::string name;
};

struct ReadEvent {
    Sequence seq = 0;
    std::int64_t timeMs = 0;   // the PC's receive time, Unix milliseconds (read once per pass)
    TagReport report;          // tag number, and the reader's own time when the report has it
    std::uint32_t device = 0;  // index into EventBatch::devices
};

struct DeviceEvent {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    DeviceEventKind kind = DeviceEventKind::kConnected;
    std::uint32_t device = 0;
};

// A tag arrived at, or departed from, a reader (by the reader's name: a reader that reconnects
// keeps its presence).
struct PresenceEvent {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    PresenceKind kind = PresenceKind::kArrive;
    std::uint32_t device = 0;
};

// A tag entered or exited a zone (zone and device are indexes into the batch's lists).
struct ZoneEvent {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    events::ZoneEventKind kind = events::ZoneEventKind::kEnter;
    std::uint32_t zone = 0;    // index into EventBatch::zoneNames
    std::uint32_t device = 0;  // the reader that caused it
    std::int64_t sinceMs = 0;
    std::int64_t lastSeenMs = 0;
};

// The last read of a tag in its zone, for the history to rebuild the zones after a restart. Not
// an event: it takes no number.
struct ZoneSeen {
    std::uint32_t tag = 0;
    std::int64_t lastSeenMs = 0;
};

// One parse pass's events. Within each list events are in sequence order; the lists together
// hold every number from firstSeq up to nextSeq - 1 exactly once.
struct EventBatch {
    std::vector<EventDevice> devices;
    std::vector<ReadEvent> reads;
    std::vector<DeviceEvent> deviceEvents;
    std::vector<PresenceEvent> presence;
    std::vector<std::string> zoneNames;  // UTF-8, as the site register names them
    std::vector<ZoneEvent> zones;
    std::vector<ZoneSeen> zoneSeen;
    std::vector<events::AlertRow> alerts;  // raised, cleared, acknowledged; numbered by TakeSeq
    LocalDateTime localTime;  // the pass's local time: it picks the day of the daily logs
    std::int64_t timeMs = 0;  // the same moment in Unix milliseconds
    Sequence firstSeq = 0;
    Sequence nextSeq = 0;

    // An event as the outputs take it, its reader named `reader` (devices[…].name in UTF-8).
    events::Read View(const ReadEvent& r, std::string_view reader) const {
        return {r.seq, r.timeMs, r.report.tag, reader, devices[r.device].key, r.report.readerTime};
    }
    events::Presence View(const PresenceEvent& p, std::string_view reader) const {
        return {p.seq, p.timeMs, p.tag, reader, devices[p.device].key, p.kind};
    }
    events::Device View(const DeviceEvent& d, std::string_view reader) const {
        return {d.seq, d.timeMs, d.kind, reader, devices[d.device].key};
    }
    events::ZoneChange View(const ZoneEvent& z, std::string_view reader) const {
        return {z.seq,   z.timeMs, z.tag,     zoneNames[z.zone], z.kind, reader,
                devices[z.device].key, z.sinceMs, z.lastSeenMs};
    }

    events::Alert View(const events::AlertRow& a) const { return events::View(a); }

    std::size_t EventCount() const {
        return reads.size() + deviceEvents.size() + presence.size() + zones.size() + alerts.size();
    }
    bool Empty() const { return EventCount() == 0 && zoneSeen.empty(); }
    Sequence TakeSeq() { return nextSeq++; }
    std::uint32_t AddDevice(std::string key, std::string name) {
        devices.push_back(EventDevice{std::move(key), std::move(name)});
        return static_cast<std::uint32_t>(devices.size() - 1);
    }
    void Clear() {
        devices.clear();
        reads.clear();
        deviceEvents.clear();
        presence.clear();
        zoneNames.clear();
        zones.clear();
        zoneSeen.clear();
        alerts.clear();
    }
};

// A consumer of the stream. Consume is called with every batch in order, from one thread at a
// time (the parse thread, or the sink's own thread when it runs behind a SinkThread). Flush is
// called once there is nothing more to consume for now (an orderly stop, a drain).
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Consume(const EventBatch& batch) = 0;
    virtual void Flush() {}
    // Whether the sink does anything with batches now (a read log with KeepRecord 0, an output
    // that is switched off: no). Asked by the parse thread before each batch, so it must be
    // cheap and thread-safe; a sink that is not wanted is not woken for nothing. A sink that
    // becomes wanted gets the batches from then on.
    virtual bool Wanted() const { return true; }
};

}  // namespace trelvane
