#include "shell/SiteWnd.h"

#include <QAction>
#include <QEventLoop>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <thread>

#include "records/StringTable.h"
#include "shell/AssetModel.h"
#include "shell/DialogUnits.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Format;
using ui::PathText;
using ui::Text;

std::filesystem::path PathOf(const QString& chosen) {
    return std::filesystem::path(QFile::encodeName(chosen).toStdString());
}

QStringList CsvFilters() {
    return {Text(ids::kExportCsvFilter), ui::Own(ids::kExportFilterAll)};
}

// Fixed row heights: a million rows are never measured.
void SetUpTable(QTableView* view) {
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setHighlightSections(false);
}

}  // namespace

SiteWindow::SiteWindow(std::function<SiteAccess()> locate,
                       std::function<std::vector<std::string>()> readers, Prompter& prompter,
                       QWidget* parent)
    : QWidget(parent, Qt::Window),
      locate_(std::move(locate)),
      connected_(std::move(readers)),
      prompter_(prompter) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowIcon(ProgramIcon());
    assets_ = new AssetModel(this);

    message_ = NoticeLabel(this);
    tabs_ = new QTabWidget(this);
    auto* zonesPage = new QWidget(tabs_);
    auto* assetsPage = new QWidget(tabs_);
    BuildZonesPage(zonesPage);
    BuildAssetsPage(assetsPage);
    tabs_->addTab(zonesPage, QString());
    tabs_->addTab(assetsPage, QString());
    stack_ = new QStackedWidget(this);
    stack_->addWidget(tabs_);
    stack_->addWidget(message_);
    status_ = new QLabel(this);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(stack_, 1);
    layout->addWidget(status_);

    poll_ = new QTimer(this);
    poll_->setInterval(1000);
    connect(poll_, &QTimer::timeout, this, &SiteWindow::Poll);
    connect(assets_, &AssetModel::Reloaded, this, [this] {
        UpdateCount();
        UpdateButtons();
    });
    Retext();
    const DialogUnits units(font());
    resize(units.Size(400, 280));
    Reload();
}

SiteWindow::~SiteWindow() = default;

void SiteWindow::BuildZonesPage(QWidget* page) {
    zoneTable_ = new QTableWidget(0, 2, page);
    SetUpTable(zoneTable_);
    addZone_ = new QPushButton(page);
    editZone_ = new QPushButton(page);
    removeZone_ = new QPushButton(page);
    connect(addZone_, &QPushButton::clicked, this, &SiteWindow::AddZone);
    connect(editZone_, &QPushButton::clicked, this, &SiteWindow::EditZone);
    connect(removeZone_, &QPushButton::clicked, this, &SiteWindow::RemoveZone);
    connect(zoneTable_, &QTableWidget::itemSelectionChanged, this, &SiteWindow::UpdateButtons);
    connect(zoneTable_, &QTableWidget::cellDoubleClicked, this, [this] { EditZone(); });
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(addZone_);
    buttons->addWidget(editZone_);
    buttons->addWidget(removeZone_);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(page);
    layout->addWidget(zoneTable_, 1);
    layout->addLayout(buttons);
}

