#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTcpServer>
#include <QTest>
#include <QToolBar>
#include <set>

#include "shell/AboutDlg.h"
#include "shell/HistoryWnd.h"
#include "shell/ShellFixture.h"
#include "shell/SiteWnd.h"
#include "support/ModalScript.h"
#include "support/QtWait.h"

namespace trelvane {
namespace {

using namespace Qt::Literals::StringLiterals;

using test::ScriptedPrompter;

constexpr std::array<int, 8> kBarCommands = {
    command::kStartService,  command::kStopService, command::kDisconnect, command::kRefreshId,
    command::kServerSetting, command::kDeviceInfo,  command::kExitSystem, command::kAbout};

class MainWindowTest : public test::ShellFixture {
  protected:
    // Every menu-bar and toolbar command's enabled state, menu and toolbar alike.
    void ExpectEnabled(const std::set<int>& enabled, const char* when) {
        for (const int id : kBarCommands) {
            const bool expected = enabled.contains(id);
            EXPECT_EQ(window->MenuAction(id)->isEnabled(), expected) << id << " menu, " << when;
            EXPECT_EQ(window->ToolAction(id)->isEnabled(), expected) << id << " toolbar, " << when;
        }
    }

    QStringList Headers(QTableView* view) const {
        QStringList texts;
        for (int i = 0; i < view->model()->columnCount(); ++i) {
            texts << view->model()->headerData(i, Qt::Horizontal).toString();
        }
        return texts;
    }

    QStringList MenuTexts() const {
        QStringList texts;
        std::function<void(const QList<QAction*>&)> walk = [&](const QList<QAction*>& actions) {
            for (QAction* action : actions) {
                if (action->isSeparator()) {
                    continue;
                }
                texts << action->text();
                if (action->menu()) {
                    walk(action->menu()->actions());
                }
            }
        };
        walk(window->MenuBar()->actions());
        return texts;
    }

