#include "service/ConfigFile.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "settings/IniFile.h"

namespace trelvane {
namespace {

// The same limits as ReadServiceConfig's: minutes x 60000 and seconds x 1000 must fit 32 bits.
constexpr int kMaxLoginMinutes = static_cast<int>(UINT32_MAX / 60000u);
constexpr int kMaxRefreshSeconds = static_cast<int>(UINT32_MAX / 1000u);

std::uint32_t RegistrationTimeoutMs(int minutes) {
    if (minutes <= 0) {
        return 0;
    }
    if (minutes > kMaxLoginMinutes) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(minutes) * 60000u;
}

int CodePageOf(int value) {
    switch (value) {
        case 936:
        case 950:
        case 1252:
        case 65001:
            return value;
        default:
            return kDefaultCodePage;
    }
}

}  // namespace

std::optional<ServiceConfig> ReadServiceConfigFile(const std::filesystem::path& file) {
    const std::optional<IniFile> ini = IniFile::Load(file);
    if (!ini) {
        return std::nullopt;
    }
    const auto number = [&](const char* key) {
        return LeadingInteger(ini->Get(kConfigSection, key));
    };
    ServiceConfig config;
    config.serviceIp = ini->Get(kConfigSection, config_keys::kServiceIp);
    config.servicePort = number(config_keys::kServicePort);
    config.registrationTimeoutMs = RegistrationTimeoutMs(number(config_keys::kLoginTime));
    config.refreshPeriodSeconds = static_cast<std::uint32_t>(
        std::clamp(number(config_keys::kRefreshTime), 0, kMaxRefreshSeconds));
    config.timeOut = std::max(number(config_keys::kTimeOut), kMinTimeOut);
    config.keepRecord = number(config_keys::kKeepRecord);
    config.calibrateTime = number(config_keys::kCalibrateTime);
    config.codePage = CodePageOf(number(config_keys::kCodePage));
    return config;
}

std::filesystem::path ServiceConfigSource(const std::filesystem::path& workingDir,
                                          const std::optional<std::filesystem::path>& configFile) {
    return configFile ? *configFile : ConfigPath(workingDir);
}

}  // namespace trelvane
