#pragma once

// The [History] section of SysConf.ini: whether the service keeps its SQLite history, where,
// and for how long. The section is optional; a file without it (or without a key) gives the
// defaults below, so a settings file of an earlier release runs with the history on.
//
// Bad values never stop the service: a flag or number that is not a plain integer (after the
// profile's trimming, optional sign, decimal digits only) reads as the key's default, and a
// number out of its range is clamped or defaulted as each field says.
//
// Thread-safety: plain functions over a file read once; callable from any thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace trelvane {

class IniFile;

inline constexpr const char* kHistorySection = "History";

namespace history_keys {
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kPath = "Path";
inline constexpr const char* kReads = "Reads";
inline constexpr const char* kRetentionDays = "RetentionDays";
inline constexpr const char* kMaxSizeMB = "MaxSizeMB";
inline constexpr const char* kDepartAfter = "DepartAfter";
}  // namespace history_keys

inline constexpr const char* kDefaultHistoryPath = "trelvane.db";
inline constexpr int kDefaultRetentionDays = 90;
inline constexpr int kMaxRetentionDays = 36500;
inline constexpr std::int64_t kDefaultHistoryMaxSizeMB = 2048;
// Below this the schema, the WAL and one minute's rollup would already fill the cap.
inline constexpr std::int64_t kMinHistoryMaxSizeMB = 16;
inline constexpr std::int64_t kMaxHistoryMaxSizeMB = std::int64_t{1} << 24;  // 16 TiB
inline constexpr int kDefaultDepartAfterSeconds = 30;
inline constexpr int kMaxDepartAfterSeconds = 86400;

struct HistoryConfig {
    // Enabled: 0 = off, 1 = on; any other text = on (the default).
    bool enabled = true;
    // Path: the database file as written; relative paths are taken against the service's
    // working folder (see ResolveHistoryPath). Empty = the default.
    std::filesystem::path path = kDefaultHistoryPath;
    // Reads: 0 = keep device and presence events only, 1 = every tag read too; other = 1.
    bool reads = true;
    // RetentionDays: 0 = keep everything; negative or not a number = 90; above 36500 = 36500.
    int retentionDays = kDefaultRetentionDays;
    // MaxSizeMB: 0, negative or not a number = 2048; 1..15 = 16; above 2^24 = 2^24.
    std::int64_t maxSizeMB = kDefaultHistoryMaxSizeMB;
    // DepartAfter seconds without a read before a tag departs: 0, negative or not a number
    // = 30; above 86400 = 86400.
    int departAfterSeconds = kDefaultDepartAfterSeconds;

    std::int64_t MaxSizeBytes() const { return maxSizeMB << 20; }

    friend bool operator==(const HistoryConfig&, const HistoryConfig&) = default;
};

// The section of a loaded file (defaults for whatever is missing).
HistoryConfig HistoryConfigOf(const IniFile& file);

// The section of `iniFile`; nullopt when the file cannot be read (absent, not a regular file,
// no permission, too large).
std::optional<HistoryConfig> ReadHistoryConfig(const std::filesystem::path& iniFile);

// The database file: `config.path` when absolute, else `base / config.path`.
std::filesystem::path ResolveHistoryPath(const HistoryConfig& config,
                                         const std::filesystem::path& base);

}  // namespace trelvane
