#include "history/RowText.h"

#include <span>

#include "base/IsoTime.h"
#include "base/JsonText.h"

namespace trelvane::history {
namespace {

using Text = std::optional<std::string>;

// A column: its name in the header and its text in a row (nullopt for a null).
template <class Row>
struct Column {
    std::string_view name;
    Text (*text)(const Row&);
};

template <class Row>
Text SeqOf(const Row& r) {
    return std::to_string(r.seq);
}
template <class Row>
Text TimeOf(const Row& r) {
    return FormatIsoTime(r.timeMs);
}
template <class Row>
Text TagOf(const Row& r) {
    return std::to_string(r.tag);
}
template <class Row>
Text ReaderOf(const Row& r) {
    return r.reader;
}
template <class Row>
Text DeviceOf(const Row& r) {
    return r.device;
}
template <class Row>
Text EventOf(const Row& r) {
    return std::string(events::Name(r.kind));
}
Text ReaderTimeOf(const ReadRow& r) {
    return r.readerTime ? Text(ReaderTimeText(*r.readerTime)) : std::nullopt;
}
Text ZoneOf(const ZoneRow& r) {
    return r.zone;
}
// An enter says nothing of a stay's end: these are empty, as its JSON leaves them out.
bool Ended(const ZoneRow& r) {
    return r.kind == events::ZoneEventKind::kExit;
}
Text SinceOf(const ZoneRow& r) {
    return Ended(r) ? Text(FormatIsoTime(r.sinceMs)) : std::nullopt;
}
Text LastSeenOf(const ZoneRow& r) {
    return Ended(r) ? Text(FormatIsoTime(r.lastSeenMs)) : std::nullopt;
}
Text DwellOf(const ZoneRow& r) {
    if (!Ended(r)) {
        return std::nullopt;
    }
    std::string text;
    events::AppendSeconds(text, r.timeMs - r.sinceMs);
    return text;
}

constexpr Column<ReadRow> kReadColumns[] = {{"seq", SeqOf},       {"time", TimeOf},
                                            {"tag", TagOf},       {"reader", ReaderOf},
                                            {"device", DeviceOf}, {"reader_time", ReaderTimeOf}};
constexpr Column<PresenceRow> kPresenceColumns[] = {
    {"seq", SeqOf}, {"time", TimeOf}, {"tag", TagOf}, {"reader", ReaderOf}, {"event", EventOf}};
constexpr Column<DeviceRow> kDeviceColumns[] = {{"seq", SeqOf},
                                                {"time", TimeOf},
                                                {"device", DeviceOf},
                                                {"reader", ReaderOf},
                                                {"event", EventOf}};

constexpr Column<ZoneRow> kZoneColumns[] = {
    {"seq", SeqOf},       {"time", TimeOf},   {"tag", TagOf},
    {"zone", ZoneOf},     {"event", EventOf}, {"reader", ReaderOf},
    {"device", DeviceOf}, {"since", SinceOf}, {"last_seen", LastSeenOf},
    {"dwell_s", DwellOf}};

constexpr std::span<const Column<ReadRow>> ColumnsOf(const ReadRow&) {
    return kReadColumns;
}
constexpr std::span<const Column<PresenceRow>> ColumnsOf(const PresenceRow&) {
    return kPresenceColumns;
}
constexpr std::span<const Column<DeviceRow>> ColumnsOf(const DeviceRow&) {
    return kDeviceColumns;
}
constexpr std::span<const Column<ZoneRow>> ColumnsOf(const ZoneRow&) {
    return kZoneColumns;
}

template <class Row>
Text TextOf(const Row& row, std::size_t column) {
    const auto columns = ColumnsOf(row);
    return column < columns.size() ? columns[column].text(row) : std::nullopt;
}

template <class Row>
std::vector<std::string> NamesOf() {
    std::vector<std::string> names;
    for (const Column<Row>& c : ColumnsOf(Row{})) {
        names.emplace_back(c.name);
    }
    return names;
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
    switch (kind) {
        case events::Kind::kReads:
            return NamesOf<ReadRow>();
        case events::Kind::kPresence:
            return NamesOf<PresenceRow>();
        case events::Kind::kDevices:
            return NamesOf<DeviceRow>();
        case events::Kind::kZones:
            return NamesOf<ZoneRow>();
        case events::Kind::kAlerts:
            break;  // not kept yet
    }
    return {};
}

std::string HeaderLine(events::Kind kind, Format format) {
    if (format == Format::kJsonl) {
        return {};
    }
    std::string line;
    for (const std::string& column : ColumnNames(kind)) {
        line += line.empty() ? "" : ",";
        line += column;
    }
    return line + "\r\n";
}

Text ColumnText(const ReadRow& row, std::size_t column) {
    return TextOf(row, column);
}
Text ColumnText(const PresenceRow& row, std::size_t column) {
    return TextOf(row, column);
}
Text ColumnText(const DeviceRow& row, std::size_t column) {
    return TextOf(row, column);
}
Text ColumnText(const ZoneRow& row, std::size_t column) {
    return TextOf(row, column);
}

template <class Row>
void RowWriter::AppendLine(std::string& out, const Row& row) {
    if (format_ == Format::kJsonl) {
        json_.Append(out, events::View(row));
        out.push_back('\n');
        return;
    }
    const std::size_t columns = ColumnsOf(row).size();
    for (std::size_t i = 0; i < columns; ++i) {
        if (i != 0) {
            out.push_back(',');
        }
        const Text text = TextOf(row, i);
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
void RowWriter::Append(std::string& out, const ZoneRow& row) {
    AppendLine(out, row);
}

}  // namespace trelvane::history
