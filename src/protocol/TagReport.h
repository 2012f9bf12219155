#pragma once

// A reader's tag report as a typed value. Only this layer knows where the fields sit in a
// frame; the tag table, the read log and the history take the decoded report and make their
// texts where they show or write them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"

namespace trelvane {

// The reader's own clock, decoded from packed BCD without any range check (0x1F reads as 25,
// 0xFF as 165), so every field fits a byte. The year counts from 2000.
struct ReaderTime {
    std::uint8_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;

    friend bool operator==(const ReaderTime&, const ReaderTime&) = default;
};

struct TagReport {
    std::uint32_t tag = 0;                 // bytes 10..13, most significant first
    std::optional<ReaderTime> readerTime;  // when the length byte is 15 or more

    friend bool operator==(const TagReport&, const TagReport&) = default;
};

// A report's length byte is at least this; shorter frames of the same command are the reader's
// answer to Start Read or carry no tag.
inline constexpr std::uint8_t kMinTagReportLength = 8;
// From this length on the report carries the reader's time (BCD at 14 second, 15 minute,
// 16 hour, 18 day, 19 month, 20 year - 2000; 17 is the day of the week, unused).
inline constexpr std::uint8_t kTimedTagReportLength = 15;

// The tag number and reader time of a tag report frame (the caller has checked command, status
// and length; the shortest report holds its tag number only partly, the record's zero fill
// gives the rest).
TagReport DecodeTagReport(const FrameRecord& frame);
// Only the tag number of such a frame.
std::uint32_t DecodeTagNumber(const FrameRecord& frame);

// "%04d-%02d-%02d %02d:%02d:%02d" of the reader's fields (at most 24 bytes: the fields are
// unchecked, so each may take three digits).
std::string ReaderTimeText(const ReaderTime& time);
void AppendReaderTimeText(std::string& out, const ReaderTime& time);

// The same text in a buffer of its own, for callers that make one per read.
struct ReaderTimeChars {
    std::array<char, 24> bytes{};
    std::uint8_t size = 0;
    std::string_view View() const { return {bytes.data(), size}; }
};
ReaderTimeChars FormatReaderTime(const ReaderTime& time);

// The fields in one integer, year first, a byte each, so that packed values order as times do
// (for storage); Unpack gives back exactly what Pack was given.
constexpr std::uint64_t PackReaderTime(const ReaderTime& t) {
    return std::uint64_t{t.year} << 40 | std::uint64_t{t.month} << 32 | std::uint64_t{t.day} << 24 |
           std::uint64_t{t.hour} << 16 | std::uint64_t{t.minute} << 8 | std::uint64_t{t.second};
}
constexpr ReaderTime UnpackReaderTime(std::uint64_t v) {
    return ReaderTime{static_cast<std::uint8_t>(v >> 40), static_cast<std::uint8_t>(v >> 32),
                      static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 8),  static_cast<std::uint8_t>(v)};
}

}  // namespace trelvane
