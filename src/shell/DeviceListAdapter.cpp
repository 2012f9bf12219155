#include "shell/DeviceListAdapter.h"

namespace trelvane {
namespace {

constexpr int kColumnName = 2;
constexpr int kColumnLastRegTime = 4;
constexpr int kColumnTagCount = 5;

}  // namespace

DeviceListAdapter::DeviceListAdapter(const DeviceListModel& rows, QObject* parent)
    : TextTableModel(DeviceListModel::kColumnCount, kColumnName, parent), rows_(rows) {
    for (std::size_t row = 0; row < rows_.RowCount(); ++row) {
        shownKeys_.push_back(rows_.Row(row).key);
    }
}

void DeviceListAdapter::SetHeaders(const QStringList& headers) {
    for (int i = 0; i < DeviceListModel::kColumnCount && i < headers.size(); ++i) {
        if (!headers.at(i).isEmpty()) {
            headers_[i] = headers.at(i);
        }
    }
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, DeviceListModel::kColumnCount - 1);
}

int DeviceListAdapter::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shownKeys_.size());
}

std::string DeviceListAdapter::KeyAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= shownKeys_.size()) {
        return {};
    }
    return shownKeys_[static_cast<std::size_t>(row)];
}

std::optional<int> DeviceListAdapter::RowOf(const std::string& key) const {
    const auto row = rows_.FindRow(key);
    if (!row || *row >= shownKeys_.size()) {
        return std::nullopt;
    }
    return static_cast<int>(*row);
}

void DeviceListAdapter::ApplyRowShown(int row, bool appended) {
    const auto total = rows_.RowCount();
    if (appended) {
        if (row != static_cast<int>(shownKeys_.size()) ||
            static_cast<std::size_t>(row) + 1 != total) {
            ApplyReset();
            return;
        }
        beginInsertRows(QModelIndex(), row, row);
        shownKeys_.push_back(rows_.Row(static_cast<std::size_t>(row)).key);
        endInsertRows();
        return;
    }
    if (row < 0 || static_cast<std::size_t>(row) >= shownKeys_.size() ||
        static_cast<std::size_t>(row) >= total ||
        rows_.Row(static_cast<std::size_t>(row)).key != shownKeys_[static_cast<std::size_t>(row)]) {
        ApplyReset();
        return;
    }
    Q_EMIT dataChanged(index(row, kColumnLastRegTime), index(row, kColumnTagCount),
                       {Qt::DisplayRole});
}

void DeviceListAdapter::ApplyReset() {
    beginResetModel();
    shownKeys_.clear();
    for (std::size_t row = 0; row < rows_.RowCount(); ++row) {
        shownKeys_.push_back(rows_.Row(row).key);
    }
    endResetModel();
}

}  // namespace trelvane
