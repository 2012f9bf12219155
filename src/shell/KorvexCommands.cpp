// CKorvexDlg: what each command of the menus, the toolbar and the two context menus does. Kept
// apart from KorvexDlg.cpp, which builds the window and keeps its texts and states.

#include <QFile>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTableView>
#include <algorithm>

#include "records/ExportText.h"
#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings/ServiceConfig.h"
#include "shell/AboutDlg.h"
#include "shell/HistoryWnd.h"
#include "shell/KorvexDlg.h"
#include "shell/LauguageOp.h"
#include "shell/SiteWnd.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Text;

// The application's title, the caption of messages that name no caption of their own.
QString AppTitle() {
    return ui::Own(ids::kAppTitle);
}

}  // namespace

std::optional<std::string> CKorvexDlg::SelectedKey() const {
    const QModelIndexList rows = deviceView_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return std::nullopt;
    }
    const auto first = std::min_element(
        rows.begin(), rows.end(),
        [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    return deviceModel_->KeyAt(first->row());
}

QString CKorvexDlg::DisplayName(const std::string& nameBytes) const {
    return DeviceNameText(nameBytes, codec_);
}

std::unique_ptr<QMenu> CKorvexDlg::BuildTagContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    const bool empty = tagModel_->rowCount() == 0;
    for (const auto& [commandId, text] :
         {std::pair{command::kClearAllRecord, "Clear All Record"},
          std::pair{command::kExportListRecord, "Export List Record"}}) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setData(commandId);
        action->setEnabled(!empty);
        const int id = commandId;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    }
    return menu;
}

std::unique_ptr<QMenu> CKorvexDlg::BuildDeviceContextMenu() {
    const auto key = SelectedKey();
    if (!key) {
        return nullptr;
    }
    auto menu = std::make_unique<QMenu>(this);
    const auto add = [this, &menu](int commandId, const char* text) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setData(commandId);
        connect(action, &QAction::triggered, this, [this, commandId] { OnCommand(commandId); });
        return action;
    };
    add(command::kStopRead, "Stop Read");
    add(command::kStartRead, "Start Read");
    menu->addSeparator();
    QAction* deviceInfo = add(command::kMenuDeviceInfo, "Device Info");
    add(command::kMenuDisconnect, "Disconnect Device");
    if (const DeviceRecord device = engine_.FindDevice(*key)) {
        deviceInfo->setEnabled(!device->reading);
    }
    return menu;
}

void CKorvexDlg::OnCommand(int commandId) {
    switch (commandId) {
        case command::kStartService:
            OnStartService();
            break;
        case command::kStopService:
            engine_.StopService();
            break;
        case command::kDisconnect:
            OnSelectedDevice(&CKorvexDlg::OnDisconnect);
            break;
        case command::kMenuDisconnect:
            OnDisconnect(SelectedKey().value_or(std::string()));
            break;
        case command::kRefreshId:
            engine_.RefreshTagList();
            break;
        case command::kExitSystem:
            reject();
            break;
        case command::kServerSetting:
            if (settings_.openServiceSettings) {
                settings_.openServiceSettings(this);
            }
            break;
        case command::kDeviceInfo:
            OnSelectedDevice(&CKorvexDlg::OnOpenDevice);
            break;
        case command::kMenuDeviceInfo:
            OnOpenDevice(SelectedKey().value_or(std::string()));
            break;
        case command::kAbout:
            OnAbout();
            break;
        case command::kHistory:
            OnHistory();
            break;
        case command::kSite:
            OnSite();
            break;
        case command::kClearAllRecord:
            engine_.ClearAllRecords();
            break;
        case command::kExportListRecord:
            OnExport();
            break;
        case command::kStopRead:
            OnStopRead();
            break;
        case command::kStartRead:
            OnStartRead();
            break;
        case command::kLanguageChinesePrc:
            OnLanguage(kLanguageChinesePrc);
            break;
        case command::kLanguageTraditional:
            OnLanguage(kLanguageTraditionalChinese);
            break;
        case command::kLanguageEnglish:
            OnLanguage(kLanguageEnglish);
            break;
        default:
            break;
    }
}

// For the menu bar's and the toolbar's device commands; the context menu's need no check, as it
// opens only over a selection.
void CKorvexDlg::OnSelectedDevice(void (CKorvexDlg::*action)(const std::string& key)) {
    if (const auto key = SelectedKey()) {
        (this->*action)(*key);
    } else {
        prompter_.Inform(this, Text(ids::kSelectDeviceFirst), Text(ids::kTips));
    }
}

void CKorvexDlg::OnStartService() {
    const auto folder = workingFolder_();
    const auto result =
        folder ? engine_.StartService(*folder) : ServiceEngine::StartResult::kNoConfig;
    switch (result) {
        case ServiceEngine::StartResult::kNoConfig:
            prompter_.Inform(this, Text(ids::kConfigFirst), AppTitle());
            break;
        case ServiceEngine::StartResult::kListenFailed:
            prompter_.Inform(this, Text(ids::kFailedToStart), Text(ids::kTips));
            break;
        case ServiceEngine::StartResult::kParseThreadFailed:
            prompter_.Inform(this, Text(ids::kFailedParseThread), Text(ids::kError),
                             Prompter::Icon::kError);
            break;
        case ServiceEngine::StartResult::kStarted:
            // The service runs without its history (locked by trelvaned in the same folder,
            // unwritable, corrupt): say so once, the tables and logs work as ever.
            if (!engine_.HistoryProblem().empty()) {
                prompter_.Inform(
                    this,
                    QString::fromStdString(
                        FormatText(LoadText(ids::kHistoryUnavailable), {engine_.HistoryProblem()})),
                    Text(ids::kTips), Prompter::Icon::kWarning);
            }
            break;
        case ServiceEngine::StartResult::kAlreadyRunning:
            break;
    }
}

