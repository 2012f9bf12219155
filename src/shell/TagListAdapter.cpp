#include "shell/TagListAdapter.h"

#include <algorithm>

#include "records/StringTable.h"

namespace trelvane {

TagListAdapter::TagListAdapter(const TagListModel& rows, QObject* parent)
    : TextTableModel(TagListModel::kColumns, TagListModel::kColumnDevice, parent),
      rows_(rows),
      shownRows_(static_cast<int>(rows.RowCount())) {}

void TagListAdapter::SetHeaders(const QStringList& headers) {
    headers_ = headers;
    while (headers_.size() < kColumnsWithSite) {
        headers_ << QString();
    }
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

int TagListAdapter::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int TagListAdapter::columnCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    return siteShown_ ? kColumnsWithSite : TagListModel::kColumns;
}

void TagListAdapter::SetSite(std::shared_ptr<const site::Snapshot> snapshot) {
    const bool show = snapshot && !snapshot->Empty();
    if (show != siteShown_) {
        if (show) {
            beginInsertColumns(QModelIndex(), kColumnAsset, kColumnZone);
        } else {
            beginRemoveColumns(QModelIndex(), kColumnAsset, kColumnZone);
        }
        snapshot_ = std::move(snapshot);
        siteShown_ = show;
        if (show) {
            endInsertColumns();
        } else {
            endRemoveColumns();
        }
        return;
    }
    snapshot_ = std::move(snapshot);
    if (siteShown_ && shownRows_ > 0) {
        Q_EMIT dataChanged(index(0, kColumnAsset), index(shownRows_ - 1, kColumnZone),
                           {Qt::DisplayRole});
    }
}

std::string TagListAdapter::CellText(std::size_t row, int column) const {
    if (column < TagListModel::kColumns) {
        return rows_.Cell(row, column);
    }
    if (!siteShown_) {
        return {};
    }
    const std::uint32_t tag = rows_.RowTagId(row);
    if (column == kColumnZone) {
        return zoneOf_ ? zoneOf_(tag) : std::string();
    }
    const std::optional<site::Label> asset = snapshot_->AssetOf(tag);
    if (!asset) {
        return {};
    }
    if (asset->group.empty()) {
        return std::string(asset->label);
    }
    return FormatText(LoadText(ids::kAssetCell),
                      {std::string(asset->label), std::string(asset->group)});
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
    // A read may move the tag to another zone: the site's columns change with the rest.
    const int firstColumn = TagListModel::kColumnDevice;
    const int lastColumn = columnCount() - 1;
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
