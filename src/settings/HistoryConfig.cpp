#include "settings/HistoryConfig.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "settings/IniFile.h"

namespace trelvane {
namespace {

bool Flag(const IniFile& file, const char* key, bool fallback) {
    const std::optional<std::int64_t> v = PlainInteger(file.Get(kHistorySection, key));
    if (v == 0) {
        return false;
    }
    if (v == 1) {
        return true;
    }
    return fallback;
}

}  // namespace

HistoryConfig HistoryConfigOf(const IniFile& file) {
    HistoryConfig config;
    config.enabled = Flag(file, history_keys::kEnabled, true);
    config.reads = Flag(file, history_keys::kReads, true);

    const std::string path = file.Get(kHistorySection, history_keys::kPath);
    if (!path.empty()) {
        config.path = path;
    }

    const auto number = [&](const char* key) {
        return PlainInteger(file.Get(kHistorySection, key));
    };
    if (const auto days = number(history_keys::kRetentionDays); days && *days >= 0) {
        config.retentionDays = static_cast<int>(std::min<std::int64_t>(*days, kMaxRetentionDays));
    }
    if (const auto mb = number(history_keys::kMaxSizeMB); mb && *mb > 0) {
        config.maxSizeMB = std::clamp(*mb, kMinHistoryMaxSizeMB, kMaxHistoryMaxSizeMB);
    }
    if (const auto s = number(history_keys::kDepartAfter); s && *s > 0) {
        config.departAfterSeconds =
            static_cast<int>(std::min<std::int64_t>(*s, kMaxDepartAfterSeconds));
    }
    return config;
}

std::optional<HistoryConfig> ReadHistoryConfig(const std::filesystem::path& iniFile) {
    const std::optional<IniFile> file = IniFile::Load(iniFile);
    if (!file) {
        return std::nullopt;
    }
    return HistoryConfigOf(*file);
}

std::filesystem::path ResolveHistoryPath(const HistoryConfig& config,
                                         const std::filesystem::path& base) {
    if (config.path.is_absolute()) {
        return config.path;
    }
    return base / config.path;
}

}  // namespace trelvane