    void InstallPack(const char* name) {
        std::filesystem::copy_file(std::filesystem::path(TRELVANE_LANG_DIR) / name,
                                   langFolder.Path() / name);
    }
};

TEST_F(MainWindowTest, CommandStatesBeforeDuringAndAfterTheService) {
    const std::set<int> stopped = {command::kStartService, command::kServerSetting,
                                   command::kExitSystem, command::kAbout};
    const std::set<int> running = {command::kStopService, command::kDisconnect,
                                   command::kDeviceInfo, command::kExitSystem, command::kAbout};
    ExpectEnabled(stopped, "at start");
    EXPECT_EQ(window->PaneText(1), u"Service Stoped"_s);

    WriteConfig();
    Menu(command::kStartService);
    ASSERT_TRUE(engine.IsRunning());
    EXPECT_NE(engine.ListeningPort(), 0);
    ExpectEnabled(running, "running");
    EXPECT_EQ(window->PaneText(1), u"Service Started"_s);
    EXPECT_TRUE(prompter.prompts.empty());

    // A grayed entry cannot be chosen.
    Menu(command::kStartService);
    Menu(command::kServerSetting);
    EXPECT_TRUE(prompter.prompts.empty());

    window->ToolAction(command::kStopService)->trigger();
    EXPECT_FALSE(engine.IsRunning());
    ExpectEnabled(stopped, "after stop");
    EXPECT_EQ(window->PaneText(1), u"Service Stoped"_s);
    EXPECT_EQ(window->PaneText(3), u""_s);
}

TEST_F(MainWindowTest, MenuToolbarAndStatusBarAsBuilt) {
    EXPECT_EQ(MenuTexts(), QStringList({u"System Control"_s, u"Start Service"_s, u"Stop Service"_s,
                                        u"Disconnect Device"_s, u"Refresh ID"_s, u"Exit System"_s,
                                        u"System Setting"_s, u"Server Setting"_s, u"Language"_s,
                                        u"Chinese(P.R.C)"_s, u"Traditional Chinese"_s, u"English"_s,
                                        u"Device Manage"_s, u"Device Info"_s, u"History..."_s,
                                        u"Assets and Zones..."_s, u"Help"_s, u"About"_s}));
    std::vector<int> buttons;
    QStringList tips;
    for (QAction* action : window->ToolBar()->actions()) {
        buttons.push_back(action->isSeparator() ? 0 : action->data().toInt());
        if (!action->isSeparator()) {
            tips << action->toolTip();
            EXPECT_FALSE(action->icon().isNull()) << action->data().toInt();
        }
    }
    EXPECT_EQ(buttons, (std::vector<int>{32771, 32772, 32773, 0, 32774, 32778, 32777, 32800, 0,
                                         32776, 32780}));
    EXPECT_EQ(tips, QStringList({u"Start Service"_s, u"Stop Service"_s, u"Disconnect DTU"_s,
                                 u"Refresh Id"_s, u"Service Config"_s, u"Device Info"_s,
                                 u"History of reads"_s, u"Exit"_s, u"About"_s}));
    EXPECT_EQ(window->PaneText(0), u"Status:"_s);
    EXPECT_EQ(window->PaneText(2), u"Reader Info:"_s);
    EXPECT_EQ(window->PaneText(3), u"Ready"_s);
    EXPECT_EQ(window->PaneText(4), u""_s);
    EXPECT_EQ(window->windowTitle(), u"Trelvane"_s);
    EXPECT_FALSE(window->windowIcon().isNull());
    EXPECT_TRUE(window->MenuAction(command::kLanguageChinesePrc)->isEnabled());
}

TEST_F(MainWindowTest, ListsHaveTheirColumnsHiddenKeyColumnAndSelectionModes) {
    QTableView* devices = window->DeviceView();
    QTableView* tags = window->TagView();
    EXPECT_EQ(Headers(devices), QStringList({u"Device"_s, u"No."_s, u"Device"_s, u"Login Time"_s,
                                             u"Last Reg Time"_s, u"TagCount"_s}));
    EXPECT_EQ(Headers(tags), QStringList({u"ID"_s, u"No."_s, u"ID"_s, u"Device"_s, u"Count"_s,
                                          u"Last Read Time"_s}));
    EXPECT_TRUE(devices->isColumnHidden(0));
    EXPECT_TRUE(tags->isColumnHidden(0));
    EXPECT_EQ(devices->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(tags->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(devices->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(tags->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(devices->showGrid());
    // Widths keep their proportions whatever the font.
    EXPECT_EQ(devices->columnWidth(3), devices->columnWidth(4));
    EXPECT_GT(devices->columnWidth(3), devices->columnWidth(2));
    EXPECT_GT(tags->columnWidth(5), tags->columnWidth(4));
    // The tag list sits below the device list; both inside the window, the status bar last.
    const QRect deviceRect = devices->geometry();
    const QRect tagRect = tags->geometry();
    EXPECT_LT(deviceRect.bottom(), tagRect.top());
    EXPECT_LT(window->ToolBar()->geometry().bottom(), deviceRect.top());
    QStatusBar* status = window->findChild<QStatusBar*>();
    ASSERT_NE(status, nullptr);
    EXPECT_LE(tagRect.bottom(), status->geometry().top());
    EXPECT_LE(status->geometry().bottom(), tags->parentWidget()->height());
}

TEST_F(MainWindowTest, StartWithoutConfigurationSaysSoAndChangesNothing) {
    Menu(command::kStartService);
    EXPECT_FALSE(engine.IsRunning());
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().kind, ScriptedPrompter::Kind::kInform);
    EXPECT_EQ(prompter.Last().text, u"Please config service parameter first!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Trelvane"_s);
    EXPECT_TRUE(window->MenuAction(command::kStartService)->isEnabled());
    EXPECT_FALSE(window->ToolAction(command::kStopService)->isEnabled());
    EXPECT_EQ(window->PaneText(1), u"Service Stoped"_s);
}

TEST_F(MainWindowTest, StartOnAPortInUseFailsAndStartStaysOffered) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost));
    WriteConfig(occupant.serverPort());
    window->ToolAction(command::kStartService)->trigger();
    EXPECT_FALSE(engine.IsRunning());
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().text, u"Failed to start service!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Tips"_s);
    EXPECT_TRUE(window->ToolAction(command::kStartService)->isEnabled());
    EXPECT_TRUE(window->MenuAction(command::kServerSetting)->isEnabled());
    EXPECT_EQ(window->PaneText(1), u"Service Stoped"_s);
}

TEST_F(MainWindowTest, ExitAnsweredNoLeavesTheServiceRunning) {
    StartService();
    prompter.AnswerNo();
    Menu(command::kExitSystem);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().kind, ScriptedPrompter::Kind::kAskYesNo);
    EXPECT_EQ(prompter.Last().text, u"Are you sure exit\uFF1F"_s);
    EXPECT_EQ(prompter.Last().caption, u"Exit"_s);
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->PaneText(1), u"Service Started"_s);
}

