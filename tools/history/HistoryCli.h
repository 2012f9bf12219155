#pragma once

// The command line of trelvane-history, as a pure function (the rows' texts are the history's
// own: history/RowText.h).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "history/RowText.h"

namespace trelvane::history_cli {

using history::Format;

struct Options {
    std::optional<std::filesystem::path> dir;  // -C
    std::optional<std::filesystem::path> ini;  // -c
    std::optional<std::filesystem::path> db;   // --db
    events::Kind kind = events::Kind::kReads;
    std::optional<std::int64_t> sinceMs;
    std::optional<std::int64_t> untilMs;
    std::optional<std::uint32_t> tag;
    std::optional<std::string> reader;
    std::optional<std::string> zone;
    std::optional<std::string> rule;
    std::optional<std::string> asset;  // a label of the site register
    std::optional<std::string> group;
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

}  // namespace trelvane::history_cli
