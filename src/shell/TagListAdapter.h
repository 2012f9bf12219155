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
// Thread-safety: the user-interface thread only, like the TagListModel it reads.

#include <QStringList>

#include "records/TagListModel.h"
#include "shell/TextTableModel.h"

namespace trelvane {

class TagListAdapter final : public TextTableModel {
    Q_OBJECT

  public:
    // Above this many rewritten ranges in one refresh, one dataChanged covering them all is
    // cheaper for views than a signal per range.
    static constexpr std::size_t kMaxRangesSignalled = 256;

    explicit TagListAdapter(const TagListModel& rows, QObject* parent = nullptr);

    // Six header texts, column 0 (hidden) first.
    void SetHeaders(const QStringList& headers);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;

    // What a refresh of the underlying list changed.
    void ApplyUpdate(const TagListUpdate& update);
    // The underlying list was emptied.
    void ApplyClear();

  private:
    std::size_t ListedRows() const override { return rows_.RowCount(); }
    const std::string& NameBytes(std::size_t row) const override {
        return rows_.RowDeviceName(row);
    }
    std::string CellText(std::size_t row, int column) const override {
        return rows_.Cell(row, column);
    }
    void Resync();

    const TagListModel& rows_;
    int shownRows_ = 0;
};

}  // namespace trelvane
