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
    // The format is converted first and the arguments put in as they are: the device name is
    // already the reader's own bytes.
    const std::string line = FormatText(
        LineFormat(), {std::string(idText), std::string(deviceName), std::string(readTimeText)});
    if (line.empty()) {
        return;  // an empty format (from a language pack) writes nothing either way
    }
    if (keepRecord_ & 1) {
        Queue(textFile_, line);
    }
    if (keepRecord_ & 2) {
        Queue(sheetFile_, line);
    }
    if (queuedBytes_ >= kAutoFlushBytes) {
        Flush();
    }
}

void ReadLog::Flush() {
    for (const Pending& pending : pending_) {
        const LineAppendResult result =
            AppendWholeLines(pending.file, pending.bytes, pending.lineEnds);
        const std::size_t lost = pending.lineEnds.size() - result.linesWritten;
        if (lost > 0) {
            NoteLoss(
                pending.file,
                result.status == FileWriteResult::kCannotOpen ? Failure::kOpen : Failure::kWrite,
                lost);
        }
    }
    pending_.clear();
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

void ReadLog::Queue(const std::filesystem::path& file, std::string_view line) {
    // Few files are pending at once (two per day at most), so a linear search is the cheapest.
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
        if (it->file == file) {
            it->bytes += line;
            it->lineEnds.push_back(it->bytes.size());
            queuedBytes_ += line.size();
            return;
        }
    }
    pending_.push_back(Pending{file, std::string(line), {line.size()}});
    queuedBytes_ += line.size();
}

const std::string& ReadLog::LineFormat() {
    std::string source = LoadText(ids::kReadLogLine);
    if (!formatReady_ || source != formatSource_) {
        format_ = codec_.FromUtf8(source);
        formatSource_ = std::move(source);
        formatReady_ = true;
    }
    return format_;
}

void ReadLog::UpdateFileNames(const LocalDateTime& pcNow) {
    if (pcNow.year == year_ && pcNow.month == month_ && pcNow.day == day_) {
        return;
    }
    year_ = pcNow.year;
    month_ = pcNow.month;
    day_ = pcNow.day;
    textFile_ = folder_ / FormatTime(pcNow, "%Y-%m-%d ReadIdRec.txt");
    sheetFile_ = folder_ / FormatTime(pcNow, "%Y-%m-%d ReadIdRec.xls");
}

}  // namespace trelvane
