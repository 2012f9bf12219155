#include "base/IsoTime.h"

#include <ctime>

#include "base/Clock.h"

namespace trelvane {
namespace {

void AppendTwo(std::string& out, int value) {
    out.push_back(static_cast<char>('0' + value / 10 % 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

// Exactly `n` digits at `pos`.
bool Digits(std::string_view text, std::size_t& pos, std::size_t n, int& value) {
    if (pos + n > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    pos += n;
    return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

// "HH:MM[:SS[.fff]]" after the date; false when malformed.
bool ParseClock(std::string_view text, std::size_t& pos, LocalDateTime& f) {
    if (!Digits(text, pos, 2, f.hour) || !Expect(text, pos, ':') ||
        !Digits(text, pos, 2, f.minute)) {
        return false;
    }
    if (Expect(text, pos, ':')) {
        if (!Digits(text, pos, 2, f.second)) {
            return false;
        }
        if (Expect(text, pos, '.') || Expect(text, pos, ',')) {
            int digits = 0;
            int scale = 100;
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
                f.millisecond += (text[pos] - '0') * scale;  // beyond milliseconds: cut
                scale /= 10;
                ++pos;
                ++digits;
            }
            if (digits == 0 || digits > 9) {
                return false;
            }
        }
    }
    return f.hour <= 23 && f.minute <= 59 && f.second <= 59;
}

// "Z", "+08:00", "+0800", "+08" to the end of the text; nullopt when malformed.
std::optional<int> ParseOffsetMinutes(std::string_view text, std::size_t& pos) {
    std::optional<int> minutes;
    if (text[pos] == 'Z') {
        ++pos;
        minutes = 0;
    } else if (text[pos] == '+' || text[pos] == '-') {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int oh = 0, om = 0;
        if (!Digits(text, pos, 2, oh)) {
            return std::nullopt;
        }
        if (Expect(text, pos, ':')) {
            if (!Digits(text, pos, 2, om)) {
                return std::nullopt;
            }
        } else if (pos < text.size() && !Digits(text, pos, 2, om)) {
            return std::nullopt;
        }
        if (oh > 23 || om > 59) {
            return std::nullopt;
        }
        minutes = sign * (oh * 60 + om);
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    return minutes;
}

}  // namespace

void IsoTimeText::Append(std::string& out, std::int64_t unixMs) {
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

std::string FormatIsoTime(std::int64_t unixMs) {
    std::string out;
    IsoTimeText().Append(out, unixMs);
    return out;
}

std::optional<std::int64_t> ParseIsoTime(std::string_view text) {
    std::size_t pos = 0;
    LocalDateTime f;
    if (!Digits(text, pos, 4, f.year) || !Expect(text, pos, '-') ||
        !Digits(text, pos, 2, f.month) || !Expect(text, pos, '-') || !Digits(text, pos, 2, f.day)) {
        return std::nullopt;
    }
    if (f.year < 1970 || f.month < 1 || f.month > 12 || f.day < 1 ||
        f.day > DaysInMonth(f.year, f.month)) {
        return std::nullopt;
    }
    if (pos < text.size()) {
        if (text[pos] != 'T' && text[pos] != ' ') {
            return std::nullopt;
        }
        ++pos;
        if (!ParseClock(text, pos, f)) {
            return std::nullopt;
        }
    }
    std::optional<int> offsetMinutes;
    if (pos < text.size()) {
        offsetMinutes = ParseOffsetMinutes(text, pos);
        if (!offsetMinutes) {
            return std::nullopt;
        }
    }
    if (!offsetMinutes) {
        return LocalToUnixMillis(f);
    }
    const std::int64_t seconds = DaysFromCivil(f.year, f.month, f.day) * 86400 + f.hour * 3600 +
                                 f.minute * 60 + f.second - std::int64_t{*offsetMinutes} * 60;
    return seconds * 1000 + f.millisecond;
}

}  // namespace trelvane
