#include "shell/AssetModel.h"

#include <QTimer>
#include <algorithm>
#include <climits>

namespace trelvane {

AssetModel::AssetModel(QObject* parent) : QAbstractTableModel(parent) {
    for (int i = 0; i < kColumns; ++i) {
        headers_ << QString();
    }
}

void AssetModel::SetRegister(std::shared_ptr<site::Register> site) {
    site_ = std::move(site);
    Reload();
}

void AssetModel::SetSearch(const QString& text) {
    search_ = text;
    searchUtf8_ = text.toStdString();
    Reload();
}

void AssetModel::SetHeaders(const QStringList& headers) {
    headers_ = headers;
    while (headers_.size() < kColumns) {
        headers_ << QString();
    }
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

void AssetModel::Reload() {
    reloadScheduled_ = false;
    if (paused_) {
        return;
    }
    Page first;
    std::uint64_t matching = 0;
    if (site_) {
        site::AssetPage page = site_->FindAssets(searchUtf8_, 0, kPageAssets);
        matching = page.total;
        first.assets = std::move(page.assets);
    }
    const bool sameRows = matching == matching_;
    if (!sameRows) {
        beginResetModel();
    }
    matching_ = matching;
    pages_.clear();
    pagesRead_ = 1;
    if (!first.assets.empty()) {
        pages_.push_front(std::move(first));
    }
    if (sameRows) {
        if (matching_ > 0) {
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
        }
    } else {
        endResetModel();
    }
    Q_EMIT Reloaded();
}

void AssetModel::ScheduleReload() const {
    if (reloadScheduled_) {
        return;
    }
    reloadScheduled_ = true;
    auto* self = const_cast<AssetModel*>(this);
    QTimer::singleShot(0, self, [self] {
        if (self->reloadScheduled_) {
            self->Reload();
        }
    });
}

const site::Asset* AssetModel::Find(int row) const {
    if (row < 0 || row >= rowCount()) {
        return nullptr;
    }
    const auto at = static_cast<std::uint64_t>(row);
    const auto holds = [at](const Page& p) {
        return at >= p.first && at < p.first + p.assets.size();
    };
    auto it = std::find_if(pages_.begin(), pages_.end(), holds);
    if (it == pages_.end()) {
        if (paused_ || !site_) {
            return nullptr;
        }
        Page page;
        page.first = at / kPageAssets * kPageAssets;
        site::AssetPage read = site_->FindAssets(searchUtf8_, page.first, kPageAssets);
        ++pagesRead_;
        if (read.total != matching_) {
            ScheduleReload();
        }
        page.assets = std::move(read.assets);
        pages_.push_front(std::move(page));
        if (pages_.size() > kPagesKept) {
            pages_.pop_back();
        }
        it = pages_.begin();
        if (!holds(*it)) {
            return nullptr;  // fewer assets than counted: the reload is on its way
        }
    } else if (it != pages_.begin()) {
        std::rotate(pages_.begin(), it, std::next(it));
        it = pages_.begin();
    }
    return &it->assets[static_cast<std::size_t>(at - it->first)];
}

std::optional<site::Asset> AssetModel::AssetAt(int row) const {
    const site::Asset* asset = Find(row);
    return asset ? std::optional(*asset) : std::nullopt;
}

int AssetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min<std::uint64_t>(matching_, INT_MAX));
}

int AssetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant AssetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
        return {};
    }
    const site::Asset* asset = Find(index.row());
    if (asset == nullptr) {
        return {};
    }
    switch (index.column()) {
        case kTag:
            return role == Qt::DisplayRole ? QVariant(QString::number(asset->tag)) : QVariant();
        case kLabel:
            return role == Qt::DisplayRole ? QVariant(QString::fromStdString(asset->label))
                                           : QVariant();
        case kGroup:
            return role == Qt::DisplayRole ? QVariant(QString::fromStdString(asset->group))
                                           : QVariant();
        case kNote: {
            // A note of several lines shows on one; its tooltip shows it whole.
            QString note = QString::fromStdString(asset->note);
            if (role == Qt::ToolTipRole) {
                return note.isEmpty() ? QVariant() : QVariant(note);
            }
            note.replace(QLatin1String("\r\n"), QLatin1String(" "));
            note.replace(QLatin1Char('\n'), QLatin1Char(' '));
            note.replace(QLatin1Char('\r'), QLatin1Char(' '));
            return note;
        }
        default:
            return {};
    }
}

QVariant AssetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= headers_.size()) {
        return {};
    }
    return headers_.at(section);
}

}  // namespace trelvane
