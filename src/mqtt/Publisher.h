#pragma once

// Publishes the event stream to an MQTT broker with store-and-forward through the history.
//
// The history is the outbox. The publisher's cursor (history::Outbox) is the last sequence
// number the broker acknowledged (QoS 1) or that was handed to the socket (QoS 0). While the
// broker is connected and the publisher is caught up, batches go out straight from the stream
// (Offer); otherwise the backlog is read back from the history's tables from the position
// after the cursor, until the publisher meets the live stream again. So the client library
// never queues more than the messages in flight (kMaxInFlight of at most kMaxListItems events
// each): an outage of hours lives in the database, and a restart of either side resumes from
// the cursor. Delivery is at-least-once: after a reconnection the unacknowledged messages are
// sent again, and a consumer deduplicates by (server, history_id, seq).
//
// Live queue: Offer never waits. It copies the batch into a queue bounded by maxLiveEvents;
// a batch that finds no room is dropped from the queue (not from the history) and read back
// later. Reader states are kept from every batch, dropped or not.
//
// Threads: one thread of its own ("trelvane-mqtt") owns the libmosquitto client, the history
// connections and the cursor; it connects (which may block on name resolution), publishes,
// reconnects with back-off (1 s doubling to 60 s). Offer is called by one thread at a time
// (the stream's sink thread); CurrentStatus from any thread.
//
// Parts (private headers beside this one): BrokerLink (the libmosquitto client, in-flight
// messages, status and will), Backlog (the cursor and the replay from the history),
// ReaderStatuses (the retained reader topics), MessageBuilder (the messages of a range).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "service/EventStream.h"
#include "service/PipelineStats.h"
#include "settings/MqttConfig.h"

namespace trelvane::mqtt {

enum class LinkState : std::uint8_t {
    kConnecting,  // a connection attempt or its CONNACK is under way
    kConnected,   // the broker accepted us
    kDown,        // the last attempt failed or the link broke; a retry is scheduled
};
const char* LinkStateName(LinkState state);  // "connecting", "connected", "down"

// What the device table knows of a reader beyond the stream (its identity replies).
struct ReaderIdentity {
    std::string productType;
    std::string serialNo;
    friend bool operator==(const ReaderIdentity&, const ReaderIdentity&) = default;
};
using IdentityLookup = std::function<ReaderIdentity(const std::string& deviceKey)>;

struct PublisherOptions {
    MqttConfig config;
    std::filesystem::path historyPath;
    std::string historyId;
    std::string outboxName = "mqtt";
    int codePage = 936;
    IdentityLookup identity;         // may be empty
    events::LabelSource labels;      // the site register's labels (may be empty)
    PipelineStats* stats = nullptr;  // its mqtt* fields follow the status (may be null)
    std::size_t maxLiveEvents = std::size_t{1} << 17;
    // Timeout and back-off bounds (tests shorten them).
    std::chrono::milliseconds firstRetry{1000};
    std::chrono::milliseconds lastRetry{60000};
};

struct PublisherStatus {
    LinkState state = LinkState::kConnecting;
    std::string error;              // why the link is down (empty while connected)
    std::uint64_t cursor = 0;       // the last number handed on
    std::uint64_t newest = 0;       // the newest number the publisher knows of
    std::uint64_t backlog = 0;      // newest - cursor
    std::uint64_t published = 0;    // reads and presence events handed on since the start
    std::uint64_t liveDropped = 0;  // events the live queue had no room for (read back later)
    std::uint64_t fromHistory = 0;  // events read back from the history
    std::uint64_t attempts = 0;     // connection attempts
    bool caughtUp = false;
};

inline constexpr std::size_t kMaxListItems = 1000;  // reads or events per message
inline constexpr std::size_t kMaxInFlight = 16;     // messages unacknowledged at once

class Publisher {
  public:
    // Opens the cursor and starts the thread. On failure `error` says why, nothing is returned.
    static std::unique_ptr<Publisher> Start(PublisherOptions options, std::string& error);
    // Publishes "offline" to the status topic, disconnects, stores the cursor, ends the thread.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    void Offer(const EventBatch& batch);
    PublisherStatus CurrentStatus() const;

    struct Impl;

  private:
    explicit Publisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::mqtt
