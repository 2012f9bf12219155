#include "records/TagListModel.h"

#include <atomic>
#include <string_view>

#include "records/TagId.h"

namespace trelvane {
namespace {

// One counter for all lists, so a version identifies both the list and its state.
std::uint64_t NextVersion() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

TagListModel::TagListModel() : version_(NextVersion()) {}

std::string TagListModel::Cell(std::size_t row, int column) const {
    if (row >= rows_.size()) {
        return std::string();
    }
    const Row& r = rows_[row];
    switch (column) {
        case kColumnHiddenId:
        case kColumnId:
            return TagIdText(r.id);
        case kColumnNo:
            return std::to_string(RowNumber(row));
        case kColumnDevice:
            return names_.Get(r.device);
        case kColumnReadCount:
            return std::to_string(r.readCount);
        case kColumnLastReadTime:
            return std::string(r.time.View());
        default:
            return std::string();
    }
}

std::optional<std::size_t> TagListModel::FindRow(std::uint32_t id) const {
    const std::uint32_t* row = index_.Find(id);
    if (row == nullptr) {
        return std::nullopt;
    }
    return *row;
}

std::optional<std::size_t> TagListModel::FindRow(std::string_view idText) const {
    const auto id = ParseTagIdText(idText);
    return id ? FindRow(*id) : std::nullopt;
}

std::size_t TagListModel::MemoryBytes() const {
    return rows_.capacity() * sizeof(Row) + index_.MemoryBytes();
}

std::size_t TagListModel::AppendRow(std::uint32_t id, std::string_view device,
                                    std::int32_t readCount, const detail::TimeText& time) {
    const std::size_t row = rows_.size();
    rows_.push_back(Row{id, names_.Acquire(device), readCount, time});
    index_.Insert(id, static_cast<std::uint32_t>(row));
    Touch();
    return row;
}

void TagListModel::UpdateRow(std::size_t row, std::string_view device, std::int32_t readCount,
                             const detail::TimeText& time) {
    Row& r = rows_[row];
    if (names_.Get(r.device) != device) {
        // Acquire before releasing, so a name shared with other rows is never freed and re-made.
        const std::uint32_t name = names_.Acquire(device);
        names_.Release(r.device);
        r.device = name;
    }
    r.readCount = readCount;
    r.time = time;
    Touch();
}

void TagListModel::Clear() {
    std::vector<Row>().swap(rows_);
    index_.Clear();
    names_.Clear();
    Touch();
}

void TagListModel::Touch() {
    version_ = NextVersion();
}

}  // namespace trelvane
