#include "settings/ServiceConfig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

// Writes SysConf.ini in `dir` with the section header and `lines`, CR LF ended.
void WriteConfig(const TempFolder& dir, const std::vector<std::string>& lines) {
    std::string bytes = "[Service_Param]\r\n";
    for (const std::string& line : lines) {
        bytes += line + "\r\n";
    }
    WriteFile(dir / kConfigFileName, bytes);
}

ServiceConfig ReadWith(const std::vector<std::string>& lines) {
    TempFolder dir;
    WriteConfig(dir, lines);
    const std::optional<ServiceConfig> config = ReadServiceConfig(dir.Path());
    EXPECT_TRUE(config.has_value());
    return config.value_or(ServiceConfig{});
}

TEST(ServiceConfigTest, NoFileNoConfig) {
    TempFolder dir;
    EXPECT_EQ(ConfigPath(dir.Path()), dir.Path() / "SysConf.ini");
    EXPECT_FALSE(ReadServiceConfig(dir.Path()).has_value());
    EXPECT_FALSE(ReadPageSettings(dir.Path()).has_value());
    // A folder in the file's place is no configuration either.
    fs::create_directory(ConfigPath(dir.Path()));
    EXPECT_FALSE(ReadServiceConfig(dir.Path()).has_value());
    EXPECT_FALSE(ReadPageSettings(dir.Path()).has_value());
}

TEST(ServiceConfigTest, HandWrittenFileReadsEveryKey) {
    const ServiceConfig config = ReadWith({
        "Service_IP = 192.168.1.20 ",
        "Service_Port=6000",
        "Login_Time=7",
        "USER_Refresh_Time=30",
        "Time_Out=5000",
        "KeepRecord=3",
        "CalibrateTime=1",
        "CodePage=950",
    });
    EXPECT_EQ(config.serviceIp, "192.168.1.20");
    EXPECT_EQ(config.servicePort, 6000);
    EXPECT_EQ(config.registrationTimeoutMs, 420000u);
    EXPECT_EQ(config.refreshPeriodSeconds, 30u);
    EXPECT_EQ(config.timeOut, 5000);
    EXPECT_EQ(config.keepRecord, kKeepTextLog | kKeepSpreadsheetLog);
    EXPECT_EQ(config.calibrateTime, 1);
    EXPECT_EQ(config.codePage, 950);
}

TEST(ServiceConfigTest, FileWithOnlyThePagesKeys) {
    const ServiceConfig config = ReadWith({
        "Service_IP=10.0.0.2",
        "Service_Port=7088",
        "Login_Time=1",
        "USER_Refresh_Time=0",
    });
    EXPECT_EQ(config.serviceIp, "10.0.0.2");
    EXPECT_EQ(config.servicePort, 7088);
    EXPECT_EQ(config.registrationTimeoutMs, 60000u);
    EXPECT_EQ(config.refreshPeriodSeconds, 0u) << "0: no supervision timer";
    EXPECT_EQ(config.timeOut, 3000);
    EXPECT_EQ(config.keepRecord, 0);
    EXPECT_EQ(config.calibrateTime, 0);
    EXPECT_EQ(config.codePage, 936);

    const ServiceConfig empty = ReadWith({});
    EXPECT_EQ(empty.serviceIp, "");
    EXPECT_EQ(empty.servicePort, 0);
    EXPECT_EQ(empty.registrationTimeoutMs, 0u);
    EXPECT_EQ(empty.timeOut, 3000);
}

TEST(ServiceConfigTest, NumbersByTheLeadingIntegerRule) {
    const ServiceConfig config = ReadWith({
        "Service_Port=7088abc",
        "Login_Time=10min",
        "USER_Refresh_Time=abc",
        "Time_Out=100",
        "KeepRecord= 2 logs",
        "CalibrateTime=-1",
    });
    EXPECT_EQ(config.servicePort, 7088);
    EXPECT_EQ(config.registrationTimeoutMs, 600000u);
    EXPECT_EQ(config.refreshPeriodSeconds, 0u);
    EXPECT_EQ(config.timeOut, 3000);
    EXPECT_EQ(config.keepRecord, kKeepSpreadsheetLog);
    EXPECT_EQ(config.calibrateTime, -1) << "any non-zero value switches calibration on";

    EXPECT_EQ(ReadWith({"Time_Out=2999"}).timeOut, 3000);
    EXPECT_EQ(ReadWith({"Time_Out=3000"}).timeOut, 3000);
    EXPECT_EQ(ReadWith({"Time_Out=3001"}).timeOut, 3001);
    EXPECT_EQ(ReadWith({"Time_Out=-99999999999"}).timeOut, 3000);
}

