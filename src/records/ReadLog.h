#pragma once

// The daily read log: one line per recorded tag read, appended to "<date> ReadIdRec.txt"
// (KeepRecord bit 0) and/or "<date> ReadIdRec.xls" (bit 1, written after the text log) in the
// working folder, the date being the PC's local date when the read was recorded.
//
// The line is string 112 in the configured code page with the ID text, the device name (raw
// bytes, as the reader sent them) and the read time put in for its three %s. No byte-order
// mark, CR LF line ends; an existing file is appended to, a missing one created.
//
// Lines are queued by Append and written by Flush, one write per file and flush. The day's two
// files stay open between flushes (see LineAppender: a file that was moved or removed is opened
// anew by name, and so is one after a failure). The bytes that reach each file, and the file
// each line reaches, are exactly what writing every line on its own would give.
//
// Failures cost lines, never the reads themselves (they stay in the tag table). A line is in its
// file whole or not at all: when the disk takes only part of a flush, the file is cut back to the
// last whole line that reached it (see AppendWholeLines), so it still ends on a line end of ours
// and the next line starts on its own. Lines that reached the file are kept and count as
// written; every other line of the flush is lost and never retried (a later flush does not know
// where they belonged). A file that cannot be opened, or is not a regular file once opened (a
// FIFO never blocks the parse thread), loses all its queued lines.
//
// Failure messages, through ReportDiagnostic, are kept per file and rate-limited on the injected
// clock's tick:
//  - The first failure of a file prints "Open file failed" or "Write file failed", as the
//    failure was.
//  - After that, a message for that file comes at most once per kReportIntervalMs: at the first
//    flush at least that long after the previous message that finds lines lost since it, as
//    "Open file failed (N lines lost)" or "Write file failed (N lines lost)" after the file's
//    latest failure. That flush need not fail itself, so losses are reported once room returns.
//  - N is the total number of lines lost to that file since this log was made (the service
//    start), the lines of the first failure included: a count that only grows, so the last
//    message about a file gives its whole loss. The daily file names make it a count per day.
//    The first message states no count, so a minute after it a counted message always follows
//    (at the next flush), even when that first failure was the only one.
//  - The destructor reports, once, the losses no message has counted yet, without waiting for
//    the interval: nothing later could report them.
//
// Thread-safety: none; the log belongs to the parse thread. The clock must outlive the log.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "records/FileWrite.h"
#include "records/StringTable.h"
#include "records/TextCodec.h"

namespace trelvane {

class ReadLog {
  public:
    // Queued bytes beyond which Append flushes by itself, so a caller that flushes rarely
    // cannot make the queue grow without bound.
    static constexpr std::size_t kAutoFlushBytes = 256 * 1024;
    // Shortest time between two failure messages about one file, in clock ticks (ms).
    static constexpr std::uint32_t kReportIntervalMs = 60'000;

    ReadLog(std::filesystem::path workingFolder, int keepRecord, TextCodec codec,
            const Clock& clock = SystemClock());
    // Writes whatever is still queued.
    ~ReadLog();

    ReadLog(const ReadLog&) = delete;
    ReadLog& operator=(const ReadLog&) = delete;

    // Queues the line of one read for the day of `pcNow`. Does nothing when no log is enabled.
    void Append(std::string_view idText, std::string_view deviceName, std::string_view readTimeText,
                const LocalDateTime& pcNow);

    // Writes what is queued: per file one append of all its lines in order.
    void Flush();

    bool Enabled() const { return (keepRecord_ & 3) != 0; }
    std::size_t QueuedBytes() const { return queuedBytes_; }

  private:
    struct Pending {
        int which = 0;  // 0 text, 1 sheet: which of files_ writes it
        std::filesystem::path file;
        std::string bytes;
        // Offset just past each line in `bytes`. Lines are never empty, so this holds at most
        // kAutoFlushBytes entries, and far fewer with lines of ordinary length.
        std::vector<std::size_t> lineEnds;
    };

    enum class Failure { kOpen, kWrite };

    // Losses of one file and when they were last reported.
    struct FileReport {
        std::filesystem::path file;
        std::uint64_t lost = 0;          // lines lost since the log was made
        std::uint64_t lostReported = 0;  // `lost` as of the latest counted message
        bool reported = false;           // a message has been printed
        std::uint32_t reportedAt = 0;    // tick of the latest message
        Failure latest = Failure::kWrite;
    };

    // The pending entry of today's text (0) or sheet (1) file, made on its first line.
    Pending& PendingFor(int which);
    // Appends line_ to `pending`.
    void AppendLine(Pending& pending);
    void NoteLoss(const std::filesystem::path& file, Failure failure, std::size_t lines);
    // Prints the messages that are due; with `closing`, every unreported loss is due.
    void ReportLosses(bool closing);
    // Compiles string 112 (converted to the code page) into literal pieces and argument slots
    // when the language pack changed since it last did.
    void UpdateLineFormat();
    void UpdateFileNames(const LocalDateTime& pcNow);

    std::filesystem::path folder_;
    int keepRecord_;
    TextCodec codec_;
    const Clock* clock_;

    // String 112 as last loaded (a language pack may change it), the generation of the string
    // table it was loaded at, and its conversion cut at each "%s" (CompileFormat): the same
    // bytes FormatText gives, without building a line per read.
    std::string formatSource_;
    std::uint64_t formatGeneration_ = 0;
    std::vector<FormatPiece> format_;

    // Index in pending_ of today's text and sheet entries since the last flush or day change.
    std::array<int, 2> pendingIndex_{-1, -1};

    // The day the file names below were made for.
    int year_ = -1;
    int month_ = -1;
    int day_ = -1;
    std::filesystem::path textFile_;
    std::filesystem::path sheetFile_;

    // Per file, in order of first line: the bytes still to append.
    std::vector<Pending> pending_;
    // Entries of earlier flushes, emptied, kept for their capacity: no more than the files one
    // flush wrote (two, four across a midnight), each at most about kAutoFlushBytes.
    std::vector<Pending> spare_;
    // The line being made, kept for its capacity.
    std::string line_;
    // The text (0) and sheet (1) files, open between flushes.
    std::array<LineAppender, 2> files_;
    std::size_t queuedBytes_ = 0;

    // Files that have lost lines. Entries of other days' files are dropped once their losses
    // are reported, so this holds the current day's two files and, for about a minute after a
    // midnight, the previous day's.
    std::vector<FileReport> reports_;
};

}  // namespace trelvane
