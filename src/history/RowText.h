#pragma once

// The texts of history rows as trelvane-history prints them and the History window shows and
// exports them: CSV (RFC 4180, a header line, CR LF) and JSON Lines (one event object a line,
// from the one event encoder).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "events/EventJson.h"
#include "history/Reader.h"

namespace trelvane::history {

enum class Format { kCsv, kJsonl };

// RFC 4180: quoted (quotes doubled) when holding a comma, quote, CR or LF.
void AppendCsvField(std::string& out, std::string_view field);

// "seq", "time", ...: the columns of `kind`, as the CSV header names them.
std::vector<std::string> ColumnNames(events::Kind kind);

// The header line of `kind` with its CR LF (CSV; nothing for JSON Lines).
std::string HeaderLine(events::Kind kind, Format format);

// One value of a row's CSV columns, in the order of the header line, as CSV holds it before
// quoting; nullopt for a null (an absent reader time, empty in CSV), or a column past the last.
std::optional<std::string> ColumnText(const ReadRow& row, std::size_t column);
std::optional<std::string> ColumnText(const PresenceRow& row, std::size_t column);
std::optional<std::string> ColumnText(const DeviceRow& row, std::size_t column);
// Zone events: since, last_seen and dwell_s (seconds from the enter to the exit) are null on an
// enter.
std::optional<std::string> ColumnText(const ZoneRow& row, std::size_t column);
// Alerts: raised is null on a raised event, tag when it concerns none, text on a clearing, by
// except on an acknowledgement (whose text is its note).
std::optional<std::string> ColumnText(const AlertRow& row, std::size_t column);

// Rows as lines with their line end (CR LF for CSV, LF for JSON Lines).
class RowWriter {
  public:
    explicit RowWriter(Format format) : format_(format) {}
    void Append(std::string& out, const ReadRow& row);
    void Append(std::string& out, const PresenceRow& row);
    void Append(std::string& out, const DeviceRow& row);
    void Append(std::string& out, const ZoneRow& row);
    void Append(std::string& out, const AlertRow& row);
    // The register to label tags from in JSON Lines (null: none); it must outlive the writer's
    // use of it.
    void SetLabels(const events::Labels* labels) { json_.SetLabels(labels); }

  private:
    template <class Row>
    void AppendLine(std::string& out, const Row& row);
    Format format_;
    events::EventJson json_;
};

}  // namespace trelvane::history
