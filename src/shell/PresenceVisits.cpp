#include "shell/PresenceVisits.h"

#include <algorithm>
#include <cstdio>

#include "base/IsoTime.h"
#include "base/JsonText.h"

namespace trelvane {

void VisitBuilder::Add(const history::PresenceRow& row) {
    const auto key = std::make_pair(row.tag, row.device);
    if (row.kind == history::PresenceKind::kArrive) {
        // An arrival over an open one (a service killed before it departed the tag) leaves
        // the first without a depart.
        Visit v;
        v.tag = row.tag;
        v.reader = row.reader;
        v.device = row.device;
        v.arriveMs = row.timeMs;
        open_[key] = visits_.size();
        visits_.emplace_back(row.seq, std::move(v));
        return;
    }
    if (const auto it = open_.find(key); it != open_.end()) {
        Visit& v = visits_[it->second].second;
        v.departMs = row.timeMs;
        // The reader's name as it was when the tag left.
        v.reader = row.reader;
        open_.erase(it);
        return;
    }
    Visit v;
    v.tag = row.tag;
    v.reader = row.reader;
    v.device = row.device;
    v.departMs = row.timeMs;
    visits_.emplace_back(row.seq, std::move(v));
}

std::vector<Visit> VisitBuilder::Finish() {
    std::stable_sort(visits_.begin(), visits_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Visit> out;
    out.reserve(visits_.size());
    for (auto& [seq, v] : visits_) {
        out.push_back(std::move(v));
    }
    visits_.clear();
    open_.clear();
    return out;
}

std::string DwellText(std::int64_t ms) {
    const bool negative = ms < 0;
    const std::uint64_t a =
        negative ? static_cast<std::uint64_t>(-(ms + 1)) + 1 : static_cast<std::uint64_t>(ms);
    const std::uint64_t seconds = a / 1000;
    char text[48];
    if (seconds == 0) {
        std::snprintf(text, sizeof text, "%s0:00:00.%03u", negative ? "-" : "",
                      static_cast<unsigned>(a % 1000));
    } else {
        std::snprintf(text, sizeof text, "%s%llu:%02u:%02u", negative ? "-" : "",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned>(seconds / 60 % 60),
                      static_cast<unsigned>(seconds % 60));
    }
    return text;
}

void VisitModel::SetVisits(std::vector<Visit> visits) {
    beginResetModel();
    visits_ = std::move(visits);
    endResetModel();
}

void VisitModel::SetHeaders(QStringList headers) {
    headers_ = std::move(headers);
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

int VisitModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(visits_.size());
}

int VisitModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant VisitModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole) {
        return {};
    }
    const Visit& v = visits_[static_cast<std::size_t>(index.row())];
    const auto time = [](const std::optional<std::int64_t>& t) {
        return t ? QString::fromStdString(FormatIsoTime(*t)) : QString();
    };
    switch (index.column()) {
        case kTag:
            return QString::number(v.tag);
        case kReader:
            return QString::fromStdString(ValidUtf8(v.reader));
        case kDevice:
            return QString::fromStdString(ValidUtf8(v.device));
        case kArrive:
            return time(v.arriveMs);
        case kDepart:
            return time(v.departMs);
        case kDwell: {
            const auto dwell = v.DwellMs();
            return dwell ? QString::fromStdString(DwellText(*dwell)) : QString();
        }
        default:
            return {};
    }
}

QVariant VisitModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < headers_.size()) {
        return headers_[section];
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace trelvane
