#pragma once

// The retained status of each reader ({prefix}/{client id}/readers/{name}): Take keeps what
// the stream says of a reader (every batch, whether the live queue had room for it or not);
// Pass publishes the status of each reader that changed, at most once per reader in
// kReaderStatusInterval, with its identity polled as often. A renamed reader's old topic is
// cleared; a reader that went is forgotten once its offline status is out.
//
// Threads: Take on the stream's sink thread (Offer), everything else on the publisher's
// thread. The stream's side is under mutex_; the published side is the publisher thread's.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "mqtt/BrokerLink.h"
#include "mqtt/Messages.h"
#include "mqtt/Publisher.h"
#include "service/EventStream.h"

namespace trelvane::mqtt {

class ReaderStatuses {
  public:
    // `readersTopic` ends in '/'; `names` must outlive this.
    ReaderStatuses(std::string readersTopic, IdentityLookup identity, Utf8Names& names);

    void Take(const EventBatch& batch);

    // Polls identities and, while the link is connected, publishes what changed. Runs at most
    // once in 100 ms; the caller may call it at every turn of its loop.
    void Pass(BrokerLink& link);
    // After a reconnection: every status goes out again (a broker restarted without
    // persistence lost them).
    void PublishAgain();

  private:
    // A reader as the stream shows it.
    struct StreamReader {
        std::string rawName;  // code page bytes, or the key until it named itself
        bool online = false;
        bool reading = false;
        std::optional<std::int64_t> lastSeenMs;
        std::int64_t reads = 0;
        std::uint64_t version = 0;  // counts changes of name, online, reading
    };
    // A reader as it was last published.
    struct PublishedReader {
        std::uint64_t version = ~std::uint64_t{0};
        ReaderIdentity identity;
        bool identityChanged = false;
        std::string topic;
        SteadyClock::time_point lastPublish{};
    };

    bool PublishOne(BrokerLink& link, const std::string& key, const StreamReader& stream,
                    PublishedReader& pub);
    void ForgetIfStillGone(const std::string& key, std::uint64_t version);

    const std::string readersTopic_;
    const IdentityLookup identity_;
    Utf8Names& names_;

    std::mutex mutex_;
    std::map<std::string, StreamReader> stream_;  // under mutex_

    std::map<std::string, PublishedReader> published_;
    SteadyClock::time_point lastPass_{};
};

}  // namespace trelvane::mqtt
