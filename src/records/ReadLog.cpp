#include "records/ReadLog.h"

#include <algorithm>
#include <string>
#include <utility>

#include "records/Diagnostics.h"
#include "records/FileWrite.h"
#include "records/StringTable.h"

namespace trelvane {

ReadLog::ReadLog(std::filesystem::path workingFolder, int keepRecord, TextCodec codec,
                 const Clock& clock)
    : folder_(std::move(workingFolder)), keepRecord_(keepRecord), codec_(codec), clock_(&clock) {}

ReadLog::~ReadLog() {
    Flush();
    ReportLosses(true);
}

void ReadLog::Append(std::string_view idText, std::string_view deviceName,
                     std::string_view readTimeText, const LocalDateTime& pcNow) {
    if (!Enabled()) {
        return;
    }
    UpdateFileNames(pcNow);
    UpdateLineFormat();
    // The format is converted first and the arguments put in as they are: the device name is
    // already the reader's own bytes.
    const std::array<std::string_view, 3> args{idText, deviceName, readTimeText};
    line_.clear();
    for (const FormatPiece& piece : format_) {
        line_ += piece.literal;
        if (piece.arg >= 0 && piece.arg < static_cast<int>(args.size())) {
            line_ += args[static_cast<std::size_t>(piece.arg)];
        }
    }
    if (line_.empty()) {
        return;  // an empty format (from a language pack) writes nothing, and makes no file
    }
    if (keepRecord_ & 1) {
        AppendLine(PendingFor(0));
    }
    if (keepRecord_ & 2) {
        AppendLine(PendingFor(1));
    }
    if (queuedBytes_ >= kAutoFlushBytes) {
        Flush();
    }
}

void ReadLog::Flush() {
    for (const Pending& pending : pending_) {
        if (pending.lineEnds.empty()) {
            continue;  // made for a line that turned out empty: no file is touched for it
        }
        const LineAppendResult result = files_[static_cast<std::size_t>(pending.which)].Append(
            pending.file, pending.bytes, pending.lineEnds);
        const std::size_t lost = pending.lineEnds.size() - result.linesWritten;
        if (lost > 0) {
            NoteLoss(
                pending.file,
                result.status == FileWriteResult::kCannotOpen ? Failure::kOpen : Failure::kWrite,
                lost);
        }
    }
    for (Pending& pending : pending_) {
        pending.bytes.clear();
        pending.lineEnds.clear();
        spare_.push_back(std::move(pending));
    }
    pending_.clear();
    pendingIndex_ = {-1, -1};
    queuedBytes_ = 0;
    ReportLosses(false);
}

void ReadLog::NoteLoss(const std::filesystem::path& file, Failure failure, std::size_t lines) {
    auto it = std::find_if(reports_.begin(), reports_.end(),
                           [&](const FileReport& report) { return report.file == file; });
    if (it == reports_.end()) {
        reports_.push_back(FileReport{file});
        it = reports_.end() - 1;
    }
    it->lost += lines;
    it->latest = failure;
}

void ReadLog::ReportLosses(bool closing) {
    const std::uint32_t now = clock_->TickCount();
    for (FileReport& report : reports_) {
        if (report.lost == report.lostReported) {
            continue;
        }
        // Unsigned subtraction: right across the tick's wrap.
        const bool due = closing || !report.reported ||
                         static_cast<std::uint32_t>(now - report.reportedAt) >= kReportIntervalMs;
        if (!due) {
            continue;
        }
        std::string text =
            report.latest == Failure::kOpen ? "Open file failed" : "Write file failed";
        // The first message keeps the text it always had and states no count, so its lines
        // stay to be counted by the next one.
        if (report.reported) {
            text += " (" + std::to_string(report.lost) + " lines lost)";
            report.lostReported = report.lost;
        }
        ReportDiagnostic(text);
        report.reported = true;
        report.reportedAt = now;
    }
    std::erase_if(reports_, [&](const FileReport& report) {
        return report.lost == report.lostReported && report.file != textFile_ &&
               report.file != sheetFile_;
    });
}

ReadLog::Pending& ReadLog::PendingFor(int which) {
    int& index = pendingIndex_[static_cast<std::size_t>(which)];
    if (index < 0) {
        const std::filesystem::path& file = which == 0 ? textFile_ : sheetFile_;
        // The same file may be pending already (the PC's date went back and forth within one
        // flush): its lines go on in the same entry, as they reach the same file.
        const auto it = std::find_if(pending_.begin(), pending_.end(),
                                     [&](const Pending& p) { return p.file == file; });
        if (it != pending_.end()) {
            index = static_cast<int>(it - pending_.begin());
        } else {
            if (spare_.empty()) {
                pending_.emplace_back();
            } else {
                pending_.push_back(std::move(spare_.back()));
                spare_.pop_back();
            }
            pending_.back().which = which;
            pending_.back().file = file;
            index = static_cast<int>(pending_.size() - 1);
        }
    }
    return pending_[static_cast<std::size_t>(index)];
}

void ReadLog::AppendLine(Pending& pending) {
    pending.bytes += line_;
    pending.lineEnds.push_back(pending.bytes.size());
    queuedBytes_ += line_.size();
}

void ReadLog::UpdateLineFormat() {
    const std::uint64_t generation = TextGeneration();
    if (generation == formatGeneration_) {
        return;
    }
    formatGeneration_ = generation;
    std::string source = LoadText(ids::kReadLogLine);
    if (!format_.empty() && source == formatSource_) {
        return;
    }
    formatSource_ = std::move(source);
    format_ = CompileFormat(codec_.FromUtf8(formatSource_));
}

void ReadLog::UpdateFileNames(const LocalDateTime& pcNow) {
    if (pcNow.year == year_ && pcNow.month == month_ && pcNow.day == day_) {
        return;
    }
    year_ = pcNow.year;
    month_ = pcNow.month;
    day_ = pcNow.day;
    pendingIndex_ = {-1, -1};
    textFile_ = folder_ / FormatTime(pcNow, "%Y-%m-%d ReadIdRec.txt");
    sheetFile_ = folder_ / FormatTime(pcNow, "%Y-%m-%d ReadIdRec.xls");
}

}  // namespace trelvane
