#include "service/EventStream.h"

namespace trelvane {

const char* DeviceEventName(DeviceEventKind kind) {
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

const char* PresenceEventName(PresenceKind kind) {
    return kind == PresenceKind::kArrive ? "arrive" : "depart";
}

}  // namespace trelvane
