#include "shell/KorvexDlg.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings/ServiceConfig.h"
#include "shell/DialogUnits.h"
#include "shell/HistoryWnd.h"
#include "shell/LauguageOp.h"
#include "shell/ReadRatePlot.h"
#include "shell/SiteWnd.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Own;
using ui::Text;

// Pixel sizes measured with the design font: status pane right edges and column widths.
constexpr std::array<int, 4> kPaneRightEdges = {60, 140, 200, 490};
constexpr std::array<int, 6> kDeviceColumnWidths = {0, 60, 150, 170, 170, 90};
constexpr std::array<int, 6> kTagColumnWidths = {0, 60, 150, 150, 100, 170};
// With the asset and zone columns: the eight fit the same width.
constexpr std::array<int, 8> kTagSiteColumnWidths = {0, 40, 80, 95, 50, 135, 150, 86};

// Commands whose state follows the service: enabled while stopped (true) or while running.
constexpr std::array<std::pair<int, bool>, 5> kServiceCommands = {{
    {command::kStartService, true},
    {command::kStopService, false},
    {command::kDisconnect, false},
    {command::kDeviceInfo, false},
    {command::kServerSetting, true},
}};

}  // namespace

int RetextMenuTree(const QList<QAction*>& actions, int firstId) {
    int next = firstId;
    for (QAction* action : actions) {
        if (action->isSeparator()) {
            continue;
        }
        if (const QVariant own = action->property("textId"); own.isValid()) {
            action->setText(Text(own.toInt()));
            continue;
        }
        action->setText(Text(next++));
        if (QMenu* popup = action->menu()) {
            next = RetextMenuTree(popup->actions(), next);
        }
    }
    return next;
}

QString ToolTipOf(int command) {
    const QString text = Own(command);
    const qsizetype newline = text.indexOf(QLatin1Char('\n'));
    if (newline < 0) {
        return {};
    }
    return text.mid(newline + 1).left(79);
}