TEST(ServiceConfigTest, RegistrationTimeoutNeverWrapsToAShortOne) {
    EXPECT_EQ(ReadWith({"Login_Time=0"}).registrationTimeoutMs, 0u);
    EXPECT_EQ(ReadWith({"Login_Time="}).registrationTimeoutMs, 0u);
    EXPECT_EQ(ReadWith({"Login_Time=-1"}).registrationTimeoutMs, 0u);
    EXPECT_EQ(ReadWith({"Login_Time=71582"}).registrationTimeoutMs, 4294920000u);
    // 71583 minutes would wrap to 12704 ms in 32 bits; the longest measurable silence instead.
    EXPECT_EQ(ReadWith({"Login_Time=71583"}).registrationTimeoutMs, UINT32_MAX);
    EXPECT_EQ(ReadWith({"Login_Time=99999999999"}).registrationTimeoutMs, UINT32_MAX);

    EXPECT_EQ(ReadWith({"USER_Refresh_Time=-5"}).refreshPeriodSeconds, 0u);
    EXPECT_EQ(ReadWith({"USER_Refresh_Time=4294967"}).refreshPeriodSeconds, 4294967u);
    EXPECT_EQ(ReadWith({"USER_Refresh_Time=4294968"}).refreshPeriodSeconds, 4294967u);
}

TEST(ServiceConfigTest, CodePageOnlyFromTheSupportedSet) {
    EXPECT_EQ(ReadWith({"CodePage=936"}).codePage, 936);
    EXPECT_EQ(ReadWith({"CodePage= 1252 "}).codePage, 1252);
    EXPECT_EQ(ReadWith({"CodePage=65001"}).codePage, 65001);
    EXPECT_EQ(ReadWith({"CodePage="}).codePage, 936);
    EXPECT_EQ(ReadWith({"CodePage=437"}).codePage, 936);
    EXPECT_EQ(ReadWith({"CodePage=UTF-8"}).codePage, 936);
    EXPECT_EQ(ReadWith({"codepage=950"}).codePage, 950);
}

TEST(ServiceConfigTest, PageDefaults) {
    const std::vector<std::string> addresses = {"192.168.1.5", "10.0.0.2", "172.16.0.1"};
    const PageSettings page = DefaultPageSettings(addresses);
    EXPECT_EQ(page.serviceIp, "192.168.1.5");
    EXPECT_EQ(page.port, 7088u);
    EXPECT_EQ(page.loginTime, "1");
    EXPECT_EQ(page.refreshTime, "30");
    EXPECT_EQ(DefaultPageSettings({}).serviceIp, "");
}

TEST(ServiceConfigTest, FirstSaveCreatesTheFile) {
    TempFolder dir;
    const PageSettings page{"192.168.1.5", 7088, "1", "30"};
    ASSERT_TRUE(WritePageSettings(dir.Path(), page));
    EXPECT_EQ(ReadFile(dir / kConfigFileName),
              "[Service_Param]\r\n"
              "Service_IP=192.168.1.5\r\n"
              "Service_Port=7088\r\n"
              "Login_Time=1\r\n"
              "USER_Refresh_Time=30\r\n");
    EXPECT_EQ(ReadPageSettings(dir.Path()), page);
    EXPECT_EQ(test::FilesIn(dir.Path()), 1u);
}

