#include "shell/HistoryModel.h"

#include <QTimer>
#include <algorithm>
#include <climits>

namespace trelvane {
namespace {

// An indexing slice's share of the event loop: the window stays responsive meanwhile.
constexpr std::chrono::milliseconds kSlice(15);
// How often an indexed query looks for rows added behind it.
constexpr int kFollowMs = 2000;

}  // namespace

HistoryModel::HistoryModel(QObject* parent, std::size_t pageRows, std::uint64_t scanSeqs)
    : QAbstractTableModel(parent),
      pageRows_(std::max<std::size_t>(pageRows, 1)),
      scanSeqs_(std::max<std::uint64_t>(scanSeqs, 1)) {
    indexTimer_ = new QTimer(this);
    indexTimer_->setInterval(0);
    connect(indexTimer_, &QTimer::timeout, this, [this] {
        if (Index(kSlice) || failed_) {
            indexTimer_->stop();
            if (!failed_) {
                followTimer_->start();
            }
        }
    });
    followTimer_ = new QTimer(this);
    followTimer_->setInterval(kFollowMs);
    connect(followTimer_, &QTimer::timeout, this, &HistoryModel::Follow);
}

HistoryModel::~HistoryModel() = default;

void HistoryModel::SetQuery(history::Reader reader, events::Kind kind, history::Filter filter,
                            history::TagSet tags, bool autoIndex) {
    beginResetModel();
    Reset();
    reader_.emplace(std::move(reader));
    kind_ = kind;
    filter_ = std::move(filter);
    filter_.afterSeq = 0;
    filter_.throughSeq.reset();
    tags_ = std::move(tags);
    columns_ = static_cast<int>(history::ColumnNames(kind).size());
    endResetModel();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, std::max(columns_ - 1, 0));
    if (autoIndex) {
        Schedule();
    }
}

void HistoryModel::Clear() {
    beginResetModel();
    Reset();
    reader_.reset();
    endResetModel();
}

// Forgets the rows of the current query (inside a model reset).
void HistoryModel::Reset() {
    indexTimer_->stop();
    followTimer_->stop();
    pageStart_.clear();
    rows_ = 0;
    scanned_ = 0;
    atEnd_ = false;
    failed_ = false;
    cache_.clear();
    lru_.clear();
}

void HistoryModel::Schedule() {
    indexTimer_->start();
}

void HistoryModel::Fail(const history::Error& error) {
    failed_ = true;
    indexTimer_->stop();
    followTimer_->stop();
    Q_EMIT Failed(QString::fromStdString(error.text), static_cast<int>(error.code));
}

// Rows become visible as they are indexed: ascending, at the end; descending, at the top.
void HistoryModel::Insert(std::size_t count) {
    if (count == 0) {
        return;
    }
    const int first = order_ == Qt::AscendingOrder ? static_cast<int>(rows_) : 0;
    beginInsertRows({}, first, first + static_cast<int>(count) - 1);
    rows_ += count;
    endInsertRows();
}

bool HistoryModel::Index(std::chrono::milliseconds budget) {
    if (!reader_ || failed_) {
        return true;
    }
    const auto start = std::chrono::steady_clock::now();
    // Rows up to the last number the service has committed; later ones are for Follow.
    history::Result<std::uint64_t> last = reader_->LastSequence();
    if (!last) {
        Fail(last.error());
        return true;
    }
    const std::size_t before = rows_;
    bool end = false;
    do {
        if (scanned_ >= *last) {
            end = true;
            break;
        }
        // The last page is topped up first (it is short only at the end of the rows).
        const std::size_t filled = rows_ % pageRows_;
        const bool newPage = filled == 0;
        // A view cannot show more rows than an int counts.
        if (rows_ + pageRows_ > static_cast<std::size_t>(INT_MAX)) {
            end = true;
            break;
        }
        const std::uint64_t startedAfter = scanned_;
        history::Result<history::Page> page = history::FetchWindow(
            *reader_, kind_, filter_, scanned_, *last, scanSeqs_, pageRows_ - filled, tags_);
        ++fetches_;
        if (!page) {
            Fail(page.error());
            break;
        }
        const std::size_t got = page->Size();
        if (got > 0 && newPage) {
            pageStart_.push_back(startedAfter);
        }
        if (got == 0) {
            continue;
        }
        const std::size_t pageIndex = pageStart_.size() - 1;
        if (const auto it = cache_.find(pageIndex); it != cache_.end()) {
            it->second.page.Append(std::move(page.value()));
        } else if (newPage && got == pageRows_) {
            // Keep what indexing fetched: the first and the newest pages are the likely views.
            lru_.push_front(pageIndex);
            cache_.emplace(pageIndex, Cached{std::move(page.value()), lru_.begin()});
            while (cache_.size() > kCachedPages) {
                cache_.erase(lru_.back());
                lru_.pop_back();
            }
        }
        rows_ += got;
    } while (std::chrono::steady_clock::now() - start < budget);
    // Announce what this slice found in one insertion.
    const std::size_t found = rows_ - before;
    rows_ = before;
    Insert(found);
    atEnd_ = end;
    if (found != 0 || end) {
        Q_EMIT CountChanged(rows_, atEnd_);
    }
    return end;
}