CKorvexDlg::CKorvexDlg(ServiceEngine& engine, Prompter& prompter, LanguageState& language,
                       QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      engine_(engine),
      prompter_(prompter),
      language_(language),
      workingFolder_([] { return CurrentWorkingDirectory(); }),
      codec_(TextCodec::ForCodePage(kDefaultCodePage)) {
    setWindowTitle(Own(ids::kAppTitle));
    setWindowIcon(ProgramIcon());

    BuildMenuBar();
    BuildToolBar();
    BuildStatusBar();
    BuildViews();
    LayOut();
    SetCommandStates(false);
    // Built with the program's own texts; a pack already loaded (a window built again after a
    // switch) re-texts it at once, so the texts match the tick the menu shows.
    if (language_.Loaded() != kLanguageChinesePrc) {
        Retext();
    }
    UpdateLanguageMenu();

    connect(&engine_, &ServiceEngine::ServiceStarted, this, [this] {
        codec_ = TextCodec::ForCodePage(engine_.Config().codePage);
        if (!codec_) {
            codec_ = TextCodec::ForCodePage(kDefaultCodePage);
        }
        if (codec_) {
            deviceModel_->SetCodec(*codec_);
            tagModel_->SetCodec(*codec_);
        }
        ApplyServiceState(true);
    });
    connect(&engine_, &ServiceEngine::ServiceStopped, this, [this] { ApplyServiceState(false); });
    connect(&engine_, &ServiceEngine::DeviceListReset, this, &CKorvexDlg::ResetDeviceView);
    connect(&engine_, &ServiceEngine::DeviceRowShown, deviceModel_,
            &DeviceListAdapter::ApplyRowShown);
    connect(&engine_, &ServiceEngine::TagListUpdated, tagModel_, &TagListAdapter::ApplyUpdate);
    // The plot samples on the same tick: one counter read, no painting here.
    connect(&engine_, &ServiceEngine::TagListUpdated, readRate_, [this] {
        readRate_->Sample(engine_.GetClock().UnixMillis(), engine_.Tags().TotalReads());
    });
    connect(&engine_, &ServiceEngine::TagListCleared, tagModel_, &TagListAdapter::ApplyClear);

    // The register changes from this program, the API and trelvane-site alike; a look every
    // second costs two short locks.
    tagModel_->SetZoneSource([this](std::uint32_t tag) {
        const auto stay = engine_.Zones().StayOf(tag);
        return stay ? stay->zone : std::string();
    });
    auto* siteTimer = new QTimer(this);
    connect(siteTimer, &QTimer::timeout, this, &CKorvexDlg::RefreshSiteColumns);
    siteTimer->start(1000);
}

CKorvexDlg::~CKorvexDlg() = default;

QAction* CKorvexDlg::AddMenuCommand(QMenu* menu, int commandId, int textId) {
    QAction* action = menu->addAction(Own(textId));
    action->setData(commandId);
    connect(action, &QAction::triggered, this, [this, commandId] { OnCommand(commandId); });
    menuActions_[commandId] = action;
    return action;
}

void CKorvexDlg::BuildMenuBar() {
    menuBar_ = new QMenuBar(this);
    menuBar_->setNativeMenuBar(false);

    QMenu* system = menuBar_->addMenu(Own(142));
    AddMenuCommand(system, command::kStartService, 143);
    AddMenuCommand(system, command::kStopService, 144);
    AddMenuCommand(system, command::kDisconnect, 145);
    AddMenuCommand(system, command::kRefreshId, 146);
    system->addSeparator();
    AddMenuCommand(system, command::kExitSystem, 147);

    QMenu* setting = menuBar_->addMenu(Own(148));
    AddMenuCommand(setting, command::kServerSetting, 149);
    setting->addSeparator();
    languageMenu_ = setting->addMenu(Own(150));
    for (const auto& [commandId, textId] : {std::pair{command::kLanguageChinesePrc, 151},
                                            std::pair{command::kLanguageTraditional, 152},
                                            std::pair{command::kLanguageEnglish, 153}}) {
        AddMenuCommand(languageMenu_, commandId, textId)->setCheckable(true);
    }
    connect(languageMenu_, &QMenu::aboutToShow, this, &CKorvexDlg::UpdateLanguageMenu);

    QMenu* device = menuBar_->addMenu(Own(154));
    AddMenuCommand(device, command::kDeviceInfo, 155);
    device->addSeparator();
    AddMenuCommand(device, command::kHistory, ids::kMenuHistory)
        ->setProperty("textId", ids::kMenuHistory);
    AddMenuCommand(device, command::kSite, ids::kMenuSite)->setProperty("textId", ids::kMenuSite);

    QMenu* help = menuBar_->addMenu(Own(156));
    AddMenuCommand(help, command::kAbout, 157);
}

void CKorvexDlg::BuildToolBar() {
    toolBar_ = new QToolBar(this);
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(18, 18));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    struct Button {
        int command;
        const char* icon;
    };
    static constexpr std::array<Button, 11> kButtons = {{
        {command::kStartService, "start-service"},
        {command::kStopService, "stop-service"},
        {command::kDisconnect, "disconnect"},
        {0, nullptr},
        {command::kRefreshId, "refresh-id"},
        {command::kServerSetting, "service-config"},
        {command::kDeviceInfo, "device-info"},
        {command::kHistory, "history"},
        {0, nullptr},
        {command::kExitSystem, "exit"},
        {command::kAbout, "about"},
    }};
    for (const Button& button : kButtons) {
        if (button.command == 0) {
            toolBar_->addSeparator();
            continue;
        }
        QIcon icon;
        for (const int size : {18, 36}) {
            icon.addFile(
                QStringLiteral(":/icons/%1-%2.png").arg(QLatin1String(button.icon)).arg(size),
                QSize(size, size));
        }
        const QString tip = ToolTipOf(button.command);
        QAction* action = toolBar_->addAction(icon, tip);
        action->setToolTip(tip);
        action->setData(button.command);
        const int commandId = button.command;
        connect(action, &QAction::triggered, this, [this, commandId] { OnCommand(commandId); });
        toolActions_[button.command] = action;
    }
}

void CKorvexDlg::BuildStatusBar() {
    statusBar_ = new QStatusBar(this);
    statusBar_->setSizeGripEnabled(false);
    const std::array<QString, kPanes> texts = {Text(ids::kStatus), Own(ids::kServiceStopped),
                                               Text(ids::kReaderInfo), Text(ids::kReady),
                                               QString()};
    for (int i = 0; i < kPanes; ++i) {
        auto* label = new QLabel(texts[static_cast<std::size_t>(i)], statusBar_);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setContentsMargins(2, 0, 2, 0);
        panes_[static_cast<std::size_t>(i)] = label;
        statusBar_->addWidget(label, i == kPanes - 1 ? 1 : 0);
    }
    // The last pane has no text of its own: the plot fills it.
    readRate_ = new ReadRatePlot(panes_.back());
    readRate_->setToolTip(Text(ids::kReadRateTip));
    auto* plotLayout = new QHBoxLayout(panes_.back());
    plotLayout->setContentsMargins(1, 1, 1, 1);
    plotLayout->addWidget(readRate_);
}

void CKorvexDlg::ShowBrokerState(const QString& text) {
    if (brokerPane_ == nullptr) {
        if (text.isEmpty()) {
            return;
        }
        brokerPane_ = new QLabel(statusBar_);
        brokerPane_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        brokerPane_->setContentsMargins(2, 0, 2, 0);
        statusBar_->addPermanentWidget(brokerPane_);
    }
    if (brokerPane_->text() != text) {
        brokerPane_->setText(text);
    }
    brokerPane_->setVisible(!text.isEmpty());
}

