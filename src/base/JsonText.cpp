#include "base/JsonText.h"

#include <algorithm>
#include <cstdint>

namespace trelvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at the start of `s` (not empty), 0 when it is not one.
std::size_t SequenceLength(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(0);
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07u;
    } else {
        return 0;
    }
    if (s.size() < n) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (byte(i) & 0x3Fu);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

// Appends `text` with invalid sequences replaced, handing each valid run to `plain` whole.
template <typename Plain>
void ForEachValidRun(std::string_view text, std::string& out, Plain plain) {
    while (!text.empty()) {
        std::size_t run = 0;
        std::size_t n = 0;
        while (run < text.size() && (n = SequenceLength(text.substr(run))) != 0) {
            run += n;
        }
        plain(text.substr(0, run));
        if (run < text.size()) {
            out += kReplacement;
            ++run;
        }
        text.remove_prefix(run);
    }
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachValidRun(text, out, [&](std::string_view run) { out += run; });
    return out;
}

bool IsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        // ASCII runs are most text: no call per byte for them.
        if (static_cast<unsigned char>(text.front()) < 0x80) {
            text.remove_prefix(1);
            continue;
        }
        const std::size_t n = SequenceLength(text);
        if (n == 0) {
            return false;
        }
        text.remove_prefix(n);
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    ForEachValidRun(text, out, [&](std::string_view run) {
        // Most texts (names, keys) need no escape: one append.
        if (std::none_of(run.begin(), run.end(), [](char c) {
                return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
            })) {
            out += run;
            return;
        }
        for (const char c : run) {
            const auto byte = static_cast<unsigned char>(c);
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
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
                    if (byte < 0x20) {
                        out += "\\u00";
                        out.push_back(kHex[byte >> 4]);
                        out.push_back(kHex[byte & 0xF]);
                    } else {
                        out.push_back(c);
                    }
            }
        }
    });
    out.push_back('"');
}

}  // namespace trelvane
