#pragma once

// Pages of history rows: one page of one kind (reads, presence, device, zone or alert events) as
// the queries return it, with the CSV text of each cell. The History window, its export and
// trelvane-history page through a query with these.
//
// A page may also keep a set of tags beyond the filter's one (an asset's tags, a group's: the
// site register's, which the history does not know). A small set is asked for tag by tag, each
// through the tag's own index, and merged in sequence order; a large one is a scan of the
// filter's rows that keeps the set's.
//
// Thread-safety: plain values and functions; the Reader passed in is used on the calling
// thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "history/Reader.h"
#include "history/RowText.h"

namespace trelvane::history {

// The tags a fetch keeps: every tag (the default), or only those of a set (an empty set keeps
// no row: a filter that names nothing shows nothing).
class TagSet {
  public:
    TagSet() = default;
    // Only `tags`, in any order, repeats allowed.
    static TagSet Only(std::vector<std::uint32_t> tags);

    bool Any() const { return !only_; }
    bool Has(std::uint32_t tag) const;
    // Ascending, unique; empty for Any().
    const std::vector<std::uint32_t>& Tags() const;
    friend bool operator==(const TagSet&, const TagSet&) = default;

  private:
    std::optional<std::vector<std::uint32_t>> only_;
};

// Sets up to this many tags are asked for tag by tag; larger ones are scanned.
inline constexpr std::size_t kTagByTag = 64;

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

// An empty page of `kind`'s rows.
Page EmptyPage(events::Kind kind);

// The rows of `kind` after `filter.afterSeq`, at most `filter.limit`, in sequence order, of the
// tags `tags` keeps. With a set and no filter.throughSeq, the rows stored now: a page is
// never cut by what the service adds while the set's queries run.
Result<Page> FetchPage(Reader& reader, events::Kind kind, const Filter& filter,
                       const TagSet& tags = {});

// One step of a walk of a query in windows of sequence numbers, so that no step scans more
// than `window` numbers however selective the filter: the rows after `scanned`, up to
// scanned + window (and `last`), at most `limit`. Every match up to the new `scanned` has then
// been returned: the last row's seq when the page is full, else the window's end.
Result<Page> FetchWindow(Reader& reader, events::Kind kind, Filter filter, std::uint64_t& scanned,
                         std::uint64_t last, std::uint64_t window, std::size_t limit,
                         const TagSet& tags = {});

}  // namespace trelvane::history
