#include "shell/HistoryWnd.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <chrono>

#include "records/StringTable.h"
#include "settings/HistoryConfig.h"
#include "shell/DialogUnits.h"
#include "shell/HistoryExport.h"
#include "shell/HistoryModel.h"
#include "shell/PresenceVisits.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Format;
using ui::PathText;
using ui::Text;

// Tens of thousands with separators, in the language's own way would need a locale per pack;
// plain digits read the same in both.
std::string Count(std::uint64_t n) {
    return std::to_string(n);
}

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";

QStringList HeadersOf(events::Kind kind) {
    switch (kind) {
        case events::Kind::kReads:
            return {Text(ids::kColumnSeq),    Text(ids::kColumnTime),
                    Text(ids::kColumnTag),    Text(ids::kColumnReader),
                    Text(ids::kColumnDevice), Text(ids::kColumnReaderTime)};
        case events::Kind::kPresence:
            return {Text(ids::kColumnSeq), Text(ids::kColumnTime), Text(ids::kColumnTag),
                    Text(ids::kColumnReader), Text(ids::kColumnEvent)};
        case events::Kind::kDevices:
            return {Text(ids::kColumnSeq), Text(ids::kColumnTime), Text(ids::kColumnDevice),
                    Text(ids::kColumnReader), Text(ids::kColumnEvent)};
        case events::Kind::kZones:
            return {Text(ids::kColumnSeq),    Text(ids::kColumnTime),  Text(ids::kColumnTag),
                    Text(ids::kColumnZone),   Text(ids::kColumnEvent), Text(ids::kColumnReader),
                    Text(ids::kColumnDevice), Text(ids::kColumnSince), Text(ids::kColumnLastSeen),
                    Text(ids::kColumnDwell)};
        case events::Kind::kAlerts:
            break;  // not kept yet
    }
    return {};
}

// The kind box lists the kinds in their order, so an item's index is its kind's.
int KindTextId(events::Kind kind) {
    switch (kind) {
        case events::Kind::kReads:
            return ids::kKindReads;
        case events::Kind::kPresence:
            return ids::kKindPresence;
        case events::Kind::kDevices:
            return ids::kKindDevices;
        case events::Kind::kZones:
            return ids::kKindZones;
        case events::Kind::kAlerts:
            break;  // not kept yet
    }
    return ids::kKindReads;
}

}  // namespace

HistoryLocation LocateHistory(const std::filesystem::path& folder,
                              const std::filesystem::path& ini) {
    const std::optional<HistoryConfig> config = ReadHistoryConfig(ini);
    if (!config) {
        return {HistoryLocation::State::kNoConfig, ini};
    }
    if (!config->enabled) {
        return {HistoryLocation::State::kOff, ini};
    }
    return {HistoryLocation::State::kDatabase, ResolveHistoryPath(*config, folder)};
}