TEST_F(MainWindowTest, ExitAnsweredYesStopsTheServiceAndCloses) {
    StartService();
    prompter.AnswerYes();
    window->ToolAction(command::kExitSystem)->trigger();
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);
}

TEST_F(MainWindowTest, EscAndTheCloseBoxAskEnterDoesNothing) {
    StartService();
    QTest::keyClick(window.get(), Qt::Key_Return);
    QTest::keyClick(window.get(), Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(window->TagView(), Qt::Key_Return);
    EXPECT_TRUE(prompter.prompts.empty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(engine.IsRunning());

    prompter.AnswerNo();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().caption, u"Exit"_s);
    EXPECT_TRUE(window->isVisible());

    prompter.AnswerNo();
    EXPECT_FALSE(window->close());
    EXPECT_EQ(prompter.prompts.size(), 2u);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(engine.IsRunning());

    prompter.AnswerYes();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(engine.IsRunning());
}

TEST_F(MainWindowTest, EmptyListsGrayTheTagMenuAndOpenNoDeviceMenu) {
    StartService();
    auto tagMenu = window->BuildTagContextMenu();
    ASSERT_NE(tagMenu, nullptr);
    ASSERT_EQ(tagMenu->actions().size(), 2);
    EXPECT_FALSE(Entry(*tagMenu, command::kClearAllRecord)->isEnabled());
    EXPECT_FALSE(Entry(*tagMenu, command::kExportListRecord)->isEnabled());
    EXPECT_EQ(window->BuildDeviceContextMenu(), nullptr);
}

TEST_F(MainWindowTest, DeviceCommandsWithoutASelection) {
    StartService();
    Menu(command::kDisconnect);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().text, u"Please select device first!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Tips"_s);

    int opened = 0;
    window->SetSettingsDialogs(
        {nullptr, [&](QWidget*, const std::string&, const std::shared_ptr<DeviceSocket>&,
                      const std::string&) { ++opened; }});
    window->ToolAction(command::kDeviceInfo)->trigger();
    ASSERT_EQ(prompter.prompts.size(), 2u);
    EXPECT_EQ(prompter.Last().text, u"Please select device first!"_s);
    // The context menu's commands say nothing: their menu opens only over a selected row.
    window->OnCommand(command::kMenuDeviceInfo);
    window->OnCommand(command::kMenuDisconnect);
    EXPECT_EQ(prompter.prompts.size(), 2u);
    EXPECT_EQ(opened, 0);
    // Stop Read and Start Read on no device: "Failed to set!".
    window->OnCommand(command::kStopRead);
    EXPECT_EQ(prompter.Last().text, u"Failed to set!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Tips"_s);
}

TEST_F(MainWindowTest, ServerSettingCallsTheHookOnlyWhileStopped) {
    QWidget* parentSeen = nullptr;
    int opened = 0;
    Menu(command::kServerSetting);  // no hook: nothing happens
    window->SetSettingsDialogs({[&](QWidget* parent) {
                                    parentSeen = parent;
                                    ++opened;
                                },
                                nullptr});
    window->ToolAction(command::kServerSetting)->trigger();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(parentSeen, window.get());
    StartService();
    Menu(command::kServerSetting);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(prompter.prompts.empty());
}

TEST_F(MainWindowTest, ExportAsksForAFileAndWritesTheListText) {
    prompter.AnswerSaveAs(QString::fromStdString((work.Path() / "tags.xls").string()));
    window->OnCommand(command::kExportListRecord);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    const auto& request = prompter.Last().request;
    EXPECT_EQ(request.title, u"Export read id record"_s);
    EXPECT_EQ(request.filters,
              QStringList(
                  {u"文本文档(*.txt)"_s, u"Microsoft Office Excel(*.xls)"_s, u"All Files(*.*)"_s}));
    EXPECT_EQ(request.defaultSuffix, u"txt"_s);
    EXPECT_TRUE(request.confirmOverwrite);
    EXPECT_TRUE(request.confirmCreate);
    EXPECT_EQ(prompter.Last().parent, window.get());
    EXPECT_EQ(test::ReadFile(work.Path() / "tags.xls"),
              "Index\tID\tDevice\tRead Count\tLast Read Time\r\n");
}

