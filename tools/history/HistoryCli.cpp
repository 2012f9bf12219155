#include "history/HistoryCli.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "protocol/Clock.h"
#include "protocol/TagReport.h"

namespace trelvane::history_cli {
namespace {

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
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

}  // namespace

std::optional<std::int64_t> ParseIsoTime(std::string_view text) {
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!Digits(text, pos, 4, year) || !Expect(text, pos, '-') || !Digits(text, pos, 2, month) ||
        !Expect(text, pos, '-') || !Digits(text, pos, 2, day)) {
        return std::nullopt;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        return std::nullopt;
    }
    if (pos < text.size()) {
        if (text[pos] != 'T' && text[pos] != ' ') {
            return std::nullopt;
        }
        ++pos;
        if (!Digits(text, pos, 2, hour) || !Expect(text, pos, ':') ||
            !Digits(text, pos, 2, minute)) {
            return std::nullopt;
        }
        if (Expect(text, pos, ':')) {
            if (!Digits(text, pos, 2, second)) {
                return std::nullopt;
            }
            if (Expect(text, pos, '.') || Expect(text, pos, ',')) {
                int digits = 0;
                int scale = 100;
                while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
                    ms += (text[pos] - '0') * scale;  // beyond milliseconds: cut
                    scale /= 10;
                    ++pos;
                    ++digits;
                }
                if (digits == 0 || digits > 9) {
                    return std::nullopt;
                }
            }
        }
        if (hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
    }
    std::optional<int> offsetMinutes;
    if (pos < text.size()) {
        if (text[pos] == 'Z') {
            ++pos;
            offsetMinutes = 0;
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
            offsetMinutes = sign * (oh * 60 + om);
        }
        if (pos != text.size() || !offsetMinutes) {
            return std::nullopt;
        }
    }
    std::int64_t seconds = 0;
    if (offsetMinutes) {
        seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
                  std::int64_t{*offsetMinutes} * 60;
    } else {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        const std::time_t t = std::mktime(&tm);
        if (t == static_cast<std::time_t>(-1)) {
            return std::nullopt;
        }
        seconds = static_cast<std::int64_t>(t);
    }
    return seconds * 1000 + ms;
}

std::string FormatIsoTime(std::int64_t unixMs) {
    std::int64_t seconds = unixMs / 1000;
    std::int64_t ms = unixMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms), offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return text;
}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out.push_back('"');
    for (const char c : field) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

namespace {

// A kind's columns: the JSON member names, and which are JSON numbers.
struct Column {
    const char* key;
    bool number;
};
constexpr Column kReadColumns[] = {{"seq", true},     {"time", false},   {"tag", true},
                                   {"reader", false}, {"device", false}, {"reader_time", false}};
constexpr Column kPresenceColumns[] = {
    {"seq", true}, {"time", false}, {"tag", true}, {"reader", false}, {"event", false}};
constexpr Column kDeviceColumns[] = {
    {"seq", true}, {"time", false}, {"device", false}, {"reader", false}, {"event", false}};

template <std::size_t N>
std::string HeaderOf(const Column (&columns)[N]) {
    std::string line;
    for (const Column& c : columns) {
        line += line.empty() ? "" : ",";
        line += c.key;
    }
    return line + "\r\n";
}

}  // namespace

std::string HeaderLine(Kind kind, Format format) {
    if (format == Format::kJsonl) {
        return {};
    }
    switch (kind) {
        case Kind::kReads:
            return HeaderOf(kReadColumns);
        case Kind::kPresence:
            return HeaderOf(kPresenceColumns);
        case Kind::kDevices:
            return HeaderOf(kDeviceColumns);
    }
    return {};
}

namespace {

template <typename Row, std::size_t N>
void AppendLine(std::string& out, const Row& row, const Column (&columns)[N], Format format) {
    if (format == Format::kJsonl) {
        out.push_back('{');
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0) {
            out.push_back(',');
        }
        const std::optional<std::string> text = ColumnText(row, i);
        if (format == Format::kCsv) {
            AppendCsvField(out, text ? ValidUtf8(*text) : std::string());
            continue;
        }
        out.push_back('"');
        out += columns[i].key;
        out += "\":";
        if (!text) {
            out += "null";
        } else if (columns[i].number) {
            out += *text;
        } else {
            AppendJsonString(out, *text);
        }
    }
    out += format == Format::kJsonl ? "}\n" : "\r\n";
}

}  // namespace

std::optional<std::string> ColumnText(const history::ReadRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return std::to_string(row.tag);
        case 3:
            return row.reader;
        case 4:
            return row.device;
        case 5:
            if (row.readerTime) {
                return ReaderTimeText(*row.readerTime);
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<std::string> ColumnText(const history::PresenceRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return std::to_string(row.tag);
        case 3:
            return row.reader;
        case 4:
            return std::string(history::PresenceText(row.kind));
        default:
            return std::nullopt;
    }
}

std::optional<std::string> ColumnText(const history::DeviceRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return row.device;
        case 3:
            return row.reader;
        case 4:
            return std::string(history::DeviceEventText(row.kind));
        default:
            return std::nullopt;
    }
}

