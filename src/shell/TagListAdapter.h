#pragma once

// The tag list as a Qt table model: a view over the engine's TagListModel that tells views only
// what a refresh changed. A refresh with new IDs becomes one rowsInserted at the end; rewritten
// rows become dataChanged over their device, count and time columns. Nothing but Clear All
// Record and Stop Service (TagListCleared) resets the model, so a list of a million rows stays
// smooth while it refreshes ten times a second.
//
// The adapter counts the rows it has announced; rowCount() never runs ahead of the signals even
// though the underlying list is already complete when the update arrives.
//
// While the site register names anything (an asset or a zone), two columns follow the list's
// own: the tag's asset ("label (group)") from the register's snapshot and the zone it is in now.
// Both are looked up when a view asks for a cell, so only the rows on screen cost anything;
// nothing is kept per row. The export of the list reads TagListModel and never sees them.
//
// Thread-safety: the user-interface thread only, like the TagListModel it reads.

#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "records/TagListModel.h"
#include "shell/TextTableModel.h"
#include "site/Snapshot.h"

namespace trelvane {

class TagListAdapter final : public TextTableModel {
    Q_OBJECT

  public:
    // Above this many rewritten ranges in one refresh, one dataChanged covering them all is
    // cheaper for views than a signal per range.
    static constexpr std::size_t kMaxRangesSignalled = 256;

    static constexpr int kColumnAsset = TagListModel::kColumns;
    static constexpr int kColumnZone = kColumnAsset + 1;
    static constexpr int kColumnsWithSite = kColumnZone + 1;

    explicit TagListAdapter(const TagListModel& rows, QObject* parent = nullptr);

    // Eight header texts, column 0 (hidden) first, the asset's and the zone's last.
    void SetHeaders(const QStringList& headers);

    // The register as it is now (null: none). The asset and zone columns are inserted when it
    // comes to name anything and removed when it names nothing any more; while they stay,
    // they are signalled as changed (a label edited, a tag gone from its zone without a read).
    void SetSite(std::shared_ptr<const site::Snapshot> snapshot);
    // The zone a tag is in now (empty: none).
    void SetZoneSource(std::function<std::string(std::uint32_t tag)> zoneOf) {
        zoneOf_ = std::move(zoneOf);
    }
    bool SiteColumnsShown() const { return siteShown_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;

    // What a refresh of the underlying list changed.
    void ApplyUpdate(const TagListUpdate& update);
    // The underlying list was emptied.
    void ApplyClear();

  private:
    std::size_t ListedRows() const override { return rows_.RowCount(); }
    const std::string& NameBytes(std::size_t row) const override {
        return rows_.RowDeviceName(row);
    }
    std::string CellText(std::size_t row, int column) const override;
    void Resync();

    const TagListModel& rows_;
    int shownRows_ = 0;
    std::shared_ptr<const site::Snapshot> snapshot_;
    std::function<std::string(std::uint32_t)> zoneOf_;
    bool siteShown_ = false;
};

}  // namespace trelvane
