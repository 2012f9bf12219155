#pragma once

// Export to CSV from the History window: the rows of one query, byte for byte as
// `trelvane-history --format csv` prints them (UTF-8 without a BOM, the same header, CR LF),
// written in steps so a progress dialog can show and cancel a long export.
//
// The export covers the rows stored when it started (seq up to the history's last sequence
// then): with the service writing behind, an export ends. It writes "<file>.part" and renames
// it over the chosen file only when complete; a cancelled or failed export removes the part
// file and leaves any older file of that name as it was.
//
// Threading: one thread (the user-interface thread, between events).

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "history/Pages.h"

namespace trelvane {

class HistoryExport {
  public:
    static constexpr std::size_t kDefaultStepRows = 5000;

    HistoryExport(history::Reader& reader, events::Kind kind, history::Filter filter,
                  std::filesystem::path file, std::size_t stepRows = kDefaultStepRows);
    ~HistoryExport();
    HistoryExport(const HistoryExport&) = delete;
    HistoryExport& operator=(const HistoryExport&) = delete;

    // Keeps only the rows of `tags` (an asset's, a group's); before the first Step.
    void KeepTags(history::TagSet tags) { tags_ = std::move(tags); }
    // Writes the next rows. True while there is more to do; false when done or failed (see
    // Error; on success the file is in place).
    bool Step();
    // Stops for good and removes the part file.
    void Cancel();

    bool Done() const { return done_; }
    const std::optional<std::string>& Error() const { return error_; }
    std::uint64_t RowsWritten() const { return rows_; }
    // 0..1000 by sequence number over the rows the export covers.
    int Permille() const;

  private:
    bool Start();
    bool Fail(std::string text);
    void Close();

    history::Reader& reader_;
    events::Kind kind_;
    history::Filter filter_;
    history::TagSet tags_;
    std::filesystem::path file_;
    std::filesystem::path part_;
    std::size_t stepRows_;
    std::FILE* out_ = nullptr;
    bool started_ = false;
    bool cancelled_ = false;
    bool done_ = false;
    std::optional<std::string> error_;
    std::uint64_t firstSeq_ = 0;
    std::uint64_t endSeq_ = 0;
    std::uint64_t rows_ = 0;
    std::string buffer_;
    history::RowWriter csv_{history::Format::kCsv};
};

}  // namespace trelvane
