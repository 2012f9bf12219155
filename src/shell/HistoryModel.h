#pragma once

// The History window's table: the rows of one query of the history (kind and filter), with the
// columns of trelvane-history's CSV, never all in memory.
//
// Keyset paging: the rows are cut into pages of a fixed number of rows in sequence order; the
// model keeps, per page, only the sequence number the page starts after (8 bytes a page, 80 KB
// for ten million rows at 1,000 a page) and a few recently shown pages whole. A page is fetched
// again by "seq > start, limit N", never by OFFSET. Indexing walks the query once, page by
// page, in slices of bounded time on the event loop (Index), so rows appear at once and the
// count grows; at the end it keeps looking for rows the service adds behind (Follow).
//
// A selective filter (a rare tag or reader, a time range) can match few rows in millions, so
// one "next page" query could scan far past a slice's budget. Each indexing fetch therefore
// covers at most scanSeqs sequence numbers (seq <= throughSeq), and the model remembers how far
// it has scanned: every matching row up to that number is indexed, the next fetch starts
// after it.
//
// Sorting by time is sorting by seq: the service numbers events in the order it stamps them, so
// the two agree except across a step of the system clock; the model says "time" and shows seq
// order. Descending order maps row r to row count-1-r and inserts new rows at the top.
//
// Retention may delete old rows while the window is open: a page fetched again is cut at the
// next page's start, so the rows it lost show empty rather than as duplicates of the next.
//
// Threading: the user-interface thread only.

#include <QAbstractTableModel>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "history/Pages.h"

class QTimer;

namespace trelvane {

class HistoryModel final : public QAbstractTableModel {
    Q_OBJECT

  public:
    static constexpr std::size_t kDefaultPageRows = 1000;
    static constexpr std::size_t kCachedPages = 16;
    // Sequence numbers one indexing fetch may scan: a few milliseconds of reading at most.
    static constexpr std::uint64_t kDefaultScanSeqs = 32768;

    explicit HistoryModel(QObject* parent = nullptr, std::size_t pageRows = kDefaultPageRows,
                          std::uint64_t scanSeqs = kDefaultScanSeqs);
    ~HistoryModel() override;

    // Takes the reader and runs `kind` over `filter` (its afterSeq and limit are ignored).
    // Starts the indexing unless `autoIndex` is false (tests index by hand).
    void SetQuery(history::Reader reader, events::Kind kind, history::Filter filter,
                  bool autoIndex = true) {
        SetQuery(std::move(reader), kind, std::move(filter), {}, autoIndex);
    }
    // The same, keeping only the rows of `tags` (an asset's, a group's).
    void SetQuery(history::Reader reader, events::Kind kind, history::Filter filter,
                  history::TagSet tags, bool autoIndex = true);
    // Drops the reader and every row.
    void Clear();

    // Indexes pages until the end or until `budget` has passed (at least one page); true when
    // the end of the rows known now was reached. Errors go to Failed.
    bool Index(std::chrono::milliseconds budget);
    // Indexes to the end at once.
    void IndexAll() {
        while (!Index(std::chrono::milliseconds(1000)) && !failed_) {
        }
    }
    bool AtEnd() const { return atEnd_; }
    bool HasFailed() const { return failed_; }
    // The rows the service added since the end was reached, if any.
    void Follow();

    void SetHeaders(QStringList headers);
    events::Kind Kind() const { return kind_; }
    const history::Filter& QueryFilter() const { return filter_; }
    const history::TagSet& QueryTags() const { return tags_; }
    Qt::SortOrder Order() const { return order_; }
    // The seq of a shown row (0 when the row is beyond the rows or was deleted meanwhile).
    std::uint64_t SeqOfRow(int row);
    std::size_t PagesCached() const { return cache_.size(); }
    std::size_t PageFetches() const { return fetches_; }
    // Every matching row with a seq up to this one is indexed.
    std::uint64_t ScannedThrough() const { return scanned_; }
    // The reader's work so far (history::Reader::Work), to see how far a fetch scanned.
    std::uint64_t QueryWork() const { return reader_ ? reader_->Work() : 0; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Columns seq and time sort (both by seq); the others keep the current order.
    void sort(int column, Qt::SortOrder order) override;

  Q_SIGNALS:
    void Failed(const QString& text, int code);
    void CountChanged(qulonglong rows, bool atEnd);

  private:
    struct Cached {
        history::Page page;
        std::list<std::size_t>::iterator lru;
    };
    const history::Page* Page(std::size_t index) const;
    std::size_t Ascending(int row) const;
    void Insert(std::size_t count);
    void Fail(const history::Error& error);
    void Schedule();
    void Reset();

    const std::size_t pageRows_;
    const std::uint64_t scanSeqs_;
    std::optional<history::Reader> reader_;
    events::Kind kind_ = events::Kind::kReads;
    history::Filter filter_;
    history::TagSet tags_;
    Qt::SortOrder order_ = Qt::AscendingOrder;
    QStringList headers_;
    int columns_ = 0;

    // Page k holds the rows with seq > pageStart_[k], up to pageStart_[k + 1] (the last page
    // up to scanned_).
    std::vector<std::uint64_t> pageStart_;
    std::size_t rows_ = 0;
    std::uint64_t scanned_ = 0;
    bool atEnd_ = false;
    bool failed_ = false;
    mutable std::unordered_map<std::size_t, Cached> cache_;
    mutable std::list<std::size_t> lru_;  // most recent first
    mutable std::size_t fetches_ = 0;
    QTimer* indexTimer_ = nullptr;
    QTimer* followTimer_ = nullptr;
};

}  // namespace trelvane
