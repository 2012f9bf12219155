#include "settings/SiteConfig.h"

#include <algorithm>

#include "settings/IniFile.h"

namespace trelvane {

SiteConfig SiteConfigOf(const IniFile& file) {
    SiteConfig config;
    const std::string path = file.Get(kSiteSection, site_keys::kPath);
    if (!path.empty()) {
        config.path = path;
    }
    if (const auto s = PlainInteger(file.Get(kSiteSection, site_keys::kExitAfter)); s && *s > 0) {
        config.exitAfterSeconds = static_cast<int>(std::min<std::int64_t>(*s, kMaxZoneSeconds));
    }
    if (const auto s = PlainInteger(file.Get(kSiteSection, site_keys::kMoveAfter)); s && *s >= 0) {
        config.moveAfterSeconds = static_cast<int>(std::min<std::int64_t>(*s, kMaxZoneSeconds));
    }
    return config;
}

std::optional<SiteConfig> ReadSiteConfig(const std::filesystem::path& iniFile) {
    const std::optional<IniFile> file = IniFile::Load(iniFile);
    if (!file) {
        return std::nullopt;
    }
    return SiteConfigOf(*file);
}

std::filesystem::path ResolveSitePath(const SiteConfig& config, const std::filesystem::path& base) {
    return config.path.is_absolute() ? config.path : base / config.path;
}

}  // namespace trelvane
