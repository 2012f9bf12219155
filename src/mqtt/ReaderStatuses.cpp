#include "mqtt/ReaderStatuses.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "mqtt/Payload.h"

namespace trelvane::mqtt {
namespace {

using std::chrono::milliseconds;

// At most one message per reader in this time; identities polled as often.
constexpr milliseconds kReaderStatusInterval{1000};
// The shortest time between two passes.
constexpr milliseconds kPassInterval{100};

}  // namespace

ReaderStatuses::ReaderStatuses(std::string readersTopic, IdentityLookup identity, Utf8Names& names)
    : readersTopic_(std::move(readersTopic)), identity_(std::move(identity)), names_(names) {}

void ReaderStatuses::Take(const EventBatch& batch) {
    // The reads of each device of the batch: their count and latest time.
    std::vector<std::pair<std::int64_t, std::int64_t>> perDevice(batch.devices.size(),
                                                                 {0, INT64_MIN});
    for (const ReadEvent& r : batch.reads) {
        auto& [count, latest] = perDevice[r.device];
        ++count;
        latest = std::max(latest, r.timeMs);
    }
    std::lock_guard lock(mutex_);
    for (const DeviceEvent& e : batch.deviceEvents) {
        const EventDevice& device = batch.devices[e.device];
        StreamReader& r = stream_[device.key];
        r.rawName = device.name;
        switch (e.kind) {
            case DeviceEventKind::kConnected:
            case DeviceEventKind::kNamed:
                r.online = true;
                break;
            case DeviceEventKind::kReadingStarted:
                r.online = true;
                r.reading = true;
                break;
            case DeviceEventKind::kReadingStopped:
                r.reading = false;
                break;
            case DeviceEventKind::kRemoved:
                r.online = false;
                r.reading = false;
                break;
        }
        ++r.version;
    }
    for (std::size_t i = 0; i < perDevice.size(); ++i) {
        if (perDevice[i].first == 0) {
            continue;
        }
        StreamReader& r = stream_[batch.devices[i].key];
        if (!r.online) {
            // Reads from a reader the stream has not announced (it connected before this
            // publisher started): it is online.
            r.online = true;
            r.rawName = batch.devices[i].name;
            ++r.version;
        }
        r.reads += perDevice[i].first;
        r.lastSeenMs = std::max(r.lastSeenMs.value_or(INT64_MIN), perDevice[i].second);
    }
}

void ReaderStatuses::Pass(BrokerLink& link) {
    const auto now = SteadyClock::now();
    if (now - lastPass_ < kPassInterval) {
        return;
    }
    const bool pollIdentity = now - lastPass_ >= kReaderStatusInterval;
    lastPass_ = now;
    std::vector<std::pair<std::string, StreamReader>> readers;
    {
        std::lock_guard lock(mutex_);
        readers.assign(stream_.begin(), stream_.end());
    }
    for (auto& [key, stream] : readers) {
        PublishedReader& pub = published_[key];
        // A reader that changed is asked at once, so its first status carries its identity.
        if ((pollIdentity || pub.version != stream.version) && identity_ && stream.online) {
            ReaderIdentity identity = identity_(key);
            if (!(identity == pub.identity)) {
                pub.identity = std::move(identity);
                pub.identityChanged = true;
            }
        }
        if (!link.Connected() || (pub.version == stream.version && !pub.identityChanged) ||
            now - pub.lastPublish < kReaderStatusInterval) {
            continue;
        }
        if (!PublishOne(link, key, stream, pub)) {
            continue;
        }
        pub.lastPublish = now;
        if (!stream.online) {
            ForgetIfStillGone(key, stream.version);
        }
    }
}

// The reader's status on its topic (a rename clears the old one). False when the link refused.
bool ReaderStatuses::PublishOne(BrokerLink& link, const std::string& key,
                                const StreamReader& stream, PublishedReader& pub) {
    ReaderStatus shown;
    shown.device = key;
    shown.name = names_.Utf8(stream.rawName.empty() ? key : stream.rawName);
    shown.online = stream.online;
    shown.reading = stream.reading;
    shown.productType = pub.identity.productType;
    shown.serialNo = pub.identity.serialNo;
    shown.tagCount = stream.reads;
    shown.lastSeenMs = stream.lastSeenMs;
    const std::string topic = readersTopic_ + TopicLevel(shown.name);
    if (!pub.topic.empty() && pub.topic != topic) {
        link.PublishRetained(pub.topic, {});
    }
    if (!link.PublishRetained(topic, ReaderStatusPayload(shown))) {
        return false;
    }
    pub.topic = topic;
    pub.version = stream.version;
    pub.identityChanged = false;
    return true;
}

// Gone: its offline status is retained at the broker; it is forgotten here unless it came back
// meanwhile.
void ReaderStatuses::ForgetIfStillGone(const std::string& key, std::uint64_t version) {
    std::lock_guard lock(mutex_);
    const auto found = stream_.find(key);
    if (found != stream_.end() && found->second.version == version) {
        stream_.erase(found);
        published_.erase(key);
    }
}

void ReaderStatuses::PublishAgain() {
    for (auto& [key, known] : published_) {
        known.version = ~std::uint64_t{0};
        known.lastPublish = {};
    }
    lastPass_ = {};
}

}  // namespace trelvane::mqtt
