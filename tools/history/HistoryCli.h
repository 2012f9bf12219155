#pragma once

// The pieces of trelvane-history that are pure functions: its command line, ISO 8601 times in
// the process's time zone (TZ), and the CSV and JSON Lines texts of the rows.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "history/Reader.h"
#include "records/JsonText.h"

namespace trelvane::history_cli {

enum class Kind { kReads, kPresence, kDevices };
enum class Format { kCsv, kJsonl };

struct Options {
    std::optional<std::filesystem::path> dir;  // -C
    std::optional<std::filesystem::path> ini;  // -c
    std::optional<std::filesystem::path> db;   // --db
    Kind kind = Kind::kReads;
    std::optional<std::int64_t> sinceMs;
    std::optional<std::int64_t> untilMs;
    std::optional<std::uint32_t> tag;
    std::optional<std::string> reader;
    Format format = Format::kCsv;
    bool follow = false;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string text;
};

std::variant<Options, UsageError> ParseCommandLine(int argc, const char* const* argv);

extern const char* const kUsage;

// "2026-12-08" (midnight), "2026-12-08T09:00", "2026-12-08T09:00:05", "...:05.250", each
// with an optional offset "Z", "+08:00", "+0800" or "+08"; a space may stand for the "T".
// Without an offset the time is local (TZ). Unix milliseconds, or nullopt when malformed or
// out of range (month 13, February 30, hour 24, ...).
std::optional<std::int64_t> ParseIsoTime(std::string_view text);

// "2026-12-08T09:00:01.250+08:00": local time with milliseconds and its UTC offset.
std::string FormatIsoTime(std::int64_t unixMs);

// RFC 4180: quoted (quotes doubled) when holding a comma, quote, CR or LF.
void AppendCsvField(std::string& out, std::string_view field);

// The header line (CSV; nothing for JSON Lines) and one line per row, with its line end
// (CR LF for CSV, LF for JSON Lines).
std::string HeaderLine(Kind kind, Format format);

// One value of a row's columns, in the order of the header line (the History window shows
// the same): seq, time, ... Text as CSV holds it before quoting; nullopt for a null (an absent
// reader time, empty in CSV), or a column past the last.
std::optional<std::string> ColumnText(const history::ReadRow& row, std::size_t column);
std::optional<std::string> ColumnText(const history::PresenceRow& row, std::size_t column);
std::optional<std::string> ColumnText(const history::DeviceRow& row, std::size_t column);
void AppendRow(std::string& out, const history::ReadRow& row, Format format);
void AppendRow(std::string& out, const history::PresenceRow& row, Format format);
void AppendRow(std::string& out, const history::DeviceRow& row, Format format);

}  // namespace trelvane::history_cli
