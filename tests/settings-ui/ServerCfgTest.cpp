// The Service Setting page against a temporary working folder and a fixed list of local
// addresses: what it shows, what it refuses and the exact bytes it saves.

#include "settings-ui/ServerCfg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <string>

#include "settings-ui/LocalAddresses.h"
#include "settings-ui/SystemConfig.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ReadFile;
using test::ScriptedPrompter;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

class FixedAddresses final : public LocalAddressSource {
  public:
    LocalAddressList Fetch() override {
        ++fetches;
        return list;
    }
    LocalAddressList list;
    int fetches = 0;
};

const QStringList kThreeAddresses = {QStringLiteral("192.168.1.20"), QStringLiteral("10.0.0.15"),
                                     QStringLiteral("172.16.5.4")};

class ServerCfgTest : public testing::Test {
  protected:
    ServerCfgTest() { addresses_.list.addresses = kThreeAddresses; }

    // Opens the page as the dialog does; `dir` of nullopt: the working folder is unknown.
    std::unique_ptr<CSystemConfig> Open(std::optional<fs::path> dir) {
        auto dialog = std::make_unique<CSystemConfig>(prompter_, addresses_, std::move(dir));
        page_ = dialog->ServicePage();
        return dialog;
    }
    std::unique_ptr<CSystemConfig> Open() { return Open(dir_.Path()); }

    void StoreConfig(const std::string& lines) {
        WriteFile(dir_ / "SysConf.ini", "[Service_Param]\r\n" + lines);
    }
    std::string StoredBytes() const { return ReadFile(dir_ / "SysConf.ini"); }

    TempFolder dir_;
    FixedAddresses addresses_;
    ScriptedPrompter prompter_;
    CServerCfg* page_ = nullptr;
};

QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}

TEST_F(ServerCfgTest, WithoutFileShowsDefaultsAndSavesThem) {
    const auto dialog = Open();
    EXPECT_EQ(dialog->DialogMode(), CSystemConfig::Mode::kService);
    EXPECT_EQ(dialog->windowTitle(), Tr("Service Setting"));
    ASSERT_EQ(dialog->Tabs()->count(), 1);
    EXPECT_EQ(dialog->Tabs()->tabText(0), Tr("Service Setting"));
    EXPECT_FALSE(dialog->Tabs()->tabIcon(0).isNull());

    QComboBox* address = page_->AddressBox();
    ASSERT_EQ(address->count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(address->itemText(i), kThreeAddresses[i]);  // resolver order, unsorted
    }
    EXPECT_EQ(address->currentIndex(), 0);
    EXPECT_EQ(page_->PortEdit()->text(), Tr("7088"));
    EXPECT_EQ(page_->RegistrationBox()->currentIndex(), 0);
    EXPECT_EQ(page_->RegistrationBox()->currentText(), Tr("1"));
    EXPECT_EQ(page_->RefreshBox()->currentIndex(), 2);
    EXPECT_EQ(page_->RefreshBox()->currentText(), Tr("30"));
    EXPECT_TRUE(prompter_.prompts.empty());
    EXPECT_FALSE(fs::exists(dir_ / "SysConf.ini"));  // opening never writes

    QTest::mouseClick(page_->OkButton(), Qt::LeftButton);
    EXPECT_EQ(StoredBytes(),
              "[Service_Param]\r\n"
              "Service_IP=192.168.1.20\r\n"
              "Service_Port=7088\r\n"
              "Login_Time=1\r\n"
              "USER_Refresh_Time=30\r\n");
    ASSERT_EQ(prompter_.prompts.size(), 1u);
    EXPECT_EQ(prompter_.prompts[0].text, Tr("Set Success"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));
}

