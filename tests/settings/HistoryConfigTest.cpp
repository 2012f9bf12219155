#include "settings/HistoryConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/IniFile.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::TempFolder;
using test::WriteFile;

HistoryConfig With(const std::vector<std::string>& lines) {
    std::string bytes = "[Service_Param]\r\nService_Port=7088\r\n[History]\r\n";
    for (const std::string& line : lines) {
        bytes += line + "\r\n";
    }
    return HistoryConfigOf(IniFile(bytes));
}

TEST(HistoryConfigTest, AbsentSectionOrKeysGiveDefaults) {
    const HistoryConfig defaults;
    EXPECT_TRUE(defaults.enabled);
    EXPECT_EQ(defaults.path, "trelvane.db");
    EXPECT_TRUE(defaults.reads);
    EXPECT_EQ(defaults.retentionDays, 90);
    EXPECT_EQ(defaults.maxSizeMB, 2048);
    EXPECT_EQ(defaults.MaxSizeBytes(), 2048LL << 20);
    EXPECT_EQ(defaults.departAfterSeconds, 30);

    EXPECT_EQ(HistoryConfigOf(IniFile("[Service_Param]\r\nService_Port=7088\r\n")), defaults);
    EXPECT_EQ(HistoryConfigOf(IniFile()), defaults);
    EXPECT_EQ(With({}), defaults);
    // Empty values are no values.
    EXPECT_EQ(With({"Enabled=", "Path=", "Reads=", "RetentionDays=", "MaxSizeMB=", "DepartAfter="}),
              defaults);
}

TEST(HistoryConfigTest, ValuesAsWritten) {
    const HistoryConfig c = With({"enabled=0", "PATH = /srv/rfid/history.db ", "Reads=0",
                                  "RetentionDays=0", "MaxSizeMB=100", "DepartAfter=5"});
    EXPECT_FALSE(c.enabled);
    EXPECT_EQ(c.path, "/srv/rfid/history.db");
    EXPECT_FALSE(c.reads);
    EXPECT_EQ(c.retentionDays, 0);  // keep everything
    EXPECT_EQ(c.maxSizeMB, 100);
    EXPECT_EQ(c.MaxSizeBytes(), 100LL << 20);
    EXPECT_EQ(c.departAfterSeconds, 5);
    // Quotes around a value are the profile reader's, a sign is allowed.
    EXPECT_EQ(With({"RetentionDays=\"7\""}).retentionDays, 7);
    EXPECT_EQ(With({"DepartAfter=+45"}).departAfterSeconds, 45);
}

TEST(HistoryConfigTest, BadFlagsKeepTheDefault) {
    for (const char* bad : {"yes", "2", "-1", "1x", "on", "0.0"}) {
        SCOPED_TRACE(bad);
        const HistoryConfig c = With({std::string("Enabled=") + bad, std::string("Reads=") + bad});
        EXPECT_TRUE(c.enabled);
        EXPECT_TRUE(c.reads);
    }
}

TEST(HistoryConfigTest, BadNumbersDefaultOutOfRangeClamps) {
    // Not a plain integer: the default (the C rule would read "10 days" as 10; we do not guess).
    for (const char* bad : {"ten", "10 days", "1e3", "0x10", "-", "+"}) {
        SCOPED_TRACE(bad);
        const HistoryConfig c =
            With({std::string("RetentionDays=") + bad, std::string("MaxSizeMB=") + bad,
                  std::string("DepartAfter=") + bad});
        EXPECT_EQ(c.retentionDays, 90);
        EXPECT_EQ(c.maxSizeMB, 2048);
        EXPECT_EQ(c.departAfterSeconds, 30);
    }
    EXPECT_EQ(With({"RetentionDays=-1"}).retentionDays, 90);
    EXPECT_EQ(With({"RetentionDays=36500"}).retentionDays, 36500);
    EXPECT_EQ(With({"RetentionDays=36501"}).retentionDays, 36500);
    EXPECT_EQ(With({"RetentionDays=99999999999999999999999"}).retentionDays, 36500);

    EXPECT_EQ(With({"MaxSizeMB=0"}).maxSizeMB, 2048);
    EXPECT_EQ(With({"MaxSizeMB=-5"}).maxSizeMB, 2048);
    EXPECT_EQ(With({"MaxSizeMB=1"}).maxSizeMB, 16);
    EXPECT_EQ(With({"MaxSizeMB=15"}).maxSizeMB, 16);
    EXPECT_EQ(With({"MaxSizeMB=16"}).maxSizeMB, 16);
    EXPECT_EQ(With({"MaxSizeMB=16777216"}).maxSizeMB, 16777216);
    EXPECT_EQ(With({"MaxSizeMB=16777217"}).maxSizeMB, 16777216);
    // Saturates instead of wrapping, so the byte count stays positive.
    const HistoryConfig huge = With({"MaxSizeMB=9223372036854775808000"});
    EXPECT_EQ(huge.maxSizeMB, 16777216);
    EXPECT_GT(huge.MaxSizeBytes(), 0);

    EXPECT_EQ(With({"DepartAfter=0"}).departAfterSeconds, 30);
    EXPECT_EQ(With({"DepartAfter=-30"}).departAfterSeconds, 30);
    EXPECT_EQ(With({"DepartAfter=1"}).departAfterSeconds, 1);
    EXPECT_EQ(With({"DepartAfter=86401"}).departAfterSeconds, 86400);
}

TEST(HistoryConfigTest, FileAndPathResolution) {
    TempFolder dir;
    EXPECT_FALSE(ReadHistoryConfig(dir / "SysConf.ini").has_value());
    WriteFile(dir / "SysConf.ini", "[History]\r\nPath=data/h.db\r\nReads=0\r\n");
    const std::optional<HistoryConfig> c = ReadHistoryConfig(dir / "SysConf.ini");
    ASSERT_TRUE(c.has_value());
    EXPECT_FALSE(c->reads);
    EXPECT_EQ(ResolveHistoryPath(*c, dir.Path()), dir.Path() / "data/h.db");
    HistoryConfig absolute;
    absolute.path = "/var/lib/x.db";
    EXPECT_EQ(ResolveHistoryPath(absolute, dir.Path()), "/var/lib/x.db");
    EXPECT_EQ(ResolveHistoryPath(HistoryConfig{}, "/var/lib/trelvane"),
              "/var/lib/trelvane/trelvane.db");
}

}  // namespace
}  // namespace trelvane
