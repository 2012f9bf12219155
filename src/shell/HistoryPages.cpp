#include "shell/HistoryPages.h"

#include <algorithm>
#include <utility>

#include "protocol/TagReport.h"

namespace trelvane {
namespace {

using history_cli::Format;

template <class Fn>
decltype(auto) Visit(const HistoryPage& page, Fn&& fn) {
    return std::visit(std::forward<Fn>(fn), page.rows);
}

// The window shows the columns of trelvane-history's CSV, as UTF-8.
template <typename Row>
std::string Cells(const Row& r, int column) {
    const std::optional<std::string> text =
        column < 0 ? std::nullopt : history_cli::ColumnText(r, static_cast<std::size_t>(column));
    return text ? ValidUtf8(*text) : std::string();
}

}  // namespace

std::size_t HistoryPage::Size() const {
    return Visit(*this, [](const auto& v) { return v.size(); });
}

std::uint64_t HistoryPage::SeqAt(std::size_t i) const {
    return Visit(*this, [i](const auto& v) { return v.at(i).seq; });
}

std::string HistoryPage::Cell(std::size_t i, int column) const {
    return Visit(*this, [i, column](const auto& v) { return Cells(v.at(i), column); });
}

void HistoryPage::CutAfter(std::uint64_t lastSeq) {
    std::visit(
        [lastSeq](auto& v) {
            std::erase_if(v, [lastSeq](const auto& row) { return row.seq > lastSeq; });
        },
        rows);
}

void HistoryPage::Append(HistoryPage&& more) {
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

void HistoryPage::AppendCsvLine(std::string& out, std::size_t i) const {
    Visit(*this, [&out, i](const auto& v) { history_cli::AppendRow(out, v.at(i), Format::kCsv); });
}

history::Result<HistoryPage> FetchPage(history::Reader& reader, HistoryKind kind,
                                       const history::Filter& filter) {
    const auto wrap = [](auto result) -> history::Result<HistoryPage> {
        if (!result) {
            return result.error();
        }
        HistoryPage page;
        page.rows = std::move(result.value());
        return page;
    };
    switch (kind) {
        case HistoryKind::kReads:
            return wrap(reader.Reads(filter));
        case HistoryKind::kPresence:
            return wrap(reader.Presence(filter));
        case HistoryKind::kDevices:
            return wrap(reader.Devices(filter));
    }
    return history::Error{history::ErrorCode::kBadInput, "unknown kind"};
}

history::Result<HistoryPage> FetchWindow(history::Reader& reader, HistoryKind kind,
                                         history::Filter filter, std::uint64_t& scanned,
                                         std::uint64_t last, std::uint64_t window,
                                         std::size_t limit) {
    filter.afterSeq = scanned;
    filter.throughSeq = scanned + std::min(window, last > scanned ? last - scanned : 0);
    filter.limit = limit;
    history::Result<HistoryPage> page = FetchPage(reader, kind, filter);
    if (page) {
        const std::size_t got = page->Size();
        scanned = got == limit && got > 0 ? page->SeqAt(got - 1) : *filter.throughSeq;
    }
    return page;
}

std::vector<std::string> ColumnNames(HistoryKind kind) {
    std::string header = history_cli::HeaderLine(kind, Format::kCsv);
    std::vector<std::string> names;
    std::string name;
    for (const char c : header) {
        if (c == ',' || c == '\r' || c == '\n') {
            if (!name.empty()) {
                names.push_back(std::move(name));
            }
            name.clear();
        } else {
            name.push_back(c);
        }
    }
    return names;
}

}  // namespace trelvane