TEST_F(ServerCfgTest, StoredValuesShownAndSavedBackAsTheyStand) {
    StoreConfig(
        "Service_IP=10.0.0.15\r\nService_Port=9000\r\nLogin_Time=7\r\n"
        "USER_Refresh_Time=6\r\nKeepRecord=3\r\n");
    const auto dialog = Open();
    EXPECT_EQ(page_->AddressBox()->currentIndex(), 1);
    EXPECT_EQ(page_->PortEdit()->text(), Tr("9000"));
    // 7 is no list entry: shown as typed in the edit field.
    EXPECT_EQ(page_->RegistrationBox()->currentIndex(), -1);
    EXPECT_EQ(page_->RegistrationBox()->currentText(), Tr("7"));
    // 6 selects the first entry that begins with it.
    EXPECT_EQ(page_->RefreshBox()->currentIndex(), 3);
    EXPECT_EQ(page_->RefreshBox()->currentText(), Tr("60"));

    page_->Ok();
    EXPECT_EQ(StoredBytes(),
              "[Service_Param]\r\n"
              "Service_IP=10.0.0.15\r\nService_Port=9000\r\nLogin_Time=7\r\n"
              "USER_Refresh_Time=60\r\nKeepRecord=3\r\n");
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Set Success")});
}

TEST_F(ServerCfgTest, StoredAddressThatIsNoLongerLocalLeavesNoSelection) {
    for (const char* stored : {"192.168.9.9", "10.0.0.1"}) {
        SCOPED_TRACE(stored);
        // "10.0.0.1" only begins the local "10.0.0.15": a different interface.
        StoreConfig(std::string("Service_IP=") + stored +
                    "\r\nService_Port=7000\r\nLogin_Time=2\r\nUSER_Refresh_Time=20\r\n");
        const auto dialog = Open();
        EXPECT_EQ(page_->AddressBox()->currentIndex(), -1);
        EXPECT_EQ(page_->AddressBox()->count(), 3);
        page_->Ok();
        EXPECT_NE(StoredBytes().find("Service_IP=\r\nService_Port=7000\r\n"), std::string::npos)
            << StoredBytes();
    }
}

TEST_F(ServerCfgTest, DefaultThenOkWritesTheDefaultsAndKeepsHandWrittenKeys) {
    StoreConfig(
        "Service_IP=172.16.5.4\r\nService_Port=9000\r\nLogin_Time=7\r\n"
        "USER_Refresh_Time=600\r\nCalibrateTime=1\r\n");
    const auto dialog = Open();
    EXPECT_EQ(page_->AddressBox()->currentIndex(), 2);
    QTest::mouseClick(page_->DefaultButton(), Qt::LeftButton);
    EXPECT_EQ(page_->AddressBox()->currentIndex(), 0);
    EXPECT_EQ(page_->PortEdit()->text(), Tr("7088"));
    EXPECT_EQ(page_->RegistrationBox()->currentText(), Tr("1"));
    EXPECT_EQ(page_->RefreshBox()->currentText(), Tr("30"));
    EXPECT_NE(StoredBytes().find("Service_Port=9000"), std::string::npos);  // Default saves nothing
    page_->Ok();
    EXPECT_EQ(StoredBytes(),
              "[Service_Param]\r\n"
              "Service_IP=192.168.1.20\r\nService_Port=7088\r\nLogin_Time=1\r\n"
              "USER_Refresh_Time=30\r\nCalibrateTime=1\r\n");
}

TEST_F(ServerCfgTest, TypedPortAboveTheRangeIsTrimmedWithABeep) {
    const auto dialog = Open();
    QLineEdit* port = page_->PortEdit();
    port->clear();
    QTest::keyClicks(port, QStringLiteral("7000"));
    EXPECT_EQ(prompter_.beeps, 0);
    QTest::keyClicks(port, QStringLiteral("0"));  // 70000 > 65535
    EXPECT_EQ(prompter_.beeps, 1);
    EXPECT_EQ(port->text(), Tr("7000"));

    port->clear();
    QTest::keyClicks(port, QStringLiteral("65535"));
    EXPECT_EQ(port->text(), Tr("65535"));
    QTest::keyClicks(port, QStringLiteral("1"));  // a sixth digit
    EXPECT_EQ(prompter_.beeps, 2);
    EXPECT_EQ(port->text(), Tr("65535"));

    // Only digits get in at all.
    port->clear();
    QTest::keyClicks(port, QStringLiteral("8a-0 8"));
    EXPECT_EQ(port->text(), Tr("808"));

    // A long paste is cut back until it fits, with one beep.
    port->clear();
    port->insert(QStringLiteral("9999999999"));
    EXPECT_EQ(port->text(), Tr("9999"));
    EXPECT_EQ(prompter_.beeps, 3);
    EXPECT_TRUE(prompter_.prompts.empty());
}

