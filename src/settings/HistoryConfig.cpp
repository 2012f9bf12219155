#include "settings/HistoryConfig.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "settings/IniFile.h"

namespace trelvane {
namespace {

// A plain decimal integer (the profile reader has trimmed it): optional sign, then digits only.
// Values beyond the int64 range saturate; anything else is not a number.
std::optional<std::int64_t> PlainInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    return negative ? -value : value;
}

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
