#include "api/LiveFeed.h"

#include <algorithm>

#include "records/TextCodec.h"

namespace trelvane::api {

std::string FeedMessage(events::Kind kind, std::string_view objects, bool replay) {
    const std::string_view name = events::Name(kind);
    std::string message = "{\"type\":\"";
    message += name;
    message += replay ? "\",\"replay\":true,\"" : "\",\"";
    message += name;
    message += "\":[";
    message += objects;
    message += "]}";
    return message;
}

std::deque<FeedEvent> FeedClient::Take() {
    std::lock_guard lock(mutex_);
    std::deque<FeedEvent> out;
    out.swap(queue_);
    return out;
}

void FeedClient::Push(std::vector<FeedEvent>&& events) {
    if (events.empty() || overflowed_.load()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (queue_.size() + events.size() > maxEvents_) {
        // Dropped as a whole: the session closes the client, which resumes by after_seq.
        queue_.clear();
        overflowed_ = true;
        return;
    }
    for (FeedEvent& event : events) {
        queue_.push_back(std::move(event));
    }
}

std::shared_ptr<FeedClient> LiveFeed::Add(FeedFilter filter, std::size_t maxEvents) {
    auto client = std::make_shared<FeedClient>(std::move(filter), maxEvents);
    std::lock_guard lock(mutex_);
    clients_.push_back(client);
    return client;
}

void LiveFeed::Remove(const std::shared_ptr<FeedClient>& client) {
    std::lock_guard lock(mutex_);
    std::erase(clients_, client);
}

std::size_t LiveFeed::ClientCount() const {
    std::lock_guard lock(mutex_);
    return clients_.size();
}

std::map<std::string, std::uint64_t> LiveFeed::ReadsByReader() const {
    std::lock_guard lock(countsMutex_);
    return readsByReader_;
}

void LiveFeed::Consume(const EventBatch& batch) {
    const TextCodec codec = TextCodec::Usable(codePage_.load());
    std::vector<std::string> names;
    names.reserve(batch.devices.size());
    for (const EventDevice& device : batch.devices) {
        names.push_back(codec.ToUtf8(device.name));
    }
    if (!batch.reads.empty()) {
        std::vector<std::uint64_t> perDevice(batch.devices.size(), 0);
        for (const ReadEvent& read : batch.reads) {
            ++perDevice[read.device];
        }
        std::lock_guard lock(countsMutex_);
        for (std::size_t i = 0; i < perDevice.size(); ++i) {
            if (perDevice[i] != 0) {
                readsByReader_[names[i]] += perDevice[i];
            }
        }
        readsSeen_ += batch.reads.size();
    }

    std::vector<std::shared_ptr<FeedClient>> clients;
    LabelSource labelSource;
    {
        std::lock_guard lock(mutex_);
        clients = clients_;
        labelSource = labels_;
    }
    if (clients.empty()) {
        return;
    }
    const std::shared_ptr<const events::Labels> labels = labelSource ? labelSource() : nullptr;
    json_.SetLabels(labels.get());
    // Each event is rendered once; clients whose filters take it get copies, in seq order.
    struct Rendered {
        FeedEvent event;
        std::uint32_t device;  // kNoDevice: an alert, which names its reader in `reader`
        std::optional<std::uint32_t> tag;
        std::string_view reader;
    };
    constexpr std::uint32_t kNoDevice = UINT32_MAX;
    std::vector<Rendered> all;
    all.reserve(batch.EventCount());
    const auto render = [&](const auto& event) {
        const auto view = batch.View(event, names[event.device]);
        std::optional<std::uint32_t> tag;
        if constexpr (requires { view.tag; }) {
            tag = view.tag;
        }
        using View = std::decay_t<decltype(view)>;
        all.push_back(
            {{view.seq, events::KindOf<View>(), json_.Text(view)}, event.device, tag, {}});
    };
    for (const ReadEvent& r : batch.reads) {
        render(r);
    }
    for (const PresenceEvent& p : batch.presence) {
        render(p);
    }
    for (const DeviceEvent& d : batch.deviceEvents) {
        render(d);
    }
    for (const ZoneEvent& z : batch.zones) {
        render(z);
    }
    for (const events::AlertRow& a : batch.alerts) {
        all.push_back({{a.seq, events::Kind::kAlerts, json_.Text(batch.View(a))},
                       kNoDevice,
                       a.tag,
                       a.reader});
    }
    json_.SetLabels(nullptr);
    std::sort(all.begin(), all.end(),
              [](const Rendered& a, const Rendered& b) { return a.event.seq < b.event.seq; });
    for (const auto& client : clients) {
        const FeedFilter& f = client->Filter();
        std::vector<FeedEvent> mine;
        for (const Rendered& r : all) {
            if (!f.Wants(r.event.kind) || (f.tag && r.tag != f.tag)) {
                continue;
            }
            if (f.reader &&
                (r.device == kNoDevice
                     ? *f.reader != r.reader
                     : *f.reader != names[r.device] && *f.reader != batch.devices[r.device].key)) {
                continue;
            }
            mine.push_back(r.event);
        }
        client->Push(std::move(mine));
    }
}

}  // namespace trelvane::api
