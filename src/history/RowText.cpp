#include "history/RowText.h"

#include <span>

#include "base/IsoTime.h"
#include "base/JsonText.h"

namespace trelvane::history {
namespace {

constexpr std::string_view kReadColumns[] = {"seq",    "time",   "tag",
                                             "reader", "device", "reader_time"};
constexpr std::string_view kPresenceColumns[] = {"seq", "time", "tag", "reader", "event"};
constexpr std::string_view kDeviceColumns[] = {"seq", "time", "device", "reader", "event"};

std::span<const std::string_view> ColumnsOf(events::Kind kind) {
    switch (kind) {
        case events::Kind::kReads:
            return kReadColumns;
        case events::Kind::kPresence:
            return kPresenceColumns;
        case events::Kind::kDevices:
            return kDeviceColumns;
    }
    return {};
}

}  // namespace

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out.push_back('"');
    for (const char c : field) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

std::vector<std::string> ColumnNames(events::Kind kind) {
    const auto columns = ColumnsOf(kind);
    return {columns.begin(), columns.end()};
}

std::string HeaderLine(events::Kind kind, Format format) {
    if (format == Format::kJsonl) {
        return {};
    }
    std::string line;
    for (const std::string_view column : ColumnsOf(kind)) {
        line += line.empty() ? "" : ",";
        line += column;
    }
    return line + "\r\n";
}

std::optional<std::string> ColumnText(const ReadRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return std::to_string(row.tag);
        case 3:
            return row.reader;
        case 4:
            return row.device;
        case 5:
            if (row.readerTime) {
                return ReaderTimeText(*row.readerTime);
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<std::string> ColumnText(const PresenceRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return std::to_string(row.tag);
        case 3:
            return row.reader;
        case 4:
            return std::string(events::Name(row.kind));
        default:
            return std::nullopt;
    }
}

std::optional<std::string> ColumnText(const DeviceRow& row, std::size_t column) {
    switch (column) {
        case 0:
            return std::to_string(row.seq);
        case 1:
            return FormatIsoTime(row.timeMs);
        case 2:
            return row.device;
        case 3:
            return row.reader;
        case 4:
            return std::string(events::Name(row.kind));
        default:
            return std::nullopt;
    }
}

template <class Row>
void RowWriter::AppendLine(std::string& out, const Row& row) {
    if (format_ == Format::kJsonl) {
        json_.Append(out, events::View(row));
        out.push_back('\n');
        return;
    }
    const std::size_t columns = ColumnsOf(events::KindOf<decltype(events::View(row))>()).size();
    for (std::size_t i = 0; i < columns; ++i) {
        if (i != 0) {
            out.push_back(',');
        }
        const std::optional<std::string> text = ColumnText(row, i);
        AppendCsvField(out, text ? ValidUtf8(*text) : std::string());
    }
    out += "\r\n";
}

void RowWriter::Append(std::string& out, const ReadRow& row) {
    AppendLine(out, row);
}
void RowWriter::Append(std::string& out, const PresenceRow& row) {
    AppendLine(out, row);
}
void RowWriter::Append(std::string& out, const DeviceRow& row) {
    AppendLine(out, row);
}

}  // namespace trelvane::history
