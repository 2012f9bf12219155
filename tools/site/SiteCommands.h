#pragma once

// The commands of trelvane-site over the site register and the history: each opens what it
// needs, does one thing and closes it again, so the service (which polls the register's file)
// never waits on the tool for longer than one command.

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>

#include "SiteCli.h"

namespace trelvane::site_cli {

// Where the settings put the register and the history (the rules of -C and -c).
struct Places {
    std::filesystem::path site;
    std::optional<std::filesystem::path> history;  // nullopt: the history is off
    std::filesystem::path ini;                     // the settings file read, or looked for
};

// The places, or why the settings file cannot be read.
std::variant<Places, std::string> FindPlaces(const Options& options);

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;  // progress lines go to a terminal only
};

// Runs `options.command`; the exit code.
int Run(const Options& options, const Places& places, Console& console);

}  // namespace trelvane::site_cli