TEST_F(ServerCfgTest, RefusedPortStopsTheSave) {
    StoreConfig("Service_IP=10.0.0.15\r\nService_Port=9000\r\nLogin_Time=2\r\n");
    const std::string before = StoredBytes();
    const auto dialog = Open();
    page_->PortEdit()->clear();
    page_->RegistrationBox()->setEditText(QStringLiteral("5"));
    page_->Ok();
    ASSERT_EQ(prompter_.prompts.size(), 1u);
    EXPECT_EQ(prompter_.prompts[0].text, Tr("请输入一个正整数。"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Trelvane"));
    EXPECT_EQ(StoredBytes(), before);  // nothing written, no "Set Success"

    // A stored port beyond the range is shown as it is and refused by the range check.
    prompter_.prompts.clear();
    StoreConfig("Service_IP=10.0.0.15\r\nService_Port=70000\r\n");
    const std::string outOfRange = StoredBytes();
    const auto second = Open();
    EXPECT_EQ(page_->PortEdit()->text(), Tr("70000"));
    EXPECT_EQ(prompter_.beeps, 0);
    page_->Ok();
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("请输入一个在 0 和 65535 之间的整数。")});
    EXPECT_EQ(StoredBytes(), outOfRange);

    // Corrected, the same page saves.
    prompter_.prompts.clear();
    page_->PortEdit()->setText(QStringLiteral("65535"));
    page_->Ok();
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Set Success")});
    EXPECT_NE(StoredBytes().find("Service_Port=65535\r\n"), std::string::npos);
}

