#pragma once

// The device list as a Qt table model over the engine's DeviceListModel. A name report adds or
// refreshes one row (rowsInserted / dataChanged); a rebuild empties and refills the list, which
// views learn as a reset. The adapter keeps the keys of the rows it has announced, so that what
// a view had selected can be named by key after the list underneath was rebuilt.
//
// Thread-safety: the user-interface thread only.

#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "service/DeviceRegistry.h"
#include "shell/TextTableModel.h"

namespace trelvane {

class DeviceListAdapter final : public TextTableModel {
    Q_OBJECT

  public:
    explicit DeviceListAdapter(const DeviceListModel& rows, QObject* parent = nullptr);

    // Header texts of columns 0 to 5; an empty text leaves that column's header as it is.
    void SetHeaders(const QStringList& headers);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;

    // The key of a row as views know it (valid also between a rebuild and ApplyReset).
    std::string KeyAt(int row) const;
    // The row of `key` in the list as it is now, if listed.
    std::optional<int> RowOf(const std::string& key) const;

    // A name report appended or refreshed `row` of the underlying list.
    void ApplyRowShown(int row, bool appended);
    // The underlying list was rebuilt or emptied.
    void ApplyReset();

  private:
    std::size_t ListedRows() const override { return rows_.RowCount(); }
    const std::string& NameBytes(std::size_t row) const override { return rows_.Row(row).name; }
    std::string CellText(std::size_t row, int column) const override {
        return rows_.Cell(row, column);
    }

    const DeviceListModel& rows_;
    std::vector<std::string> shownKeys_;
};

}  // namespace trelvane