void SiteWindow::BuildAssetsPage(QWidget* page) {
    findLabel_ = new QLabel(page);
    search_ = new QLineEdit(page);
    search_->setClearButtonEnabled(true);
    count_ = new QLabel(page);
    // Each search reads the whole list once: wait until the typing pauses.
    searchDelay_ = new QTimer(this);
    searchDelay_->setSingleShot(true);
    searchDelay_->setInterval(300);
    connect(search_, &QLineEdit::textEdited, searchDelay_, qOverload<>(&QTimer::start));
    connect(searchDelay_, &QTimer::timeout, this, [this] { SetSearch(search_->text()); });
    connect(search_, &QLineEdit::returnPressed, this, [this] {
        searchDelay_->stop();
        SetSearch(search_->text());
    });
    auto* top = new QHBoxLayout;
    top->addWidget(findLabel_);
    top->addWidget(search_, 1);
    top->addWidget(count_);

    assetView_ = new QTableView(page);
    SetUpTable(assetView_);
    assetView_->setModel(assets_);
    const QFontMetrics metrics = assetView_->fontMetrics();
    assetView_->setColumnWidth(AssetModel::kTag,
                               metrics.horizontalAdvance(QStringLiteral("4294967295")) + 16);
    assetView_->setColumnWidth(AssetModel::kLabel, metrics.horizontalAdvance(QString(24, u'M')));
    assetView_->setColumnWidth(AssetModel::kGroup, metrics.horizontalAdvance(QString(12, u'M')));
    connect(assetView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SiteWindow::UpdateButtons);
    connect(assetView_, &QTableView::doubleClicked, this, [this] { EditAsset(); });

    addAsset_ = new QPushButton(page);
    editAsset_ = new QPushButton(page);
    removeAsset_ = new QPushButton(page);
    import_ = new QPushButton(page);
    export_ = new QPushButton(page);
    auto* importMenu = new QMenu(import_);
    importMerge_ = importMenu->addAction(QString());
    importReplace_ = importMenu->addAction(QString());
    import_->setMenu(importMenu);
    connect(addAsset_, &QPushButton::clicked, this, &SiteWindow::AddAsset);
    connect(editAsset_, &QPushButton::clicked, this, &SiteWindow::EditAsset);
    connect(removeAsset_, &QPushButton::clicked, this, &SiteWindow::RemoveAsset);
    connect(importMerge_, &QAction::triggered, this, [this] { Import(false); });
    connect(importReplace_, &QAction::triggered, this, [this] { Import(true); });
    connect(export_, &QPushButton::clicked, this, &SiteWindow::Export);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addAsset_);
    buttons->addWidget(editAsset_);
    buttons->addWidget(removeAsset_);
    buttons->addStretch(1);
    buttons->addWidget(import_);
    buttons->addWidget(export_);

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(top);
    layout->addWidget(assetView_, 1);
    layout->addLayout(buttons);
}

void SiteWindow::Retext() {
    setWindowTitle(Text(ids::kSiteTitle));
    tabs_->setTabText(0, Text(ids::kTabZones));
    tabs_->setTabText(1, Text(ids::kTabAssets));
    zoneTable_->setHorizontalHeaderLabels({Text(ids::kColumnZone), Text(ids::kColumnReaders)});
    for (QPushButton* add : {addZone_, addAsset_}) {
        add->setText(Text(ids::kAddItem));
    }
    for (QPushButton* edit : {editZone_, editAsset_}) {
        edit->setText(Text(ids::kEditItem));
    }
    for (QPushButton* remove : {removeZone_, removeAsset_}) {
        remove->setText(Text(ids::kRemoveItem));
    }
    findLabel_->setText(Text(ids::kAssetFind));
    search_->setPlaceholderText(Text(ids::kAssetFindHint));
    assets_->SetHeaders({Text(ids::kColumnTag), Text(ids::kColumnLabel), Text(ids::kColumnGroup),
                         Text(ids::kColumnNote)});
    import_->setText(Text(ids::kImportCsv));
    importMerge_->setText(Text(ids::kImportMerge));
    importReplace_->setText(Text(ids::kImportReplace));
    export_->setText(Text(ids::kExportAssets));
    if (!site_) {
        Reload();  // the message is in the texts loaded
    }
    UpdateCount();
}

void SiteWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (transfer_ == nullptr) {
        Reload();
        poll_->start();
    }
}

void SiteWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    poll_->stop();
}

void SiteWindow::Reload() {
    const SiteAccess access = locate_ ? locate_() : SiteAccess{};
    site_ = access.site;
    if (!site_) {
        zones_.clear();
        zoneTable_->setRowCount(0);
        assets_->SetRegister(nullptr);
        ShowMessage(access.problem.empty() ? Text(ids::kSiteNotStarted)
                                           : Format(ids::kSiteUnavailable, {access.problem}));
        return;
    }
    message_->clear();
    stack_->setCurrentWidget(tabs_);
    shownVersion_ = site_->Current()->Version();
    ReloadZones();
    assets_->SetRegister(site_);
}

