#include "records/ReadLog.h"

#include <cstdio>
#include <utility>

#include "records/FileWrite.h"
#include "records/StringTable.h"

namespace trelvane {
namespace {

// Appends `bytes` to `file`, creating it when missing. Returns false when the file cannot be
// opened; a failed write is reported on stderr but what was written stays.
bool AppendToFile(const std::filesystem::path& file, std::string_view bytes) {
    switch (WriteFileBytes(file, bytes, FileOpenMode::kAppend)) {
        case FileWriteResult::kDone:
            return true;
        case FileWriteResult::kCannotOpen:
            return false;
        case FileWriteResult::kWriteFailed:
            std::fputs("Write file failed\n", stderr);
            return true;
    }
    return true;
}

}  // namespace

ReadLog::ReadLog(std::filesystem::path workingFolder, int keepRecord, TextCodec codec)
    : folder_(std::move(workingFolder)), keepRecord_(keepRecord), codec_(codec) {}

ReadLog::~ReadLog() {
    Flush();
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
        if (!AppendToFile(pending.file, pending.bytes)) {
            std::fputs("Open file failed\n", stderr);
        }
    }
    pending_.clear();
    queuedBytes_ = 0;
}

void ReadLog::Queue(const std::filesystem::path& file, std::string_view line) {
    // Few files are pending at once (two per day at most), so a linear search is the cheapest.
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
        if (it->file == file) {
            it->bytes += line;
            queuedBytes_ += line.size();
            return;
        }
    }
    pending_.push_back(Pending{file, std::string(line)});
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
