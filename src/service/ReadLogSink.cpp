#include "service/ReadLogSink.h"

#include "records/TagId.h"
#include "records/TagStore.h"
#include "records/TextCodec.h"

namespace trelvane {

ReadLogSink::ReadLogSink(std::filesystem::path workingFolder, const Clock& clock)
    : folder_(std::move(workingFolder)), clock_(clock) {}

ReadLogSink::~ReadLogSink() = default;

void ReadLogSink::SetSettings(int keepRecord, int codePage) {
    std::lock_guard lock(mutex_);
    pending_ = Settings{keepRecord, codePage};
}

void ReadLogSink::TakeSettings() {
    std::optional<Settings> settings;
    {
        std::lock_guard lock(mutex_);
        settings.swap(pending_);
    }
    if (!settings) {
        return;
    }
    log_.reset();  // the old log writes what it holds before the new one takes over
    if ((settings->keepRecord & 3) != 0) {
        log_.emplace(folder_, settings->keepRecord, TextCodec::Usable(settings->codePage), clock_);
    }
}

void ReadLogSink::Consume(const EventBatch& batch) {
    TakeSettings();
    if (!log_ || batch.reads.empty()) {
        return;
    }
    for (const ReadEvent& read : batch.reads) {
        idText_ = TagIdText(read.report.tag);
        timeText_ = ReadTimeText(read.report, batch.localTime);
        log_->Append(idText_, batch.devices[read.device].name, timeText_, batch.localTime);
    }
}

void ReadLogSink::Flush() {
    TakeSettings();
    if (log_) {
        log_->Flush();
    }
}

}  // namespace trelvane
