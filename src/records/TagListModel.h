#pragma once

// The rows of the tag list as the operator sees them. Six columns: 0 the ID text (hidden in
// views, it only finds the row of an ID), 1 the row number fixed when the row was created,
// 2 the ID text, 3 the device name of the last read (raw bytes), 4 the read count, 5 the last
// read time.
//
// Rows are only ever appended or updated in place by TagStore::RefreshTagList and removed all
// at once by TagStore::ClearAllRecords, so row i always carries the number i + 1 and each ID
// has at most one row. The desktop wraps this in a Qt item model; a view learns what a refresh
// changed from the TagListUpdate it returns.
//
// Thread-safety: none. The list belongs to the user-interface thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/NamePool.h"
#include "records/TagStorage.h"

namespace trelvane {

// Rows [first, first + count).
struct RowRange {
    std::size_t first = 0;
    std::size_t count = 0;

    friend bool operator==(const RowRange&, const RowRange&) = default;
};

// What one refresh changed, so that a view signals only that.
struct TagListUpdate {
    // Rows that existed before the refresh and were rewritten: sorted, disjoint, and never
    // adjacent (neighbouring rows are merged into one range).
    std::vector<RowRange> updated;
    // Rows added at the end: [appendedFirst, appendedFirst + appendedCount).
    std::size_t appendedFirst = 0;
    std::size_t appendedCount = 0;

    bool Empty() const { return updated.empty() && appendedCount == 0; }
};

class TagListModel {
  public:
    enum Column : int {
        kColumnHiddenId = 0,
        kColumnNo = 1,
        kColumnId = 2,
        kColumnDevice = 3,
        kColumnReadCount = 4,
        kColumnLastReadTime = 5,
    };
    static constexpr int kColumns = 6;

    TagListModel();

    std::size_t RowCount() const { return rows_.size(); }

    // The text of a cell as the list shows it; empty outside the rows and columns.
    std::string Cell(std::size_t row, int column) const;

    // Cheap accessors of a row below RowCount().
    std::uint32_t RowTagId(std::size_t row) const { return rows_[row].id; }
    int RowNumber(std::size_t row) const { return static_cast<int>(row) + 1; }
    const std::string& RowDeviceName(std::size_t row) const {
        return names_.Get(rows_[row].device);
    }
    std::int32_t RowReadCount(std::size_t row) const { return rows_[row].readCount; }
    std::string_view RowLastReadTime(std::size_t row) const { return rows_[row].time.View(); }

    // The row of an ID (given as its number or its exact "%u" text).
    std::optional<std::size_t> FindRow(std::uint32_t id) const;
    std::optional<std::size_t> FindRow(std::string_view idText) const;

    // Changes with every change of the rows, and no two lists ever share a value, so a store
    // can tell whether the list is still the one it last brought up to date.
    std::uint64_t Version() const { return version_; }

    // Approximate heap bytes held (rows, ID index, names).
    std::size_t MemoryBytes() const;

  private:
    friend class TagStore;

    struct Row {
        std::uint32_t id;
        std::uint32_t device;  // index into names_
        std::int32_t readCount;
        detail::TimeText time;
    };

    // Appends the row of an ID that has none; returns its index.
    std::size_t AppendRow(std::uint32_t id, std::string_view device, std::int32_t readCount,
                          const detail::TimeText& time);
    // Rewrites columns 3 to 5 of a row.
    void UpdateRow(std::size_t row, std::string_view device, std::int32_t readCount,
                   const detail::TimeText& time);
    // Removes every row; numbering starts again at 1.
    void Clear();
    void Touch();

    std::vector<Row> rows_;
    detail::IdIndex index_;  // ID -> row
    detail::NamePool names_;
    std::uint64_t version_ = 0;
};

}  // namespace trelvane
