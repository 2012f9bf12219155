#include "site/AssetCsv.h"

#include <istream>

#include "base/JsonText.h"
#include "history/RowText.h"

namespace trelvane::site {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 4> kColumns = {"tag", "label", "group", "note"};

// A bad value as a fault text shows it: short, and UTF-8 whatever the file held.
std::string Shown(std::string_view value) {
    constexpr std::size_t kShown = 24;
    std::string shown = ValidUtf8(value.substr(0, kShown));
    if (value.size() > kShown) {
        shown += "...";
    }
    return shown;
}

// A decimal 0..4294967295: digits only (leading zeros allowed), no sign, no spaces.
std::optional<std::uint32_t> ParseTag(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::string LinePrefix(std::uint64_t line) {
    return "line " + std::to_string(line) + ": ";
}

}  // namespace

AssetCsvReader::AssetCsvReader(std::istream& in) : in_(in), buffer_(kChunk) {}

// The next byte, or -1 at the end of the input (or when it fails: Next tells the two apart).
int AssetCsvReader::Get() {
    if (pos_ == end_) {
        if (!in_.good()) {
            return -1;
        }
        in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        pos_ = 0;
        end_ = static_cast<std::size_t>(in_.gcount());
        if (end_ == 0) {
            return -1;
        }
    }
    ++recordBytes_;
    return static_cast<unsigned char>(buffer_[pos_++]);
}

// One record into fields_. False at the end of the input, or at a fault (failure_ set).
bool AssetCsvReader::ReadRecord() {
    for (std::string& f : fields_) {
        f.clear();
    }
    fieldCount_ = 1;
    quoted_ = false;
    recordBytes_ = 0;
    int c = Get();
    if (c < 0) {
        return false;
    }
    recordLine_ = ++line_;
    std::string scratch;  // fields past the fourth are counted, not kept
    const auto tooLong = [&] {
        return Fail(recordLine_, "",
                    "longer than " + std::to_string(kMaxCsvRecordBytes) + " bytes");
    };
    for (;;) {
        std::string& field = fieldCount_ <= fields_.size() ? fields_[fieldCount_ - 1] : scratch;
        scratch.clear();
        const std::string_view column =
            fieldCount_ <= kColumns.size() ? kColumns[fieldCount_ - 1] : std::string_view();
        if (c == '"') {
            quoted_ = true;
            for (;;) {
                c = Get();
                if (c < 0) {
                    return Fail(recordLine_, column, "a quoted field is not closed");
                }
                if (c == '"') {
                    c = Get();
                    if (c != '"') {
                        break;
                    }
                } else if (c == '\n') {
                    ++line_;
                }
                if (recordBytes_ > kMaxCsvRecordBytes) {
                    return tooLong();
                }
                field.push_back(static_cast<char>(c));
            }
            if (c >= 0 && c != ',' && c != '\r' && c != '\n') {
                return Fail(line_, column,
                            "text after the closing quote of a field (a quote inside a quoted "
                            "field is written twice)");
            }
        } else {
            while (c >= 0 && c != ',' && c != '\r' && c != '\n') {
                if (c == '"') {
                    return Fail(line_, column,
                                "a quote inside a field that is not quoted (quote the field and "
                                "write the quote twice)");
                }
                if (recordBytes_ > kMaxCsvRecordBytes) {
                    return tooLong();
                }
                field.push_back(static_cast<char>(c));
                c = Get();
            }
        }
        if (recordBytes_ > kMaxCsvRecordBytes) {
            return tooLong();
        }
        if (c == ',') {
            ++fieldCount_;
            c = Get();
            continue;
        }
        if (c == '\r' && Get() != '\n') {
            return Fail(line_, column, "a CR that does not end a line (quote the field)");
        }
        return true;
    }
}

bool AssetCsvReader::ReadHeader() {
    headerRead_ = true;
    const std::string expected = "the first line must be \"" + std::string(kAssetCsvHeader) + "\"";
    if (!ReadRecord()) {
        return failure_ ? false : Fail(1, "", expected + " (the input is empty)");
    }
    if (fields_[0].starts_with(kBom)) {
        fields_[0].erase(0, kBom.size());
    }
    bool same = fieldCount_ == kColumns.size() && !quoted_;
    for (std::size_t i = 0; same && i < kColumns.size(); ++i) {
        same = fields_[i] == kColumns[i];
    }
    return same || Fail(1, "", expected);
}

bool AssetCsvReader::TakeRecord(Asset& asset) {
    if (fieldCount_ != kColumns.size()) {
        return Fail(recordLine_, "",
                    std::to_string(fieldCount_) + (fieldCount_ == 1 ? " field" : " fields") +
                        ", expected 4 (" + std::string(kAssetCsvHeader) + ")");
    }
    const std::optional<std::uint32_t> tag = ParseTag(fields_[0]);
    if (!tag) {
        return Fail(recordLine_, "tag",
                    "tag \"" + Shown(fields_[0]) + "\" is not a whole number from 0 to " +
                        std::to_string(UINT32_MAX));
    }
    asset.tag = *tag;
    asset.label.swap(fields_[1]);
    asset.group.swap(fields_[2]);
    asset.note.swap(fields_[3]);
    if (Outcome fault = CheckAsset(asset)) {
        return Fail(recordLine_, fault->field, fault->text);
    }
    const auto [first, added] = firstLine_.FindOrInsert(asset.tag, recordLine_);
    if (!added) {
        return Fail(recordLine_, "tag",
                    "tag " + std::to_string(asset.tag) + " appears twice (first on line " +
                        std::to_string(*first) + ")");
    }
    return true;
}

bool AssetCsvReader::Next(Asset& asset) {
    if (failure_) {
        return false;
    }
    const bool read = headerRead_ ? ReadRecord() : ReadHeader() && ReadRecord();
    // A stream that fails mid-record looks like its end: that is no fault of the text.
    if (in_.bad()) {
        Fail(line_ == 0 ? 1 : line_, "", "the input cannot be read");
        failure_->code = FaultCode::kIo;
        return false;
    }
    return read && TakeRecord(asset);
}

bool AssetCsvReader::Fail(std::uint64_t line, std::string_view field, std::string text) {
    failure_ = Fault{FaultCode::kBadInput, LinePrefix(line) + text, std::string(field), line};
    return false;
}

void AppendAssetCsvHeader(std::string& out) {
    out += kAssetCsvHeader;
    out += "\r\n";
}

void AppendAssetCsvLine(std::string& out, const Asset& asset) {
    out += std::to_string(asset.tag);
    out.push_back(',');
    history::AppendCsvField(out, asset.label);
    out.push_back(',');
    history::AppendCsvField(out, asset.group);
    out.push_back(',');
    history::AppendCsvField(out, asset.note);
    out += "\r\n";
}

}  // namespace trelvane::site
