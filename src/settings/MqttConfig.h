#pragma once

// The [Mqtt] section of SysConf.ini: whether the service publishes its reads to an MQTT broker,
// where, and how. The section is optional; without it MQTT is off.
//
// Bad numbers read as the key's default (the [History] rules). A text value longer than the
// profile reader keeps (127 bytes) is refused rather than used cut: a cut password or host name
// would connect somewhere else or fail in a way nobody could explain. Refusals are listed in
// `problems`; a configuration with problems is not used (the service runs without MQTT).
//
// Thread-safety: plain functions over a file read once; callable from any thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace trelvane {

class IniFile;

inline constexpr const char* kMqttSection = "Mqtt";

namespace mqtt_keys {
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kHost = "Host";
inline constexpr const char* kPort = "Port";
inline constexpr const char* kClientId = "ClientId";
inline constexpr const char* kTopicPrefix = "TopicPrefix";
inline constexpr const char* kQos = "Qos";
inline constexpr const char* kProtocolVersion = "ProtocolVersion";
inline constexpr const char* kUsername = "Username";
inline constexpr const char* kPassword = "Password";
inline constexpr const char* kCaFile = "CaFile";
inline constexpr const char* kKeepAlive = "KeepAlive";
}  // namespace mqtt_keys

enum class MqttProtocol : std::uint8_t { kV311, kV5 };

struct MqttConfig {
    bool enabled = false;                         // Enabled: 1 = on; anything else = off
    std::string host = "127.0.0.1";               // Host: empty = the default
    int port = 1883;                              // Port: 1..65535, else the default
    std::string clientId;                         // ClientId: empty = "trelvane-" + the host name
    std::string topicPrefix = "trelvane";         // TopicPrefix: empty = the default
    int qos = 1;                                  // Qos: 0 or 1, else 1
    MqttProtocol protocol = MqttProtocol::kV311;  // ProtocolVersion: "3.1.1" or "5"
    std::string username;                         // Username, Password: empty = none
    std::string password;
    std::string caFile;         // CaFile: set = TLS, verified against this CA
    int keepAliveSeconds = 30;  // KeepAlive: 5..65535, else 30

    std::vector<std::string> problems;  // values refused; non-empty = do not use

    friend bool operator==(const MqttConfig&, const MqttConfig&) = default;
};

// The section of a loaded file; `hostName` makes the default client id.
MqttConfig MqttConfigOf(const IniFile& file, const std::string& hostName);

// The section of `iniFile`; nullopt when the file cannot be read.
std::optional<MqttConfig> ReadMqttConfig(const std::filesystem::path& iniFile,
                                         const std::string& hostName);

// This machine's host name ("localhost" when it has none).
std::string LocalHostName();

}  // namespace trelvane
