#pragma once

// The daily read log: one line per recorded tag read, appended to "<date> ReadIdRec.txt"
// (KeepRecord bit 0) and/or "<date> ReadIdRec.xls" (bit 1, written after the text log) in the
// working folder, the date being the PC's local date when the read was recorded.
//
// The line is string 112 in the configured code page with the ID text, the device name (raw
// bytes, as the reader sent them) and the read time put in for its three %s. No byte-order
// mark, CR LF line ends; an existing file is appended to, a missing one created.
//
// Lines are queued by Append and written by Flush, each file opened, appended to and closed
// once per flush instead of once per line. The bytes that reach each file, and the file each
// line reaches, are exactly what writing every line on its own would give. A file that cannot
// be opened costs its lines ("Open file failed" on stderr), never the reads themselves.
//
// Thread-safety: none; the log belongs to the parse thread.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Clock.h"
#include "records/TextCodec.h"

namespace trelvane {

class ReadLog {
  public:
    // Queued bytes beyond which Append flushes by itself, so a caller that flushes rarely
    // cannot make the queue grow without bound.
    static constexpr std::size_t kAutoFlushBytes = 256 * 1024;

    ReadLog(std::filesystem::path workingFolder, int keepRecord, TextCodec codec);
    // Writes whatever is still queued.
    ~ReadLog();

    ReadLog(const ReadLog&) = delete;
    ReadLog& operator=(const ReadLog&) = delete;

    // Queues the line of one read for the day of `pcNow`. Does nothing when no log is enabled.
    void Append(std::string_view idText, std::string_view deviceName, std::string_view readTimeText,
                const LocalDateTime& pcNow);

    // Writes what is queued: per file one open, one append of all its lines in order, one close.
    void Flush();

    bool Enabled() const { return (keepRecord_ & 3) != 0; }
    std::size_t QueuedBytes() const { return queuedBytes_; }

  private:
    struct Pending {
        std::filesystem::path file;
        std::string bytes;
    };

    void Queue(const std::filesystem::path& file, std::string_view line);
    const std::string& LineFormat();
    void UpdateFileNames(const LocalDateTime& pcNow);

    std::filesystem::path folder_;
    int keepRecord_;
    TextCodec codec_;

    // String 112 as last converted, and the text it came from (a language pack may change it).
    std::string formatSource_;
    std::string format_;
    bool formatReady_ = false;

    // The day the file names below were made for.
    int year_ = -1;
    int month_ = -1;
    int day_ = -1;
    std::filesystem::path textFile_;
    std::filesystem::path sheetFile_;

    // Per file, in order of first line: the bytes still to append.
    std::vector<Pending> pending_;
    std::size_t queuedBytes_ = 0;
};

}  // namespace trelvane
