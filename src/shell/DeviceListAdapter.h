#pragma once

// The device list as a Qt table model over the engine's DeviceListModel. A name report adds or
// refreshes one row (rowsInserted / dataChanged); a rebuild empties and refills the list, which
// views learn as a reset. The adapter keeps the keys of the rows it has announced, so that what
// a view had selected can be named by key after the list underneath was rebuilt.
//
// Thread-safety: the user-interface thread only.

#include <QAbstractTableModel>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "records/TextCodec.h"
#include "service/DeviceRegistry.h"

namespace trelvane {

class DeviceListAdapter final : public QAbstractTableModel {
    Q_OBJECT

  public:
    explicit DeviceListAdapter(const DeviceListModel& rows, QObject* parent = nullptr);

    void SetCodec(const TextCodec& codec) { codec_ = codec; }
    // Header texts of columns 0 to 5; an empty text leaves that column's header as it is.
    void SetHeaders(const QStringList& headers);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The key of a row as views know it (valid also between a rebuild and ApplyReset).
    std::string KeyAt(int row) const;
    // The row of `key` in the list as it is now, if listed.
    std::optional<int> RowOf(const std::string& key) const;

    // A name report appended or refreshed `row` of the underlying list.
    void ApplyRowShown(int row, bool appended);
    // The underlying list was rebuilt or emptied.
    void ApplyReset();

  private:
    const DeviceListModel& rows_;
    std::optional<TextCodec> codec_;
    QStringList headers_;
    std::vector<std::string> shownKeys_;
};

}  // namespace trelvane