// A changed register (another one, or a change made elsewhere) is read again; nothing is read
// while nothing changed.
void SiteWindow::Poll() {
    const SiteAccess access = locate_ ? locate_() : SiteAccess{};
    if (access.site != site_) {
        Reload();
        return;
    }
    if (site_ && site_->Current()->Version() != shownVersion_) {
        shownVersion_ = site_->Current()->Version();
        ReloadZones();
        assets_->Reload();
    }
}

void SiteWindow::ShowMessage(const QString& text) {
    message_->setText(text);
    stack_->setCurrentWidget(message_);
    UpdateButtons();
}

QString SiteWindow::Message() const {
    return stack_->currentWidget() == message_ ? message_->text() : QString();
}

QString SiteWindow::StatusText() const {
    return status_->text();
}

QString SiteWindow::CountText() const {
    return count_->text();
}

void SiteWindow::SetStatus(const QString& text) {
    status_->setText(text);
}

void SiteWindow::ReloadZones() {
    const std::string selected =
        SelectedZoneRow() >= 0 ? zones_[static_cast<std::size_t>(SelectedZoneRow())].name : "";
    zones_ = site_ ? site_->Zones() : std::vector<site::Zone>();
    zoneTable_->setRowCount(static_cast<int>(zones_.size()));
    for (std::size_t i = 0; i < zones_.size(); ++i) {
        QStringList readers;
        for (const std::string& reader : zones_[i].readers) {
            readers << QString::fromStdString(reader);
        }
        const auto row = static_cast<int>(i);
        zoneTable_->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(zones_[i].name)));
        zoneTable_->setItem(row, 1, new QTableWidgetItem(readers.join(QStringLiteral(", "))));
        if (zones_[i].name == selected) {
            zoneTable_->selectRow(row);
        }
    }
    UpdateButtons();
}

void SiteWindow::UpdateCount() {
    if (!site_) {
        count_->clear();
        return;
    }
    const std::string matching = std::to_string(assets_->Matching());
    count_->setText(assets_->Search().isEmpty()
                        ? Format(ids::kAssetsTotal, {matching})
                        : Format(ids::kAssetsFound,
                                 {matching, std::to_string(site_->Current()->AssetCount())}));
}

void SiteWindow::UpdateButtons() {
    const bool open = site_ != nullptr;
    addZone_->setEnabled(open);
    editZone_->setEnabled(open && SelectedZoneRow() >= 0);
    removeZone_->setEnabled(open && SelectedZoneRow() >= 0);
    addAsset_->setEnabled(open);
    editAsset_->setEnabled(open && SelectedAssetRow() >= 0);
    removeAsset_->setEnabled(open && SelectedAssetRow() >= 0);
    import_->setEnabled(open);
    export_->setEnabled(open);
}

int SiteWindow::SelectedZoneRow() const {
    const QModelIndexList rows = zoneTable_->selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.front().row() >= static_cast<int>(zones_.size())) {
        return -1;
    }
    return rows.front().row();
}

