#pragma once

// The main window: menu bar, toolbar, status bar, the device list above and the tag list below.
// It routes every command of the menus, the toolbar and the two context menus to the service
// engine, and shows the engine's tables through two table models.
//
// Every prompt goes through the Prompter, so the window's logic runs in tests without a
// display; the settings dialog is reached through SettingsDialogs hooks.
//
// Threading: the user-interface thread, which is also the engine's event-loop thread.

#include <QDialog>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "records/StringTable.h"
#include "shell/DeviceListAdapter.h"
#include "shell/SettingsDialogs.h"
#include "shell/TagListAdapter.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QStatusBar;
class QTableView;
class QToolBar;

namespace trelvane {

class HistoryWindow;
class LanguageState;
class SiteWindow;
class Prompter;
class ReadRatePlot;
class ServiceEngine;

namespace command {
// A command with a toolbar button has a string of its own under the same id (its tooltip).
inline constexpr int kStartService = ids::kCmdStartService;
inline constexpr int kStopService = ids::kCmdStopService;
inline constexpr int kDisconnect = ids::kCmdDisconnect;
inline constexpr int kRefreshId = ids::kCmdRefreshId;
inline constexpr int kExitSystem = ids::kCmdExitSystem;
inline constexpr int kDeviceInfo = ids::kCmdDeviceInfo;
inline constexpr int kServerSetting = ids::kCmdServerSetting;
inline constexpr int kAbout = ids::kCmdAbout;
inline constexpr int kClearAllRecord = 32782;
inline constexpr int kExportListRecord = 32783;
inline constexpr int kMenuDisconnect = 32786;
inline constexpr int kMenuDeviceInfo = 32787;
inline constexpr int kStopRead = 32790;
inline constexpr int kStartRead = 32791;
inline constexpr int kLanguageTraditional = 32797;
inline constexpr int kLanguageChinesePrc = 32798;
inline constexpr int kLanguageEnglish = 32799;
inline constexpr int kHistory = ids::kCmdHistory;
inline constexpr int kSite = 32801;
}  // namespace command

class CKorvexDlg final : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kPanes = 5;

    CKorvexDlg(ServiceEngine& engine, Prompter& prompter, LanguageState& language,
               QWidget* parent = nullptr);
    ~CKorvexDlg() override;

    void SetSettingsDialogs(SettingsDialogs dialogs) { settings_ = std::move(dialogs); }
    // The MQTT broker's state at the right of the status bar; hidden while `text` is empty.
    void ShowBrokerState(const QString& text);
    // Where Start Service finds SysConf.ini and writes the daily logs. By default the process's
    // current directory at the moment of the command.
    void SetWorkingFolderSource(std::function<std::optional<std::filesystem::path>()> source) {
        workingFolder_ = std::move(source);
    }

    // Runs a command as its menu entry, toolbar button or context-menu entry would.
    void OnCommand(int command);

    QAction* MenuAction(int command) const;  // the menu bar's entry, nullptr when it has none
    QAction* ToolAction(int command) const;  // the toolbar's button, nullptr when it has none
    QMenuBar* MenuBar() const { return menuBar_; }
    QMenu* LanguageMenu() const { return languageMenu_; }
    QToolBar* ToolBar() const { return toolBar_; }
    QTableView* DeviceView() const { return deviceView_; }
    QTableView* TagView() const { return tagView_; }
    QString PaneText(int pane) const;
    // The History window once opened (it stays, hidden, when closed); nullptr before.
    HistoryWindow* History() const { return history_; }
    // The Assets and Zones window once opened (kept, hidden, when closed); nullptr before.
    SiteWindow* SiteEditor() const { return site_; }
    // Shows or hides the tag list's asset and zone columns as the site register names anything
    // or nothing, and has them read again. Runs every second, and at once after a change made
    // in the Assets and Zones window.
    void RefreshSiteColumns();
    // The reads-per-second plot in the status bar's last pane.
    ReadRatePlot* ReadRate() const { return readRate_; }

    // The context menus as a right-click shows them; the device list's is nullptr when no row
    // is selected (no menu opens then). Entries carry their command id as data.
    std::unique_ptr<QMenu> BuildTagContextMenu();
    std::unique_ptr<QMenu> BuildDeviceContextMenu();

    // The language last asked for from the Language menu (none before the first request).
    std::optional<std::uint16_t> RequestedLanguage() const { return requestedLanguage_; }
    // Enables the language entries whose pack is present and checks the one whose texts are
    // shown.
    void UpdateLanguageMenu();

  public Q_SLOTS:
    // Enter never closes the window.
    void accept() override;
    // Esc, the close box and Exit System: ask, stop a running service, close.
    void reject() override;

  private:
    void BuildMenuBar();
    void BuildToolBar();
    void BuildStatusBar();
    void BuildViews();
    void LayOut();
    QAction* AddMenuCommand(QMenu* menu, int command, int textId);

    // Menu and toolbar states of the commands that follow the service.
    void SetCommandStates(bool running);
    // The states and the status panes after the service started or stopped.
    void ApplyServiceState(bool running);
    void SetPane(int pane, const QString& text);
    void ResetDeviceView();
    std::optional<std::string> SelectedKey() const;
    QString DisplayName(const std::string& nameBytes) const;

    // `action` on the selected device's key; with none selected the operator is asked to
    // select one.
    void OnSelectedDevice(void (CKorvexDlg::*action)(const std::string& key));
    void OnStartService();
    void OnDisconnect(const std::string& key);
    void OnStartRead();
    void OnStopRead();
    void OnExport();
    void OnOpenDevice(const std::string& key);
    void OnAbout();
    void OnHistory();
    void OnSite();
    // The tag list's column widths: the list's own, narrower while the site's two columns show.
    void SetTagColumnWidths();
    void OnLanguage(std::uint16_t language);
    // The lists' headers (but the device list's hidden column 0), in the texts now loaded.
    void RetextLists();
    void Retext();

    ServiceEngine& engine_;
    Prompter& prompter_;
    LanguageState& language_;
    SettingsDialogs settings_;
    std::function<std::optional<std::filesystem::path>()> workingFolder_;
    std::optional<TextCodec> codec_;

    QMenuBar* menuBar_ = nullptr;
    QMenu* languageMenu_ = nullptr;
    QWidget* client_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QStatusBar* statusBar_ = nullptr;
    std::array<QLabel*, kPanes> panes_{};
    QLabel* brokerPane_ = nullptr;  // made by the first ShowBrokerState with a text
    QTableView* deviceView_ = nullptr;
    QTableView* tagView_ = nullptr;
    DeviceListAdapter* deviceModel_ = nullptr;
    TagListAdapter* tagModel_ = nullptr;
    std::map<int, QAction*> menuActions_;
    std::map<int, QAction*> toolActions_;
    std::optional<std::uint16_t> requestedLanguage_;
    HistoryWindow* history_ = nullptr;
    SiteWindow* site_ = nullptr;
    ReadRatePlot* readRate_ = nullptr;
};

// Gives the entries of a menu tree, depth-first in menu order (a popup's own entry before its
// items, separators skipped), the texts of consecutive string ids from `firstId`; returns the
// id after the last one used. An entry with a "textId" property takes that id's text instead and
// uses none of the sequence (entries added after the original menus).
int RetextMenuTree(const QList<QAction*>& actions, int firstId);

// The tooltip of a toolbar command: the text after the first newline of the command's own
// string, at most 79 characters.
QString ToolTipOf(int command);

}  // namespace trelvane
