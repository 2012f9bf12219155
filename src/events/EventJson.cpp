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

void AppendTag(std::string& out, std::uint32_t tag) {
    out += ",\"tag\":\"";
    AppendNumber(out, tag);
    out.push_back('"');
}

void AppendEvent(std::string& out, std::string_view name) {
    out += ",\"event\":\"";
    out += name;  // our own names: nothing to escape
    out += "\"}";
}

}  // namespace

void EventJson::Head(std::string& out, Sequence seq, std::int64_t timeMs) {
    out += "{\"seq\":";
    AppendNumber(out, seq);
    out += ",\"time\":\"";
    time_.Append(out, timeMs);
    out += "\",\"time_ms\":";
    AppendNumber(out, timeMs);
}

void EventJson::Append(std::string& out, const Read& read) {
    Head(out, read.seq, read.timeMs);
    AppendTag(out, read.tag);
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
    AppendTag(out, presence.tag);
    AppendReader(out, presence.reader, presence.device);
    AppendEvent(out, Name(presence.kind));
}

void EventJson::Append(std::string& out, const Device& device) {
    Head(out, device.seq, device.timeMs);
    AppendReader(out, device.reader, device.device);
    AppendEvent(out, Name(device.kind));
}

}  // namespace trelvane::events
