#pragma once

// The Assets and Zones window: the site register the service uses, edited while it runs.
//  - Zones: each zone with its readers; add, edit (a new name makes the zone anew) and remove.
//    A zone's readers are ticked in a list of the readers connected now and those any zone
//    names, and any other reader can be typed.
//  - Assets: the asset list, searched by part of a label or group or by tag, read page by page
//    (AssetModel); add, edit and remove one asset; import and export CSV on a thread of their
//    own behind a progress dialog whose Cancel changes nothing.
// Every change goes to the register as one change; when it refuses one, its message is shown
// as it stands and the dialog stays open.
//
// The register opens with the first start of the service. Until then, or when it cannot be
// opened, the window says so in place of the pages. While it is shown it looks at the register
// every second, so changes made through the API or trelvane-site appear here.
//
// Non-modal, like the History window. Prompts go through the Prompter.
//
// Threading: the user-interface thread; the worker of an import or export only runs the
// register's call.

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/SiteDialogs.h"
#include "site/Register.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QTableView;
class QTableWidget;
class QTimer;

namespace trelvane {

class AssetModel;
class Prompter;

// The register as the service has it now.
struct SiteAccess {
    std::shared_ptr<site::Register> site;  // null: none
    std::string problem;                   // why it could not be opened; empty: not yet started
};

class SiteWindow final : public QWidget {
    Q_OBJECT

  public:
    // `readers`: the names (UTF-8) of the readers connected now.
    SiteWindow(std::function<SiteAccess()> locate,
               std::function<std::vector<std::string>()> readers, Prompter& prompter,
               QWidget* parent = nullptr);
    ~SiteWindow() override;

    // Looks for the register again and shows it (or why there is none); both pages read anew.
    void Reload();
    void Retext();

    // The pages' commands, as their buttons run them.
    void AddZone();
    void EditZone();
    void RemoveZone();
    void AddAsset();
    void EditAsset();
    void RemoveAsset();
    void Import(bool replace);
    void Export();
    // The same without the file dialogs; false when nothing was imported or written.
    bool ImportFrom(const std::filesystem::path& file, bool replace);
    bool ExportTo(const std::filesystem::path& file);

    void SetSearch(const QString& text);
    // The readers the zone dialog offers: connected ones and those the zones name, by name.
    std::vector<ReaderChoice> ReaderChoices() const;

    QTabWidget* Tabs() const { return tabs_; }
    QTableWidget* ZoneTable() const { return zoneTable_; }
    QTableView* AssetView() const { return assetView_; }
    AssetModel* Assets() const { return assets_; }
    // The text shown in place of the pages; empty while they show.
    QString Message() const;
    // The outcome of the last command ("Zone Dock B saved.", an import's counts).
    QString StatusText() const;
    QString CountText() const;

  Q_SIGNALS:
    // This window changed the register (the main window's tag list looks at once).
    void SiteChanged();
    // An import or export is about to start; its progress dialog is up.
    void TransferStarted();

  public Q_SLOTS:
    // Cancels the import or export that runs (the progress dialog's Cancel).
    void CancelTransfer();

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    struct Transfer {
        std::atomic<std::uint64_t> lines{0};
        std::atomic<int> permille{-1};  // -1: unknown
        std::atomic<bool> cancel{false};
        std::atomic<bool> done{false};
    };

    void BuildZonesPage(QWidget* page);
    void BuildAssetsPage(QWidget* page);
    void Poll();
    void ShowMessage(const QString& text);
    void ReloadZones();
    void UpdateCount();
    void UpdateButtons();
    void SetStatus(const QString& text);
    // The register's refusal, as it stands.
    void Refused(const site::Fault& fault);
    bool ApplyZone(const std::string& before, const site::Zone& zone);
    bool ApplyAsset(const std::optional<site::Asset>& before, const AssetDialog& dialog);
    void Changed();
    // Runs `work` on a thread of its own until it ends, with a progress dialog of `textId`
    // ("... %s lines ...") fed from `transfer`; the window's reading waits meanwhile.
    void RunTransfer(const QString& title, int textId, Transfer& transfer,
                     const std::function<void()>& work);
    int SelectedZoneRow() const;
    int SelectedAssetRow() const;

    std::function<SiteAccess()> locate_;
    std::function<std::vector<std::string>()> connected_;
    Prompter& prompter_;
    std::shared_ptr<site::Register> site_;
    std::uint64_t shownVersion_ = 0;
    std::vector<site::Zone> zones_;
    Transfer* transfer_ = nullptr;  // while one runs

    QStackedWidget* stack_ = nullptr;
    QLabel* message_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QTableWidget* zoneTable_ = nullptr;
    QPushButton* addZone_ = nullptr;
    QPushButton* editZone_ = nullptr;
    QPushButton* removeZone_ = nullptr;
    QLabel* findLabel_ = nullptr;
    QLineEdit* search_ = nullptr;
    QLabel* count_ = nullptr;
    QTableView* assetView_ = nullptr;
    AssetModel* assets_ = nullptr;
    QPushButton* addAsset_ = nullptr;
    QPushButton* editAsset_ = nullptr;
    QPushButton* removeAsset_ = nullptr;
    QPushButton* import_ = nullptr;
    QAction* importMerge_ = nullptr;
    QAction* importReplace_ = nullptr;
    QPushButton* export_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* poll_ = nullptr;
    QTimer* searchDelay_ = nullptr;
};

}  // namespace trelvane
