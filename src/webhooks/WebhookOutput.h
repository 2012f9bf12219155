#pragma once

// The webhook output: signed, ordered, at-least-once delivery of the history's events to HTTP
// endpoints, each endpoint on a thread of its own (Endpoint) with its own cursor in the
// history's outbox ("webhook:<name>"), so an outage of a receiver or a restart of either side
// loses nothing and a slow or failing receiver holds back neither the readers nor the other
// endpoints. The delivery contract is in doc/webhooks.md.
//
// Why a thread per endpoint and not one libcurl multi loop for all: each endpoint reads its own
// range of the history and encodes its own bodies (SQLite queries and JSON of 1,000 events: CPU
// work that one loop would do for all endpoints in turn), and endpoints are few (an operator's
// list). Each thread still drives its one transfer through a libcurl multi handle, so that a
// stop or a new event wakes it at once, also in the middle of a post.
//
// Threads: Apply, Forget and Statuses from any thread (one at a time is enough: a mutex
// serialises them); Notify from the stream's sink thread, never waiting for an Apply.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "webhooks/Endpoint.h"
#include "webhooks/Webhook.h"

namespace trelvane::webhooks {

class WebhookOutput {
  public:
    // Over the history at `historyPath` (which must exist: the service's writer made it). Nothing
    // (and `error` says why) when Options::caFile cannot be used.
    static std::unique_ptr<WebhookOutput> Start(std::filesystem::path historyPath,
                                                events::LabelSource labels, Options options,
                                                std::string& error);
    // Stops every endpoint (posts under way are cancelled, cursors stored).
    ~WebhookOutput();
    WebhookOutput(const WebhookOutput&) = delete;
    WebhookOutput& operator=(const WebhookOutput&) = delete;

    // Runs exactly `hooks`: starts the new names, hands changed URLs, secrets and kinds to the
    // running ones (from their next post on: Endpoint::Change), stops the names no longer
    // listed. A stopped endpoint's cursor stays in the history, so the same name listed again
    // resumes where it stopped; Forget drops it. Returns "" when applied; otherwise why not
    // (a hook that fails Check, a name twice), and nothing was changed.
    std::string Apply(std::vector<Webhook> hooks);
    // Drops the cursor of `name`, an endpoint deleted for good: made again later it starts from
    // the events of then. Refused ("" when done) while `name` runs.
    std::string Forget(const std::string& name);
    // The stream has passed `newest`: the endpoints look at the history now.
    void Notify(Sequence newest);
    // One per running endpoint, by name.
    std::vector<EndpointStatus> Statuses() const;
    bool Empty() const;

  private:
    explicit WebhookOutput(std::shared_ptr<const EndpointContext> context);

    const std::shared_ptr<const EndpointContext> context_;
    std::mutex applyMutex_;  // one Apply or Forget at a time; taken before mutex_
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Endpoint>> endpoints_;  // under mutex_
};

}  // namespace trelvane::webhooks
