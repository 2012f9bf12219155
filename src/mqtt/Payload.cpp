#include "mqtt/Payload.h"

#include "base/JsonText.h"

namespace trelvane::mqtt {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

std::string TopicLevel(std::string_view name) {
    if (name.empty()) {
        return "_";
    }
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '+' || c == '#' || c == '%') {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void ListPayload::Begin(std::string_view server, std::string_view historyId,
                        std::string_view list) {
    out_.clear();
    count_ = 0;
    out_ += "{\"server\":";
    AppendJsonString(out_, server);
    out_ += ",\"history_id\":";
    AppendJsonString(out_, historyId);
    out_ += ",\"";
    out_ += list;
    out_ += "\":[";
}

void ListPayload::Separator() {
    if (count_++ != 0) {
        out_.push_back(',');
    }
}

std::string ListPayload::Finish() {
    out_ += "]}";
    count_ = 0;
    return std::move(out_);
}

std::string ReaderStatusPayload(const ReaderStatus& status) {
    std::string out = "{\"device\":";
    AppendJsonString(out, status.device);
    out += ",\"name\":";
    AppendJsonString(out, status.name);
    out += status.online ? ",\"online\":true" : ",\"online\":false";
    out += status.reading ? ",\"reading\":true" : ",\"reading\":false";
    out += ",\"product_type\":";
    AppendJsonString(out, status.productType);
    out += ",\"serial_no\":";
    AppendJsonString(out, status.serialNo);
    out += ",\"tag_count\":";
    out += std::to_string(status.tagCount);
    out += ",\"last_seen\":";
    if (status.lastSeenMs) {
        out.push_back('"');
        IsoTimeText().Append(out, *status.lastSeenMs);
        out.push_back('"');
    } else {
        out += "null";
    }
    out.push_back('}');
    return out;
}

}  // namespace trelvane::mqtt