int SiteWindow::SelectedAssetRow() const {
    const QModelIndexList rows = assetView_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

void SiteWindow::Refused(const site::Fault& fault) {
    const QString text = QString::fromStdString(fault.text);
    SetStatus(text);
    prompter_.Inform(this, text, Text(ids::kTips), Prompter::Icon::kWarning);
}

void SiteWindow::Changed() {
    shownVersion_ = site_->Current()->Version();
    Q_EMIT SiteChanged();
}

// ---- zones ----

std::vector<ReaderChoice> SiteWindow::ReaderChoices() const {
    std::map<std::string, ReaderChoice> byName;
    for (const site::Zone& zone : zones_) {
        for (const std::string& reader : zone.readers) {
            byName[reader].zone = zone.name;
        }
    }
    if (connected_) {
        for (const std::string& reader : connected_()) {
            byName[reader].connected = true;
        }
    }
    std::vector<ReaderChoice> choices;
    for (auto& [name, choice] : byName) {
        choice.name = name;
        choices.push_back(std::move(choice));
    }
    return choices;
}

void SiteWindow::AddZone() {
    if (!site_) {
        return;
    }
    ZoneDialog dialog(
        Text(ids::kAddZone), site::Zone{}, ReaderChoices(),
        [this](const site::Zone& zone) { return ApplyZone("", zone); }, this);
    dialog.exec();
}

void SiteWindow::EditZone() {
    const int row = SelectedZoneRow();
    if (!site_ || row < 0) {
        return;
    }
    const site::Zone before = zones_[static_cast<std::size_t>(row)];
    ZoneDialog dialog(
        Text(ids::kEditZone), before, ReaderChoices(),
        [this, &before](const site::Zone& zone) { return ApplyZone(before.name, zone); }, this);
    dialog.exec();
}

// The register names a zone by its name: a new name is a new zone, so a renamed zone is
// removed and made again, and made as it was when the new one is refused.
bool SiteWindow::ApplyZone(const std::string& before, const site::Zone& zone) {
    const std::vector<site::Zone> zones = site_->Zones();
    const auto named = [&zones](const std::string& name) {
        return std::find_if(zones.begin(), zones.end(),
                            [&name](const site::Zone& z) { return z.name == name; });
    };
    if (zone.name != before && named(zone.name) != zones.end()) {
        const QString text = Format(ids::kZoneExists, {zone.name});
        SetStatus(text);
        prompter_.Inform(this, text, Text(ids::kTips), Prompter::Icon::kWarning);
        return false;
    }
    const auto old = named(before);
    if (!before.empty() && zone.name != before && old != zones.end()) {
        if (const site::Outcome fault = site_->RemoveZone(before)) {
            Refused(*fault);
            return false;
        }
        if (const site::Outcome fault = site_->SetZone(zone.name, zone.readers)) {
            site_->SetZone(old->name, old->readers);
            Refused(*fault);
            ReloadZones();
            return false;
        }
    } else if (const site::Outcome fault = site_->SetZone(zone.name, zone.readers)) {
        Refused(*fault);
        return false;
    }
    ReloadZones();
    for (std::size_t i = 0; i < zones_.size(); ++i) {
        if (zones_[i].name == zone.name) {
            zoneTable_->selectRow(static_cast<int>(i));
        }
    }
    SetStatus(Format(ids::kZoneSaved, {zone.name}));
    Changed();
    return true;
}

void SiteWindow::RemoveZone() {
    const int row = SelectedZoneRow();
    if (!site_ || row < 0) {
        return;
    }
    const std::string name = zones_[static_cast<std::size_t>(row)].name;
    if (!prompter_.AskYesNo(this, Format(ids::kAskRemoveZone, {name}), Text(ids::kNotice))) {
        return;
    }
    if (const site::Outcome fault = site_->RemoveZone(name)) {
        Refused(*fault);
    } else {
        SetStatus(Format(ids::kZoneRemoved, {name}));
        Changed();
    }
    ReloadZones();
}

// ---- assets ----

void SiteWindow::SetSearch(const QString& text) {
    if (search_->text() != text) {
        search_->setText(text);
    }
    assets_->SetSearch(text.trimmed());
}

void SiteWindow::AddAsset() {
    if (!site_) {
        return;
    }
    AssetDialog dialog(
        Text(ids::kAddAsset), std::nullopt,
        [this](const AssetDialog& d) { return ApplyAsset(std::nullopt, d); }, this);
    dialog.exec();
}

void SiteWindow::EditAsset() {
    const int row = SelectedAssetRow();
    const std::optional<site::Asset> before = row >= 0 ? assets_->AssetAt(row) : std::nullopt;
    if (!site_ || !before) {
        return;
    }
    AssetDialog dialog(
        Text(ids::kEditAsset), before,
        [this, &before](const AssetDialog& d) { return ApplyAsset(before, d); }, this);
    dialog.exec();
}

bool SiteWindow::ApplyAsset(const std::optional<site::Asset>& before, const AssetDialog& dialog) {
    site::Asset asset;
    if (before) {
        asset.tag = before->tag;
    } else {
        const std::string tag = dialog.TagText().toStdString();
        const char* end = tag.data() + tag.size();
        const auto [ptr, ec] = std::from_chars(tag.data(), end, asset.tag);
        if (tag.empty() || ec != std::errc() || ptr != end) {
            prompter_.Inform(this, Text(ids::kBadTag), Text(ids::kTips));
            return false;
        }
        // A new asset for a registered tag would replace that one without a word.
        if (const std::optional<site::Asset> existing = site_->AssetOf(asset.tag)) {
            if (!prompter_.AskYesNo(this, Format(ids::kAskReplaceAsset, {tag, existing->label}),
                                    Text(ids::kNotice))) {
                return false;
            }
        }
    }
    asset.label = dialog.Label().toStdString();
    asset.group = dialog.Group().toStdString();
    asset.note = dialog.Note().toStdString();
    if (const site::Outcome fault = site_->SetAsset(asset)) {
        Refused(*fault);
        return false;
    }
    assets_->Reload();
    SetStatus(Format(ids::kAssetSaved, {std::to_string(asset.tag)}));
    Changed();
    return true;
}

void SiteWindow::RemoveAsset() {
    const int row = SelectedAssetRow();
    const std::optional<site::Asset> asset = row >= 0 ? assets_->AssetAt(row) : std::nullopt;
    if (!site_ || !asset) {
        return;
    }
    const std::string tag = std::to_string(asset->tag);
    if (!prompter_.AskYesNo(this, Format(ids::kAskRemoveAsset, {asset->label, tag}),
                            Text(ids::kNotice))) {
        return;
    }
    if (const site::Outcome fault = site_->RemoveAsset(asset->tag)) {
        Refused(*fault);
    } else {
        SetStatus(Format(ids::kAssetRemoved, {tag}));
        Changed();
    }
    assets_->Reload();
}

// ---- import and export ----

void SiteWindow::CancelTransfer() {
    if (transfer_ != nullptr) {
        transfer_->cancel = true;
    }
}

void SiteWindow::RunTransfer(const QString& title, int textId, Transfer& transfer,
                             const std::function<void()>& work) {
    // The register is the worker's until it ends: reading it here would wait for the whole
    // import, so the pages show what they have read and the looking waits.
    poll_->stop();
    assets_->Pause(true);
    transfer_ = &transfer;
    QProgressDialog progress(this);
    progress.setWindowTitle(title);
    progress.setLabelText(Format(textId, {"0"}));
    progress.setCancelButtonText(Text(ids::kCancel));
    progress.setRange(0, 1000);
    progress.setMinimumDuration(300);
    // Application-modal: the program cannot be closed under a running import.
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    connect(&progress, &QProgressDialog::canceled, this, &SiteWindow::CancelTransfer);
    Q_EMIT TransferStarted();

    QEventLoop loop;
    QTimer tick;
    tick.setInterval(50);
    connect(&tick, &QTimer::timeout, &loop, [&] {
        if (transfer.done) {
            loop.quit();
            return;
        }
        progress.setLabelText(Format(textId, {std::to_string(transfer.lines.load())}));
        const int permille = transfer.permille;
        if (permille >= 0) {
            progress.setValue(std::min(permille, 999));
        }
    });
    std::thread worker([&] {
        work();
        transfer.done = true;
    });
    tick.start();
    loop.exec();
    worker.join();
    // Closing the dialog would say Cancel.
    disconnect(&progress, &QProgressDialog::canceled, this, &SiteWindow::CancelTransfer);
    progress.close();
    transfer_ = nullptr;
    assets_->Pause(false);
    if (isVisible()) {
        poll_->start();
    }
}

void SiteWindow::Import(bool replace) {
    if (!site_) {
        return;
    }
    const std::optional<QString> chosen =
        prompter_.OpenFile(this, Text(ids::kImportTitle), CsvFilters());
    if (!chosen) {
        return;
    }
    const std::filesystem::path file = PathOf(*chosen);
    if (replace && !prompter_.AskYesNo(this, Format(ids::kAskReplace, {PathText(file)}),
                                       Text(ids::kImportTitle))) {
        return;
    }
    ImportFrom(file, replace);
}

bool SiteWindow::ImportFrom(const std::filesystem::path& file, bool replace) {
    const std::shared_ptr<site::Register> site = site_;
    if (!site) {
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(file, ec);
    std::optional<site::ImportSummary> summary;
    site::Fault fault{site::FaultCode::kIo, PathText(file) + ": cannot be read", "", 0};
    Transfer transfer;
    if (in) {
        RunTransfer(Text(ids::kImportTitle), ids::kImporting, transfer, [&] {
            summary = site->ImportCsv(in, replace, fault, [&](std::uint64_t lines) {
                // The worker's own stream: how far it has read tells the share done.
                transfer.lines = lines;
                const std::streamoff at = in.tellg();
                if (!ec && bytes > 0 && at >= 0) {
                    transfer.permille = static_cast<int>(static_cast<std::uint64_t>(at) * 1000 /
                                                         static_cast<std::uint64_t>(bytes));
                }
                return !transfer.cancel;
            });
        });
    }
    assets_->Reload();
    ReloadZones();
    if (!summary) {
        // Whatever stopped it, an import that did not end changed nothing.
        if (transfer.cancel) {
            SetStatus(Text(ids::kImportCancelled));
        } else {
            const QString text = Format(ids::kImportFailed, {fault.text});
            SetStatus(text);
            prompter_.Inform(this, text, Text(ids::kError), Prompter::Icon::kError);
        }
        return false;
    }
    SetStatus(Format(ids::kImportDone,
                     {PathText(file.filename()), std::to_string(summary->added),
                      std::to_string(summary->updated), std::to_string(summary->removed)}));
    Changed();
    return true;
}

void SiteWindow::Export() {
    if (!site_) {
        return;
    }
    Prompter::SaveAsRequest request;
    request.title = Text(ids::kExportAssetsTitle);
    request.filters = CsvFilters();
    request.defaultSuffix = QStringLiteral("csv");
    request.confirmOverwrite = true;
    request.confirmCreate = false;
    if (const std::optional<QString> chosen = prompter_.SaveAs(this, request)) {
        ExportTo(PathOf(*chosen));
    }
}

// Written to "<file>.part" and renamed when whole: a cancelled or failed export leaves any
// older file of that name as it was.
bool SiteWindow::ExportTo(const std::filesystem::path& file) {
    const std::shared_ptr<site::Register> site = site_;
    if (!site) {
        return false;
    }
    std::filesystem::path part = file;
    part += ".part";
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    site::Outcome fault =
        site::Fault{site::FaultCode::kUnwritable, PathText(part) + ": cannot be written", "", 0};
    Transfer transfer;
    if (out) {
        const std::uint64_t lines = site->Current()->AssetCount() + 1;
        RunTransfer(Text(ids::kExportAssetsTitle), ids::kExportingAssets, transfer, [&] {
            fault = site->ExportCsv(out, [&](std::uint64_t done) {
                transfer.lines = done;
                transfer.permille = static_cast<int>(std::min<std::uint64_t>(done, lines) * 1000 /
                                                     std::max<std::uint64_t>(lines, 1));
                return !transfer.cancel;
            });
            out.close();
        });
    }
    std::error_code ec;
    if (!fault && out.fail()) {
        fault = site::Fault{site::FaultCode::kUnwritable, PathText(part) + ": cannot be written",
                            "", 0};
    }
    if (!fault) {
        std::filesystem::rename(part, file, ec);
        if (ec) {
            fault = site::Fault{site::FaultCode::kUnwritable, PathText(file) + ": " + ec.message(),
                                "", 0};
        }
    }
    if (fault) {
        std::filesystem::remove(part, ec);
        if (transfer.cancel) {
            SetStatus(Text(ids::kExportCancelled));
        } else {
            const QString text = Format(ids::kExportFailed, {fault->text});
            SetStatus(text);
            prompter_.Inform(this, text, Text(ids::kError), Prompter::Icon::kError);
        }
        return false;
    }
    const std::uint64_t written = transfer.lines > 0 ? transfer.lines - 1 : 0;
    SetStatus(Format(ids::kAssetsExported, {std::to_string(written), PathText(file)}));
    return true;
}

}  // namespace trelvane
