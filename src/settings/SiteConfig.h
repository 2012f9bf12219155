#pragma once

// The [Site] section of SysConf.ini: where the site register (zones and assets) lives and how
// tags move between zones. Optional; without it the register is site.db in the working folder
// and zone timing follows the history's DepartAfter. Bad numbers read as the key's default.
//
// Thread-safety: plain functions over a file read once; callable from any thread.

#include <cstdint>
#include <filesystem>
#include <optional>

namespace trelvane {

class IniFile;

inline constexpr const char* kSiteSection = "Site";

namespace site_keys {
inline constexpr const char* kPath = "Path";
inline constexpr const char* kExitAfter = "ExitAfter";
inline constexpr const char* kMoveAfter = "MoveAfter";
}  // namespace site_keys

inline constexpr const char* kDefaultSitePath = "site.db";
inline constexpr int kDefaultMoveAfterSeconds = 2;
inline constexpr int kMaxZoneSeconds = 86400;

struct SiteConfig {
    // Path: the register's file; relative paths are taken against the working folder.
    std::filesystem::path path = kDefaultSitePath;
    // ExitAfter seconds without a read by its zone's readers before a tag exits the zone:
    // 1..86400; absent, 0, negative or not a number = the history's DepartAfter.
    std::optional<int> exitAfterSeconds;
    // MoveAfter seconds a tag's zone must have stopped reading it, while another zone reads
    // it, before it moves there: 0..86400; negative or not a number = 2.
    int moveAfterSeconds = kDefaultMoveAfterSeconds;

    // ExitAfter in milliseconds, given the history's DepartAfter.
    std::int64_t ExitAfterMs(int departAfterSeconds) const {
        return std::int64_t{exitAfterSeconds.value_or(departAfterSeconds)} * 1000;
    }
    std::int64_t MoveAfterMs() const { return std::int64_t{moveAfterSeconds} * 1000; }

    friend bool operator==(const SiteConfig&, const SiteConfig&) = default;
};

SiteConfig SiteConfigOf(const IniFile& file);
// nullopt when the file cannot be read.
std::optional<SiteConfig> ReadSiteConfig(const std::filesystem::path& iniFile);
// `config.path` when absolute, else `base / config.path`.
std::filesystem::path ResolveSitePath(const SiteConfig& config, const std::filesystem::path& base);

}  // namespace trelvane
