#include "events/EventJson.h"

#include <charconv>

#include "base/JsonText.h"

namespace trelvane::events {
namespace {

template <class Number>
void AppendNumber(std::string& out, Number value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void AppendReader(std::string& out, std::string_view reader, std::string_view device) {
    out += ",\"reader\":";
    AppendJsonString(out, reader);
    out += ",\"device\":";
    AppendJsonString(out, device);
}

void AppendEventName(std::string& out, std::string_view name) {
    out += ",\"event\":\"";
    out += name;  // our own names: nothing to escape
    out.push_back('"');
}

void AppendEvent(std::string& out, std::string_view name) {
    AppendEventName(out, name);
    out.push_back('}');
}

}  // namespace

void AppendSeconds(std::string& out, std::int64_t ms) {
    if (ms < 0) {
        out.push_back('-');
    }
    const std::uint64_t magnitude =
        ms < 0 ? 0 - static_cast<std::uint64_t>(ms) : static_cast<std::uint64_t>(ms);
    AppendNumber(out, magnitude / 1000);
    const auto rest = static_cast<unsigned>(magnitude % 1000);
    out.push_back('.');
    out.push_back(static_cast<char>('0' + rest / 100));
    out.push_back(static_cast<char>('0' + rest / 10 % 10));
    out.push_back(static_cast<char>('0' + rest % 10));
}

void EventJson::Head(std::string& out, Sequence seq, std::int64_t timeMs) {
    out += "{\"seq\":";
    AppendNumber(out, seq);
    out += ",\"time\":\"";
    time_.Append(out, timeMs);
    out += "\",\"time_ms\":";
    AppendNumber(out, timeMs);
}

void EventJson::Tag(std::string& out, std::uint32_t tag) {
    out += ",\"tag\":\"";
    AppendNumber(out, tag);
    out.push_back('"');
    if (labels_ == nullptr) {
        return;
    }
    if (const std::optional<AssetLabel> label = labels_->LabelOf(tag)) {
        out += ",\"label\":";
        AppendJsonString(out, label->label);
        out += ",\"group\":";
        AppendJsonString(out, label->group);
    }
}

void EventJson::Append(std::string& out, const Read& read) {
    Head(out, read.seq, read.timeMs);
    Tag(out, read.tag);
    AppendReader(out, read.reader, read.device);
    if (read.readerTime) {
        out += ",\"reader_time\":\"";
        AppendReaderTimeText(out, *read.readerTime);
        out.push_back('"');
    }
    out.push_back('}');
}

void EventJson::Append(std::string& out, const Presence& presence) {
    Head(out, presence.seq, presence.timeMs);
    Tag(out, presence.tag);
    AppendReader(out, presence.reader, presence.device);
    AppendEvent(out, Name(presence.kind));
}

void EventJson::Append(std::string& out, const Device& device) {
    Head(out, device.seq, device.timeMs);
    AppendReader(out, device.reader, device.device);
    AppendEvent(out, Name(device.kind));
}

void EventJson::Append(std::string& out, const ZoneChange& zone) {
    Head(out, zone.seq, zone.timeMs);
    Tag(out, zone.tag);
    out += ",\"zone\":";
    AppendJsonString(out, zone.zone);
    AppendEventName(out, Name(zone.kind));
    AppendReader(out, zone.reader, zone.device);
    if (zone.kind == ZoneEventKind::kExit) {
        out += ",\"since\":\"";
        time_.Append(out, zone.sinceMs);
        out += "\",\"last_seen\":\"";
        time_.Append(out, zone.lastSeenMs);
        out += "\",\"last_seen_ms\":";
        AppendNumber(out, zone.lastSeenMs);
        out += ",\"dwell_s\":";
        AppendSeconds(out, zone.timeMs - zone.sinceMs);
    }
    out.push_back('}');
}

void EventJson::Append(std::string& out, const Alert& alert) {
    Head(out, alert.seq, alert.timeMs);
    AppendEventName(out, Name(alert.kind));
    if (alert.kind != AlertEventKind::kRaised) {
        out += ",\"raised\":";
        AppendNumber(out, alert.raised);
    }
    out += ",\"rule\":";
    AppendJsonString(out, alert.rule);
    out += ",\"kind\":\"";
    out += Name(alert.ruleKind);
    out.push_back('"');
    if (alert.tag) {
        Tag(out, *alert.tag);
    }
    if (!alert.zone.empty()) {
        out += ",\"zone\":";
        AppendJsonString(out, alert.zone);
    }
    if (!alert.reader.empty()) {
        out += ",\"reader\":";
        AppendJsonString(out, alert.reader);
    }
    out += ",\"since\":\"";
    time_.Append(out, alert.sinceMs);
    out += "\",\"since_ms\":";
    AppendNumber(out, alert.sinceMs);
    if (alert.kind == AlertEventKind::kRaised) {
        out += ",\"text\":";
        AppendJsonString(out, alert.text);
    } else if (alert.kind == AlertEventKind::kAcknowledged) {
        out += ",\"by\":";
        AppendJsonString(out, alert.by);
        out += ",\"note\":";
        AppendJsonString(out, alert.text);
    }
    out.push_back('}');
}

}  // namespace trelvane::events
