#include "settings/ServiceConfig.h"

#include <algorithm>
#include <climits>

#include "settings/IniFile.h"

namespace trelvane {
namespace {

constexpr int kMaxLoginMinutes = static_cast<int>(UINT32_MAX / 60000u);   // 71582
constexpr int kMaxRefreshSeconds = static_cast<int>(UINT32_MAX / 1000u);  // 4294967

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

std::filesystem::path ConfigPath(const std::filesystem::path& workingDir) {
    return workingDir / kConfigFileName;
}

std::optional<std::filesystem::path> CurrentWorkingDirectory() {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::current_path(ec);
    if (ec) {
        return std::nullopt;
    }
    return path;
}

std::optional<ServiceConfig> ReadServiceConfigFile(const std::filesystem::path& iniFile) {
    const std::optional<IniFile> file = IniFile::Load(iniFile);
    if (!file) {
        return std::nullopt;
    }
    const auto number = [&](const char* key) {
        return LeadingInteger(file->Get(kConfigSection, key));
    };
    ServiceConfig config;
    config.serviceIp = file->Get(kConfigSection, config_keys::kServiceIp);
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

std::optional<ServiceConfig> ReadServiceConfig(const std::filesystem::path& workingDir) {
    return ReadServiceConfigFile(ConfigPath(workingDir));
}

std::filesystem::path ServiceConfigSource(const std::filesystem::path& workingDir,
                                          const std::optional<std::filesystem::path>& configFile) {
    return configFile ? *configFile : ConfigPath(workingDir);
}

PageSettings DefaultPageSettings(std::span<const std::string> localAddresses) {
    PageSettings page;
    page.serviceIp = localAddresses.empty() ? std::string() : localAddresses.front();
    page.port = kDefaultPort;
    page.loginTime = std::string(kDefaultRegistration);
    page.refreshTime = std::string(kDefaultRefresh);
    return page;
}

std::optional<PageSettings> ReadPageSettings(const std::filesystem::path& workingDir) {
    const std::optional<IniFile> file = IniFile::Load(ConfigPath(workingDir));
    if (!file) {
        return std::nullopt;
    }
    PageSettings page;
    page.serviceIp = file->Get(kConfigSection, config_keys::kServiceIp);
    page.port = static_cast<unsigned>(
        std::max(LeadingInteger(file->Get(kConfigSection, config_keys::kServicePort)), 0));
    page.loginTime = file->Get(kConfigSection, config_keys::kLoginTime);
    page.refreshTime = file->Get(kConfigSection, config_keys::kRefreshTime);
    return page;
}

bool WritePageSettings(const std::filesystem::path& workingDir, const PageSettings& page) {
    if (page.port > 65535u) {
        return false;
    }
    const std::string port = std::to_string(page.port);
    return WriteProfileStrings(ConfigPath(workingDir), kConfigSection,
                               {{config_keys::kServiceIp, page.serviceIp},
                                {config_keys::kServicePort, port},
                                {config_keys::kLoginTime, page.loginTime},
                                {config_keys::kRefreshTime, page.refreshTime}});
}

}  // namespace trelvane
