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

// Writes a value as decimal, zero-padded to `width` digits like "%0*d" (snprintf costs more
// than the rest of a read); returns the end.
char* PutPadded(char* out, unsigned value, int width) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (; width > n; --width) {
        *out++ = '0';
    }
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

}  // namespace

std::uint32_t DecodeTagNumber(const FrameRecord& frame) {
    return std::uint32_t{frame[kTagOffset]} << 24 | std::uint32_t{frame[kTagOffset + 1]} << 16 |
           std::uint32_t{frame[kTagOffset + 2]} << 8 | std::uint32_t{frame[kTagOffset + 3]};
}

TagReport DecodeTagReport(const FrameRecord& frame) {
    TagReport report;
    report.tag = DecodeTagNumber(frame);
    if (frame[frame::kLength] >= kTimedTagReportLength) {
        report.readerTime = ReaderTime{Bcd(frame[kYear]), Bcd(frame[kMonth]),  Bcd(frame[kDay]),
                                       Bcd(frame[kHour]), Bcd(frame[kMinute]), Bcd(frame[kSecond])};
    }
    return report;
}

ReaderTimeChars FormatReaderTime(const ReaderTime& time) {
    ReaderTimeChars text;
    char* p = text.bytes.data();
    p = PutPadded(p, 2000u + time.year, 4);
    *p++ = '-';
    p = PutPadded(p, time.month, 2);
    *p++ = '-';
    p = PutPadded(p, time.day, 2);
    *p++ = ' ';
    p = PutPadded(p, time.hour, 2);
    *p++ = ':';
    p = PutPadded(p, time.minute, 2);
    *p++ = ':';
    p = PutPadded(p, time.second, 2);
    text.size = static_cast<std::uint8_t>(p - text.bytes.data());
    return text;
}

void AppendReaderTimeText(std::string& out, const ReaderTime& time) {
    out += FormatReaderTime(time).View();
}

std::string ReaderTimeText(const ReaderTime& time) {
    return std::string(FormatReaderTime(time).View());
}

}  // namespace trelvane
