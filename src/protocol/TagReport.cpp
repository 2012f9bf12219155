#include "protocol/TagReport.h"

namespace trelvane {
namespace {

constexpr std::size_t kTagOffset = 10;
constexpr std::size_t kSecond = 14;
constexpr std::size_t kMinute = 15;
constexpr std::size_t kHour = 16;
constexpr std::size_t kDay = 18;
constexpr std::size_t kMonth = 19;
constexpr std::size_t kYear = 20;

std::uint8_t Bcd(std::uint8_t value) {
    return static_cast<std::uint8_t>(BcdToBinary(value));
}

// Appends a value as decimal, zero-padded to `width` digits like "%0*d" (snprintf costs more
// than the rest of a read).
void AppendPadded(std::string& out, int value, int width) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (; width > n; --width) {
        out += '0';
    }
    while (n > 0) {
        out += digits[--n];
    }
}

}  // namespace

TagReport DecodeTagReport(const FrameRecord& frame) {
    TagReport report;
    report.tag = std::uint32_t{frame[kTagOffset]} << 24 |
                 std::uint32_t{frame[kTagOffset + 1]} << 16 |
                 std::uint32_t{frame[kTagOffset + 2]} << 8 | std::uint32_t{frame[kTagOffset + 3]};
    if (frame[frame::kLength] >= kTimedTagReportLength) {
        report.readerTime = ReaderTime{Bcd(frame[kYear]), Bcd(frame[kMonth]),  Bcd(frame[kDay]),
                                       Bcd(frame[kHour]), Bcd(frame[kMinute]), Bcd(frame[kSecond])};
    }
    return report;
}

void AppendReaderTimeText(std::string& out, const ReaderTime& time) {
    AppendPadded(out, 2000 + time.year, 4);
    out += '-';
    AppendPadded(out, time.month, 2);
    out += '-';
    AppendPadded(out, time.day, 2);
    out += ' ';
    AppendPadded(out, time.hour, 2);
    out += ':';
    AppendPadded(out, time.minute, 2);
    out += ':';
    AppendPadded(out, time.second, 2);
}

std::string ReaderTimeText(const ReaderTime& time) {
    std::string text;
    text.reserve(24);
    AppendReaderTimeText(text, time);
    return text;
}

}  // namespace trelvane
