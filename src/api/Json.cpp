#include "api/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace trelvane::api {

void JsonWriter::Separate() {
    if (comma_) {
        out_ += ',';
    }
    comma_ = false;
}

JsonWriter& JsonWriter::BeginObject() {
    Separate();
    out_ += '{';
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    out_ += '}';
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::BeginArray() {
    Separate();
    out_ += '[';
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    out_ += ']';
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::Key(std::string_view key) {
    Separate();
    AppendJsonString(out_, key);
    out_ += ':';
    return *this;
}
JsonWriter& JsonWriter::String(std::string_view utf8) {
    Separate();
    AppendJsonString(out_, utf8);
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::Int(std::int64_t value) {
    Separate();
    out_ += std::to_string(value);
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::UInt(std::uint64_t value) {
    Separate();
    out_ += std::to_string(value);
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::Double(double value) {
    Separate();
    if (!std::isfinite(value)) {
        out_ += "null";
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", value);
        out_ += buf;
    }
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
    comma_ = true;
    return *this;
}
JsonWriter& JsonWriter::Null() {
    Separate();
    out_ += "null";
    comma_ = true;
    return *this;
}

std::string ErrorJson(std::string_view message) {
    JsonWriter w;
    w.BeginObject().Field("error", message).EndObject();
    return w.Take();
}

std::optional<int> ParseIndexBody(std::string_view body) {
    std::size_t i = 0;
    const auto skip = [&] {
        while (i < body.size() &&
               (body[i] == ' ' || body[i] == '\t' || body[i] == '\n' || body[i] == '\r')) {
            ++i;
        }
    };
    const auto expect = [&](std::string_view token) {
        skip();
        if (body.substr(i, token.size()) != token) {
            return false;
        }
        i += token.size();
        return true;
    };
    if (!expect("{") || !expect("\"index\"") || !expect(":")) {
        return std::nullopt;
    }
    skip();
    const std::size_t start = i;
    if (i < body.size() && body[i] == '-') {
        ++i;
    }
    const std::size_t digits = i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
        ++i;
    }
    if (i == digits || (i - digits > 1 && body[digits] == '0')) {
        return std::nullopt;  // no digits, or a leading zero JSON does not allow
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(body.data() + start, body.data() + i, value);
    if (ec != std::errc() || end != body.data() + i) {
        return std::nullopt;
    }
    if (!expect("}")) {
        return std::nullopt;
    }
    skip();
    if (i != body.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace trelvane::api