TEST_F(MainWindowTest, ExportCancelledWritesNothingAndAFailedFileIsReported) {
    prompter.CancelSaveAs();
    window->OnCommand(command::kExportListRecord);
    EXPECT_EQ(test::FilesIn(work.Path()), 0u);
    EXPECT_EQ(prompter.prompts.size(), 1u);

    prompter.AnswerSaveAs(QString::fromStdString((work.Path() / "missing" / "x.txt").string()));
    window->OnCommand(command::kExportListRecord);
    ASSERT_EQ(prompter.prompts.size(), 3u);
    EXPECT_EQ(prompter.Last().kind, ScriptedPrompter::Kind::kInform);
    EXPECT_EQ(prompter.Last().text, u"Failed to open file"_s);
    EXPECT_EQ(prompter.Last().caption, u"Trelvane"_s);
}

TEST_F(MainWindowTest, LanguageEntriesFollowThePackFiles) {
    window->UpdateLanguageMenu();
    EXPECT_TRUE(window->MenuAction(command::kLanguageChinesePrc)->isEnabled());
    EXPECT_FALSE(window->MenuAction(command::kLanguageTraditional)->isEnabled());
    EXPECT_FALSE(window->MenuAction(command::kLanguageEnglish)->isEnabled());
    InstallPack("zh_TW.qm");
    Q_EMIT window->LanguageMenu()->aboutToShow();
    EXPECT_TRUE(window->MenuAction(command::kLanguageTraditional)->isEnabled());
    EXPECT_FALSE(window->MenuAction(command::kLanguageEnglish)->isEnabled());
    std::filesystem::remove(langFolder.Path() / "zh_TW.qm");
    Q_EMIT window->LanguageMenu()->aboutToShow();
    EXPECT_FALSE(window->MenuAction(command::kLanguageTraditional)->isEnabled());
}

// The tick names the texts on screen from the first showing of the menu: the program's own
// texts at a normal start, whatever the user's locale or the packs present; a window built
// while a pack is loaded shows that pack's texts and ticks it.
TEST_F(MainWindowTest, LanguageTickAtStartUpMatchesTheTextsShown) {
    const auto ticked = [this] {
        std::vector<int> ids;
        for (const int id : {command::kLanguageChinesePrc, command::kLanguageTraditional,
                             command::kLanguageEnglish}) {
            if (window->MenuAction(id)->isChecked()) {
                ids.push_back(id);
            }
        }
        return ids;
    };
    EXPECT_EQ(ticked(), std::vector<int>{command::kLanguageChinesePrc});
    EXPECT_EQ(MenuTexts().front(), u"System Control"_s);

    InstallPack("zh_TW.qm");
    InstallPack("en_US.qm");
    LanguageState english(langFolder.Path(), kLanguageEnglish);  // an English user's start
    window = std::make_unique<CKorvexDlg>(engine, prompter, english);
    Q_EMIT window->LanguageMenu()->aboutToShow();
    EXPECT_EQ(ticked(), std::vector<int>{command::kLanguageChinesePrc})
        << "nothing is loaded at start: the own texts are shown";
    EXPECT_EQ(english.Current(), kLanguageEnglish);

    language.Rescan();
    ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
    window = std::make_unique<CKorvexDlg>(engine, prompter, language);
    EXPECT_EQ(ticked(), std::vector<int>{command::kLanguageTraditional});
    EXPECT_EQ(MenuTexts().front(), u"系統控制"_s);
    EXPECT_EQ(Headers(window->TagView()).at(5), u"最後讀取時間"_s);
}

