#include "shell/TagListAdapter.h"

#include <algorithm>

namespace trelvane {

QString DeviceNameText(const std::string& bytes, const std::optional<TextCodec>& codec) {
    const bool ascii =
        std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii || !codec) {
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    return QString::fromStdString(codec->ToUtf8(bytes));
}

TagListAdapter::TagListAdapter(const TagListModel& rows, QObject* parent)
    : QAbstractTableModel(parent),
      rows_(rows),
      codec_(TextCodec::ForCodePage(936)),
      shownRows_(static_cast<int>(rows.RowCount())) {
    for (int i = 0; i < TagListModel::kColumns; ++i) {
        headers_ << QString();
    }
}

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

int TagListAdapter::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : TagListModel::kColumns;
}

QVariant TagListAdapter::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_ ||
        static_cast<std::size_t>(index.row()) >= rows_.RowCount()) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    if (index.column() == TagListModel::kColumnDevice) {
        return DeviceNameText(rows_.RowDeviceName(row), codec_);
    }
    return QString::fromStdString(rows_.Cell(row, index.column()));
}

QVariant HeaderCell(const QStringList& headers, int section, Qt::Orientation orientation,
                    int role) {
    if (orientation != Qt::Horizontal || section < 0 || section >= headers.size()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return headers.at(section);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    return {};
}

QVariant TagListAdapter::headerData(int section, Qt::Orientation orientation, int role) const {
    return HeaderCell(headers_, section, orientation, role);
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
