#include "api/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace trelvane::api {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, 0 when it is not one (overlong
// forms, surrogates and code points above U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view utf8) {
    out += '"';
    while (!utf8.empty()) {
        const char c = utf8.front();
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            const std::size_t n = Utf8Length(utf8);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                utf8.remove_prefix(1);
            } else {
                out.append(utf8.substr(0, n));
                utf8.remove_prefix(n);
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", u);
                    out += buf;
                } else {
                    out += c;
                }
        }
        utf8.remove_prefix(1);
    }
    out += '"';
}

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