TEST_F(MainWindowTest, SwitchingLanguageRetextsHeadersCaptionAndMenu) {
    InstallPack("zh_TW.qm");
    InstallPack("en_US.qm");
    Q_EMIT window->LanguageMenu()->aboutToShow();
    Menu(command::kLanguageTraditional);

    EXPECT_EQ(window->windowTitle(), u"Trelvane"_s);
    EXPECT_EQ(Headers(window->TagView()), QStringList({u"標籤ID"_s, u"序號"_s, u"標籤ID"_s,
                                                       u"設備"_s, u"次數"_s, u"最後讀取時間"_s}));
    EXPECT_EQ(Headers(window->DeviceView()),
              QStringList({u"Device"_s, u"序號"_s, u"設備"_s, u"登入時間"_s, u"最後註冊時間"_s,
                           u"標籤數"_s}))
        << "column 0 keeps its header";
    QStringList menu = MenuTexts();
    ASSERT_EQ(menu.size(), 18);
    // The History and the Assets and Zones entries (after Device Info) have texts of their
    // own; the original entries keep their consecutive ids around them.
    EXPECT_EQ(menu.takeAt(15), u"資產與區域..."_s);
    EXPECT_EQ(menu.takeAt(14), u"歷史記錄..."_s);
    for (int n = 0; n < menu.size(); ++n) {
        EXPECT_EQ(menu[n].toStdString(), LoadText(ids::kMenuFirst + n)) << n;
    }
    EXPECT_EQ(menu.front(), u"系統控制"_s);
    EXPECT_EQ(menu.back(), u"關於"_s);
    EXPECT_TRUE(window->MenuAction(command::kLanguageTraditional)->isChecked());
    EXPECT_FALSE(window->MenuAction(command::kLanguageChinesePrc)->isChecked());
    EXPECT_FALSE(window->MenuAction(command::kLanguageEnglish)->isChecked());
    // Status bar and tooltips stay as they are.
    EXPECT_EQ(window->PaneText(0), u"Status:"_s);
    EXPECT_EQ(window->ToolAction(command::kDisconnect)->toolTip(), u"Disconnect DTU"_s);
    // Messages now come from the pack.
    Menu(command::kStartService);
    EXPECT_EQ(prompter.Last().text, u"請先設定服務參數！"_s);

    Menu(command::kLanguageChinesePrc);
    EXPECT_EQ(MenuTexts().front(), u"System Control"_s);
    EXPECT_EQ(Headers(window->TagView()).at(5), u"Last Read Time"_s);
    EXPECT_TRUE(window->MenuAction(command::kLanguageChinesePrc)->isChecked());
    EXPECT_FALSE(window->MenuAction(command::kLanguageTraditional)->isChecked());
    EXPECT_EQ(window->RequestedLanguage(), kLanguageChinesePrc);

    Menu(command::kLanguageEnglish);
    EXPECT_EQ(window->RequestedLanguage(), kLanguageEnglish);
    EXPECT_EQ(MenuTexts().front(), u"System Control"_s);
    EXPECT_TRUE(window->MenuAction(command::kLanguageEnglish)->isChecked());
}

TEST_F(MainWindowTest, PackThatCannotBeLoadedLeavesTheCheckOnTheTextsShown) {
    test::WriteFile(langFolder.Path() / "en_US.qm", "broken");
    language.Rescan();
    Q_EMIT window->LanguageMenu()->aboutToShow();
    ASSERT_TRUE(window->MenuAction(command::kLanguageEnglish)->isEnabled());
    Menu(command::kLanguageEnglish);
    EXPECT_EQ(window->RequestedLanguage(), kLanguageChinesePrc);
    EXPECT_FALSE(window->MenuAction(command::kLanguageEnglish)->isChecked());
    EXPECT_TRUE(window->MenuAction(command::kLanguageChinesePrc)->isChecked());
    EXPECT_EQ(MenuTexts().front(), u"System Control"_s);
}

TEST_F(MainWindowTest, AboutOpensTheAboutBoxFromMenuAndToolbar) {
    int shown = 0;
    const auto closeAbout = [&](QWidget* modal) {
        auto* about = qobject_cast<CAboutDlg*>(modal);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(about->parentWidget(), window.get());
        ++shown;
        about->OkButton()->click();
    };
    test::ModalScript script({closeAbout, closeAbout});
    Menu(command::kAbout);
    StartService();
    window->ToolAction(command::kAbout)->trigger();
    EXPECT_EQ(shown, 2);
    EXPECT_TRUE(prompter.prompts.empty());
}

TEST_F(MainWindowTest, HistoryOpensBesideTheWindowAndFollowsTheServicesSettings) {
    test::WriteFile(work.Path() / "SysConf.ini",
                    "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=0\r\n"
                    "[History]\r\nEnabled=0\r\n");
    EXPECT_EQ(window->History(), nullptr);
    Menu(command::kHistory);
    HistoryWindow* history = window->History();
    ASSERT_NE(history, nullptr);
    EXPECT_TRUE(history->isVisible());
    EXPECT_FALSE(history->isModal());
    EXPECT_TRUE(window->isEnabled()) << "the main window stays usable";
    EXPECT_TRUE(history->Message().startsWith(u"The history is off"_s));
    history->close();

    // From the toolbar: the same window again; with the history on and the service running it
    // reads the service's own database.
    StartService();
    ASSERT_TRUE(engine.History().has_value());
    window->ToolAction(command::kHistory)->trigger();
    EXPECT_EQ(window->History(), history);
    EXPECT_TRUE(history->isVisible());
    EXPECT_TRUE(history->Message().isEmpty()) << history->Message().toStdString();

    // A language switch retexts it too.
    InstallPack("zh_TW.qm");
    Q_EMIT window->LanguageMenu()->aboutToShow();
    Menu(command::kLanguageTraditional);
    EXPECT_EQ(history->windowTitle(), u"歷史記錄"_s);
    EXPECT_EQ(window->MenuAction(command::kHistory)->text(), u"歷史記錄..."_s);
}

