#pragma once

// The publisher's link to the broker: one libmosquitto client at a time, its connection
// attempts with back-off (firstRetry doubling to lastRetry), the retained status topic with
// its will ("online", "offline"), and the messages in flight.
//
// Two positions follow the messages: Sent() is the last sequence number handed to the
// library, Acked() the last one the broker acknowledged (QoS 1) or the socket took (QoS 0),
// which is the cursor. Acked() <= Sent(); both fall back to Acked() whenever the client goes
// (what the library still held is sent again by the next connection: at-least-once).
//
// Threads: the publisher's thread only. The library's callbacks run inside the calls made here
// (Poll, Send, Close), never on a thread of their own.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/Log.h"
#include "mqtt/Publisher.h"
#include "settings/MqttConfig.h"

struct mosquitto;

namespace trelvane::mqtt {

using SteadyClock = std::chrono::steady_clock;

// One message of a range of sequence numbers: its topic, its payload, and how many events it
// carries (counted as published once acknowledged).
struct Message {
    const std::string* topic;
    std::string payload;
    std::uint64_t events;
};

class BrokerLink {
  public:
    // `statusTopic` and `log` must outlive the link. `welcomed` runs each time the broker has
    // accepted a connection and "online" is on its way.
    BrokerLink(const MqttConfig& config, const std::string& statusTopic,
               std::chrono::milliseconds firstRetry, std::chrono::milliseconds lastRetry, Log& log,
               std::function<void()> welcomed);
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;  // the client's callbacks hold its address
    BrokerLink& operator=(const BrokerLink&) = delete;

    // The stored cursor the publisher starts from (before the first Connect).
    void StartFrom(std::uint64_t cursor);

    // ---- between clients ----
    bool HasClient() const { return mosq_ != nullptr; }
    SteadyClock::time_point NextAttempt() const { return nextAttempt_; }
    // A new client and its connection attempt (which may block on name resolution). A failure
    // schedules the next attempt.
    void Connect();

    // ---- with a client ----
    // Waits up to `timeoutMs` for the socket or `wakeFd`, then runs the library's reads, writes
    // and timers. True when `wakeFd` was readable.
    bool Poll(int wakeFd, int timeoutMs);
    bool Connected() const { return connected_; }
    bool Ready() const { return connected_ && !broken_; }  // may publish
    std::size_t InFlight() const { return inflight_.size(); }
    // Hands the messages of the range up to `upTo` (above Sent()) to the library; an empty
    // range moves the positions alone. False when the library refused one (the link breaks).
    bool Send(const std::vector<Message>& messages, std::uint64_t upTo);
    // A retained message at the configured QoS; an empty payload clears the topic's retained
    // one. False when the library refused it.
    bool PublishRetained(const std::string& topic, std::string_view payload);
    // When a callback or a call found the link broken: drops the client, schedules a retry.
    void FailIfBroken();
    // The stop: "offline" and the acknowledgements still on the way (at most kStopFlushTimeout),
    // then the disconnection. Does nothing unless connected.
    void Close();
    // Drops the client and whatever the library still holds.
    void Drop();

    // ---- figures ----
    std::uint64_t Acked() const { return cursor_; }
    std::uint64_t Sent() const { return sent_; }
    LinkState State() const { return state_; }
    const std::string& Error() const { return error_; }
    std::uint64_t Attempts() const { return attempts_; }
    std::uint64_t PublishedEvents() const { return publishedEvents_; }

  private:
    struct InFlightMessage {
        int mid = 0;  // 0: no message (a range without reads or presence events)
        std::uint64_t upTo = 0;
        std::uint64_t events = 0;
        bool acked = false;
    };

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    void Fail(std::string why);
    void Welcome();
    void PopAcked();

    const MqttConfig& config_;
    const std::string& statusTopic_;
    const std::chrono::milliseconds firstRetry_;
    const std::chrono::milliseconds lastRetry_;
    Log& log_;
    std::function<void()> welcomed_;

    mosquitto* mosq_ = nullptr;
    bool connected_ = false;
    bool connackPending_ = false;        // set by the callback; Welcome runs outside it
    std::optional<std::string> broken_;  // set by callbacks: the link must be dropped
    std::uint64_t cursor_ = 0;
    std::uint64_t sent_ = 0;
    std::deque<InFlightMessage> inflight_;
    std::chrono::milliseconds backoff_{0};
    SteadyClock::time_point nextAttempt_{};
    std::uint64_t publishedEvents_ = 0;
    std::uint64_t attempts_ = 0;
    LinkState state_ = LinkState::kConnecting;
    std::string error_;
};

}  // namespace trelvane::mqtt