// The texts take the whole name, however long the reader's name is.
void CKorvexDlg::OnDisconnect(const std::string& key) {
    if (key.size() < 5) {
        return;
    }
    const DeviceRecord device = engine_.FindDevice(key);
    if (!device) {
        return;
    }
    const std::string name = DisplayName(device->DeviceName()).toStdString();
    const QString question =
        QString::fromStdString(FormatText(LoadText(ids::kAskDisconnect), {name}));
    if (!prompter_.AskYesNo(this, question, Text(ids::kNotice))) {
        return;
    }
    // The question ran an event loop: the device may have gone meanwhile, and then there is
    // nothing to report.
    if (engine_.Disconnect(key)) {
        SetPane(3, QString::fromStdString(FormatText(LoadText(ids::kDisconnected), {name})));
    }
}

void CKorvexDlg::OnStartRead() {
    if (!engine_.StartRead(SelectedKey().value_or(std::string()))) {
        prompter_.Inform(this, Text(ids::kFailedToSet), Text(ids::kTips));
    }
}

void CKorvexDlg::OnStopRead() {
    if (!engine_.StopRead(SelectedKey().value_or(std::string()))) {
        prompter_.Inform(this, Text(ids::kFailedToSet), Text(ids::kTips));
    }
}

void CKorvexDlg::OnOpenDevice(const std::string& key) {
    const DeviceRecord device = engine_.FindDevice(key);
    if (!device) {
        return;
    }
    const std::string name = device->DeviceName();
    if (device->reading) {
        const std::string text =
            FormatText(LoadText(ids::kDeviceIsReading), {DisplayName(name).toStdString()});
        prompter_.Inform(this, QString::fromStdString(text), Text(ids::kTips));
        return;
    }
    if (settings_.openDevice) {
        settings_.openDevice(this, key, device->socket, name);
    }
}

void CKorvexDlg::OnExport() {
    Prompter::SaveAsRequest request;
    request.title = Text(ids::kExportTitle);
    // The filters are fixed texts of the program, not translated by a pack.
    request.filters = {ui::Own(ids::kExportFilterText), ui::Own(ids::kExportFilterExcel),
                       ui::Own(ids::kExportFilterAll)};
    request.defaultSuffix = QStringLiteral("txt");
    request.confirmOverwrite = true;
    request.confirmCreate = true;
    const auto chosen = prompter_.SaveAs(this, request);
    if (!chosen) {
        return;
    }
    const TextCodec codec = codec_ ? *codec_ : TextCodec::Usable(kDefaultCodePage);
    const std::string bytes = BuildExportText(engine_.TagList(), codec);
    const std::filesystem::path file(QFile::encodeName(*chosen).toStdString());
    if (!WriteExportFile(file, bytes)) {
        prompter_.Inform(this, Text(ids::kFailedToOpenFile), AppTitle());
    }
}

void CKorvexDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

// Non-modal and kept once made: the filters stay as the operator left them. It finds the
// history as the service does: the running service's database, else [History] of the settings
// file the next Start Service would read.
void CKorvexDlg::OnHistory() {
    if (history_ == nullptr) {
        history_ = new HistoryWindow(
            [this]() -> HistoryLocation {
                if (const auto state = engine_.History()) {
                    return {HistoryLocation::State::kDatabase, state->path};
                }
                const auto folder = workingFolder_();
                if (!folder) {
                    return {HistoryLocation::State::kNoConfig, "SysConf.ini"};
                }
                return LocateHistory(*folder, engine_.IsRunning() ? engine_.ConfigSource()
                                                                  : *folder / "SysConf.ini");
            },
            prompter_, this);
        // The asset filter's labels: the register the service opened, else the file the next
        // start would open, when there is one.
        history_->SetSite([this]() -> HistorySite {
            if (const std::shared_ptr<site::Register> site = engine_.Site()) {
                return {site->Current(), {}};
            }
            if (std::string problem = engine_.SiteProblem(); !problem.empty()) {
                return {nullptr, std::move(problem)};
            }
            const auto folder = workingFolder_();
            if (!folder) {
                return {};
            }
            return ReadSiteLabels(*folder, *folder / "SysConf.ini");
        });
    }
    history_->show();
    history_->raise();
    history_->activateWindow();
    history_->Search();
}

// Non-modal and kept once made, like the History window. The register is the service's: the
// window edits the one the running (or last) service opened.
void CKorvexDlg::OnSite() {
    if (site_ == nullptr) {
        site_ = new SiteWindow(
            [this] {
                return SiteAccess{engine_.Site(), engine_.SiteProblem()};
            },
            [this] {
                // Zones name readers in UTF-8, as the service converts the names readers send.
                std::vector<std::string> names;
                const DeviceListModel& devices = engine_.DeviceList();
                for (std::size_t row = 0; row < devices.RowCount(); ++row) {
                    names.push_back(DisplayName(devices.Row(row).name).toStdString());
                }
                return names;
            },
            prompter_, this);
        connect(site_, &SiteWindow::SiteChanged, this, &CKorvexDlg::RefreshSiteColumns);
    }
    site_->show();
    site_->raise();
    site_->activateWindow();
}

void CKorvexDlg::OnLanguage(std::uint16_t language) {
    // The folder is looked at again, so a pack added or removed since start-up is seen and the
    // entry that looked enabled does what it says.
    language_.Rescan();
    language_.SetCurrent(language);
    language_.ApplyCurrent();
    // The language now shown, which is the requested one unless its pack could not be loaded.
    requestedLanguage_ = language_.Current();
    Retext();
    UpdateLanguageMenu();
}

}  // namespace trelvane
