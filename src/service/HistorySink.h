#pragma once

// The history as a sink of the event stream: every batch goes into the SQLite history in one
// transaction (reader names converted once to UTF-8 from the configured code page), and old
// rows are pruned in small steps between batches.
//
// The history is an addition, never a condition: when it cannot be opened (locked by another
// process, unwritable, corrupt) the service runs without it, and when a write fails the sink
// says so once, counts what the history missed, and tries again after kRetryInterval (room
// may return on a full disk). Tables and daily logs are never affected.
//
// Threading: made on the event loop before the parse thread starts, then used by its sink
// thread only; Status() may be read from any thread.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Clock.h"
#include "history/Writer.h"
#include "records/TextCodec.h"
#include "service/EventStream.h"
#include "settings/HistoryConfig.h"

namespace trelvane {

class HistorySink final : public EventSink {
  public:
    static constexpr std::chrono::seconds kRetryInterval{30};
    // How often retention runs when it has nothing left to do.
    static constexpr std::chrono::seconds kPruneInterval{60};
    // ... and how many events stored bring the next step forward (about 2.5 MB of reads).
    static constexpr std::uint64_t kPruneAfterEvents = 1 << 16;

    struct Status {
        bool writing = false;            // false: the last write failed (see error)
        std::string error;               // the last failure, for the status line
        std::uint64_t rows = 0;          // events stored since the service started
        std::uint64_t missed = 0;        // events the history did not get (failed writes)
        std::uint64_t pruned = 0;        // rows retention deleted
        std::uint64_t lostToOutput = 0;  // ... of them never handed on by the guarded output
        std::int64_t bytesOnDisk = 0;
    };

    // Opens (or creates) the history that `config` names, relative to `workingFolder`. On
    // failure, `error` holds the reason and nothing is returned. Arrivals a killed process
    // left open are departed at their last read time. `guardedOutput` names an output whose
    // outbox cursor retention respects (empty: none), see history::Options.
    static std::unique_ptr<HistorySink> Open(const HistoryConfig& config,
                                             const std::filesystem::path& workingFolder,
                                             int codePage, const Clock& clock,
                                             const std::string& guardedOutput, std::string& error);
    ~HistorySink() override;

    // The largest number stored: the service numbers on from here.
    Sequence LastSequence() const { return lastSequence_; }
    const std::string& HistoryId() const { return historyId_; }
    const std::filesystem::path& Path() const { return path_; }

    void Consume(const EventBatch& batch) override;
    void Flush() override;

    Status CurrentStatus() const;

  private:
    HistorySink(history::Writer writer, std::filesystem::path path, int codePage,
                const Clock& clock);
    void DepartLeftOpen();
    // Stores what Consume gathered, in one transaction.
    void Store();
    const std::string& Utf8(const std::string& raw);
    void Fail(const history::Error& error);

    history::Writer writer_;
    const std::filesystem::path path_;
    const TextCodec codec_;
    const Clock& clock_;
    Sequence lastSequence_ = 0;
    std::string historyId_;

    // Sink thread only.
    std::unordered_map<std::string, std::string> names_;  // raw name or key -> UTF-8
    std::vector<history::Read> reads_;
    std::vector<history::DeviceEvent> devices_;
    std::vector<history::PresenceEvent> presence_;
    std::vector<history::ZoneEvent> zones_;
    std::vector<history::ZoneSeen> zoneSeen_;
    std::vector<history::AlertEvent> alerts_;
    std::optional<std::chrono::steady_clock::time_point> retryAt_;
    std::chrono::steady_clock::time_point nextPrune_{};
    // While retention or the size cap has more to delete, each step may delete as many rows
    // per table as were stored since the last step: deletion keeps pace with a flood.
    bool pruneBehind_ = false;
    std::uint64_t storedSincePrune_ = 0;
    bool failing_ = false;

    mutable std::mutex statusMutex_;
    Status status_;
};

}  // namespace trelvane