TEST_F(ServerCfgTest, FailedWriteIsReportedNotPraised) {
    StoreConfig("Service_IP=10.0.0.15\r\nService_Port=9000\r\n");
    const std::string before = StoredBytes();
    fs::permissions(dir_ / "SysConf.ini", fs::perms::owner_read | fs::perms::group_read);
    const auto dialog = Open();
    page_->Ok();
    ASSERT_EQ(prompter_.prompts.size(), 1u);
    EXPECT_EQ(prompter_.prompts[0].text, Tr("Failed to set!"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Error"));
    EXPECT_EQ(prompter_.prompts[0].icon, Prompter::Icon::kError);
    EXPECT_EQ(StoredBytes(), before);

    // No working folder at all: defaults shown, saving refused the same way.
    prompter_.prompts.clear();
    const auto nowhere = Open(std::nullopt);
    EXPECT_EQ(page_->PortEdit()->text(), Tr("7088"));
    page_->Ok();
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Failed to set!")});
}

// Emptied values in the file select the first entry of each list, like the prefix rule says, so
// saving does not write them back empty.
TEST_F(ServerCfgTest, EmptyStoredValuesSelectTheFirstEntries) {
    StoreConfig("Service_IP=\r\nService_Port=7000\r\nLogin_Time=\r\nUSER_Refresh_Time=\r\n");
    const auto dialog = Open();
    EXPECT_EQ(page_->AddressBox()->currentIndex(), 0);
    EXPECT_EQ(page_->RegistrationBox()->currentText(), Tr("1"));
    EXPECT_EQ(page_->RefreshBox()->currentText(), Tr("10"));
    page_->Ok();
    const std::string first = page_->AddressBox()->itemText(0).toStdString();
    EXPECT_NE(StoredBytes().find("Service_IP=" + first +
                                 "\r\nService_Port=7000\r\nLogin_Time=1\r\n"
                                 "USER_Refresh_Time=10\r\n"),
              std::string::npos)
        << StoredBytes();
}

TEST_F(ServerCfgTest, NoLocalAddressEndsTheOpeningEarly) {
    StoreConfig("Service_IP=10.0.0.15\r\nService_Port=9000\r\nLogin_Time=7\r\n");
    for (const auto status :
         {LocalAddressList::Status::kOk, LocalAddressList::Status::kNoHostName}) {
        prompter_.prompts.clear();
        addresses_.list = {status, {}};
        const auto dialog = Open();
        ASSERT_EQ(prompter_.prompts.size(), 1u);
        EXPECT_EQ(prompter_.prompts[0].text, Tr("There is no local ip address!"));
        EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));
        EXPECT_EQ(page_->AddressBox()->count(), 0);
        // The stored values are not loaded.
        EXPECT_EQ(page_->PortEdit()->text(), Tr("7088"));
        EXPECT_EQ(page_->RegistrationBox()->currentText(), QString());
    }

    // A host name that does not resolve: the resolver's own message comes first.
    prompter_.prompts.clear();
    addresses_.list = {LocalAddressList::Status::kResolveFailed, {}};
    const auto dialog = Open();
    ASSERT_EQ(prompter_.prompts.size(), 2u);
    EXPECT_EQ(prompter_.prompts[0].text, Tr("获取本机IP地址错误!!!"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Trelvane"));
    EXPECT_EQ(prompter_.prompts[1].text, Tr("There is no local ip address!"));
}

TEST_F(ServerCfgTest, OneAddressAndReopeningReadsAfresh) {
    addresses_.list.addresses = {QStringLiteral("127.0.0.1")};
    {
        const auto dialog = Open();
        EXPECT_EQ(page_->AddressBox()->currentText(), Tr("127.0.0.1"));
        page_->RefreshBox()->setEditText(QStringLiteral("45"));
        page_->Ok();
    }
    const auto again = Open();
    EXPECT_EQ(addresses_.fetches, 2);
    EXPECT_EQ(page_->RefreshBox()->currentText(), Tr("45"));
    EXPECT_EQ(page_->AddressBox()->currentIndex(), 0);
}

TEST_F(ServerCfgTest, TextsRoundTripThroughTheFilesCodePage) {
    // "中" in code page 936 is D6 D0; the page shows it as the character and saves the bytes.
    StoreConfig("Service_IP=10.0.0.15\r\nLogin_Time=\xd6\xd0\r\nUSER_Refresh_Time=30\r\n");
    const auto dialog = Open();
    EXPECT_EQ(page_->RegistrationBox()->currentText(), Tr("中"));
    page_->RefreshBox()->setEditText(Tr("半分"));
    page_->Ok();
    EXPECT_NE(StoredBytes().find("Login_Time=\xd6\xd0\r\nUSER_Refresh_Time=\xb0\xeb\xb7\xd6\r\n"),
              std::string::npos);
}

TEST_F(ServerCfgTest, EnterMovesOnAndEscapeStaysInsideThePage) {
    const auto dialog = Open();
    dialog->show();
    QApplication::setActiveWindow(dialog.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    EXPECT_TRUE(page_->AddressBox()->hasFocus());

    int saves = 0;
    QObject::connect(page_->OkButton(), &QPushButton::clicked, [&saves] { ++saves; });
    const std::vector<QWidget*> order = {page_->PortEdit(),      page_->RegistrationBox(),
                                         page_->RefreshBox(),    page_->OkButton(),
                                         page_->DefaultButton(), page_->AddressBox()};
    for (QWidget* expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_TRUE(expected->hasFocus() || expected->isAncestorOf(QApplication::focusWidget()))
            << expected->metaObject()->className();
    }
    // Enter on the focused OK button moved on instead of saving.
    EXPECT_EQ(saves, 0);
    EXPECT_FALSE(fs::exists(dir_ / "SysConf.ini"));

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(prompter_.prompts.empty());
}

TEST(LocalAddressesTest, ResolverOrderThenOtherInterfaces) {
    const QList<QHostAddress> resolved = {
        QHostAddress(QStringLiteral("127.0.1.1")), QHostAddress(QStringLiteral("::1")),
        QHostAddress(QStringLiteral("10.1.2.3")), QHostAddress(QStringLiteral("127.0.1.1"))};
    const QList<QHostAddress> interfaces = {QHostAddress(QStringLiteral("127.0.0.1")),
                                            QHostAddress(QStringLiteral("fe80::1")),
                                            QHostAddress(QStringLiteral("::ffff:10.1.2.3")),
                                            QHostAddress(QStringLiteral("192.168.7.7"))};
    EXPECT_EQ(MergeLocalAddresses(resolved, interfaces),
              (QStringList{QStringLiteral("127.0.1.1"), QStringLiteral("10.1.2.3"),
                           QStringLiteral("127.0.0.1"), QStringLiteral("192.168.7.7")}));
    EXPECT_TRUE(MergeLocalAddresses({}, {}).isEmpty());
}

}  // namespace
}  // namespace trelvane