TEST(ServiceConfigTest, SecondSaveKeepsHandWrittenLines) {
    TempFolder dir;
    const std::string handWritten =
        "; Trelvane settings\r\n"
        "[Service_Param]\r\n"
        "Service_IP=10.0.0.2\r\n"
        "Service_Port=6000\r\n"
        "Time_Out=5000\r\n"
        "Login_Time=2\r\n"
        "KeepRecord=3\r\n"
        "USER_Refresh_Time=60\r\n"
        "CalibrateTime=1\r\n"
        "\r\n"
        "[Notes]\r\n"
        "Service_Port=1\r\n";
    WriteFile(dir / kConfigFileName, handWritten);
    ASSERT_TRUE(WritePageSettings(dir.Path(), {"192.168.1.5", 7000, "1", "30"}));
    ASSERT_TRUE(WritePageSettings(dir.Path(), {"192.168.1.6", 7088, "7", "600"}));
    EXPECT_EQ(ReadFile(dir / kConfigFileName),
              "; Trelvane settings\r\n"
              "[Service_Param]\r\n"
              "Service_IP=192.168.1.6\r\n"
              "Service_Port=7088\r\n"
              "Time_Out=5000\r\n"
              "Login_Time=7\r\n"
              "KeepRecord=3\r\n"
              "USER_Refresh_Time=600\r\n"
              "CalibrateTime=1\r\n"
              "\r\n"
              "[Notes]\r\n"
              "Service_Port=1\r\n");
    const std::optional<ServiceConfig> config = ReadServiceConfig(dir.Path());
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->registrationTimeoutMs, 420000u);
    EXPECT_EQ(config->refreshPeriodSeconds, 600u);
    EXPECT_EQ(config->timeOut, 5000);
    EXPECT_EQ(config->keepRecord, 3);
    EXPECT_EQ(config->calibrateTime, 1);
}

TEST(ServiceConfigTest, TypedTextsAreStoredAsTyped) {
    TempFolder dir;
    // Login_Time 7 is not in the list: the page shows it and a save writes it back unchanged.
    WriteConfig(
        dir, {"Service_IP=10.0.0.9", "Service_Port=6000", "Login_Time=7", "USER_Refresh_Time=45s"});
    const std::optional<PageSettings> page = ReadPageSettings(dir.Path());
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(*page, (PageSettings{"10.0.0.9", 6000, "7", "45s"}));
    ASSERT_TRUE(WritePageSettings(dir.Path(), *page));
    EXPECT_EQ(ReadPageSettings(dir.Path()), page);

    ASSERT_TRUE(WritePageSettings(dir.Path(), {"10.0.0.9", 0, " 5 ", ""}));
    const std::string bytes = ReadFile(dir / kConfigFileName);
    EXPECT_NE(bytes.find("\r\nService_Port=0\r\nLogin_Time= 5 \r\nUSER_Refresh_Time=\r\n"),
              std::string::npos)
        << bytes;
    EXPECT_EQ(ReadServiceConfig(dir.Path())->registrationTimeoutMs, 300000u);
}

TEST(ServiceConfigTest, StoredPortAsThePageShowsIt) {
    TempFolder dir;
    WriteConfig(dir, {"Service_Port=-5"});
    EXPECT_EQ(ReadPageSettings(dir.Path())->port, 0u);
    WriteConfig(dir, {"Service_Port=70000"});
    EXPECT_EQ(ReadPageSettings(dir.Path())->port, 70000u);
    WriteConfig(dir, {"Service_Port=7088 (default)"});
    EXPECT_EQ(ReadPageSettings(dir.Path())->port, 7088u);
}

TEST(ServiceConfigTest, RefusedSavesWriteNothing) {
    TempFolder dir;
    const fs::path path = dir / kConfigFileName;
    EXPECT_FALSE(WritePageSettings(dir.Path(), {"10.0.0.1", 65536, "1", "30"}));
    EXPECT_FALSE(WritePageSettings(dir.Path(), {"10.0.0.1", 7088, "1\r\nKeepRecord=3", "30"}));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(WritePageSettings(dir.Path(), {"10.0.0.1", 65535, "1", "30"}));
    const std::string before = ReadFile(path);

    EXPECT_FALSE(WritePageSettings(dir.Path(), {"10.0.0.2", 7088, "2", "10\n"}));
    EXPECT_EQ(ReadFile(path), before) << "no key of a refused save is stored";

    fs::permissions(path, fs::perms::owner_read);
    EXPECT_FALSE(WritePageSettings(dir.Path(), {"10.0.0.2", 7088, "2", "10"}));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ReadPageSettings(dir.Path())->serviceIp, "10.0.0.1") << "read-only is still read";
}

