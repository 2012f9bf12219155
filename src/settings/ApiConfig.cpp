#include "settings/ApiConfig.h"

#include <string_view>

#include "settings/IniFile.h"

namespace trelvane {
namespace {

// Decimal digits only (the profile reader has trimmed the text), at most 6 of them.
std::optional<int> SmallNumber(std::string_view text) {
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

ApiConfig ApiConfigOf(const IniFile& file, bool enabledByDefault) {
    ApiConfig config;
    config.enabled = enabledByDefault;
    if (const auto flag = SmallNumber(file.Get(kApiSection, api_keys::kEnabled)); flag) {
        if (*flag == 0 || *flag == 1) {
            config.enabled = *flag == 1;
        }
    }
    if (std::string address = file.Get(kApiSection, api_keys::kAddress); !address.empty()) {
        config.address = std::move(address);
    }
    if (const auto port = SmallNumber(file.Get(kApiSection, api_keys::kPort));
        port && *port <= 65535) {
        config.port = *port;
    }
    config.token = file.Get(kApiSection, api_keys::kToken);
    return config;
}

std::optional<ApiConfig> ReadApiConfig(const std::filesystem::path& iniFile,
                                       bool enabledByDefault) {
    const std::optional<IniFile> file = IniFile::Load(iniFile);
    if (!file) {
        return std::nullopt;
    }
    return ApiConfigOf(*file, enabledByDefault);
}

}  // namespace trelvane
