#include "mqtt/Payload.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace trelvane::mqtt {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void AppendTwo(std::string& out, int value) {
    out.push_back(static_cast<char>('0' + value / 10 % 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

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

void LocalTimeText::Append(std::string& out, std::int64_t unixMs) {
    std::int64_t second = unixMs / 1000;
    std::int64_t ms = unixMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --second;
    }
    if (second != second_) {
        second_ = second;
        const auto t = static_cast<std::time_t>(second);
        std::tm local{};
        localtime_r(&t, &local);
        prefix_.clear();
        prefix_ += std::to_string(local.tm_year + 1900);
        prefix_.push_back('-');
        AppendTwo(prefix_, local.tm_mon + 1);
        prefix_.push_back('-');
        AppendTwo(prefix_, local.tm_mday);
        prefix_.push_back('T');
        AppendTwo(prefix_, local.tm_hour);
        prefix_.push_back(':');
        AppendTwo(prefix_, local.tm_min);
        prefix_.push_back(':');
        AppendTwo(prefix_, local.tm_sec);
        long offset = local.tm_gmtoff;
        offset_.assign(1, offset < 0 ? '-' : '+');
        offset = offset < 0 ? -offset : offset;
        AppendTwo(offset_, static_cast<int>(offset / 3600));
        offset_.push_back(':');
        AppendTwo(offset_, static_cast<int>(offset / 60 % 60));
    }
    out += prefix_;
    out.push_back('.');
    out.push_back(static_cast<char>('0' + ms / 100));
    AppendTwo(out, static_cast<int>(ms % 100));
    out += offset_;
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

void ListPayload::Add(const ReadItem& read) {
    Separator();
    out_ += "{\"seq\":";
    AppendNumber(out_, read.seq);
    out_ += ",\"time\":\"";
    time_.Append(out_, read.timeMs);
    out_ += "\",\"tag\":\"";
    AppendNumber(out_, read.tag);  // the tag's "%u" text
    out_ += "\",\"reader\":";
    AppendJsonString(out_, read.reader);
    out_ += ",\"device\":";
    AppendJsonString(out_, read.device);
    if (read.readerTime) {
        out_ += ",\"reader_time\":\"";
        AppendReaderTimeText(out_, *read.readerTime);
        out_.push_back('"');
    }
    out_.push_back('}');
}

void ListPayload::Add(const PresenceItem& event) {
    Separator();
    out_ += "{\"seq\":";
    AppendNumber(out_, event.seq);
    out_ += ",\"time\":\"";
    time_.Append(out_, event.timeMs);
    out_ += "\",\"tag\":\"";
    AppendNumber(out_, event.tag);
    out_ += "\",\"reader\":";
    AppendJsonString(out_, event.reader);
    out_ += event.arrive ? ",\"event\":\"arrive\"}" : ",\"event\":\"depart\"}";
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
        LocalTimeText().Append(out, *status.lastSeenMs);
        out.push_back('"');
    } else {
        out += "null";
    }
    out.push_back('}');
    return out;
}

}  // namespace trelvane::mqtt
