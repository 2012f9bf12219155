#pragma once

// The History window: the service's history, read-only, while the service may keep writing
// behind (the database is in WAL mode, so reading never holds the service back). Filters of
// time range (with quick choices), tag, reader, kind, and asset (a label, which may name
// several tags) and group, looked up in the site register as trelvane-history's --asset and
// --group do; a table of the rows with the columns
// of trelvane-history's CSV, indexed page by page (HistoryModel); the arrivals and departures
// of the range paired per tag and reader (VisitModel); export to CSV with a progress dialog
// that cancels.
//
// When there is nothing to read the table gives way to one plain message: the history is off
// in the settings file, it does not exist yet, it is locked by another process, or it cannot
// be read (with SQLite's or the file system's reason). So does an asset filter that names no
// asset, or that cannot be looked up: its rows are none, never every row.
//
// Non-modal: the main window keeps working beside it. Prompts go through the Prompter.
//
// Threading: the user-interface thread.

#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "history/Pages.h"
#include "history/Reader.h"
#include "shell/PresenceVisits.h"

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QTableView;
class QTimer;

namespace trelvane::site {
class Snapshot;
}

namespace trelvane {

class HistoryModel;
class Prompter;

// Where the window finds the history, as the service would: from [History] of SysConf.ini.
struct HistoryLocation {
    enum class State { kOff, kNoConfig, kDatabase } state = State::kDatabase;
    std::filesystem::path file;  // the database (kDatabase) or the settings file (others)
};

// The location for the service's settings file `ini` in the working folder `folder`.
HistoryLocation LocateHistory(const std::filesystem::path& folder,
                              const std::filesystem::path& ini);

// The site register's labels, for the asset filter.
struct HistorySite {
    std::shared_ptr<const site::Snapshot> labels;  // null: none to look in
    std::string problem;  // why the register cannot be opened; empty: there is none yet
};

// The register [Site] of `ini` names, when its file exists (it is never made here): the
// service's, before the service has opened it.
HistorySite ReadSiteLabels(const std::filesystem::path& folder, const std::filesystem::path& ini);

class HistoryWindow final : public QWidget {
    Q_OBJECT

  public:
    enum class Range { kCustom, kLastHour, kToday, kYesterday, kEverything };
    // Presence events read at most for the presence view; past it the view says it is cut.
    static constexpr std::size_t kMaxPresenceEvents = 1'000'000;
    // Presence events per fetch of the presence view's loading.
    static constexpr std::size_t kPresencePage = 2000;

    HistoryWindow(std::function<HistoryLocation()> locate, Prompter& prompter,
                  QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // The clock of the quick choices (Unix milliseconds; the system's by default).
    void SetNow(std::function<std::int64_t()> now) { now_ = std::move(now); }
    // Where the asset filter looks labels up (asked at each search; none by default).
    void SetSite(std::function<HistorySite()> site) { site_ = std::move(site); }

    // Runs the query of the filters shown; false (and a message) when nothing can be read.
    bool Search();
    void SetRange(Range range);
    void SetCustomRange(std::int64_t fromMs, std::int64_t toMs);
    void SetKind(events::Kind kind);
    void SetTagText(const QString& text);
    void SetReaderText(const QString& text);
    void SetAssetText(const QString& text);
    void SetGroupText(const QString& text);
    // Asks for a file and exports the query shown; the progress dialog's cancel stops it.
    void OnExport();
    // Exports to `file` without asking; false when it failed or was cancelled.
    bool ExportTo(const std::filesystem::path& file);
    void Retext();

    // The filter the controls give now (nothing, and a message, when a value is bad).
    std::optional<history::Filter> CurrentFilter();
    // The tags the asset and group fields name: every tag when both are empty; nothing (and
    // the message in place of the tables) when they name no asset or cannot be looked up.
    std::optional<history::TagSet> CurrentTags();
    events::Kind CurrentKind() const;
    HistoryModel* Model() const { return model_; }
    VisitModel* Visits() const { return visits_; }
    QTableView* EventView() const { return eventView_; }
    QTabWidget* Tabs() const { return tabs_; }
    // The message shown in place of the tables; empty when the tables are shown.
    QString Message() const;
    QString CountText() const;
    // True while the presence view is still reading its events (a slice per timer tick).
    bool VisitsLoading() const;
    // Smaller pages, cap, scan windows and slices for tests (at most kPresencePage and
    // kMaxPresenceEvents); a slice of 0 ms does one fetch a timer tick.
    void SetVisitLimits(std::size_t pageEvents, std::size_t maxEvents, std::uint64_t scanSeqs,
                        std::chrono::milliseconds slice);

  Q_SIGNALS:
    // Emitted by the progress dialog of an export after each step (tests cancel from it).
    void ExportProgress(int permille);

  private:
    void BuildControls();
    void ShowMessage(const QString& text);
    void ShowTables();
    void LoadVisits(history::Reader reader, const history::Filter& filter,
                    const history::TagSet& tags);
    void LoadVisitSlice();
    void StopVisits();
    void UpdateCount();
    void ApplyRange();
    std::optional<history::Reader> OpenReader();

    std::function<HistoryLocation()> locate_;
    Prompter& prompter_;
    std::function<std::int64_t()> now_;
    std::function<HistorySite()> site_;

    QComboBox* range_ = nullptr;
    QDateTimeEdit* from_ = nullptr;
    QDateTimeEdit* to_ = nullptr;
    QLineEdit* tag_ = nullptr;
    QLineEdit* reader_ = nullptr;
    QLineEdit* asset_ = nullptr;
    QLineEdit* group_ = nullptr;
    QComboBox* kind_ = nullptr;
    QPushButton* search_ = nullptr;
    QPushButton* export_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QLabel* message_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QTableView* eventView_ = nullptr;
    QTableView* visitView_ = nullptr;
    QLabel* count_ = nullptr;
    std::array<QLabel*, 8> labels_{};
    HistoryModel* model_ = nullptr;
    VisitModel* visits_ = nullptr;
    bool visitsCut_ = false;
    // The presence view's loading: its own Reader, the pairing so far, how far it has read.
    struct VisitLoad {
        history::Reader reader;
        history::Filter filter;
        history::TagSet tags;
        VisitBuilder builder;
        std::uint64_t scanned = 0;
        std::size_t events = 0;
    };
    std::optional<VisitLoad> visitLoad_;
    QTimer* visitTimer_ = nullptr;
    std::size_t visitPage_ = kPresencePage;
    std::size_t visitMax_ = kMaxPresenceEvents;
    std::uint64_t visitScanSeqs_ = 32768;       // as the table's indexing
    std::chrono::milliseconds visitSlice_{15};  // the window stays responsive meanwhile
    bool cancelRequested_ = false;

  public:
    // Set while an export runs: the next progress step cancels it (the dialog's Cancel).
    void RequestCancel() { cancelRequested_ = true; }
};

}  // namespace trelvane
