#include "shell/TextTableModel.h"

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

TextTableModel::TextTableModel(int columns, int nameColumn, QObject* parent)
    : QAbstractTableModel(parent),
      columns_(columns),
      nameColumn_(nameColumn),
      codec_(TextCodec::ForCodePage(936)) {
    for (int i = 0; i < columns_; ++i) {
        headers_ << QString();
    }
}

int TextTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columns_;
}

QVariant TextTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        static_cast<std::size_t>(index.row()) >= ListedRows()) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    if (index.column() == nameColumn_) {
        return DeviceNameText(NameBytes(row), codec_);
    }
    return QString::fromStdString(CellText(row, index.column()));
}

QVariant TextTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= headers_.size()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return headers_.at(section);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    }
    return {};
}

}  // namespace trelvane