// trelvaned -c FILE names a file of any name in any folder; it must read every byte sequence
// exactly as <dir>/SysConf.ini is read.
TEST(ServiceConfigTest, ANamedFileReadsAsTheWorkingFolderFile) {
    TempFolder dir;
    fs::create_directory(dir / "etc");
    const fs::path named = dir.Path() / "etc" / "other name.conf";
    const std::vector<std::string> files = {
        "[Service_Param]\r\nService_IP=0.0.0.0\r\nService_Port=7088\r\nLogin_Time=1\r\n"
        "USER_Refresh_Time=30\r\nKeepRecord=1\r\nCalibrateTime=0\r\n",
        // conversions: leading integers, saturation, Time_Out floor, unknown code page
        "[service_param]\nService_Port= 65536x\nLogin_Time=99999999\nUSER_Refresh_Time=-5\n"
        "Time_Out=100\nKeepRecord=3\nCalibrateTime=abc\nCodePage=1250\n",
        "; comment\n[Service_Param]\nService_IP=\"10.0.0.1\"\nLogin_Time=71583\n"
        "USER_Refresh_Time=9999999999\nTime_Out=5000\nCodePage=65001\n[Service_Param]\n"
        "Service_Port=1\n",
        "",
    };
    for (const std::string& bytes : files) {
        WriteFile(dir / kConfigFileName, bytes);
        WriteFile(named, bytes);
        const auto a = ReadServiceConfig(dir.Path());
        const auto b = ReadServiceConfigFile(named);
        ASSERT_TRUE(a && b) << bytes;
        EXPECT_EQ(a->serviceIp, b->serviceIp) << bytes;
        EXPECT_EQ(a->servicePort, b->servicePort) << bytes;
        EXPECT_EQ(a->registrationTimeoutMs, b->registrationTimeoutMs) << bytes;
        EXPECT_EQ(a->refreshPeriodSeconds, b->refreshPeriodSeconds) << bytes;
        EXPECT_EQ(a->timeOut, b->timeOut) << bytes;
        EXPECT_EQ(a->keepRecord, b->keepRecord) << bytes;
        EXPECT_EQ(a->calibrateTime, b->calibrateTime) << bytes;
        EXPECT_EQ(a->codePage, b->codePage) << bytes;
    }
    EXPECT_FALSE(ReadServiceConfigFile(dir / "absent.ini"));
    EXPECT_FALSE(ReadServiceConfigFile(dir / "etc"));  // a directory is no settings file

    // The service reads the named file when there is one, else the working folder's.
    EXPECT_EQ(ServiceConfigSource(dir.Path(), named), named);
    EXPECT_EQ(ServiceConfigSource(dir.Path(), std::nullopt), dir.Path() / "SysConf.ini");
}

TEST(ServiceConfigTest, EachWorkingDirectoryHasItsOwnFile) {
    TempFolder first;
    TempFolder second;
    ASSERT_TRUE(WritePageSettings(first.Path(), {"10.0.0.1", 7001, "1", "10"}));
    EXPECT_FALSE(ReadServiceConfig(second.Path()).has_value());
    ASSERT_TRUE(WritePageSettings(second.Path(), {"10.0.0.2", 7002, "2", "20"}));
    EXPECT_EQ(ReadServiceConfig(first.Path())->servicePort, 7001);
    EXPECT_EQ(ReadServiceConfig(second.Path())->servicePort, 7002);
    EXPECT_EQ(ReadServiceConfig(second.Path())->serviceIp, "10.0.0.2");

    // The process's own directory, found without a length limit.
    const std::optional<fs::path> cwd = CurrentWorkingDirectory();
    ASSERT_TRUE(cwd.has_value());
    EXPECT_TRUE(fs::equivalent(*cwd, "."));
}

}  // namespace
}  // namespace trelvane
