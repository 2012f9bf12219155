// Feeds hostile bytes to the code-page conversions (as code-page bytes and as would-be UTF-8,
// in every code page the program writes) and, as a frame record, to the tag ID and read-time
// texts. Checks:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - ToUtf8 always gives well-formed UTF-8 (no overlong forms, surrogates or code points above
//    U+10FFFF), at most three bytes per input byte, keeps every '?', and is the identity on
//    ASCII; for UTF-8 itself it keeps well-formed input and replaces byte for byte;
//  - FromUtf8 never lengthens a text, is the identity on ASCII, and what it writes reads back
//    and writes again to the same bytes (an export read back and saved again is unchanged);
//  - the ID text is "%u" of bytes 10..13, parses back to the same number, and no other text
//    parses; ID sort keys order numbers as their texts compare byte by byte;
//  - the read time is the "%04d-%02d-%02d %02d:%02d:%02d" of the BCD fields when the length
//    byte is 15 or more, the PC's time otherwise, and fits the stored time text.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "protocol/TagReport.h"
#include "records/TagId.h"
#include "records/TagStorage.h"
#include "records/TagStore.h"
#include "records/TextCodec.h"

namespace {

using trelvane::TextCodec;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Well-formed UTF-8 by the Unicode table of well-formed byte sequences, written out here
// independently of the codec's own scanner.
bool WellFormedUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC0 && c < 0xE0) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c < 0xF0) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c < 0xF8) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) {
            return false;  // cut short by the end
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        static constexpr std::array<std::uint32_t, 4> kMin = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool Ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t Questions(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '?'));
}

void CheckCodec(const TextCodec& codec, std::string_view bytes) {
    const bool utf8 = codec.CodePage() == 65001;

    const std::string decoded = codec.ToUtf8(bytes);
    Check(WellFormedUtf8(decoded));
    Check(decoded.size() <= 3 * bytes.size());
    Check(Questions(decoded) >= Questions(bytes));
    if (Ascii(bytes)) {
        Check(decoded == bytes);
    }
    if (utf8) {
        Check(decoded.size() == bytes.size());
        Check(WellFormedUtf8(bytes) == (decoded == bytes));
    }

    const std::string encoded = codec.FromUtf8(bytes);
    Check(encoded.size() <= bytes.size());
    if (Ascii(bytes)) {
        Check(encoded == bytes);
    }
    // What we write, read back and written again, is what we wrote.
    const std::string readBack = codec.ToUtf8(encoded);
    Check(codec.FromUtf8(readBack) == encoded);
    if (utf8) {
        Check(encoded == decoded);
    }

    // Reader texts for a terminal: well-formed, no control character of any kind, and every
    // backslash starts one of the two escapes.
    const std::string shown = codec.ToTerminalText(bytes);
    Check(WellFormedUtf8(shown));
    Check(shown.size() <= 8 * bytes.size());  // a one-byte C1 control: \xC2\x80
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        Check(c >= 0x20 && c != 0x7F);
        if (c == 0xC2 && i + 1 < shown.size()) {
            const auto next = static_cast<unsigned char>(shown[i + 1]);
            Check(next < 0x80 || next > 0x9F);
        }
        if (c == '\\') {
            Check(i + 1 < shown.size() && (shown[i + 1] == '\\' || shown[i + 1] == 'x'));
            i += shown[i + 1] == '\\' ? 1 : 3;
        }
    }
}

// The canonical "%u" text of a 32-bit number, decided by hand: digits only, no leading zero,
// at most UINT32_MAX.
std::optional<std::uint32_t> CanonicalNumber(std::string_view text) {
    if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string Unsigned(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    return text;
}

void CheckTagTexts(const std::uint8_t* data, std::size_t size) {
    trelvane::FrameRecord r{};
    std::memcpy(r.data(), data, std::min(size, r.size()));

    const std::uint32_t id = std::uint32_t{r[10]} << 24 | std::uint32_t{r[11]} << 16 |
                             std::uint32_t{r[12]} << 8 | std::uint32_t{r[13]};
    const trelvane::TagReport report = trelvane::DecodeTagReport(r);
    Check(report.tag == id);
    Check(report.readerTime.has_value() == (r[trelvane::frame::kLength] >= 15));
    if (report.readerTime) {
        Check(trelvane::UnpackReaderTime(trelvane::PackReaderTime(*report.readerTime)) ==
              *report.readerTime);
    }
    const std::string idText = trelvane::TagIdText(report.tag);
    Check(idText == Unsigned(id));
    Check(trelvane::ParseTagIdText(idText) == id);

    const std::string_view raw(reinterpret_cast<const char*>(data),
                               std::min<std::size_t>(size, 12));
    Check(trelvane::ParseTagIdText(raw) == CanonicalNumber(raw));

    const std::uint32_t other = std::uint32_t{r[14]} << 24 | std::uint32_t{r[15]} << 16 |
                                std::uint32_t{r[16]} << 8 | std::uint32_t{r[17]};
    const int byText = Unsigned(id).compare(Unsigned(other));
    const std::uint64_t a = trelvane::TagIdSortKey(id);
    const std::uint64_t b = trelvane::TagIdSortKey(other);
    Check((byText < 0) == (a < b) && (byText == 0) == (a == b));

    const trelvane::LocalDateTime pcNow{2026, 3, 8, 9, 5, 3, 0, 0};
    const std::string time = trelvane::ReadTimeText(report, pcNow);
    if (r[trelvane::frame::kLength] < 15) {
        Check(time == "2026-03-08 09:05:03");
    } else {
        const auto bcd = [&](std::size_t i) { return (r[i] >> 4) * 10 + (r[i] & 0x0F); };
        char expected[64];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + bcd(20),
                      bcd(19), bcd(18), bcd(16), bcd(15), bcd(14));
        Check(time == expected);
    }
    Check(time.size() <= 24 && time.size() <= trelvane::detail::TimeText::kCapacity);
    Check(trelvane::detail::TimeText(time).View() == time);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every code page the program writes must be usable here, or the checks would test less
    // than they claim.
    static const std::array<TextCodec, 4> kCodecs = [] {
        const std::array<int, 4> pages = {936, 950, 1252, 65001};
        std::array<std::optional<TextCodec>, 4> found;
        for (std::size_t i = 0; i < pages.size(); ++i) {
            found[i] = TextCodec::ForCodePage(pages[i]);
            if (!found[i]) {
                std::fprintf(stderr, "code page %d has no converter\n", pages[i]);
                std::abort();
            }
        }
        return std::array<TextCodec, 4>{*found[0], *found[1], *found[2], *found[3]};
    }();

    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const TextCodec& codec : kCodecs) {
        CheckCodec(codec, bytes);
    }
    CheckTagTexts(data, size);
    return 0;
}
