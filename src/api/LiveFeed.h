#pragma once

// The API's live feed: a sink of the event stream that copies each batch's events, rendered
// once as JSON, into the queue of every WebSocket client whose filter takes them.
//
// Bounds: a client's queue holds at most `maxClientEvents`. A client whose queue would grow
// beyond it is marked overflowed, its queue is emptied and it gets nothing more: its session
// closes it with 1013 (try again later). Consume never waits for a client, so a slow client
// never holds the parse path back; the readers lose nothing.
//
// Threads: Consume runs on the sink's thread; Add, Remove and the clients' Take run on the
// API's thread; each client's queue is under its own mutex, the client list under the feed's.
// It also counts reads per reader name for /metrics (any thread may read them).

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "events/EventJson.h"
#include "service/EventStream.h"

namespace trelvane::api {

struct FeedFilter {
    // The kinds wanted, a bit per events::Kind; every kind by default.
    std::uint32_t kinds = ~0u;
    bool Wants(events::Kind kind) const { return (kinds >> static_cast<unsigned>(kind) & 1u) != 0; }
    void Want(events::Kind kind) { kinds |= 1u << static_cast<unsigned>(kind); }
    std::optional<std::uint32_t> tag;
    // A reader's name (UTF-8) or its device key, exactly.
    std::optional<std::string> reader;
};

struct FeedEvent {
    Sequence seq = 0;
    events::Kind kind = events::Kind::kReads;
    std::string json;  // one event object (EventJson)
};

// A message of the feed: {"type":"reads"[,"replay":true],"reads":[objects]}.
std::string FeedMessage(events::Kind kind, std::string_view objects, bool replay);

class FeedClient {
  public:
    FeedClient(FeedFilter filter, std::size_t maxEvents)
        : filter_(std::move(filter)), maxEvents_(maxEvents) {}

    const FeedFilter& Filter() const { return filter_; }
    // Everything queued so far, in sequence order.
    std::deque<FeedEvent> Take();
    bool Overflowed() const { return overflowed_.load(); }

    // The feed's side.
    void Push(std::vector<FeedEvent>&& events);

  private:
    const FeedFilter filter_;
    const std::size_t maxEvents_;
    std::mutex mutex_;
    std::deque<FeedEvent> queue_;  // guarded by mutex_
    std::atomic<bool> overflowed_{false};
};

class LiveFeed final : public EventSink {
  public:
    // The site register's labels, from the next batch on (null: none). Any thread.
    using LabelSource = events::LabelSource;
    void SetLabels(LabelSource source) {
        std::lock_guard lock(mutex_);
        labels_ = std::move(source);
    }

    // The code page of the readers' names (the engine's CodePage), from the next batch on.
    void SetCodePage(int codePage) { codePage_ = codePage; }

    std::shared_ptr<FeedClient> Add(FeedFilter filter, std::size_t maxEvents);
    void Remove(const std::shared_ptr<FeedClient>& client);
    std::size_t ClientCount() const;

    void Consume(const EventBatch& batch) override;
    // Batches reach the feed while the API runs (SetActive), not otherwise.
    bool Wanted() const override { return active_.load(std::memory_order_relaxed); }
    void SetActive(bool active) { active_.store(active, std::memory_order_relaxed); }

    // Reads seen per reader name (UTF-8) while the feed was active, since it was made.
    std::map<std::string, std::uint64_t> ReadsByReader() const;
    std::uint64_t ReadsSeen() const { return readsSeen_.load(); }

  private:
    std::atomic<int> codePage_{936};
    std::atomic<bool> active_{false};
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FeedClient>> clients_;  // guarded by mutex_
    LabelSource labels_;                                // guarded by mutex_
    mutable std::mutex countsMutex_;
    std::map<std::string, std::uint64_t> readsByReader_;  // guarded by countsMutex_
    std::atomic<std::uint64_t> readsSeen_{0};
    events::EventJson json_;  // Consume's alone
};

}  // namespace trelvane::api
