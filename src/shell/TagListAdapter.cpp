#include "shell/TagListAdapter.h"

#include <algorithm>

namespace trelvane {

TagListAdapter::TagListAdapter(const TagListModel& rows, QObject* parent)
    : TextTableModel(TagListModel::kColumns, TagListModel::kColumnDevice, parent),
      rows_(rows),
      shownRows_(static_cast<int>(rows.RowCount())) {}

void TagListAdapter::SetHeaders(const QStringList& headers) {
    headers_ = headers;
    while (headers_.size() < TagListModel::kColumns) {
        headers_ << QString();
    }
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, TagListModel::kColumns - 1);
}

int TagListAdapter::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

void TagListAdapter::ApplyUpdate(const TagListUpdate& update) {
    const auto total = rows_.RowCount();
    if (update.appendedCount > 0) {
        if (update.appendedFirst != static_cast<std::size_t>(shownRows_) ||
            update.appendedFirst + update.appendedCount != total) {
            // The update does not continue what views were told: start them afresh rather
            // than show rows out of step.
            Resync();
            return;
        }
        beginInsertRows(QModelIndex(), shownRows_, static_cast<int>(total) - 1);
        shownRows_ = static_cast<int>(total);
        endInsertRows();
    }
    if (update.updated.empty()) {
        return;
    }
    const int firstColumn = TagListModel::kColumnDevice;
    const int lastColumn = TagListModel::kColumnLastReadTime;
    const auto signalRange = [&](std::size_t first, std::size_t last) {
        last = std::min(last, static_cast<std::size_t>(shownRows_) - 1);
        if (shownRows_ == 0 || first > last) {
            return;
        }
        Q_EMIT dataChanged(index(static_cast<int>(first), firstColumn),
                           index(static_cast<int>(last), lastColumn), {Qt::DisplayRole});
    };
    if (update.updated.size() > kMaxRangesSignalled) {
        const RowRange& back = update.updated.back();
        signalRange(update.updated.front().first, back.first + back.count - 1);
        return;
    }
    for (const RowRange& range : update.updated) {
        if (range.count > 0) {
            signalRange(range.first, range.first + range.count - 1);
        }
    }
}

void TagListAdapter::ApplyClear() {
    Resync();
}

void TagListAdapter::Resync() {
    beginResetModel();
    shownRows_ = static_cast<int>(rows_.RowCount());
    endResetModel();
}

}  // namespace trelvane
