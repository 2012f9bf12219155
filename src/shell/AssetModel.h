#pragma once

// The site register's assets as a Qt table model (tag, label, group, note), read a page at a
// time: the model knows how many assets match the search and holds only the few pages views
// have asked for lately, so a register of a million assets scrolls like one of a hundred and
// costs a few hundred kilobytes here.
//
// A page is read when a view first asks for one of its rows. Every read also tells how many
// assets match now; when that changed (another program edited the register) the model reads
// again from the start at the next turn of the event loop, never in the middle of a paint.
//
// Threading: the user-interface thread. Paused (Pause) while another thread holds the
// register for an import or export: rows not read yet show blank instead of waiting for it.

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "site/Register.h"

namespace trelvane {

class AssetModel final : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column : int { kTag = 0, kLabel, kGroup, kNote, kColumns };
    static constexpr std::uint64_t kPageAssets = 500;
    static constexpr std::size_t kPagesKept = 8;

    explicit AssetModel(QObject* parent = nullptr);

    // Another register (null: none) and the search of FindAssets; both read again.
    void SetRegister(std::shared_ptr<site::Register> site);
    void SetSearch(const QString& text);
    const QString& Search() const { return search_; }
    // Counts and reads again. When the count is the same the views keep their selection and
    // scroll position; otherwise they start afresh.
    void Reload();
    void Pause(bool paused) { paused_ = paused; }

    void SetHeaders(const QStringList& headers);
    // The assets matching the search (the rows), and the pages read since the last Reload.
    std::uint64_t Matching() const { return matching_; }
    std::size_t PagesRead() const { return pagesRead_; }
    // The asset of a row, reading its page when needed; nothing outside the rows.
    std::optional<site::Asset> AssetAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  Q_SIGNALS:
    // After every Reload (the count text follows it).
    void Reloaded();

  private:
    struct Page {
        std::uint64_t first = 0;  // row of assets[0]
        std::vector<site::Asset> assets;
    };
    const site::Asset* Find(int row) const;
    // Another program changed what matches: read again once the current event is done.
    void ScheduleReload() const;

    std::shared_ptr<site::Register> site_;
    QString search_;
    std::string searchUtf8_;
    QStringList headers_;
    std::uint64_t matching_ = 0;
    bool paused_ = false;
    // Read on demand by const members (views ask through data()).
    mutable std::deque<Page> pages_;  // most recently used first
    mutable std::size_t pagesRead_ = 0;
    mutable bool reloadScheduled_ = false;
};

}  // namespace trelvane
