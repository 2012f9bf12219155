#pragma once

// The daily read log as a sink of the event stream: one line per read, the bytes exactly as the
// read log writes them (see records/ReadLog.h). KeepRecord and CodePage may change while the
// service runs: the sink opens its log anew at its next batch.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "base/Clock.h"
#include "records/ReadLog.h"
#include "service/EventStream.h"

namespace trelvane {

class ReadLogSink final : public EventSink {
  public:
    ReadLogSink(std::filesystem::path workingFolder, const Clock& clock);
    ~ReadLogSink() override;

    // Any thread: the settings for the next batch on.
    void SetSettings(int keepRecord, int codePage);

    void Consume(const EventBatch& batch) override;
    void Flush() override;
    // While a log is open or new settings wait to be taken.
    bool Wanted() const override { return wanted_.load(std::memory_order_relaxed); }

  private:
    struct Settings {
        int keepRecord = 0;
        int codePage = 0;
    };
    void TakeSettings();

    const std::filesystem::path folder_;
    const Clock& clock_;
    std::mutex mutex_;
    std::optional<Settings> pending_;  // guarded by mutex_
    std::optional<ReadLog> log_;       // the sink's thread only
    std::atomic<bool> wanted_{false};  // written under mutex_
};

}  // namespace trelvane
