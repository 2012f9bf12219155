#include "mqtt/Publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "history/Outbox.h"
#include "history/Reader.h"
#include "mqtt/BrokerLink.h"
#include "mqtt/Log.h"
#include "mqtt/Messages.h"
#include "mqtt/Payload.h"

namespace trelvane::mqtt {
namespace {

using std::chrono::milliseconds;

std::once_flag g_libraryInit;

using LiveGroup = std::vector<std::shared_ptr<const EventBatch>>;

// How often the cursor is stored while it moves: a kill re-sends at most this much.
constexpr milliseconds kCursorStoreInterval{250};
// Reader statuses: at most one message per reader in this time; identities polled as often.
constexpr milliseconds kReaderStatusInterval{1000};

// A reader as the stream shows it (kept by Offer under the mutex).
struct StreamReader {
    std::string rawName;  // code page bytes, or the key until it named itself
    bool online = false;
    bool reading = false;
    std::optional<std::int64_t> lastSeenMs;
    std::int64_t reads = 0;
    std::uint64_t version = 0;  // counts changes of name, online, reading
};

// A reader as the publisher last published it (publisher thread only).
struct PublishedReader {
    std::uint64_t version = ~std::uint64_t{0};
    ReaderIdentity identity;
    bool identityChanged = false;
    std::string topic;
    SteadyClock::time_point lastPublish{};
};

}  // namespace

const char* LinkStateName(LinkState state) {
    switch (state) {
        case LinkState::kConnecting:
            return "connecting";
        case LinkState::kConnected:
            return "connected";
        case LinkState::kDown:
            return "down";
    }
    return "down";
}

struct Publisher::Impl {
    explicit Impl(PublisherOptions publisherOptions)
        : options(std::move(publisherOptions)),
          addressing(Addressing::For(options.config, options.historyId)),
          names(options.codePage),
          link(options.config, addressing.statusTopic, options.firstRetry, options.lastRetry, log,
               [this] { PublishAgain(); }) {}
    ~Impl() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    PublisherOptions options;
    const Addressing addressing;
    Log log;
    Utf8Names names;
    BrokerLink link;
    std::optional<history::Outbox> outbox;
    std::optional<history::Reader> reader;
    int wakeFd = -1;
    std::atomic<bool> stop{false};

    // ---- shared with Offer, under mutex ----
    std::mutex mutex;
    std::deque<std::shared_ptr<const EventBatch>> live;
    std::size_t liveEvents = 0;
    std::map<std::string, StreamReader> streamReaders;
    std::uint64_t liveDropped = 0;
    std::atomic<std::uint64_t> newest{0};

    mutable std::mutex statusMutex;
    PublisherStatus status;

    // ---- publisher thread ----
    SteadyClock::time_point lastStore{};
    SteadyClock::time_point lastReaderPass{};
    std::map<std::string, PublishedReader> published;
    std::uint64_t fromHistory = 0;
    bool waitingForHistory = false;

    std::thread thread;

    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }
    void DrainWake() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(wakeFd, &count, sizeof count);
    }

    void Run();
    void WaitOrConnect();
    void Pump();
    bool PublishBacklog(std::uint64_t upper);
    void PublishLive(const LiveGroup& group);
    void PassReaders();
    void PublishAgain();
    void StoreCursor(bool force);
    void UpdateStatus();
};

void Publisher::Impl::PublishLive(const LiveGroup& group) {
    names.Trim();  // between messages only: the views below point into the names
    MessageBuilder builder(addressing);
    const std::uint64_t sent = link.Sent();
    std::vector<const std::string*> batchNames;
    for (const auto& batch : group) {
        // The batch's names once, not once per read.
        batchNames.clear();
        for (const EventDevice& device : batch->devices) {
            batchNames.push_back(&names.Utf8(device.name));
        }
        for (const ReadEvent& r : batch->reads) {
            if (r.seq > sent) {
                builder.AddRead(batch->View(r, *batchNames[r.device]));
            }
        }
        for (const PresenceEvent& p : batch->presence) {
            if (p.seq > sent) {
                builder.AddPresence(batch->View(p, *batchNames[p.device]));
            }
        }
    }
    link.Send(builder.Finish(), group.back()->nextSeq - 1);
}