void CKorvexDlg::BuildViews() {
    deviceModel_ = new DeviceListAdapter(engine_.DeviceList(), this);
    tagModel_ = new TagListAdapter(engine_.TagList(), this);
    // The device list's hidden column 0 is named once; Retext leaves it.
    deviceModel_->SetHeaders({Text(ids::kDeviceColumnDevice)});
    RetextLists();

    const auto setUp = [this](QTableView* view, QAbstractItemModel* model) {
        view->setModel(model);
        view->setShowGrid(true);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setWordWrap(false);
        view->setCornerButtonEnabled(false);
        view->verticalHeader()->hide();
        // Fixed row heights: a view of a million rows never measures them.
        view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
        view->horizontalHeader()->setHighlightSections(false);
        view->horizontalHeader()->setStretchLastSection(false);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->setColumnHidden(0, true);
    };
    deviceView_ = new QTableView(this);
    setUp(deviceView_, deviceModel_);
    deviceView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tagView_ = new QTableView(this);
    setUp(tagView_, tagModel_);
    tagView_->setSelectionMode(QAbstractItemView::SingleSelection);

    connect(deviceView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (auto menu = BuildDeviceContextMenu()) {
            menu->exec(deviceView_->viewport()->mapToGlobal(pos));
        }
    });
    connect(tagView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        BuildTagContextMenu()->exec(tagView_->viewport()->mapToGlobal(pos));
    });
}

