#pragma once

// The command line of trelvane-site, as a pure function, and its exit codes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace trelvane::site_cli {

// The exit codes, as the man page lists them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // bad usage or input, or a change the register refuses
inline constexpr int kExitNotFound = 2;
inline constexpr int kExitCannotOpen = 3;  // the settings, the register or the history

enum class Command { kNone, kZones, kZoneSet, kZoneRemove, kAssetsExport, kAssetsImport, kWhere };

struct Options {
    std::optional<std::filesystem::path> dir;  // -C
    std::optional<std::filesystem::path> ini;  // -c
    Command command = Command::kNone;
    // The command's operands: zone set NAME READER..., zone remove NAME, assets import FILE,
    // where TAG|LABEL.
    std::string name;
    std::vector<std::string> readers;
    bool replace = false;              // assets import --replace
    std::optional<std::int64_t> atMs;  // where --at
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string text;
};

std::variant<Options, UsageError> ParseCommandLine(int argc, const char* const* argv);

extern const char* const kUsage;

}  // namespace trelvane::site_cli