// One step of the backlog: up to kMaxListItems reads and presence events above `sent`, no
// further than `upper` and than what the history has committed. False when there is nothing
// to read (yet).
bool Publisher::Impl::PublishBacklog(std::uint64_t upper) {
    if (!reader) {
        auto opened = history::Reader::Open(options.historyPath);
        if (!opened) {
            log.Say("cannot read the history: " + opened.error().text, true);
            return false;
        }
        reader.emplace(std::move(opened).value());
    }
    const auto last = reader->LastSequence();
    if (!last) {
        log.Say("cannot read the history: " + last.error().text, true);
        reader.reset();
        return false;
    }
    std::uint64_t limit = std::min(upper, last.value());
    waitingForHistory = upper != UINT64_MAX && last.value() < upper;
    if (limit <= link.Sent()) {
        return false;
    }
    history::Filter filter;
    filter.afterSeq = link.Sent();
    filter.limit = kMaxListItems;
    auto reads = reader->Reads(filter);
    auto presence = reader->Presence(filter);
    if (!reads || !presence) {
        log.Say("cannot read the backlog: " + (!reads ? reads.error().text : presence.error().text),
                true);
        reader.reset();
        return false;
    }
    if (reads->size() == kMaxListItems) {
        limit = std::min(limit, reads->back().seq);
    }
    if (presence->size() == kMaxListItems) {
        limit = std::min(limit, presence->back().seq);
    }
    MessageBuilder builder(addressing);
    for (const history::ReadRow& r : *reads) {
        if (r.seq <= limit) {
            builder.AddRead(events::View(r));
        }
    }
    for (const history::PresenceRow& p : *presence) {
        if (p.seq <= limit) {
            builder.AddPresence(events::View(p));
        }
    }
    const std::vector<Message> messages = builder.Finish();
    if (!link.Send(messages, limit)) {
        return false;
    }
    for (const Message& m : messages) {
        fromHistory += m.events;
    }
    return true;
}

void Publisher::Impl::Pump() {
    while (link.Ready() && link.InFlight() < kMaxInFlight) {
        std::vector<std::shared_ptr<const EventBatch>> group;
        std::optional<std::uint64_t> front;
        {
            std::lock_guard lock(mutex);
            while (!live.empty() && live.front()->nextSeq - 1 <= link.Sent()) {
                liveEvents -= live.front()->EventCount();
                live.pop_front();
            }
            std::uint64_t expect = link.Sent() + 1;
            std::size_t events = 0;
            while (!live.empty() && live.front()->firstSeq <= expect &&
                   events < 2 * kMaxListItems) {
                const std::size_t n = live.front()->EventCount();
                group.push_back(std::move(live.front()));
                live.pop_front();
                liveEvents -= n;
                events += n;
                expect = group.back()->nextSeq;
            }
            if (!live.empty()) {
                front = live.front()->firstSeq;
            }
        }
        if (!group.empty()) {
            waitingForHistory = false;
            PublishLive(group);
            continue;
        }
        if (!PublishBacklog(front ? *front - 1 : UINT64_MAX)) {
            break;
        }
    }
}

// Publishes the retained status of each reader whose state changed, at most once a second
// per reader; polls the identities as often.
void Publisher::Impl::PassReaders() {
    const auto now = SteadyClock::now();
    if (now - lastReaderPass < milliseconds(100)) {
        return;
    }
    const bool pollIdentity = now - lastReaderPass >= kReaderStatusInterval;
    lastReaderPass = now;
    std::vector<std::pair<std::string, StreamReader>> readers;
    {
        std::lock_guard lock(mutex);
        readers.assign(streamReaders.begin(), streamReaders.end());
    }
    for (auto& [key, stream] : readers) {
        PublishedReader& pub = published[key];
        // A reader that changed is asked at once, so its first status carries its identity.
        if ((pollIdentity || pub.version != stream.version) && options.identity && stream.online) {
            ReaderIdentity identity = options.identity(key);
            if (!(identity == pub.identity)) {
                pub.identity = std::move(identity);
                pub.identityChanged = true;
            }
        }
        if (!link.Connected() || (pub.version == stream.version && !pub.identityChanged) ||
            now - pub.lastPublish < kReaderStatusInterval) {
            continue;
        }
        ReaderStatus shown;
        shown.device = key;
        shown.name = names.Utf8(stream.rawName.empty() ? key : stream.rawName);
        shown.online = stream.online;
        shown.reading = stream.reading;
        shown.productType = pub.identity.productType;
        shown.serialNo = pub.identity.serialNo;
        shown.tagCount = stream.reads;
        shown.lastSeenMs = stream.lastSeenMs;
        const std::string topic = addressing.readersTopic + TopicLevel(shown.name);
        if (!pub.topic.empty() && pub.topic != topic) {
            // Renamed: the old topic's retained status goes.
            link.PublishRetained(pub.topic, {});
        }
        const std::string payload = ReaderStatusPayload(shown);
        if (!link.PublishRetained(topic, payload)) {
            continue;
        }
        pub.topic = topic;
        pub.version = stream.version;
        pub.identityChanged = false;
        pub.lastPublish = now;
        if (!stream.online) {
            // Gone: its offline status is retained at the broker; forget it here unless it
            // came back meanwhile.
            std::lock_guard lock(mutex);
            const auto found = streamReaders.find(key);
            if (found != streamReaders.end() && found->second.version == stream.version) {
                streamReaders.erase(found);
                published.erase(key);
            }
        }
    }
}

void Publisher::Impl::StoreCursor(bool force) {
    const std::uint64_t cursor = link.Acked();
    if (cursor <= outbox->Cursor()) {
        return;
    }
    const auto now = SteadyClock::now();
    if (!force && now - lastStore < kCursorStoreInterval) {
        return;
    }
    lastStore = now;
    if (const history::Status st = outbox->Advance(cursor); !st) {
        log.Say("cannot store the cursor: " + st.error().text, true);
    }
}

