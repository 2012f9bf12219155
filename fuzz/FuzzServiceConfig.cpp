// Writes arbitrary bytes as SysConf.ini and reads them the two ways the program does (service
// start and the Service Setting page), then saves the page's values back. Checks:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - a file that is there always reads, and every value agrees with IniFile::Get on the same
//    bytes and with ReadProfileString on the same file;
//  - the numbers follow the documented rules, worked out here by hand from the value texts:
//    leading-integer conversion with saturation, Login_Time minutes to milliseconds (0 when not
//    positive, UINT32_MAX above 71582), refresh period clamped to 0..4294967, Time_Out at least
//    3000, CodePage one of 936, 950, 1252, 65001 (936 for anything else);
//  - only the first Service_Param section and the first line of a key count: a section added at
//    the end never overrides a value, one put in front always does;
//  - saving the page's values succeeds unless a text holds a CR, LF or NUL or the port is above
//    65535, reads back the same for plain texts, and leaves the hand-edited keys as they read.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "settings/IniFile.h"
#include "settings/ServiceConfig.h"

namespace {

namespace fs = std::filesystem;
using trelvane::IniFile;
namespace keys = trelvane::config_keys;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A per-process scratch folder, removed at exit; in memory where there is /dev/shm, since every
// save syncs the file and its folder. Never destroyed, so the exit handler may use it.
const fs::path& ScratchDir() {
    static const fs::path* const dir = [] {
        std::string pattern = (fs::is_directory("/dev/shm") ? std::string("/dev/shm")
                                                            : fs::temp_directory_path().string()) +
                              "/fuzz_service_config-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        Check(made != nullptr);
        return new fs::path(made);
    }();
    static const bool cleanup = std::atexit([] {
                                    std::error_code ec;
                                    fs::remove_all(*dir, ec);
                                }) == 0;
    (void)cleanup;
    return *dir;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Check(out.good());
}

// atoi's rule, saturating at the int range.
int Atoi(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() &&
           std::string_view(" \t\n\v\f\r").find(text[i]) != std::string_view::npos) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

constexpr std::array<const char*, 8> kKeys = {
    keys::kServiceIp, keys::kServicePort, keys::kLoginTime,     keys::kRefreshTime,
    keys::kTimeOut,   keys::kKeepRecord,  keys::kCalibrateTime, keys::kCodePage};

bool Plain(std::string_view value) {
    if (value.empty()) {
        return true;
    }
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return !blank(value.front()) && !blank(value.back()) && !quoted;
}

bool Storable(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const fs::path& dir = ScratchDir();
    const fs::path file = trelvane::ConfigPath(dir);
    WriteFile(file, bytes);

    const IniFile ini(bytes);
    std::array<std::string, kKeys.size()> values;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        values[i] = ini.Get(trelvane::kConfigSection, kKeys[i]);
        Check(values[i].size() <= trelvane::kMaxProfileValueLength);
        Check(values[i].find('\0') == std::string::npos &&
              values[i].find('\n') == std::string::npos);
        Check(trelvane::ReadProfileString(file, trelvane::kConfigSection, kKeys[i]) == values[i]);

        // A later section of the same name is never read; an earlier one always is.
        const std::string behind = IniFile(bytes + "\n[Service_Param]\n" + kKeys[i] + "=zz\n")
                                       .Get("service_param", kKeys[i]);
        Check(behind == values[i] || (values[i].empty() && behind == "zz"));
        Check(IniFile(std::string("[SERVICE_PARAM]\r\n") + kKeys[i] + " = pre\r\n" + bytes)
                  .Get(trelvane::kConfigSection, kKeys[i]) == "pre");
    }

    const auto config = trelvane::ReadServiceConfig(dir);
    Check(config.has_value());
    Check(config->serviceIp == values[0]);
    Check(config->servicePort == Atoi(values[1]));
    const int minutes = Atoi(values[2]);
    const std::uint32_t timeout = minutes <= 0      ? 0u
                                  : minutes > 71582 ? UINT32_MAX
                                                    : static_cast<std::uint32_t>(minutes) * 60000u;
    Check(config->registrationTimeoutMs == timeout);
    Check(config->refreshPeriodSeconds ==
          static_cast<std::uint32_t>(std::clamp(Atoi(values[3]), 0, 4294967)));
    Check(config->refreshPeriodSeconds <= UINT32_MAX / 1000u);
    Check(config->timeOut == std::max(Atoi(values[4]), trelvane::kMinTimeOut));
    Check(config->timeOut >= trelvane::kMinTimeOut);
    Check(config->keepRecord == Atoi(values[5]));
    Check(config->calibrateTime == Atoi(values[6]));
    const int codePage = Atoi(values[7]);
    const bool known = codePage == 936 || codePage == 950 || codePage == 1252 || codePage == 65001;
    Check(config->codePage == (known ? codePage : trelvane::kDefaultCodePage));

    const auto page = trelvane::ReadPageSettings(dir);
    Check(page.has_value());
    Check(page->serviceIp == values[0]);
    Check(page->port == static_cast<unsigned>(std::max(Atoi(values[1]), 0)));
    Check(page->loginTime == values[2] && page->refreshTime == values[3]);

    // OK on the page with what it showed.
    const bool storable = page->port <= 65535u && Storable(page->serviceIp) &&
                          Storable(page->loginTime) && Storable(page->refreshTime);
    Check(trelvane::WritePageSettings(dir, *page) == storable);
    const auto again = trelvane::ReadPageSettings(dir);
    Check(again.has_value());
    if (!storable) {
        Check(*again == *page);
    } else {
        Check(again->port == page->port);
        for (const auto& [before, after] : {std::pair{page->serviceIp, again->serviceIp},
                                            std::pair{page->loginTime, again->loginTime},
                                            std::pair{page->refreshTime, again->refreshTime}}) {
            Check(!Plain(before) || after == before);
        }
    }
    for (std::size_t i = 4; i < kKeys.size(); ++i) {
        Check(trelvane::ReadProfileString(file, trelvane::kConfigSection, kKeys[i]) == values[i]);
    }
    return 0;
}
