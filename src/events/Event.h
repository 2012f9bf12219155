#pragma once

// The events of Trelvane's one sequence: what each kind is, the fields it carries and the
// names it goes by. Everything that keeps or hands on events (the history, MQTT, the API, the
// tools) uses these declarations; their JSON is written by EventJson alone.
//
// Every event carries a number from one 64-bit sequence for all kinds: numbers only grow, and
// the history continues them across restarts, so a consumer deduplicates and resumes by
// number.
//
// An event names its reader by two texts: the name it reported (UTF-8; its device key until it
// has named itself) and its device key ("ip:port"). `Text` is std::string_view for events that
// point into their producer's buffers (read while being stored or encoded only) and
// std::string for rows a query returns.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/TagReport.h"

namespace trelvane {

using Sequence = std::uint64_t;

namespace events {

// The kinds, by the names that select them everywhere ("reads", "presence", "devices",
// "zones", "alerts"): a history query's --kind, the live feed's type and kinds=, the API's
// paths. kAllKinds lists them in their numbers' order.
enum class Kind : std::uint8_t { kReads, kPresence, kDevices, kZones, kAlerts };
inline constexpr Kind kAllKinds[] = {Kind::kReads, Kind::kPresence, Kind::kDevices, Kind::kZones,
                                     Kind::kAlerts};

// What happened to a reader. Stored in the history as these numbers: never renumber.
enum class DeviceEventKind : std::uint8_t {
    kConnected = 0,
    kNamed = 1,
    kReadingStarted = 2,
    kReadingStopped = 3,
    kRemoved = 4,
};

// A tag arrived at a reader (its first read there) or departed (no read for DepartAfter).
// Stored as these numbers.
enum class PresenceKind : std::uint8_t { kArrive = 0, kDepart = 1 };

// A tag entered a zone (a reader of the zone read it while it was in no zone or, for MoveAfter,
// only elsewhere) or exited it (no read there for ExitAfter, or it entered another zone).
// Stored as these numbers.
enum class ZoneEventKind : std::uint8_t { kEnter = 0, kExit = 1 };

// What happened to an alert. The numbers are stored in the history.
enum class AlertEventKind : std::uint8_t { kRaised = 0, kCleared = 1, kAcknowledged = 2 };

// What a rule watches. kTooManyAlerts is the service's own alert, raised once when the open
// alerts reach their bound. The numbers are stored in the history.
enum class RuleKind : std::uint8_t {
    kDwell = 0,
    kAbsent = 1,
    kForbidden = 2,
    kUnregistered = 3,
    kReaderOffline = 4,
    kReaderSilent = 5,
    kTooManyAlerts = 6,
};
inline constexpr RuleKind kAllRuleKinds[] = {
    RuleKind::kDwell,         RuleKind::kAbsent,        RuleKind::kForbidden,
    RuleKind::kUnregistered,  RuleKind::kReaderOffline, RuleKind::kReaderSilent,
    RuleKind::kTooManyAlerts,
};

// "reads", "presence", "devices", "zones", "alerts".
std::string_view Name(Kind kind);
std::optional<Kind> KindNamed(std::string_view name);
// "connected", "named", "reading_started", "reading_stopped", "removed"; a number read back
// from a file that this build does not know is "unknown".
std::string_view Name(DeviceEventKind kind);
// "arrive", "depart".
std::string_view Name(PresenceKind kind);
// "enter", "exit".
std::string_view Name(ZoneEventKind kind);
// "raised", "cleared", "acknowledged".
std::string_view Name(AlertEventKind kind);
// "dwell", "absent", "forbidden", "unregistered", "reader_offline", "reader_silent",
// "too_many_alerts".
std::string_view Name(RuleKind kind);
std::optional<RuleKind> RuleKindNamed(std::string_view name);

// What the site register says of a tag: its label and group. Outputs add them to an event of a
// registered tag; the register (site::Snapshot) answers.
struct AssetLabel {
    std::string_view label;
    std::string_view group;
};
class Labels {
  public:
    virtual ~Labels() = default;
    virtual std::optional<AssetLabel> LabelOf(std::uint32_t tag) const = 0;
};
// Where an output takes the labels now (the register's latest snapshot); null: none.
using LabelSource = std::function<std::shared_ptr<const Labels>()>;

template <class Text>
struct BasicRead {
    Sequence seq = 0;
    std::int64_t timeMs = 0;  // the PC's receive time, Unix milliseconds
    std::uint32_t tag = 0;
    Text reader;
    Text device;
    std::optional<ReaderTime> readerTime;  // when the report carries the reader's own clock
    friend bool operator==(const BasicRead&, const BasicRead&) = default;
};

template <class Text>
struct BasicPresence {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    Text reader;  // presence is kept per reader name: a reader that reconnects keeps it
    Text device;  // the device key the reader had
    PresenceKind kind = PresenceKind::kArrive;
    friend bool operator==(const BasicPresence&, const BasicPresence&) = default;
};

template <class Text>
struct BasicDevice {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    DeviceEventKind kind = DeviceEventKind::kConnected;
    Text reader;
    Text device;
    friend bool operator==(const BasicDevice&, const BasicDevice&) = default;
};

template <class Text>
struct BasicZone {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    Text zone;
    ZoneEventKind kind = ZoneEventKind::kEnter;
    Text reader;  // the reader whose read (or, for an exit by time, whose last read) caused it
    Text device;
    std::int64_t sinceMs = 0;     // when the tag entered the zone (an enter: its own time)
    std::int64_t lastSeenMs = 0;  // the last read in the zone (an enter: its own time)
    friend bool operator==(const BasicZone&, const BasicZone&) = default;
};

// An alert's life: raised when a rule's condition begins to hold (once, however long it
// holds), cleared when it ends, acknowledged by a person. Cleared and acknowledged events
// repeat what the raised one concerned, so each reads on its own.
template <class Text>
struct BasicAlert {
    Sequence seq = 0;
    std::int64_t timeMs = 0;
    AlertEventKind kind = AlertEventKind::kRaised;
    Sequence raised = 0;  // cleared, acknowledged: the seq of the raised event (raised: 0)
    Text rule;            // the rule's name ("too_many_alerts" for the service's own)
    RuleKind ruleKind = RuleKind::kDwell;
    std::optional<std::uint32_t> tag;  // the tag concerned, when the condition is a tag's
    Text zone;                         // the zone concerned ("": none)
    Text reader;                       // the reader concerned ("": none)
    std::int64_t sinceMs = 0;          // when the condition began
    Text text;  // raised: what happened, for a person; acknowledged: the note
    Text by;    // acknowledged: who
    friend bool operator==(const BasicAlert&, const BasicAlert&) = default;
};

using Read = BasicRead<std::string_view>;
using Presence = BasicPresence<std::string_view>;
using Device = BasicDevice<std::string_view>;
using ZoneChange = BasicZone<std::string_view>;
using Alert = BasicAlert<std::string_view>;
using ReadRow = BasicRead<std::string>;
using PresenceRow = BasicPresence<std::string>;
using DeviceRow = BasicDevice<std::string>;
using ZoneRow = BasicZone<std::string>;
using AlertRow = BasicAlert<std::string>;

// A view of an owned row (valid while the row is).
inline Read View(const ReadRow& r) {
    return {r.seq, r.timeMs, r.tag, r.reader, r.device, r.readerTime};
}
inline Presence View(const PresenceRow& p) {
    return {p.seq, p.timeMs, p.tag, p.reader, p.device, p.kind};
}
inline Device View(const DeviceRow& d) {
    return {d.seq, d.timeMs, d.kind, d.reader, d.device};
}
inline ZoneChange View(const ZoneRow& z) {
    return {z.seq, z.timeMs, z.tag, z.zone, z.kind, z.reader, z.device, z.sinceMs, z.lastSeenMs};
}
inline Alert View(const AlertRow& a) {
    return {a.seq, a.timeMs, a.kind,   a.raised,  a.rule, a.ruleKind,
            a.tag, a.zone,   a.reader, a.sinceMs, a.text, a.by};
}
// An owned copy of an alert (its texts copied).
inline AlertRow Owned(const Alert& a) {
    return {a.seq,
            a.timeMs,
            a.kind,
            a.raised,
            std::string(a.rule),
            a.ruleKind,
            a.tag,
            std::string(a.zone),
            std::string(a.reader),
            a.sinceMs,
            std::string(a.text),
            std::string(a.by)};
}
inline const Read& View(const Read& r) {
    return r;
}
inline const Presence& View(const Presence& p) {
    return p;
}
inline const Device& View(const Device& d) {
    return d;
}
inline const ZoneChange& View(const ZoneChange& z) {
    return z;
}
inline const Alert& View(const Alert& a) {
    return a;
}

// The kind of each event type.
template <class E>
constexpr Kind KindOf();
template <>
constexpr Kind KindOf<Read>() {
    return Kind::kReads;
}
template <>
constexpr Kind KindOf<Presence>() {
    return Kind::kPresence;
}
template <>
constexpr Kind KindOf<Device>() {
    return Kind::kDevices;
}
template <>
constexpr Kind KindOf<ZoneChange>() {
    return Kind::kZones;
}
template <>
constexpr Kind KindOf<Alert>() {
    return Kind::kAlerts;
}

}  // namespace events
}  // namespace trelvane
