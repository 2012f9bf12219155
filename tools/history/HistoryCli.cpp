#include "HistoryCli.h"

#include <charconv>
#include <cstdio>

#include "base/IsoTime.h"

namespace trelvane::history_cli {

const char* const kUsage =
    "Usage: trelvane-history [-C DIR | -c INI | --db FILE]\n"
    "                        [--kind reads|presence|devices|zones|alerts] [--since TIME]\n"
    "                        [--until TIME] [--tag ID] [--reader NAME] [--zone NAME]\n"
    "                        [--rule NAME] [--asset LABEL] [--group GROUP]\n"
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
    "  --kind K       reads (default), presence, devices, zones or alerts\n"
    "  --since TIME   rows at or after TIME\n"
    "  --until TIME   rows before TIME\n"
    "                 TIME is ISO 8601, local unless an offset is given: 2026-12-08,\n"
    "                 2026-12-08T09:00, 2026-12-08T09:00:00+08:00, ...Z\n"
    "  --tag ID       one tag, by its decimal number (all but devices)\n"
    "  --reader NAME  one reader, by its name or its device key (ip:port; alerts: its name)\n"
    "  --zone NAME    one zone, by its name (zones and alerts)\n"
    "  --rule NAME    one rule, by its name (alerts)\n"
    "  --asset LABEL  the tags the site register labels LABEL (all but devices)\n"
    "  --group GROUP  the tags of the register's group GROUP (all but devices)\n"
    "  --format F     csv (default: RFC 4180, a header, CR LF) or jsonl (one event object a\n"
    "                 line, as every output writes events; a registered tag's label and group\n"
    "                 come from the site register, [Site] Path, when it exists)\n"
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
                   n == "--until" || n == "--tag" || n == "--reader" || n == "--zone" ||
                   n == "--rule" || n == "--asset" || n == "--group" || n == "--format";
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
            if (const auto kind = events::KindNamed(value)) {
                o.kind = *kind;
            } else {
                return UsageError{"--kind is reads, presence, devices, zones or alerts, not '" +
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
        } else if (name == "--zone") {
            o.zone = std::string(value);
        } else if (name == "--rule") {
            o.rule = std::string(value);
        } else if (name == "--asset") {
            o.asset = std::string(value);
        } else if (name == "--group") {
            o.group = std::string(value);
        }
    }
    if (o.db && (o.dir || o.ini)) {
        return UsageError{"--db cannot be combined with -C or -c"};
    }
    if (o.tag && o.kind == events::Kind::kDevices) {
        return UsageError{"--tag does not apply to --kind devices"};
    }
    if ((o.asset || o.group) && o.kind == events::Kind::kDevices) {
        return UsageError{"--asset and --group do not apply to --kind devices"};
    }
    if (o.db && (o.asset || o.group)) {
        return UsageError{"--asset and --group need the settings file (-C or -c), not --db"};
    }
    if (o.zone && o.kind != events::Kind::kZones && o.kind != events::Kind::kAlerts) {
        return UsageError{"--zone applies to --kind zones and alerts only"};
    }
    if (o.rule && o.kind != events::Kind::kAlerts) {
        return UsageError{"--rule applies to --kind alerts only"};
    }
    return o;
}

}  // namespace trelvane::history_cli
