#include "records/StringTable.h"

#include <gtest/gtest.h>

namespace trelvane {
namespace {

class StringTableTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLanguagePack(nullptr); }
};

TEST_F(StringTableTest, OwnTextsAsTheProgramShowsThem) {
    EXPECT_EQ(LoadText(ids::kReadLogLine), "ID：%s\tFrom Device：%s\tRead Time：%s\r\n");
    EXPECT_EQ(LoadText(ids::kExportHeader), "Index\tID\tDevice\tRead Count\tLast Read Time\r\n");
    EXPECT_EQ(LoadText(ids::kAskExit), "Are you sure exit？");
    EXPECT_EQ(LoadText(ids::kServiceStopped), "Service Stoped");
    EXPECT_EQ(LoadText(ids::kWrongSocketLibrary), "there is not right winsock DLL ");
    EXPECT_EQ(LoadText(ids::kMenuFirst), "System Control");
    EXPECT_EQ(LoadText(ids::kMenuLast), "About");
    EXPECT_EQ(LoadText(99999), "") << "an unknown id gives an empty text";
    // Toolbar tooltips are the part after the first newline of the command's string.
    const std::string disconnect = OwnText(ids::kCmdDisconnect);
    EXPECT_EQ(disconnect.substr(disconnect.find('\n') + 1), "Disconnect DTU");
}

TEST_F(StringTableTest, PackFirstThenOwnTexts) {
    auto pack = std::make_shared<LanguagePack>();
    (*pack)[ids::kTips] = "提示";
    (*pack)[ids::kError] = "";  // empty in the pack: the own text stands
    (*pack)[99999] = "only in the pack";
    SetLanguagePack(pack);
    EXPECT_EQ(LoadText(ids::kTips), "提示");
    EXPECT_EQ(LoadText(ids::kError), "Error");
    EXPECT_EQ(LoadText(ids::kNotice), "Notice");
    EXPECT_EQ(LoadText(99999), "only in the pack");
    EXPECT_EQ(OwnText(ids::kTips), "Tips") << "own texts ignore the pack";
    SetLanguagePack(nullptr);
    EXPECT_EQ(LoadText(ids::kTips), "Tips");
}

TEST_F(StringTableTest, FormatTextNeverCutsArguments) {
    const std::string name(200, 'N');
    EXPECT_EQ(FormatText(LoadText(ids::kAskDisconnect), {name}),
              "Are you sure disconnect " + name + "?");
    EXPECT_EQ(FormatText("100%% %s %d", {"x"}), "100% x %d");
    EXPECT_EQ(FormatText("%s-%s", {"a"}), "a-") << "a missing argument formats as empty";
    EXPECT_EQ(FormatText(std::string("A\0B%s", 5), {std::string("\0", 1)}),
              std::string("A\0B\0", 4));
}

}  // namespace
}  // namespace trelvane
