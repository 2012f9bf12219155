#pragma once

// Pages of history rows for the History window: one page of one kind (reads, presence or
// device events) as the history queries return it, the columns of trelvane-history's CSV, and
// the text of each cell as that CSV writes it (without the quoting).
//
// Thread-safety: plain values and functions; the Reader passed in is used on the calling
// thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "history/HistoryCli.h"
#include "history/Reader.h"

namespace trelvane {

using HistoryKind = history_cli::Kind;

struct HistoryPage {
    std::variant<std::vector<history::ReadRow>, std::vector<history::PresenceRow>,
                 std::vector<history::DeviceRow>>
        rows;

    std::size_t Size() const;
    std::uint64_t SeqAt(std::size_t i) const;
    // The CSV field of column `column` of row `i` (columns as in ColumnNames).
    std::string Cell(std::size_t i, int column) const;
    // Drops the rows whose seq is above `lastSeq`.
    void CutAfter(std::uint64_t lastSeq);
    // Appends `more` (of the same kind) at the end.
    void Append(HistoryPage&& more);
    // The row's CSV line with its CR LF.
    void AppendCsvLine(std::string& out, std::size_t i) const;
};

// The rows of `kind` after `filter.afterSeq`, at most `filter.limit`, in sequence order.
history::Result<HistoryPage> FetchPage(history::Reader& reader, HistoryKind kind,
                                       const history::Filter& filter);

// One step of a walk of a query in windows of sequence numbers, so that no step scans more
// than `window` numbers however selective the filter: the rows after `scanned`, up to
// scanned + window (and `last`), at most `limit`. Every match up to the new `scanned` has then
// been returned: the last row's seq when the page is full, else the window's end.
history::Result<HistoryPage> FetchWindow(history::Reader& reader, HistoryKind kind,
                                         history::Filter filter, std::uint64_t& scanned,
                                         std::uint64_t last, std::uint64_t window,
                                         std::size_t limit);

// "seq", "time", ...: the names of trelvane-history's CSV header for `kind`.
std::vector<std::string> ColumnNames(HistoryKind kind);

}  // namespace trelvane
