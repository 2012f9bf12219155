#include "SiteCli.h"

#include <string_view>

#include "base/IsoTime.h"

namespace trelvane::site_cli {

const char* const kUsage =
    "Usage: trelvane-site [-C DIR | -c INI] zones\n"
    "       trelvane-site [-C DIR | -c INI] zone set NAME READER...\n"
    "       trelvane-site [-C DIR | -c INI] zone remove NAME\n"
    "       trelvane-site [-C DIR | -c INI] assets export\n"
    "       trelvane-site [-C DIR | -c INI] assets import FILE [--replace]\n"
    "       trelvane-site [-C DIR | -c INI] where TAG|LABEL [--at TIME]\n"
    "       trelvane-site --help | --version\n"
    "\n"
    "Reads and edits the zones and assets of the Trelvane site register.\n"
    "\n"
    "  zones             the zones as CSV: zone,readers (the readers joined by ';')\n"
    "  zone set          creates zone NAME, or replaces its readers\n"
    "  zone remove       removes zone NAME\n"
    "  assets export     the assets as CSV: tag,label,group,note\n"
    "  assets import     adds or updates the assets of FILE (CSV as exported; - reads\n"
    "                    standard input) and prints added=N updated=N removed=N\n"
    "  --replace         the file becomes the whole list: assets not in it are removed\n"
    "  where             where a tag is, by its decimal number or its asset's label, as CSV:\n"
    "                    tag,label,group,zone,since,last_reader,last_seen\n"
    "  --at TIME         where it was at TIME (ISO 8601, local unless an offset is given:\n"
    "                    2026-12-08T09:00, 2026-12-08T09:00:00+08:00, ...Z)\n"
    "\n"
    "  -C DIR            use DIR/SysConf.ini; its [Site] and [History] Path are relative to DIR\n"
    "  -c INI            use that settings file; a relative Path is relative to the current\n"
    "                    folder (the service's working folder), or to DIR when -C is also given\n"
    "                    (default: ./SysConf.ini; without it site.db and trelvane.db here)\n"
    "  --help            this text\n"
    "  --version         the version\n"
    "\n"
    "Exit status: 0 done, 1 bad usage or input or a refused change, 2 not found,\n"
    "3 the settings, the register or the history cannot be opened.\n";

namespace {

// The operands of each command, after the command's own words.
std::optional<UsageError> TakeOperands(Options& o, const std::vector<std::string_view>& words) {
    const auto want = [&](std::size_t n, const char* usage) -> std::optional<UsageError> {
        if (words.size() != n) {
            return UsageError{std::string(words.size() < n ? "missing operand" : "extra operand") +
                              ": " + usage};
        }
        return std::nullopt;
    };
    const std::string_view first = words.empty() ? "" : words[0];
    const std::string_view second = words.size() < 2 ? "" : words[1];
    if (first == "zones") {
        o.command = Command::kZones;
        return want(1, "zones");
    }
    if (first == "zone" && second == "set") {
        o.command = Command::kZoneSet;
        if (words.size() < 4) {
            return UsageError{"zone set needs a name and at least one reader"};
        }
        o.name = words[2];
        o.readers.assign(words.begin() + 3, words.end());
        return std::nullopt;
    }
    if (first == "zone" && second == "remove") {
        o.command = Command::kZoneRemove;
        if (auto error = want(3, "zone remove NAME")) {
            return error;
        }
        o.name = words[2];
        return std::nullopt;
    }
    if (first == "assets" && second == "export") {
        o.command = Command::kAssetsExport;
        return want(2, "assets export");
    }
    if (first == "assets" && second == "import") {
        o.command = Command::kAssetsImport;
        if (auto error = want(3, "assets import FILE")) {
            return error;
        }
        o.name = words[2];
        return std::nullopt;
    }
    if (first == "where") {
        o.command = Command::kWhere;
        if (auto error = want(2, "where TAG|LABEL")) {
            return error;
        }
        o.name = words[1];
        return std::nullopt;
    }
    if (first.empty()) {
        return UsageError{"no command (zones, zone, assets or where)"};
    }
    if (first == "zone" || first == "assets") {
        return UsageError{std::string(first) + (first == "zone"
                                                    ? " is followed by set or remove"
                                                    : " is followed by export or import")};
    }
    return UsageError{"unknown command '" + std::string(first) + "'"};
}

}  // namespace

std::variant<Options, UsageError> ParseCommandLine(int argc, const char* const* argv) {
    Options o;
    std::vector<std::string_view> words;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // Names may begin with '-': after "--" every word is an operand, and "-" is stdin.
        if (optionsEnd || arg == "-" || !arg.starts_with("-")) {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        std::string_view name = arg;
        std::string_view value;
        bool inlineValue = false;
        if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != arg.npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else if (name == "--replace") {
            o.replace = true;
        } else if (name == "-C" || name == "-c" || name == "--at") {
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
            } else if (const std::optional<std::int64_t> t = ParseIsoTime(value)) {
                o.atMs = t;
            } else {
                return UsageError{"bad time for --at: '" + std::string(value) +
                                  "' (ISO 8601, e.g. 2026-12-08T09:00)"};
            }
        } else {
            return UsageError{"unknown option '" + std::string(arg) + "'"};
        }
    }
    if (o.help || o.version) {
        return o;
    }
    if (auto error = TakeOperands(o, words)) {
        return *error;
    }
    if (o.replace && o.command != Command::kAssetsImport) {
        return UsageError{"--replace applies to assets import only"};
    }
    if (o.atMs && o.command != Command::kWhere) {
        return UsageError{"--at applies to where only"};
    }
    return o;
}

}  // namespace trelvane::site_cli