void AppendRow(std::string& out, const history::ReadRow& row, Format format) {
    AppendLine(out, row, kReadColumns, format);
}

void AppendRow(std::string& out, const history::PresenceRow& row, Format format) {
    AppendLine(out, row, kPresenceColumns, format);
}

void AppendRow(std::string& out, const history::DeviceRow& row, Format format) {
    AppendLine(out, row, kDeviceColumns, format);
}

const char* const kUsage =
    "Usage: trelvane-history [-C DIR | -c INI | --db FILE] [--kind reads|presence|devices]\n"
    "                        [--since TIME] [--until TIME] [--tag ID] [--reader NAME]\n"
    "                        [--format csv|jsonl] [--follow]\n"
    "       trelvane-history --help | --version\n"
    "\n"
    "Prints rows of the Trelvane history database in sequence order.\n"
    "\n"
    "  -C DIR         use DIR/SysConf.ini; its [History] Path is relative to DIR\n"
    "  -c INI         use that settings file; a relative Path is relative to the current\n"
    "                 folder (the service's working folder), or to DIR when -C is also given\n"
    "  --db FILE      the database file itself (no settings file is read)\n"
    "                 (default: ./SysConf.ini, or trelvane.db here when there is none)\n"
    "  --kind K       reads (default), presence or devices\n"
    "  --since TIME   rows at or after TIME\n"
    "  --until TIME   rows before TIME\n"
    "                 TIME is ISO 8601, local unless an offset is given: 2026-12-08,\n"
    "                 2026-12-08T09:00, 2026-12-08T09:00:00+08:00, ...Z\n"
    "  --tag ID       one tag, by its decimal number (reads and presence)\n"
    "  --reader NAME  one reader, by its name or its device key (ip:port)\n"
    "  --format F     csv (default: RFC 4180, a header, CR LF) or jsonl (one object a line;\n"
    "                 reader_time is null when the reader sent none)\n"
    "  --follow       keep printing rows as they are stored, until SIGINT or SIGTERM\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "\n"
    "Exit status: 0 done, 1 no database, history off, or a database error, 2 bad usage.\n";

std::variant<Options, UsageError> ParseCommandLine(int argc, const char* const* argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string_view value;
        std::string_view name = arg;
        bool inlineValue = false;
        if (arg.starts_with("--")) {
            if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
        }
        const auto takesValue = [&](std::string_view n) {
            return n == "-C" || n == "-c" || n == "--db" || n == "--kind" || n == "--since" ||
                   n == "--until" || n == "--tag" || n == "--reader" || n == "--format";
        };
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name == "--version") {
            o.version = true;
            continue;
        }
        if (name == "--follow" || name == "-f") {
            o.follow = true;
            continue;
        }
        if (!takesValue(name)) {
            return UsageError{"unknown option '" + std::string(arg) + "'"};
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                return UsageError{"option '" + std::string(name) + "' needs a value"};
            }
            value = argv[++i];
        }
        if (name == "-C") {
            o.dir = std::filesystem::path(value);
        } else if (name == "-c") {
            o.ini = std::filesystem::path(value);
        } else if (name == "--db") {
            o.db = std::filesystem::path(value);
        } else if (name == "--kind") {
            if (value == "reads") {
                o.kind = Kind::kReads;
            } else if (value == "presence") {
                o.kind = Kind::kPresence;
            } else if (value == "devices") {
                o.kind = Kind::kDevices;
            } else {
                return UsageError{"--kind is reads, presence or devices, not '" +
                                  std::string(value) + "'"};
            }
        } else if (name == "--format") {
            if (value == "csv") {
                o.format = Format::kCsv;
            } else if (value == "jsonl") {
                o.format = Format::kJsonl;
            } else {
                return UsageError{"--format is csv or jsonl, not '" + std::string(value) + "'"};
            }
        } else if (name == "--since" || name == "--until") {
            const std::optional<std::int64_t> t = ParseIsoTime(value);
            if (!t) {
                return UsageError{"bad time for " + std::string(name) + ": '" + std::string(value) +
                                  "' (ISO 8601, e.g. 2026-12-08T09:00)"};
            }
            (name == "--since" ? o.sinceMs : o.untilMs) = t;
        } else if (name == "--tag") {
            std::uint32_t tag = 0;
            const char* end = value.data() + value.size();
            const auto [ptr, ec] = std::from_chars(value.data(), end, tag);
            if (value.empty() || ec != std::errc() || ptr != end) {
                return UsageError{"bad tag '" + std::string(value) +
                                  "' (a decimal number, 0 to 4294967295)"};
            }
            o.tag = tag;
        } else if (name == "--reader") {
            o.reader = std::string(value);
        }
    }
    if (o.db && (o.dir || o.ini)) {
        return UsageError{"--db cannot be combined with -C or -c"};
    }
    if (o.tag && o.kind == Kind::kDevices) {
        return UsageError{"--tag does not apply to --kind devices"};
    }
    return o;
}

}  // namespace trelvane::history_cli
