#pragma once

// The asset list as CSV, the form operators edit it in and the register imports and exports:
// UTF-8, RFC 4180 quoting, the header line "tag,label,group,note", then one asset a record. A
// record may span lines (a quoted note with line breaks); lines end in LF or CR LF.
//
// The reader streams: it holds one record (at most kMaxCsvRecordBytes) and the tags read so
// far, never the file. It stops at the first fault and names its line, so that an import of a
// million lines can say which one to fix.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/KeyIndex.h"
#include "site/Register.h"

namespace trelvane::site {

inline constexpr std::string_view kAssetCsvHeader = "tag,label,group,note";
// A record (its line or lines) longer than this is refused: no valid asset comes near it.
inline constexpr std::size_t kMaxCsvRecordBytes = 64 * 1024;

class AssetCsvReader {
  public:
    explicit AssetCsvReader(std::istream& in);

    // The next asset, its texts checked (CheckAsset) and its tag not seen before in the input;
    // the header is checked before the first. False at the end of the input or at the first
    // fault, which Failure() then holds (kBadInput, or kIo when the stream fails).
    bool Next(Asset& asset);
    const std::optional<Fault>& Failure() const { return failure_; }

    // The line the last record started on (1 = the header); lines read so far.
    std::uint64_t RecordLine() const { return recordLine_; }
    std::uint64_t LinesRead() const { return line_; }
    // Whether an asset of the input so far had `tag`.
    bool Seen(std::uint32_t tag) const { return firstLine_.Find(tag) != nullptr; }
    std::size_t AssetsRead() const { return firstLine_.Size(); }

  private:
    int Get();
    bool ReadRecord();
    bool ReadHeader();
    bool TakeRecord(Asset& asset);
    bool Fail(std::uint64_t line, std::string_view field, std::string text);

    std::istream& in_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::size_t recordBytes_ = 0;
    std::uint64_t line_ = 0;
    std::uint64_t recordLine_ = 0;
    bool headerRead_ = false;
    // The record just read: its first four fields, how many it had, whether any was quoted.
    std::array<std::string, 4> fields_;
    std::size_t fieldCount_ = 0;
    bool quoted_ = false;
    detail::KeyIndex<std::uint64_t, std::uint32_t> firstLine_;  // tag -> the line it was on
    std::optional<Fault> failure_;
};

// The header line and one asset's line, each with its CR LF; a field holding a comma, a quote,
// a CR or an LF is quoted. The reader reads back exactly what these write.
void AppendAssetCsvHeader(std::string& out);
void AppendAssetCsvLine(std::string& out, const Asset& asset);

}  // namespace trelvane::site