void HistoryModel::Follow() {
    if (!reader_ || failed_ || !atEnd_) {
        return;
    }
    if (!Index(kSlice)) {
        followTimer_->stop();
        Schedule();
    }
}

void HistoryModel::SetHeaders(QStringList headers) {
    headers_ = std::move(headers);
    if (columns_ > 0) {
        Q_EMIT headerDataChanged(Qt::Horizontal, 0, columns_ - 1);
    }
}

std::size_t HistoryModel::Ascending(int row) const {
    const auto r = static_cast<std::size_t>(row);
    return order_ == Qt::AscendingOrder ? r : rows_ - 1 - r;
}

const history::Page* HistoryModel::Page(std::size_t index) const {
    if (const auto it = cache_.find(index); it != cache_.end()) {
        lru_.splice(lru_.begin(), lru_, it->second.lru);
        return &it->second.page;
    }
    if (!reader_ || index >= pageStart_.size()) {
        return nullptr;
    }
    history::Filter f = filter_;
    f.afterSeq = pageStart_[index];
    // Only the rows indexed into this page: retention's deletions leave them short, never
    // filled up with the next page's rows or rows not yet counted.
    f.throughSeq = index + 1 < pageStart_.size() ? pageStart_[index + 1] : scanned_;
    f.limit = pageRows_;
    // data() is const to the view; the reader's statement cache is not.
    auto* self = const_cast<HistoryModel*>(this);
    history::Result<history::Page> page = history::FetchPage(*self->reader_, kind_, f, tags_);
    ++fetches_;
    if (!page) {
        // Shown as empty cells; the window hears of it once.
        QTimer::singleShot(0, self, [self, error = page.error()] {
            if (!self->failed_) {
                self->Fail(error);
            }
        });
        return nullptr;
    }
    lru_.push_front(index);
    auto [it, inserted] = cache_.emplace(index, Cached{std::move(page.value()), lru_.begin()});
    while (cache_.size() > kCachedPages) {
        const std::size_t oldest = lru_.back();
        lru_.pop_back();
        cache_.erase(oldest);
    }
    return &it->second.page;
}

std::uint64_t HistoryModel::SeqOfRow(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_) {
        return 0;
    }
    const std::size_t asc = Ascending(row);
    const history::Page* page = Page(asc / pageRows_);
    const std::size_t offset = asc % pageRows_;
    return page && offset < page->Size() ? page->SeqAt(offset) : 0;
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_);
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columns_;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_) || index.column() >= columns_) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return index.column() == 0 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const std::size_t asc = Ascending(index.row());
    const history::Page* page = Page(asc / pageRows_);
    const std::size_t offset = asc % pageRows_;
    if (!page || offset >= page->Size()) {
        return QString();
    }
    return QString::fromStdString(page->Cell(offset, index.column()));
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columns_) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (section < headers_.size() && !headers_[section].isEmpty()) {
        return headers_[section];
    }
    return QString::fromStdString(history::ColumnNames(kind_)[static_cast<std::size_t>(section)]);
}

void HistoryModel::sort(int column, Qt::SortOrder order) {
    if ((column != 0 && column != 1) || order == order_) {
        return;
    }
    // Only the mapping of rows to pages turns round: nothing is fetched again. A reset, not a
    // layout change: every row moves, and the view's selection would follow the wrong rows.
    beginResetModel();
    order_ = order;
    endResetModel();
}

}  // namespace trelvane
