#include "settings/MqttConfig.h"

#include <unistd.h>

#include <climits>
#include <string_view>

#include "settings/IniFile.h"

namespace trelvane {

MqttConfig MqttConfigOf(const IniFile& file, const std::string& hostName) {
    MqttConfig config;
    const auto get = [&](const char* key) { return file.Get(kMqttSection, key); };
    const auto text = [&](const char* key, std::string& out) {
        if (file.IsCut(kMqttSection, key)) {
            config.problems.push_back(std::string("[Mqtt] ") + key + " is longer than " +
                                      std::to_string(kMaxProfileValueLength) +
                                      " bytes: refused, not cut");
            return;
        }
        std::string value = get(key);
        if (!value.empty()) {
            out = std::move(value);
        }
    };
    config.enabled = PlainInteger(get(mqtt_keys::kEnabled)) == 1;
    text(mqtt_keys::kHost, config.host);
    text(mqtt_keys::kClientId, config.clientId);
    text(mqtt_keys::kTopicPrefix, config.topicPrefix);
    text(mqtt_keys::kUsername, config.username);
    text(mqtt_keys::kPassword, config.password);
    text(mqtt_keys::kCaFile, config.caFile);
    if (config.clientId.empty()) {
        config.clientId = "trelvane-" + hostName;
    }
    // MQTT 3.1.1 brokers must accept ids up to 23 bytes and may refuse longer ones; the broker
    // says so at connection time, so the id is left as configured.

    if (const auto port = PlainInteger(get(mqtt_keys::kPort));
        port && *port >= 1 && *port <= 65535) {
        config.port = static_cast<int>(*port);
    }
    if (const auto qos = PlainInteger(get(mqtt_keys::kQos)); qos == 0) {
        config.qos = 0;
    }
    const std::string version = get(mqtt_keys::kProtocolVersion);
    if (version == "5" || version == "5.0") {
        config.protocol = MqttProtocol::kV5;
    } else if (!version.empty() && version != "3.1.1" && version != "4") {
        config.problems.push_back("[Mqtt] ProtocolVersion=" + version + " is neither 3.1.1 nor 5");
    }
    if (const auto keep = PlainInteger(get(mqtt_keys::kKeepAlive));
        keep && *keep >= 5 && *keep <= 65535) {
        config.keepAliveSeconds = static_cast<int>(*keep);
    }
    return config;
}

std::optional<MqttConfig> ReadMqttConfig(const std::filesystem::path& iniFile,
                                         const std::string& hostName) {
    const std::optional<IniFile> file = IniFile::Load(iniFile);
    if (!file) {
        return std::nullopt;
    }
    return MqttConfigOf(*file, hostName);
}

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace trelvane
