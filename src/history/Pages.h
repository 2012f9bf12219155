#pragma once

// Pages of history rows: one page of one kind (reads, presence, device, zone or alert events) as
// the queries return it, with the CSV text of each cell. The History window, its export and
// trelvane-history page through a query with these.
//
// Thread-safety: plain values and functions; the Reader passed in is used on the calling
// thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "history/Reader.h"
#include "history/RowText.h"

namespace trelvane::history {

struct Page {
    std::variant<std::vector<ReadRow>, std::vector<PresenceRow>, std::vector<DeviceRow>,
                 std::vector<ZoneRow>, std::vector<AlertRow>>
        rows;

    std::size_t Size() const;
    std::uint64_t SeqAt(std::size_t i) const;
    // The CSV field of column `column` of row `i` (columns as in ColumnNames).
    std::string Cell(std::size_t i, int column) const;
    // Drops the rows whose seq is above `lastSeq`.
    void CutAfter(std::uint64_t lastSeq);
    // Keeps the rows whose tag `keep` takes (a device event, an alert of no tag, has none: it
    // goes).
    void KeepTags(const std::function<bool(std::uint32_t tag)>& keep);
    // Appends `more` (of the same kind) at the end.
    void Append(Page&& more);
    // Each row as a line of `writer`'s format.
    void AppendLines(std::string& out, RowWriter& writer) const;
};

// The rows of `kind` after `filter.afterSeq`, at most `filter.limit`, in sequence order.
Result<Page> FetchPage(Reader& reader, events::Kind kind, const Filter& filter);

// One step of a walk of a query in windows of sequence numbers, so that no step scans more
// than `window` numbers however selective the filter: the rows after `scanned`, up to
// scanned + window (and `last`), at most `limit`. Every match up to the new `scanned` has then
// been returned: the last row's seq when the page is full, else the window's end.
Result<Page> FetchWindow(Reader& reader, events::Kind kind, Filter filter, std::uint64_t& scanned,
                         std::uint64_t last, std::uint64_t window, std::size_t limit);

}  // namespace trelvane::history
