// ReadServiceConfigFile (trelvaned -c FILE) must read every byte sequence exactly as
// ReadServiceConfig reads <dir>/SysConf.ini.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>

#include "service/ConfigFile.h"

namespace trelvane {
namespace {

void Write(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary);
    out << bytes;
}

TEST(ConfigFileTest, ReadsEveryValueAsTheWorkingFolderReaderDoes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path root = dir.path().toStdString();
    std::filesystem::create_directory(root / "etc");
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
        Write(root / "SysConf.ini", bytes);
        Write(root / "etc" / "other name.conf", bytes);
        const auto a = ReadServiceConfig(root);
        const auto b = ReadServiceConfigFile(root / "etc" / "other name.conf");
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
    EXPECT_FALSE(ReadServiceConfigFile(root / "absent.ini"));
    EXPECT_FALSE(ReadServiceConfigFile(root / "etc"));  // a directory is no settings file
}

}  // namespace
}  // namespace trelvane