void CKorvexDlg::LayOut() {
    const DialogUnits units(font());
    client_ = new QWidget(this);
    const QSize clientSize = units.Size(442, 276);
    client_->setFixedSize(clientSize);

    toolBar_->setParent(client_);
    toolBar_->setGeometry(0, 0, clientSize.width(), units.PixelsY(32));

    deviceView_->setParent(client_);
    deviceView_->setGeometry(QRect(units.Point(2, 22), units.Size(437, 80)));

    tagView_->setParent(client_);
    const QPoint tagTopLeft(units.PixelsX(3), units.PixelsY(160));
    const QPoint tagBottomRight(units.PixelsX(659), units.PixelsY(388));
    tagView_->setGeometry(QRect(tagTopLeft, tagBottomRight));

    // The panes keep their proportions, but never clip the texts they start with (or, for
    // pane 1, either service state).
    for (std::size_t i = 0; i < kPaneRightEdges.size(); ++i) {
        const int left = i == 0 ? 0 : kPaneRightEdges[i - 1];
        QLabel* pane = panes_[i];
        QStringList texts = {pane->text()};
        if (i == 1) {
            texts << Own(ids::kServiceStarted) << Own(ids::kServiceStopped);
        }
        int width = units.PixelsX(kPaneRightEdges[i] - left);
        for (const QString& text : texts) {
            const QMargins margins = pane->contentsMargins();
            width = std::max(width, pane->fontMetrics().horizontalAdvance(text) + margins.left() +
                                        margins.right() + 2 * pane->frameWidth() + 4);
        }
        pane->setFixedWidth(width);
    }
    statusBar_->setParent(client_);
    const int statusHeight =
        std::max(statusBar_->sizeHint().height(), clientSize.height() - tagBottomRight.y() - 2);
    statusBar_->setGeometry(0, clientSize.height() - statusHeight, clientSize.width(),
                            statusHeight);

    for (std::size_t column = 0; column < kDeviceColumnWidths.size(); ++column) {
        deviceView_->setColumnWidth(static_cast<int>(column),
                                    units.PixelsX(kDeviceColumnWidths[column]));
    }
    SetTagColumnWidths();
    deviceView_->setColumnHidden(0, true);
    tagView_->setColumnHidden(0, true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar_);
    layout->addWidget(client_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CKorvexDlg::SetTagColumnWidths() {
    const DialogUnits units(font());
    const auto apply = [&](const auto& widths) {
        for (std::size_t column = 0; column < widths.size(); ++column) {
            tagView_->setColumnWidth(static_cast<int>(column), units.PixelsX(widths[column]));
        }
    };
    if (tagModel_->SiteColumnsShown()) {
        apply(kTagSiteColumnWidths);
    } else {
        apply(kTagColumnWidths);
    }
}

void CKorvexDlg::RefreshSiteColumns() {
    const std::shared_ptr<site::Register> site = engine_.Site();
    const bool shown = tagModel_->SiteColumnsShown();
    tagModel_->SetSite(site ? site->Current() : nullptr);
    if (tagModel_->SiteColumnsShown() != shown) {
        SetTagColumnWidths();
    }
}

QAction* CKorvexDlg::MenuAction(int commandId) const {
    const auto it = menuActions_.find(commandId);
    return it == menuActions_.end() ? nullptr : it->second;
}

QAction* CKorvexDlg::ToolAction(int commandId) const {
    const auto it = toolActions_.find(commandId);
    return it == toolActions_.end() ? nullptr : it->second;
}

QString CKorvexDlg::PaneText(int pane) const {
    if (pane < 0 || pane >= kPanes) {
        return {};
    }
    return panes_[static_cast<std::size_t>(pane)]->text();
}

void CKorvexDlg::SetPane(int pane, const QString& text) {
    panes_.at(static_cast<std::size_t>(pane))->setText(text);
}

void CKorvexDlg::SetCommandStates(bool running) {
    for (const auto& [commandId, whileStopped] : kServiceCommands) {
        const bool enabled = running ? !whileStopped : whileStopped;
        MenuAction(commandId)->setEnabled(enabled);
        ToolAction(commandId)->setEnabled(enabled);
    }
    // Refresh ID stays off: the 100 ms timer refreshes the tag list while the service runs.
    MenuAction(command::kRefreshId)->setEnabled(false);
    ToolAction(command::kRefreshId)->setEnabled(false);
}

void CKorvexDlg::ApplyServiceState(bool running) {
    SetCommandStates(running);
    if (running) {
        SetPane(1, Own(ids::kServiceStarted));
    } else {
        SetPane(3, QString());
        SetPane(1, Own(ids::kServiceStopped));
    }
}

// A rebuild refills the list in key order: rows move, appear and vanish. What the operator had
// selected is selected again by key, so a command never acts on a device it did not choose.
void CKorvexDlg::ResetDeviceView() {
    QItemSelectionModel* selection = deviceView_->selectionModel();
    std::vector<std::string> selectedKeys;
    for (const QModelIndex& index : selection->selectedRows()) {
        selectedKeys.push_back(deviceModel_->KeyAt(index.row()));
    }
    const std::string currentKey = deviceModel_->KeyAt(selection->currentIndex().row());
    deviceModel_->ApplyReset();
    QItemSelection restored;
    for (const std::string& key : selectedKeys) {
        if (const auto row = deviceModel_->RowOf(key)) {
            restored.select(deviceModel_->index(*row, 0),
                            deviceModel_->index(*row, deviceModel_->columnCount() - 1));
        }
    }
    if (const auto row = deviceModel_->RowOf(currentKey)) {
        selection->setCurrentIndex(deviceModel_->index(*row, 1), QItemSelectionModel::NoUpdate);
    }
    selection->select(restored, QItemSelectionModel::ClearAndSelect);
}

void CKorvexDlg::RetextLists() {
    QStringList tagHeaders;
    for (int id = ids::kTagColumnHiddenId; id <= ids::kTagColumnLastReadTime; ++id) {
        tagHeaders << Text(id);
    }
    tagHeaders << Text(ids::kColumnAsset) << Text(ids::kColumnZone);
    tagModel_->SetHeaders(tagHeaders);
    // Column 0 keeps its header.
    deviceModel_->SetHeaders({QString(), Text(ids::kDeviceColumnNo), Text(ids::kDeviceColumnDevice),
                              Text(ids::kDeviceColumnLoginTime),
                              Text(ids::kDeviceColumnLastRegTime),
                              Text(ids::kDeviceColumnTagCount)});
}

void CKorvexDlg::Retext() {
    RetextLists();
    setWindowTitle(Text(ids::kAppTitle));
    RetextMenuTree(menuBar_->actions(), ids::kMenuFirst);
    menuBar_->update();
    readRate_->setToolTip(Text(ids::kReadRateTip));
    if (history_ != nullptr) {
        history_->Retext();
    }
    if (site_ != nullptr) {
        site_->Retext();
    }
    update();
}

void CKorvexDlg::UpdateLanguageMenu() {
    const std::array<std::pair<int, std::uint16_t>, 3> entries = {{
        {command::kLanguageChinesePrc, kLanguageChinesePrc},
        {command::kLanguageTraditional, kLanguageTraditionalChinese},
        {command::kLanguageEnglish, kLanguageEnglish},
    }};
    for (const auto& [commandId, language] : entries) {
        QAction* action = MenuAction(commandId);
        action->setEnabled(language_.PackReadable(language));
        // The texts in use, from the first showing on: before any request that is whatever
        // the language state had selected when the window was built (the own texts unless a
        // pack was loaded), and a request whose pack failed leaves the texts it fell back to.
        action->setChecked(language_.Loaded() == language);
    }
}

void CKorvexDlg::accept() {}

void CKorvexDlg::reject() {
    if (!prompter_.AskYesNo(this, Text(ids::kAskExit), Text(ids::kExit))) {
        return;
    }
    if (engine_.IsRunning()) {
        engine_.StopService();
    }
    QDialog::reject();
}

}  // namespace trelvane
