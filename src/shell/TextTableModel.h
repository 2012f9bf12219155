#pragma once

// What the device list and the tag list share as Qt table models: read-only, centred text
// columns over one of the engine's lists, one of them a reader's name as the reader
// sent it (code-page bytes, shown through the configured code page), and header texts given by
// the window. Each list says how many rows views have been told of (rowCount) and how many the
// list underneath holds now; a cell is shown only while both have it.
//
// Thread-safety: the user-interface thread only.

#include <QAbstractTableModel>
#include <QStringList>
#include <cstddef>
#include <optional>
#include <string>

#include "records/TextCodec.h"

namespace trelvane {

class TextTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    // Reader names are the readers' code-page bytes; they are shown through `codec`.
    void SetCodec(const TextCodec& codec) { codec_ = codec; }

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  protected:
    // `columns` columns, all headers empty, names shown through code page 936 until SetCodec.
    TextTableModel(int columns, int nameColumn, QObject* parent);

    // A text for each column, column 0 first.
    QStringList headers_;

  private:
    // Rows of the list underneath now (views may not have been told of all of them yet).
    virtual std::size_t ListedRows() const = 0;
    // The reader's name bytes of a listed row.
    virtual const std::string& NameBytes(std::size_t row) const = 0;
    // The text of any other cell of a listed row.
    virtual std::string CellText(std::size_t row, int column) const = 0;

    const int columns_;
    const int nameColumn_;
    std::optional<TextCodec> codec_;
};

// A reader's name bytes for display: ASCII as it stands, anything else through `codec`.
QString DeviceNameText(const std::string& bytes, const std::optional<TextCodec>& codec);

}  // namespace trelvane