HistoryWindow::HistoryWindow(std::function<HistoryLocation()> locate, Prompter& prompter,
                             QWidget* parent)
    : QWidget(parent, Qt::Window),
      locate_(std::move(locate)),
      prompter_(prompter),
      now_([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowIcon(QIcon(QStringLiteral(":/icons/history-36.png")));
    model_ = new HistoryModel(this);
    visits_ = new VisitModel(this);
    visitTimer_ = new QTimer(this);
    visitTimer_->setInterval(0);
    connect(visitTimer_, &QTimer::timeout, this, &HistoryWindow::LoadVisitSlice);
    BuildControls();
    Retext();
    SetRange(Range::kToday);
    const DialogUnits units(font());
    resize(units.Size(440, 300));
    connect(model_, &HistoryModel::CountChanged, this, &HistoryWindow::UpdateCount);
    connect(model_, &HistoryModel::Failed, this, [this](const QString& text, int code) {
        ShowMessage(static_cast<history::ErrorCode>(code) == history::ErrorCode::kLocked
                        ? Format(ids::kHistoryLocked, {text.toStdString()})
                        : Format(ids::kHistoryUnreadable, {text.toStdString()}));
    });
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::BuildControls() {
    range_ = new QComboBox(this);
    for (int i = 0; i < 5; ++i) {
        range_->addItem(QString());
    }
    from_ = new QDateTimeEdit(this);
    to_ = new QDateTimeEdit(this);
    for (QDateTimeEdit* edit : {from_, to_}) {
        edit->setDisplayFormat(QString::fromLatin1(kTimeFormat));
        edit->setCalendarPopup(true);
        connect(edit, &QDateTimeEdit::dateTimeChanged, this, [this] {
            if (!range_->signalsBlocked()) {
                range_->setCurrentIndex(static_cast<int>(Range::kCustom));
            }
        });
    }
    connect(range_, &QComboBox::activated, this,
            [this](int index) { SetRange(static_cast<Range>(index)); });
    tag_ = new QLineEdit(this);
    tag_->setMaxLength(10);
    reader_ = new QLineEdit(this);
    kind_ = new QComboBox(this);
    for (std::size_t i = 0; i < std::size(events::kAllKinds); ++i) {
        kind_->addItem(QString());
    }
    search_ = new QPushButton(this);
    search_->setDefault(true);
    export_ = new QPushButton(this);
    connect(search_, &QPushButton::clicked, this, [this] { Search(); });
    connect(export_, &QPushButton::clicked, this, &HistoryWindow::OnExport);
    connect(tag_, &QLineEdit::returnPressed, this, [this] { Search(); });
    connect(reader_, &QLineEdit::returnPressed, this, [this] { Search(); });

    for (QLabel*& label : labels_) {
        label = new QLabel(this);
    }
    auto* filters = new QGridLayout;
    filters->addWidget(labels_[0], 0, 0);
    filters->addWidget(range_, 0, 1);
    filters->addWidget(labels_[1], 0, 2);
    filters->addWidget(from_, 0, 3);
    filters->addWidget(labels_[2], 0, 4);
    filters->addWidget(to_, 0, 5);
    filters->addWidget(labels_[3], 1, 0);
    filters->addWidget(tag_, 1, 1);
    filters->addWidget(labels_[4], 1, 2);
    filters->addWidget(reader_, 1, 3);
    filters->addWidget(labels_[5], 1, 4);
    filters->addWidget(kind_, 1, 5);
    filters->setColumnStretch(3, 1);
    filters->setColumnStretch(5, 1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(search_);
    buttons->addWidget(export_);
    auto* top = new QHBoxLayout;
    top->addLayout(filters, 1);
    top->addLayout(buttons);

    const auto setUp = [this](QTableView* view, QAbstractItemModel* model) {
        view->setModel(model);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setWordWrap(false);
        view->verticalHeader()->hide();
        // Fixed row heights: ten million rows are never measured.
        view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
        view->horizontalHeader()->setStretchLastSection(true);
        view->horizontalHeader()->setHighlightSections(false);
        const int timeWidth =
            view->fontMetrics().horizontalAdvance(QStringLiteral("2026-12-08T09:00:01.250+08:00")) +
            16;
        view->setColumnWidth(1, timeWidth);
        return timeWidth;
    };
    eventView_ = new QTableView(this);
    setUp(eventView_, model_);
    eventView_->setSortingEnabled(true);
    eventView_->horizontalHeader()->setSortIndicator(1, Qt::AscendingOrder);
    visitView_ = new QTableView(this);
    const int timeWidth = setUp(visitView_, visits_);
    visitView_->setColumnWidth(VisitModel::kArrive, timeWidth);
    visitView_->setColumnWidth(VisitModel::kDepart, timeWidth);
    visitView_->setColumnWidth(VisitModel::kTag, timeWidth / 3);
    visitView_->setColumnWidth(VisitModel::kReader, timeWidth / 2);
    visitView_->setColumnWidth(VisitModel::kDevice, timeWidth / 2);

    tabs_ = new QTabWidget(this);
    tabs_->addTab(eventView_, QString());
    tabs_->addTab(visitView_, QString());
    message_ = NoticeLabel(this);
    stack_ = new QStackedWidget(this);
    stack_->addWidget(tabs_);
    stack_->addWidget(message_);
    count_ = new QLabel(this);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(stack_, 1);
    layout->addWidget(count_);
}

void HistoryWindow::Retext() {
    setWindowTitle(Text(ids::kHistoryTitle));
    const int labelIds[] = {ids::kHistoryRange, ids::kHistoryFrom,   ids::kHistoryTo,
                            ids::kHistoryTag,   ids::kHistoryReader, ids::kHistoryKind};
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        labels_[i]->setText(Text(labelIds[i]));
    }
    const int rangeIds[] = {ids::kRangeCustom, ids::kRangeLastHour, ids::kRangeToday,
                            ids::kRangeYesterday, ids::kRangeAll};
    for (int i = 0; i < 5; ++i) {
        range_->setItemText(i, Text(rangeIds[i]));
    }
    for (const events::Kind kind : events::kAllKinds) {
        kind_->setItemText(static_cast<int>(kind), Text(KindTextId(kind)));
    }
    search_->setText(Text(ids::kHistorySearch));
    export_->setText(Text(ids::kHistoryExport));
    tabs_->setTabText(0, Text(ids::kTabEvents));
    tabs_->setTabText(1, Text(ids::kTabVisits));
    model_->SetHeaders(HeadersOf(model_->Kind()));
    visits_->SetHeaders({Text(ids::kColumnTag), Text(ids::kColumnReader), Text(ids::kColumnDevice),
                         Text(ids::kColumnArrive), Text(ids::kColumnDepart),
                         Text(ids::kColumnDwell)});
    UpdateCount();
}

void HistoryWindow::SetRange(Range range) {
    range_->setCurrentIndex(static_cast<int>(range));
    ApplyRange();
}

// The quick choices in local time; the ends of "last hour" and "today" are tomorrow's midnight,
// so rows the service adds while the window is open belong to them.
void HistoryWindow::ApplyRange() {
    const auto range = static_cast<Range>(range_->currentIndex());
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(now_());
    const QDateTime today(now.date(), QTime(0, 0));
    const QDateTime tomorrow(now.date().addDays(1), QTime(0, 0));
    const bool enabled = range != Range::kEverything;
    from_->setEnabled(enabled);
    to_->setEnabled(enabled);
    range_->blockSignals(true);
    switch (range) {
        case Range::kCustom:
        case Range::kEverything:
            break;
        case Range::kLastHour:
            from_->setDateTime(now.addSecs(-3600));
            to_->setDateTime(tomorrow);
            break;
        case Range::kToday:
            from_->setDateTime(today);
            to_->setDateTime(tomorrow);
            break;
        case Range::kYesterday:
            from_->setDateTime(QDateTime(now.date().addDays(-1), QTime(0, 0)));
            to_->setDateTime(today);
            break;
    }
    range_->blockSignals(false);
}

void HistoryWindow::SetCustomRange(std::int64_t fromMs, std::int64_t toMs) {
    range_->setCurrentIndex(static_cast<int>(Range::kCustom));
    from_->setEnabled(true);
    to_->setEnabled(true);
    from_->setDateTime(QDateTime::fromMSecsSinceEpoch(fromMs));
    to_->setDateTime(QDateTime::fromMSecsSinceEpoch(toMs));
}

void HistoryWindow::SetKind(events::Kind kind) {
    kind_->setCurrentIndex(static_cast<int>(kind));
}

void HistoryWindow::SetTagText(const QString& text) {
    tag_->setText(text);
}

void HistoryWindow::SetReaderText(const QString& text) {
    reader_->setText(text);
}

events::Kind HistoryWindow::CurrentKind() const {
    return static_cast<events::Kind>(kind_->currentIndex());
}

std::optional<history::Filter> HistoryWindow::CurrentFilter() {
    history::Filter f;
    if (static_cast<Range>(range_->currentIndex()) != Range::kEverything) {
        f.sinceMs = from_->dateTime().toMSecsSinceEpoch();
        f.untilMs = to_->dateTime().toMSecsSinceEpoch();
        if (*f.untilMs <= *f.sinceMs) {
            prompter_.Inform(this, Text(ids::kBadRange), Text(ids::kTips));
            return std::nullopt;
        }
    }
    const std::string tag = tag_->text().trimmed().toStdString();
    if (!tag.empty()) {
        std::uint32_t value = 0;
        const char* end = tag.data() + tag.size();
        const auto [ptr, ec] = std::from_chars(tag.data(), end, value);
        if (ec != std::errc() || ptr != end) {
            prompter_.Inform(this, Text(ids::kBadTag), Text(ids::kTips));
            return std::nullopt;
        }
        f.tag = value;
    }
    // Names are matched exactly, as stored (UTF-8); only the edges' blanks are dropped.
    const QString reader = reader_->text().trimmed();
    if (!reader.isEmpty()) {
        f.reader = reader.toStdString();
    }
    return f;
}

std::optional<history::Reader> HistoryWindow::OpenReader() {
    const HistoryLocation where = locate_();
    switch (where.state) {
        case HistoryLocation::State::kOff:
            ShowMessage(Format(ids::kHistoryOff, {PathText(where.file)}));
            return std::nullopt;
        case HistoryLocation::State::kNoConfig:
            ShowMessage(Format(ids::kHistoryNoConfig, {PathText(where.file)}));
            return std::nullopt;
        case HistoryLocation::State::kDatabase:
            break;
    }
    history::Result<history::Reader> opened = history::Reader::Open(where.file);
    if (opened) {
        return std::move(opened.value());
    }
    const history::Error& e = opened.error();
    switch (e.code) {
        case history::ErrorCode::kNotFound:
            ShowMessage(Format(ids::kHistoryNone, {PathText(where.file)}));
            break;
        case history::ErrorCode::kLocked:
            ShowMessage(Format(ids::kHistoryLocked, {e.text}));
            break;
        default:
            ShowMessage(Format(ids::kHistoryUnreadable, {e.text}));
            break;
    }
    return std::nullopt;
}

bool HistoryWindow::Search() {
    const std::optional<history::Filter> filter = CurrentFilter();
    if (!filter) {
        return false;
    }
    // Without a history to read, both views are emptied (the message says why).
    const auto unreadable = [this] {
        model_->Clear();
        StopVisits();
        visits_->SetVisits({});
        return false;
    };
    std::optional<history::Reader> reader = OpenReader();
    if (!reader) {
        return unreadable();
    }
    // The presence view reads on a Reader of its own; the table's keeps its statements.
    std::optional<history::Reader> visitsReader = OpenReader();
    if (!visitsReader) {
        return unreadable();
    }
    ShowTables();
    const events::Kind kind = CurrentKind();
    const Qt::SortOrder order = eventView_->horizontalHeader()->sortIndicatorOrder();
    model_->SetQuery(std::move(*reader), kind, *filter);
    model_->sort(1, order);
    model_->SetHeaders(HeadersOf(kind));
    eventView_->setColumnWidth(1, visitView_->columnWidth(VisitModel::kArrive));
    LoadVisits(std::move(*visitsReader), *filter);
    UpdateCount();
    return true;
}

void HistoryWindow::SetVisitLimits(std::size_t pageEvents, std::size_t maxEvents,
                                   std::uint64_t scanSeqs, std::chrono::milliseconds slice) {
    visitSlice_ = slice;
    visitPage_ = std::clamp<std::size_t>(pageEvents, 1, kPresencePage);
    visitMax_ = std::clamp<std::size_t>(maxEvents, 1, kMaxPresenceEvents);
    visitScanSeqs_ = std::max<std::uint64_t>(scanSeqs, 1);
}

bool HistoryWindow::VisitsLoading() const {
    return visitLoad_.has_value();
}

void HistoryWindow::StopVisits() {
    visitTimer_->stop();
    visitLoad_.reset();
}

// Replaces any loading still running: its events belong to the filters of before.
void HistoryWindow::LoadVisits(history::Reader reader, const history::Filter& filter) {
    StopVisits();
    visitsCut_ = false;
    visits_->SetVisits({});
    visitLoad_.emplace(VisitLoad{std::move(reader), filter, {}, 0, 0});
    visitTimer_->start();
}

// One slice of the presence view's loading, of bounded time like the table's indexing; the
// visits are shown at the end (an arrival may still find its depart until then).
void HistoryWindow::LoadVisitSlice() {
    if (!visitLoad_) {
        visitTimer_->stop();
        return;
    }
    VisitLoad& load = *visitLoad_;
    const auto fail = [this](const history::Error& e) {
        StopVisits();
        ShowMessage(e.code == history::ErrorCode::kLocked
                        ? Format(ids::kHistoryLocked, {e.text})
                        : Format(ids::kHistoryUnreadable, {e.text}));
    };
    history::Result<std::uint64_t> last = load.reader.LastSequence();
    if (!last) {
        fail(last.error());
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    bool done = false;
    do {
        if (load.scanned >= *last) {
            done = true;
            break;
        }
        if (load.events >= visitMax_) {
            visitsCut_ = true;
            done = true;
            break;
        }
        history::Result<history::Page> page = history::FetchWindow(
            load.reader, events::Kind::kPresence, load.filter, load.scanned, *last, visitScanSeqs_,
            std::min(visitPage_, visitMax_ - load.events));
        if (!page) {
            fail(page.error());
            return;
        }
        for (const history::PresenceRow& row :
             std::get<std::vector<history::PresenceRow>>(page->rows)) {
            load.builder.Add(row);
        }
        load.events += page->Size();
    } while (std::chrono::steady_clock::now() - start < visitSlice_);
    if (done) {
        std::vector<Visit> visits = load.builder.Finish();
        StopVisits();
        visits_->SetVisits(std::move(visits));
    }
    UpdateCount();
}

void HistoryWindow::ShowMessage(const QString& text) {
    message_->setText(text);
    stack_->setCurrentWidget(message_);
    count_->clear();
}

void HistoryWindow::ShowTables() {
    message_->clear();
    stack_->setCurrentWidget(tabs_);
}

QString HistoryWindow::Message() const {
    return stack_->currentWidget() == message_ ? message_->text() : QString();
}

QString HistoryWindow::CountText() const {
    return count_->text();
}

void HistoryWindow::UpdateCount() {
    if (stack_ == nullptr || stack_->currentWidget() == message_) {
        return;
    }
    const std::string rows = Count(static_cast<std::uint64_t>(model_->rowCount()));
    QString text = model_->AtEnd() || model_->HasFailed() ? Format(ids::kRowsTotal, {rows})
                                                          : Format(ids::kRowsCounting, {rows});
    if (visitLoad_) {
        text += QStringLiteral("    ") +
                Format(ids::kVisitsCounting, {Count(visitLoad_->builder.Size())});
    } else {
        const std::string visits = Count(visits_->Visits().size());
        text += QStringLiteral("    ") + (visitsCut_ ? Format(ids::kVisitsCut, {visits})
                                                     : Format(ids::kVisitsTotal, {visits}));
    }
    count_->setText(text);
}

void HistoryWindow::OnExport() {
    Prompter::SaveAsRequest request;
    request.title = Text(ids::kExportHistoryTitle);
    request.filters = {Text(ids::kExportCsvFilter), ui::Own(ids::kExportFilterAll)};
    request.defaultSuffix = QStringLiteral("csv");
    request.confirmOverwrite = true;
    request.confirmCreate = false;
    const std::optional<QString> chosen = prompter_.SaveAs(this, request);
    if (!chosen) {
        return;
    }
    ExportTo(std::filesystem::path(QFile::encodeName(*chosen).toStdString()));
}

bool HistoryWindow::ExportTo(const std::filesystem::path& file) {
    // The query shown, or the controls' when nothing was searched yet.
    events::Kind kind = model_->Kind();
    std::optional<history::Filter> filter;
    if (model_->columnCount() > 0) {
        filter = model_->QueryFilter();
    } else {
        kind = CurrentKind();
        filter = CurrentFilter();
    }
    if (!filter) {
        return false;
    }
    std::optional<history::Reader> reader = OpenReader();
    if (!reader) {
        return false;
    }
    HistoryExport job(*reader, kind, *filter, file);
    QProgressDialog progress(this);
    progress.setWindowTitle(Text(ids::kExportHistoryTitle));
    progress.setCancelButtonText(Text(ids::kCancel));
    progress.setRange(0, 1000);
    progress.setMinimumDuration(400);
    progress.setWindowModality(Qt::WindowModal);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    cancelRequested_ = false;
    while (job.Step()) {
        progress.setLabelText(Format(ids::kExporting, {Count(job.RowsWritten())}));
        progress.setValue(job.Permille());
        Q_EMIT ExportProgress(job.Permille());
        QCoreApplication::processEvents();
        if (progress.wasCanceled() || cancelRequested_) {
            job.Cancel();
            cancelRequested_ = false;
            return false;
        }
    }
    progress.close();
    if (!job.Done()) {
        prompter_.Inform(this, Format(ids::kExportFailed, {job.Error().value_or(std::string())}),
                         Text(ids::kError), Prompter::Icon::kError);
        return false;
    }
    count_->setText(Format(ids::kExportDone, {Count(job.RowsWritten()), PathText(file)}));
    return true;
}

}  // namespace trelvane
