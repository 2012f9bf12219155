#include "events/Event.h"

namespace trelvane::events {

std::string_view Name(Kind kind) {
    switch (kind) {
        case Kind::kReads:
            return "reads";
        case Kind::kPresence:
            return "presence";
        case Kind::kDevices:
            return "devices";
        case Kind::kZones:
            return "zones";
        case Kind::kAlerts:
            return "alerts";
    }
    return "unknown";
}

std::optional<Kind> KindNamed(std::string_view name) {
    for (const Kind kind : kAllKinds) {
        if (Name(kind) == name) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string_view Name(DeviceEventKind kind) {
    switch (kind) {
        case DeviceEventKind::kConnected:
            return "connected";
        case DeviceEventKind::kNamed:
            return "named";
        case DeviceEventKind::kReadingStarted:
            return "reading_started";
        case DeviceEventKind::kReadingStopped:
            return "reading_stopped";
        case DeviceEventKind::kRemoved:
            return "removed";
    }
    return "unknown";
}

std::string_view Name(PresenceKind kind) {
    switch (kind) {
        case PresenceKind::kArrive:
            return "arrive";
        case PresenceKind::kDepart:
            return "depart";
    }
    return "unknown";
}

std::string_view Name(ZoneEventKind kind) {
    switch (kind) {
        case ZoneEventKind::kEnter:
            return "enter";
        case ZoneEventKind::kExit:
            return "exit";
    }
    return "unknown";
}

std::string_view Name(AlertEventKind kind) {
    switch (kind) {
        case AlertEventKind::kRaised:
            return "raised";
        case AlertEventKind::kCleared:
            return "cleared";
        case AlertEventKind::kAcknowledged:
            return "acknowledged";
    }
    return "unknown";
}

std::string_view Name(RuleKind kind) {
    switch (kind) {
        case RuleKind::kDwell:
            return "dwell";
        case RuleKind::kAbsent:
            return "absent";
        case RuleKind::kForbidden:
            return "forbidden";
        case RuleKind::kUnregistered:
            return "unregistered";
        case RuleKind::kReaderOffline:
            return "reader_offline";
        case RuleKind::kReaderSilent:
            return "reader_silent";
        case RuleKind::kTooManyAlerts:
            return "too_many_alerts";
    }
    return "unknown";
}

std::optional<RuleKind> RuleKindNamed(std::string_view name) {
    for (const RuleKind kind : kAllRuleKinds) {
        if (Name(kind) == name) {
            return kind;
        }
    }
    return std::nullopt;
}

}  // namespace trelvane::events
