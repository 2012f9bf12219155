#pragma once

// ISO 8601 times as every output writes and every tool reads them: local time with
// milliseconds and the UTC offset in force then ("2026-12-08T09:00:01.250+08:00"), in the
// process's time zone (TZ).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trelvane {

// Appends the text of a Unix-millisecond time. Keeps the last second's text, so a run of
// events in one second costs one localtime; one per thread.
class IsoTimeText {
  public:
    void Append(std::string& out, std::int64_t unixMs);

  private:
    std::int64_t second_ = INT64_MIN;
    std::string prefix_;  // "2026-12-08T09:00:01"
    std::string offset_;  // "+08:00"
};

std::string FormatIsoTime(std::int64_t unixMs);

// "2026-12-08" (midnight), "2026-12-08T09:00", "2026-12-08T09:00:05", "...:05.250", each
// with an optional offset "Z", "+08:00", "+0800" or "+08"; a space may stand for the "T".
// Without an offset the time is local. Unix milliseconds, or nullopt when malformed or out of
// range (month 13, February 30, hour 24, ...).
std::optional<std::int64_t> ParseIsoTime(std::string_view text);

}  // namespace trelvane
