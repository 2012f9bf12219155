#pragma once

// The service parameters kept in SysConf.ini, section Service_Param, in the process's working
// directory. Nothing is cached: every reader builds the path and reads the file again, so a
// value changed by the Service Setting page or by hand takes effect at the next service start.
//
// Only the Service Setting page writes the file, and only its four keys; Time_Out, KeepRecord,
// CalibrateTime and CodePage are edited by hand and are never written by the program.
//
// Thread-safety: all functions may be called from any thread (see IniFile.h); the program calls
// them from the event loop thread.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace trelvane {

inline constexpr const char* kConfigFileName = "SysConf.ini";
inline constexpr const char* kConfigSection = "Service_Param";

namespace config_keys {
inline constexpr const char* kServiceIp = "Service_IP";
inline constexpr const char* kServicePort = "Service_Port";
inline constexpr const char* kLoginTime = "Login_Time";
inline constexpr const char* kRefreshTime = "USER_Refresh_Time";
inline constexpr const char* kTimeOut = "Time_Out";
inline constexpr const char* kKeepRecord = "KeepRecord";
inline constexpr const char* kCalibrateTime = "CalibrateTime";
inline constexpr const char* kCodePage = "CodePage";
}  // namespace config_keys

// Time_Out below this is raised to it (a missing key included).
inline constexpr int kMinTimeOut = 3000;
// KeepRecord bits: which daily read logs receive every tag read.
inline constexpr int kKeepTextLog = 1;         // "%Y-%m-%d ReadIdRec.txt"
inline constexpr int kKeepSpreadsheetLog = 2;  // "%Y-%m-%d ReadIdRec.xls"
// Code page of the text the program writes when the file names none (or one we cannot write).
inline constexpr int kDefaultCodePage = 936;

// What the Service Setting page shows when there is no file, and offers in its lists.
inline constexpr unsigned kDefaultPort = 7088;
inline constexpr std::array<std::string_view, 6> kRegistrationChoices = {"1", "2", "3",
                                                                         "4", "5", "10"};
inline constexpr std::array<std::string_view, 8> kRefreshChoices = {"10",  "20",  "30",  "60",
                                                                    "120", "180", "300", "600"};
inline constexpr std::string_view kDefaultRegistration = "1";  // kRegistrationChoices[0]
inline constexpr std::string_view kDefaultRefresh = "30";      // kRefreshChoices[2]
static_assert(kRegistrationChoices[0] == kDefaultRegistration &&
                  kRefreshChoices[2] == kDefaultRefresh,
              "the page selects the defaults by list position");

// workingDir / "SysConf.ini". No other location is searched, so a program started from another
// directory uses (or creates) another file.
std::filesystem::path ConfigPath(const std::filesystem::path& workingDir);

// The process's current directory; nullopt when the system cannot report it (removed, or not
// accessible). No length limit applies.
std::optional<std::filesystem::path> CurrentWorkingDirectory();

// The values the service uses, converted once at service start.
struct ServiceConfig {
    std::string serviceIp;  // Service_IP as stored
    int servicePort = 0;    // Service_Port by the leading-integer rule; the listener checks range
    // Login_Time minutes as milliseconds, compared with 32-bit tick differences. Negative minutes
    // count as 0; more than 71582 minutes (where x 60000 would wrap to a short time-out)
    // saturate to UINT32_MAX, the longest silence a 32-bit tick difference can measure.
    std::uint32_t registrationTimeoutMs = 0;
    // USER_Refresh_Time seconds; 0 = no supervision timer. Negative counts as 0; values are
    // capped at 4294967 so that the timer's period in milliseconds fits 32 bits.
    std::uint32_t refreshPeriodSeconds = 0;
    int timeOut = kMinTimeOut;  // Time_Out, raised to kMinTimeOut when below; nothing uses it
    int keepRecord = 0;         // KeepRecord bit set (kKeepTextLog | kKeepSpreadsheetLog)
    int calibrateTime = 0;      // CalibrateTime: non-zero = daily clock calibration on
    // CodePage, an optional hand-edited key naming the code page of the text the program writes:
    // 936 (GBK), 950 (Big5), 1252 (Western) or 65001 (UTF-8). Missing, empty or any other value
    // gives 936, the code page the program's own texts are written in.
    int codePage = kDefaultCodePage;
};

// Reads Service_Param of `iniFile` at service start, keys in the order Service_IP, Service_Port,
// Login_Time, USER_Refresh_Time, Time_Out, KeepRecord, CalibrateTime, CodePage, all from one
// reading of the file. nullopt when the file is absent, or cannot be read (not a regular file,
// no permission, too large): the caller then shows "Please config service parameter first!" and
// stays stopped rather than listening with empty values. Missing keys read as "" (numbers 0).
// The one reader of the section: the desktop's <working folder>/SysConf.ini and trelvaned's
// -c FILE both come through here.
std::optional<ServiceConfig> ReadServiceConfigFile(const std::filesystem::path& iniFile);

// ReadServiceConfigFile(ConfigPath(workingDir)).
std::optional<ServiceConfig> ReadServiceConfig(const std::filesystem::path& workingDir);

// The settings file the service reads: `configFile` when one was named (trelvaned -c FILE), else
// <workingDir>/SysConf.ini.
std::filesystem::path ServiceConfigSource(const std::filesystem::path& workingDir,
                                          const std::optional<std::filesystem::path>& configFile);

// The Service Setting page's fields. Login and refresh times are kept as text: the page shows and
// saves whatever was stored or typed.
struct PageSettings {
    std::string serviceIp;
    unsigned port = kDefaultPort;
    std::string loginTime;
    std::string refreshTime;

    friend bool operator==(const PageSettings&, const PageSettings&) = default;
};

// The page's defaults when there is no file: the first local address (empty when there is
// none), port 7088, Registration "1", Refresh "30".
PageSettings DefaultPageSettings(std::span<const std::string> localAddresses);

// Read when the Service Setting page opens: nullopt when the file is absent or cannot be read
// (the page shows its defaults). A stored negative port shows as 0; a stored port above 65535
// is shown as it is and refused by the page's range check.
std::optional<PageSettings> ReadPageSettings(const std::filesystem::path& workingDir);

// OK on the page: Service_IP, Service_Port ("%d"), Login_Time and USER_Refresh_Time, in that
// order, texts exactly as given (no trimming), in one replacement of the file: either all four
// are stored or none. Returns false, writing nothing, when the port is above 65535, a text holds
// a line break or NUL, or the file cannot be written (read-only, no directory rights).
bool WritePageSettings(const std::filesystem::path& workingDir, const PageSettings& page);

}  // namespace trelvane