void Publisher::Impl::UpdateStatus() {
    const std::uint64_t cursor = link.Acked();
    const std::uint64_t top = std::max(newest.load(), cursor);
    std::lock_guard lock(statusMutex);
    status.state = link.State();
    status.error = link.Error();
    status.cursor = cursor;
    status.newest = top;
    status.backlog = top - cursor;
    status.published = link.PublishedEvents();
    status.fromHistory = fromHistory;
    status.attempts = link.Attempts();
    status.caughtUp = link.Connected() && link.Sent() >= top;
    std::lock_guard queueLock(mutex);
    status.liveDropped = liveDropped;
    if (options.stats != nullptr) {
        options.stats->mqttState.store(status.state == LinkState::kConnecting  ? 1
                                       : status.state == LinkState::kConnected ? 2
                                                                               : 3);
        options.stats->mqttBacklog.store(status.backlog);
        options.stats->mqttPublished.store(status.published);
    }
}

void Publisher::Impl::PublishAgain() {
    for (auto& [key, known] : published) {
        known.version = ~std::uint64_t{0};
        known.lastPublish = {};
    }
    lastReaderPass = {};
}

// Without a client: waits for the next attempt (reader statuses still follow the stream), or
// makes it.
void Publisher::Impl::WaitOrConnect() {
    const auto now = SteadyClock::now();
    if (now >= link.NextAttempt()) {
        link.Connect();
        return;
    }
    pollfd wake{wakeFd, POLLIN, 0};
    const auto wait = std::chrono::duration_cast<milliseconds>(link.NextAttempt() - now);
    ::poll(&wake, 1, static_cast<int>(std::min<long long>(wait.count() + 1, 200)));
    DrainWake();
    PassReaders();
}

void Publisher::Impl::Run() {
    pthread_setname_np(pthread_self(), "trelvane-mqtt");
    while (!stop.load()) {
        if (!link.HasClient()) {
            WaitOrConnect();
            UpdateStatus();
            continue;
        }
        if (link.Poll(wakeFd, waitingForHistory ? 5 : 100)) {
            DrainWake();
        }
        if (link.Ready()) {
            Pump();
            PassReaders();
        }
        link.FailIfBroken();
        StoreCursor(false);
        UpdateStatus();
    }
    link.Close();
    StoreCursor(true);
    link.Drop();
    UpdateStatus();
}

Publisher::Publisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Publisher> Publisher::Start(PublisherOptions options, std::string& error) {
    std::call_once(g_libraryInit, [] { mosquitto_lib_init(); });
    const MqttConfig& config = options.config;
    if (!config.problems.empty()) {
        error = config.problems.front();
        return nullptr;
    }
    if (config.topicPrefix.find_first_of("+#") != std::string::npos) {
        error = "[Mqtt] TopicPrefix " + config.topicPrefix + " holds a wildcard (+ or #)";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>(std::move(options));
    auto outbox = history::Outbox::Open(impl->options.historyPath, impl->options.outboxName);
    if (!outbox) {
        error = outbox.error().text;
        return nullptr;
    }
    impl->outbox.emplace(std::move(outbox).value());
    impl->link.StartFrom(impl->outbox->Cursor());
    if (auto reader = history::Reader::Open(impl->options.historyPath)) {
        if (const auto last = reader->LastSequence()) {
            impl->newest = last.value();
        }
        impl->reader.emplace(std::move(reader).value());
    }
    impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeFd < 0) {
        error = std::string("cannot make an eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    impl->UpdateStatus();
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->Run(); });
    return std::unique_ptr<Publisher>(new Publisher(std::move(impl)));
}

Publisher::~Publisher() {
    impl_->stop = true;
    impl_->Wake();
    impl_->thread.join();
}

void Publisher::Offer(const EventBatch& batch) {
    if (batch.Empty()) {
        return;
    }
    Impl& impl = *impl_;
    // The reads of each device of the batch: their count and latest time.
    std::vector<std::pair<std::int64_t, std::int64_t>> perDevice(batch.devices.size(),
                                                                 {0, INT64_MIN});
    for (const ReadEvent& r : batch.reads) {
        auto& [count, latest] = perDevice[r.device];
        ++count;
        latest = std::max(latest, r.timeMs);
    }
    auto copy = std::make_shared<const EventBatch>(batch);
    {
        std::lock_guard lock(impl.mutex);
        for (const DeviceEvent& e : batch.deviceEvents) {
            const EventDevice& device = batch.devices[e.device];
            StreamReader& r = impl.streamReaders[device.key];
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
            StreamReader& r = impl.streamReaders[batch.devices[i].key];
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
        const std::size_t events = batch.EventCount();
        if (impl.liveEvents != 0 && impl.liveEvents + events > impl.options.maxLiveEvents) {
            impl.liveDropped += events;
        } else {
            impl.live.push_back(std::move(copy));
            impl.liveEvents += events;
        }
    }
    impl.newest = std::max(impl.newest.load(), batch.nextSeq - 1);
    impl.Wake();
}

PublisherStatus Publisher::CurrentStatus() const {
    std::lock_guard lock(impl_->statusMutex);
    return impl_->status;
}

}  // namespace trelvane::mqtt
