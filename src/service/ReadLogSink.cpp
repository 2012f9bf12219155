#include "service/ReadLogSink.h"

#include <charconv>

#include "protocol/TagReport.h"
#include "records/TextCodec.h"

namespace trelvane {

ReadLogSink::ReadLogSink(std::filesystem::path workingFolder, const Clock& clock)
    : folder_(std::move(workingFolder)), clock_(clock) {}

ReadLogSink::~ReadLogSink() = default;

void ReadLogSink::SetSettings(int keepRecord, int codePage) {
    std::lock_guard lock(mutex_);
    pending_ = Settings{keepRecord, codePage};
    wanted_.store(true, std::memory_order_relaxed);  // until the sink has taken them
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
    std::lock_guard lock(mutex_);
    if (!pending_) {
        wanted_.store(log_.has_value(), std::memory_order_relaxed);
    }
}

void ReadLogSink::Consume(const EventBatch& batch) {
    TakeSettings();
    if (!log_ || batch.reads.empty()) {
        return;
    }
    // Texts are made in place, no allocation per read: the PC's time once per batch (every
    // read of a pass has it), the reader's time and the ID in buffers of their own.
    const std::string pcTime = FormatDateTime(batch.localTime);
    for (const ReadEvent& read : batch.reads) {
        char id[10];
        const char* idEnd = std::to_chars(id, id + sizeof id, read.report.tag).ptr;
        ReaderTimeChars readerTime;
        std::string_view time = pcTime;
        if (read.report.readerTime) {
            readerTime = FormatReaderTime(*read.report.readerTime);
            time = readerTime.View();
        }
        log_->Append(std::string_view(id, static_cast<std::size_t>(idEnd - id)),
                     batch.devices[read.device].name, time, batch.localTime);
    }
}

void ReadLogSink::Flush() {
    TakeSettings();
    if (log_) {
        log_->Flush();
    }
}

}  // namespace trelvane
