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

}  // namespace

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
                if constexpr (requires { row.tag; }) {
                    return !keep(row.tag);
                } else {
                    return true;
                }
            });
        },
        rows);
}

Result<Page> FetchPage(Reader& reader, events::Kind kind, const Filter& filter) {
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
            break;  // not kept yet
    }
    return Error{ErrorCode::kBadInput, "unknown kind"};
}

Result<Page> FetchWindow(Reader& reader, events::Kind kind, Filter filter, std::uint64_t& scanned,
                         std::uint64_t last, std::uint64_t window, std::size_t limit) {
    filter.afterSeq = scanned;
    filter.throughSeq = scanned + std::min(window, last > scanned ? last - scanned : 0);
    filter.limit = limit;
    Result<Page> page = FetchPage(reader, kind, filter);
    if (page) {
        const std::size_t got = page->Size();
        scanned = got == limit && got > 0 ? page->SeqAt(got - 1) : *filter.throughSeq;
    }
    return page;
}

}  // namespace trelvane::history
