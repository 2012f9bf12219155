#pragma once

// The store-and-forward side of the publisher: its cursor in the history (history::Outbox),
// and the backlog above it read back from the history's tables, one step of at most
// kMaxListItems reads, presence, zone and alert events each at a time, until the publisher meets
// the live stream again.
//
// Threads: Open before the publisher's thread starts; everything else on that thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "history/Outbox.h"
#include "history/Reader.h"
#include "mqtt/BrokerLink.h"
#include "mqtt/Log.h"
#include "mqtt/Messages.h"

namespace trelvane::mqtt {

class Backlog {
  public:
    // `addressing` and `log` must outlive the backlog.
    Backlog(std::filesystem::path historyPath, const Addressing& addressing,
            events::LabelSource labels, Log& log);

    // Opens the cursor named `outboxName` (false, and `error` says why, when it cannot) and a
    // reader of the history when it can (opened again later otherwise). `newest` becomes the
    // history's last sequence number when it could be read.
    bool Open(const std::string& outboxName, std::uint64_t& newest, std::string& error);
    std::uint64_t StoredCursor() const { return outbox_->Cursor(); }

    // Hands the link the events above its Sent() up to `upper` (UINT64_MAX: no live batch
    // waits), no further than the history has committed. False when there was nothing to
    // send yet or the history could not be read.
    bool Step(BrokerLink& link, std::uint64_t upper);
    // True after a Step found a live batch beyond what the history has committed: the
    // publisher looks again soon. Cleared when the live stream was met.
    bool WaitingForHistory() const { return waitingForHistory_; }
    void MetLiveStream() { waitingForHistory_ = false; }

    // Stores `acked` as the cursor when it moved: at most every kCursorStoreInterval unless
    // `force` (the stop).
    void StoreCursor(std::uint64_t acked, bool force);

    std::uint64_t FromHistory() const { return fromHistory_; }  // events read back

  private:
    const std::filesystem::path historyPath_;
    const Addressing& addressing_;
    const events::LabelSource labels_;
    Log& log_;
    std::optional<history::Outbox> outbox_;
    std::optional<history::Reader> reader_;  // empty after a failure: opened again
    bool waitingForHistory_ = false;
    std::uint64_t fromHistory_ = 0;
    SteadyClock::time_point lastStore_{};
};

}  // namespace trelvane::mqtt
