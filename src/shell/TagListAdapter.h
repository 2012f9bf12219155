#pragma once

// The tag list as a Qt table model: a view over the engine's TagListModel that tells views only
// what a refresh changed. A refresh with new IDs becomes one rowsInserted at the end; rewritten
// rows become dataChanged over their device, count and time columns. Nothing but Clear All
// Record and Stop Service (TagListCleared) resets the model, so a list of a million rows stays
// smooth while it refreshes ten times a second.
//
// The adapter counts the rows it has announced; rowCount() never runs ahead of the signals even
// though the underlying list is already complete when the update arrives.
//
// Thread-safety: the user-interface thread only, like the TagListModel it reads.

#include <QAbstractTableModel>
#include <QStringList>
#include <optional>

#include "records/TagListModel.h"
#include "records/TextCodec.h"

namespace trelvane {

class TagListAdapter final : public QAbstractTableModel {
    Q_OBJECT

  public:
    // Above this many rewritten ranges in one refresh, one dataChanged covering them all is
    // cheaper for views than a signal per range.
    static constexpr std::size_t kMaxRangesSignalled = 256;

    explicit TagListAdapter(const TagListModel& rows, QObject* parent = nullptr);

    // Device names are the readers' code-page bytes; they are shown through `codec`.
    void SetCodec(const TextCodec& codec) { codec_ = codec; }
    // Six header texts, column 0 (hidden) first.
    void SetHeaders(const QStringList& headers);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // What a refresh of the underlying list changed.
    void ApplyUpdate(const TagListUpdate& update);
    // The underlying list was emptied.
    void ApplyClear();

  private:
    void Resync();

    const TagListModel& rows_;
    std::optional<TextCodec> codec_;
    QStringList headers_;
    int shownRows_ = 0;
};

// A reader's name bytes for display: ASCII as it stands, anything else through `codec`.
QString DeviceNameText(const std::string& bytes, const std::optional<TextCodec>& codec);

// The header data both lists show: the texts of `headers`, all centred.
QVariant HeaderCell(const QStringList& headers, int section, Qt::Orientation orientation, int role);

}  // namespace trelvane
