#pragma once

// One endpoint's delivery: a thread of its own ("trelvane-hook") that reads the events of the
// endpoint's kinds above its cursor from the history (BatchReader), POSTs them in sequence
// order, signed (HttpClient), and moves the cursor when the receiver answers 2xx. Anything else
// (another status, a timeout, a refused connection, a certificate that does not verify) is
// retried with the SAME batch after a back-off doubling from Options::firstRetry to lastRetry;
// nothing is ever skipped. Each episode of failures is logged once when it begins and once
// when delivery succeeds again.
//
// The cursor (history::Outbox "webhook:<name>") is stored at most every Options::cursorStore
// while it moves, and at the stop. A stop cancels a post under way; that batch (which the
// receiver may have taken) is sent again by the next start: at-least-once, duplicates only of
// unacknowledged batches.
//
// New events: the endpoint is told (Notify) when the stream has passed a number; it then looks
// at what the history has committed, every 5 ms while the history is behind what it was told
// (for at most a second), and otherwise every Options::poll at most.
//
// Threads: made and destroyed by one owner (WebhookOutput); Change, Notify and Status from any
// thread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "events/Event.h"
#include "webhooks/HttpClient.h"
#include "webhooks/Webhook.h"

namespace trelvane::webhooks {

enum class EndpointState : std::uint8_t {
    kIdle,        // everything the history committed is settled
    kDelivering,  // events wait or a post is under way, and the last attempt did not fail
    kRetrying,    // the last attempt failed: the same batch goes again after the back-off
};
const char* StateName(EndpointState state);  // "idle", "delivering", "retrying"

struct EndpointStatus {
    std::string name;
    std::string url;  // as ShownUrl gives it
    std::uint32_t kinds = 0;
    EndpointState state = EndpointState::kIdle;
    Sequence cursor = 0;  // every number up to here is delivered or not of its kinds
    Sequence newest = 0;  // the last number the history had committed when it looked
    // newest - cursor: the numbers above the cursor, of every kind (an upper bound of the events
    // still to deliver).
    std::uint64_t backlog = 0;
    std::uint64_t delivered = 0;                // events delivered since the endpoint started
    std::uint64_t batches = 0;                  // bodies delivered since the start
    std::uint64_t failures = 0;                 // failed attempts since the start
    std::optional<std::int64_t> lastSuccessMs;  // Unix ms of the last 2xx
    std::string lastError;                      // the last failure's text (kept after it)
};

// What every endpoint of one output shares.
struct EndpointContext {
    std::filesystem::path historyPath;
    events::LabelSource labels;  // may be empty
    Options options;
    std::shared_ptr<const TrustedCas> cas;  // null: the system's CAs alone
};

class Endpoint {
  public:
    // Starts the thread; nothing (and `error` says why) when libcurl cannot make a handle.
    static std::unique_ptr<Endpoint> Start(Webhook hook,
                                           std::shared_ptr<const EndpointContext> context,
                                           std::string& error);
    // Cancels a post under way, stores the cursor, ends the thread.
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // The same endpoint (name) with a new URL, secret or kinds: from its next post on; a batch
    // waiting for its retry goes at once, built again if the kinds changed.
    void Change(Webhook hook);
    // The stream has passed `newest`.
    void Notify(Sequence newest);
    EndpointStatus Status() const;
    Webhook Hook() const;

    struct Impl;

  private:
    explicit Endpoint(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::webhooks