// The window opens from the Device Manage menu; the tag list's asset and zone columns come with
// the register's first asset or zone and go with its last, whoever made the change.
TEST_F(MainWindowTest, AssetsAndZonesOpenFromTheMenuAndTheTagListFollowsTheRegister) {
    Menu(command::kSite);
    SiteWindow* site = window->SiteEditor();
    ASSERT_NE(site, nullptr);
    EXPECT_TRUE(site->isVisible());
    EXPECT_FALSE(site->isModal());
    EXPECT_EQ(site->Message().toStdString(), OwnText(ids::kSiteNotStarted));
    QAbstractItemModel* tags = window->TagView()->model();
    EXPECT_EQ(tags->columnCount(), 6);

    StartService();
    const std::shared_ptr<site::Register> reg = engine.Site();
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg->Path(), work.Path() / "site.db");
    EXPECT_TRUE(test::WaitUntil([&] { return site->Message().isEmpty(); }, 3000))
        << "the window finds the register the service opened";

    // A zone made elsewhere (the API, trelvane-site) shows within a second.
    ASSERT_EQ(reg->SetZone("Dock B", {"R07"}), std::nullopt);
    ASSERT_TRUE(test::WaitUntil([&] { return tags->columnCount() == 8; }, 3000));
    EXPECT_EQ(Headers(window->TagView()).mid(6), QStringList({u"Asset"_s, u"Zone"_s}));
    // The eight columns fit the list as the six did: no scrolling sideways.
    int widths = 0;
    for (int column = 0; column < 8; ++column) {
        widths +=
            window->TagView()->isColumnHidden(column) ? 0 : window->TagView()->columnWidth(column);
        EXPECT_GT(window->TagView()->columnWidth(column), column == 0 ? -1 : 20) << column;
    }
    EXPECT_LE(widths, window->TagView()->viewport()->width());

    // One made in the window applies at once; the last zone removed, the columns go.
    ASSERT_TRUE(test::WaitUntil([&] { return site->ZoneTable()->rowCount() == 1; }, 3000));
    site->ZoneTable()->selectRow(0);
    prompter.AnswerYes();
    site->RemoveZone();
    EXPECT_EQ(tags->columnCount(), 6);
    EXPECT_TRUE(window->TagView()->isColumnHidden(0));

    ASSERT_EQ(reg->SetAsset({7, "Crate", "", ""}), std::nullopt);
    window->RefreshSiteColumns();
    EXPECT_EQ(tags->columnCount(), 8);
    ASSERT_EQ(reg->RemoveAsset(7), std::nullopt);
    window->RefreshSiteColumns();
    EXPECT_EQ(tags->columnCount(), 6);

    // From the menu again: the same window; a language switch retexts it.
    site->close();
    Menu(command::kSite);
    EXPECT_EQ(window->SiteEditor(), site);
    EXPECT_TRUE(site->isVisible());
    InstallPack("zh_TW.qm");
    Q_EMIT window->LanguageMenu()->aboutToShow();
    Menu(command::kLanguageTraditional);
    EXPECT_EQ(site->windowTitle(), u"資產與區域"_s);
    EXPECT_EQ(prompter.unscripted, 0);
}

TEST(AboutDlgTest, ShowsIconNameAndVersionAndClosesWithOk) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), u"About Trelvane"_s);
    EXPECT_EQ(about.VersionLabel()->text(), u"Trelvane 1.9.0"_s);
    EXPECT_FALSE(about.IconLabel()->pixmap().isNull());
    EXPECT_EQ(about.OkButton()->text(), u"OK"_s);
    about.show();
    EXPECT_FALSE(about.OkButton()->geometry().intersects(about.VersionLabel()->geometry()));
    EXPECT_TRUE(about.rect().contains(about.OkButton()->geometry()));
    QTest::mouseClick(about.OkButton(), Qt::LeftButton);
    EXPECT_EQ(about.result(), QDialog::Accepted);
    EXPECT_FALSE(about.isVisible());
}

}  // namespace
}  // namespace trelvane
