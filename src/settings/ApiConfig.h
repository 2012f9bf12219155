#pragma once

// The [Api] section of SysConf.ini: the local HTTP server (REST, live feed, metrics, status
// page). The section is optional; what is missing takes the defaults below. Enabled defaults
// differ by program: on in the headless service, off in the desktop program, so the caller
// passes its own default.
//
// Thread-safety: plain functions over a file read once; callable from any thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace trelvane {

class IniFile;

inline constexpr const char* kApiSection = "Api";

namespace api_keys {
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kAddress = "Address";
inline constexpr const char* kPort = "Port";
inline constexpr const char* kToken = "Token";
}  // namespace api_keys

inline constexpr const char* kDefaultApiAddress = "127.0.0.1";
inline constexpr int kDefaultApiPort = 7089;

struct ApiConfig {
    // Enabled: 0 = off, 1 = on; anything else = the program's default.
    bool enabled = false;
    // Address: the IPv4 or IPv6 address to listen on, as written; empty = 127.0.0.1.
    std::string address = kDefaultApiAddress;
    // Port: 0..65535 (0 lets the system choose); anything else = 7089.
    int port = kDefaultApiPort;
    // Token: the bearer token; empty = none (changes refused, and a non-loopback address
    // refuses to start).
    std::string token;

    friend bool operator==(const ApiConfig&, const ApiConfig&) = default;
};

ApiConfig ApiConfigOf(const IniFile& file, bool enabledByDefault);

// nullopt when the file cannot be read.
std::optional<ApiConfig> ReadApiConfig(const std::filesystem::path& iniFile, bool enabledByDefault);

}  // namespace trelvane
