#include "history/Pages.h"

#include <algorithm>
#include <utility>

#include "base/JsonText.h"

namespace trelvane::history {
namespace {

template <class Fn>
decltype(auto) Visit(const Page& page, Fn&& fn) {
    return std::visit(std::forward<Fn>(fn), page.rows);
}

// The cells are the CSV's fields, as UTF-8.
template <typename Row>
std::string Cells(const Row& r, int column) {
    const std::optional<std::string> text =
        column < 0 ? std::nullopt : ColumnText(r, static_cast<std::size_t>(column));
    return text ? ValidUtf8(*text) : std::string();
}

// A large set's scan reads the filter's rows this many at a time.
constexpr std::size_t kScanRows = 4096;

// Merged rows in sequence order, the first `limit` kept.
void SortAndCut(Page& page, std::size_t limit) {
    std::visit(
        [limit](auto& v) {
            std::sort(v.begin(), v.end(),
                      [](const auto& a, const auto& b) { return a.seq < b.seq; });
            if (v.size() > limit) {
                v.erase(v.begin() + static_cast<std::ptrdiff_t>(limit), v.end());
            }
        },
        page.rows);
}

Result<Page> FetchPlain(Reader& reader, events::Kind kind, const Filter& filter) {
    const auto wrap = [](auto result) -> Result<Page> {
        if (!result) {
            return result.error();
        }
        Page page;
        page.rows = std::move(result.value());
        return page;
    };
    switch (kind) {
        case events::Kind::kReads:
            return wrap(reader.Reads(filter));
        case events::Kind::kPresence:
            return wrap(reader.Presence(filter));
        case events::Kind::kDevices:
            return wrap(reader.Devices(filter));
        case events::Kind::kZones:
            return wrap(reader.Zones(filter));
        case events::Kind::kAlerts:
            return wrap(reader.Alerts(filter));
    }
    return Error{ErrorCode::kBadInput, "unknown kind"};
}

// A small set, tag by tag. Once `limit` rows are known, the next tags are asked only up to the
// last of them: their later rows could not be among the first `limit`.
Result<Page> FetchTagByTag(Reader& reader, events::Kind kind, Filter f,
                           const std::vector<std::uint32_t>& tags) {
    const std::size_t limit = f.limit;
    Page out = EmptyPage(kind);
    for (const std::uint32_t tag : tags) {
        f.tag = tag;
        Result<Page> page = FetchPlain(reader, kind, f);
        if (!page) {
            return page.error();
        }
        if (page->Size() == 0) {
            continue;
        }
        out.Append(std::move(page.value()));
        SortAndCut(out, limit);
        if (out.Size() == limit) {
            f.throughSeq = std::min(*f.throughSeq, out.SeqAt(limit - 1));
        }
    }
    return out;
}

// A large set: the filter's rows in order, those of the set kept, until `limit` are found or
// the filter's range is read.
Result<Page> FetchScanning(Reader& reader, events::Kind kind, Filter f, const TagSet& tags) {
    const std::size_t limit = f.limit;
    f.limit = kScanRows;
    Page out = EmptyPage(kind);
    while (out.Size() < limit) {
        Result<Page> page = FetchPlain(reader, kind, f);
        if (!page) {
            return page.error();
        }
        const std::size_t n = page->Size();
        if (n != 0) {
            f.afterSeq = page->SeqAt(n - 1);
        }
        page->KeepTags([&](std::uint32_t tag) { return tags.Has(tag); });
        out.Append(std::move(page.value()));
        // Short: every row up to throughSeq has been read.
        if (n < f.limit) {
            break;
        }
    }
    SortAndCut(out, limit);
    return out;
}

}  // namespace

TagSet TagSet::Only(std::vector<std::uint32_t> tags) {
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    TagSet set;
    set.only_ = std::move(tags);
    return set;
}

bool TagSet::Has(std::uint32_t tag) const {
    return !only_ || std::binary_search(only_->begin(), only_->end(), tag);
}

const std::vector<std::uint32_t>& TagSet::Tags() const {
    static const std::vector<std::uint32_t> kNone;
    return only_ ? *only_ : kNone;
}

Page EmptyPage(events::Kind kind) {
    Page page;
    switch (kind) {
        case events::Kind::kReads:
            page.rows = std::vector<ReadRow>();
            break;
        case events::Kind::kPresence:
            page.rows = std::vector<PresenceRow>();
            break;
        case events::Kind::kDevices:
            page.rows = std::vector<DeviceRow>();
            break;
        case events::Kind::kZones:
            page.rows = std::vector<ZoneRow>();
            break;
        case events::Kind::kAlerts:
            page.rows = std::vector<AlertRow>();
            break;
    }
    return page;
}

std::size_t Page::Size() const {
    return Visit(*this, [](const auto& v) { return v.size(); });
}

std::uint64_t Page::SeqAt(std::size_t i) const {
    return Visit(*this, [i](const auto& v) { return v.at(i).seq; });
}

std::string Page::Cell(std::size_t i, int column) const {
    return Visit(*this, [i, column](const auto& v) { return Cells(v.at(i), column); });
}

void Page::CutAfter(std::uint64_t lastSeq) {
    std::visit(
        [lastSeq](auto& v) {
            std::erase_if(v, [lastSeq](const auto& row) { return row.seq > lastSeq; });
        },
        rows);
}

void Page::Append(Page&& more) {
    std::visit(
        [&more](auto& v) {
            using Rows = std::decay_t<decltype(v)>;
            if (auto* add = std::get_if<Rows>(&more.rows)) {
                v.insert(v.end(), std::make_move_iterator(add->begin()),
                         std::make_move_iterator(add->end()));
            }
        },
        rows);
}

void Page::AppendLines(std::string& out, RowWriter& writer) const {
    Visit(*this, [&](const auto& v) {
        for (const auto& row : v) {
            writer.Append(out, row);
        }
    });
}

void Page::KeepTags(const std::function<bool(std::uint32_t tag)>& keep) {
    std::visit(
        [&](auto& v) {
            std::erase_if(v, [&](const auto& row) {
                if constexpr (requires { *row.tag; }) {
                    return !row.tag || !keep(*row.tag);
                } else if constexpr (requires { row.tag; }) {
                    return !keep(row.tag);
                } else {
                    return true;
                }
            });
        },
        rows);
}

Result<Page> FetchPage(Reader& reader, events::Kind kind, const Filter& filter,
                       const TagSet& tags) {
    if (tags.Any()) {
        return FetchPlain(reader, kind, filter);
    }
    // Device events have no tag: a set keeps none of them.
    if (kind == events::Kind::kDevices || filter.limit == 0 || tags.Tags().empty()) {
        return EmptyPage(kind);
    }
    if (filter.tag) {
        return tags.Has(*filter.tag) ? FetchPlain(reader, kind, filter) : EmptyPage(kind);
    }
    Filter f = filter;
    if (tags.Tags().size() == 1) {
        f.tag = tags.Tags().front();
        return FetchPlain(reader, kind, f);
    }
    // Each query of a set reads its own snapshot: all of them end at the rows stored now, or a
    // row stored between two of them could be passed over by the next page.
    if (!f.throughSeq) {
        const Result<std::uint64_t> last = reader.LastSequence();
        if (!last) {
            return last.error();
        }
        f.throughSeq = last.value();
    }
    if (f.afterSeq >= *f.throughSeq) {
        return EmptyPage(kind);
    }
    return tags.Tags().size() <= kTagByTag ? FetchTagByTag(reader, kind, f, tags.Tags())
                                           : FetchScanning(reader, kind, f, tags);
}

Result<Page> FetchWindow(Reader& reader, events::Kind kind, Filter filter, std::uint64_t& scanned,
                         std::uint64_t last, std::uint64_t window, std::size_t limit,
                         const TagSet& tags) {
    filter.afterSeq = scanned;
    filter.throughSeq = scanned + std::min(window, last > scanned ? last - scanned : 0);
    filter.limit = limit;
    Result<Page> page = FetchPage(reader, kind, filter, tags);
    if (page) {
        const std::size_t got = page->Size();
        scanned = got == limit && got > 0 ? page->SeqAt(got - 1) : *filter.throughSeq;
    }
    return page;
}

}  // namespace trelvane::history
