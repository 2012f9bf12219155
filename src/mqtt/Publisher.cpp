#include "mqtt/Publisher.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "history/Outbox.h"
#include "history/Reader.h"
#include "mqtt/Payload.h"
#include "records/TextCodec.h"

Q_LOGGING_CATEGORY(lcMqtt, "trelvane.mqtt")

namespace trelvane::mqtt {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::once_flag g_libraryInit;

// How often the cursor is stored while it moves: a kill re-sends at most this much.
constexpr milliseconds kCursorStoreInterval{250};
// Reader statuses: at most one message per reader in this time; identities polled as often.
constexpr milliseconds kReaderStatusInterval{1000};
// How long the stop waits for "offline" to leave the socket.
constexpr milliseconds kStopFlushTimeout{1000};
constexpr std::size_t kMaxCachedNames = 4096;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

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
    bool online = false;
};

struct InFlight {
    int mid = 0;  // 0: no message (a range without reads or presence events)
    std::uint64_t upTo = 0;
    std::uint64_t events = 0;
    bool acked = false;
};

struct Message {
    const std::string* topic;
    std::string payload;
    std::uint64_t events;
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
    PublisherOptions options;
    const MqttConfig& config = options.config;
    std::string readsTopic, presenceTopic, statusTopic, readersTopic;
    TextCodec codec = TextCodec::Usable(936);
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
    mosquitto* mosq = nullptr;
    bool connected = false;
    std::optional<std::string> broken;  // set by callbacks: the link must be dropped
    std::string lastLogged;
    std::uint64_t cursor = 0;  // acknowledged
    std::uint64_t sent = 0;    // handed to the library
    std::deque<InFlight> inflight;
    milliseconds backoff{0};
    SteadyClock::time_point nextAttempt{};
    SteadyClock::time_point lastStore{};
    SteadyClock::time_point lastReaderPass{};
    std::map<std::string, PublishedReader> published;
    std::unordered_map<std::string, std::string> names;
    std::uint64_t publishedEvents = 0;
    std::uint64_t fromHistory = 0;
    std::uint64_t attempts = 0;
    LinkState state = LinkState::kConnecting;
    std::string error;
    bool waitingForHistory = false;

    std::thread thread;

    ~Impl() {
        if (mosq != nullptr) {
            mosquitto_destroy(mosq);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }
    void DrainWake() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(wakeFd, &count, sizeof count);
    }

    // The UTF-8 of a reader's name; cleared by PublishLive when it has grown (keys change with
    // every reconnection).
    const std::string& Utf8(const std::string& raw) {
        auto found = names.find(raw);
        if (found == names.end()) {
            found = names.emplace(raw, codec.ToUtf8(raw)).first;
        }
        return found->second;
    }

    void Run();
    void Connect();
    void Fail(std::string why);
    void DropClient();
    void Pump();
    bool PublishBacklog(std::uint64_t upper);
    void PublishLive(const std::vector<std::shared_ptr<const EventBatch>>& group);
    bool Send(std::vector<Message>& messages, std::uint64_t upTo);
    void PopAcked();
    void PassReaders(bool force);
    void StoreCursor(bool force);
    void UpdateStatus();
    void Log(const std::string& text, bool warning);

    static void OnConnect(mosquitto*, void* self, int rc) {
        static_cast<Impl*>(self)->Connected(rc);
    }
    static void OnDisconnect(mosquitto*, void* self, int rc) {
        auto* impl = static_cast<Impl*>(self);
        if (!impl->broken) {
            impl->broken = rc == 0 ? std::string("disconnected")
                                   : std::string("connection lost: ") + mosquitto_strerror(rc);
        }
    }
    static void OnPublish(mosquitto*, void* self, int mid) {
        auto* impl = static_cast<Impl*>(self);
        for (InFlight& f : impl->inflight) {
            if (f.mid == mid) {
                f.acked = true;
                break;
            }
        }
        impl->PopAcked();
    }
    void Connected(int rc);
    void Welcome();
    bool connackPending = false;
};

void Publisher::Impl::Log(const std::string& text, bool warning) {
    if (text == lastLogged) {
        return;  // a broker that stays down is said once, not at every retry
    }
    lastLogged = text;
    if (warning) {
        qCWarning(lcMqtt).noquote() << "mqtt:" << Q(text);
    } else {
        qCInfo(lcMqtt).noquote() << "mqtt:" << Q(text);
    }
}

void Publisher::Impl::DropClient() {
    if (mosq != nullptr) {
        // Whatever the library still holds (at most the messages in flight) goes with it: the
        // next connection sends again from the cursor.
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    connected = false;
    connackPending = false;
    broken.reset();
    inflight.clear();
    sent = cursor;
}

void Publisher::Impl::Fail(std::string why) {
    DropClient();  // `why` may have come from `broken`, which this clears
    state = LinkState::kDown;
    error = why;
    backoff = backoff.count() == 0 ? options.firstRetry : std::min(backoff * 2, options.lastRetry);
    nextAttempt = SteadyClock::now() + backoff;
    // Said once per reason, not at every retry of a broker that stays away.
    Log(config.host + ":" + std::to_string(config.port) + ": " + why +
            " - retrying with back-off (" + std::to_string(options.firstRetry.count()) + " ms to " +
            std::to_string(options.lastRetry.count()) + " ms)",
        true);
}

void Publisher::Impl::Connect() {
    DropClient();
    ++attempts;
    state = LinkState::kConnecting;
    mosq = mosquitto_new(config.clientId.c_str(), true, this);
    if (mosq == nullptr) {
        Fail(std::string("cannot make a client: ") + std::strerror(errno));
        return;
    }
    mosquitto_int_option(
        mosq, MOSQ_OPT_PROTOCOL_VERSION,
        config.protocol == MqttProtocol::kV5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // Our own bound applies (kMaxInFlight); the library must not hold messages back in a queue.
    mosquitto_max_inflight_messages_set(mosq, 0);
    mosquitto_connect_callback_set(mosq, &Impl::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &Impl::OnDisconnect);
    mosquitto_publish_callback_set(mosq, &Impl::OnPublish);
    if (!config.username.empty()) {
        mosquitto_username_pw_set(mosq, config.username.c_str(),
                                  config.password.empty() ? nullptr : config.password.c_str());
    }
    if (!config.caFile.empty()) {
        const int rc =
            mosquitto_tls_set(mosq, config.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Fail("TLS with CaFile " + config.caFile + ": " + mosquitto_strerror(rc));
            return;
        }
    }
    static const char kOffline[] = "offline";
    mosquitto_will_set(mosq, statusTopic.c_str(), sizeof kOffline - 1, kOffline, config.qos, true);
    const int rc =
        mosquitto_connect(mosq, config.host.c_str(), config.port, config.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        Fail(std::string("cannot connect: ") +
             (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
    }
}

void Publisher::Impl::Connected(int rc) {
    if (rc != 0) {
        broken = std::string("the broker refused the connection: ") +
                 (config.protocol == MqttProtocol::kV5 ? mosquitto_reason_string(rc)
                                                       : mosquitto_connack_string(rc));
        return;
    }
    // Publishing is left to Welcome, outside the library's callback (which holds its locks).
    connackPending = true;
}

// The broker accepted us: publishing starts again from the cursor.
void Publisher::Impl::Welcome() {
    connackPending = false;
    connected = true;
    state = LinkState::kConnected;
    error.clear();
    backoff = milliseconds(0);
    sent = cursor;
    inflight.clear();
    Log("connected to " + config.host + ":" + std::to_string(config.port) + " as " +
            config.clientId + ", publishing from sequence number " + std::to_string(cursor + 1),
        false);
    static const char kOnline[] = "online";
    mosquitto_publish(mosq, nullptr, statusTopic.c_str(), sizeof kOnline - 1, kOnline, config.qos,
                      true);
    // Retained statuses are sent again: the broker may have lost them (a restart without
    // persistence).
    for (auto& [key, known] : published) {
        known.version = ~std::uint64_t{0};
        known.lastPublish = {};
    }
    lastReaderPass = {};
}

void Publisher::Impl::PopAcked() {
    while (!inflight.empty() && inflight.front().acked) {
        cursor = std::max(cursor, inflight.front().upTo);
        publishedEvents += inflight.front().events;
        inflight.pop_front();
    }
}

// Hands the messages to the library; the last one carries the range's end, so the cursor
// passes `upTo` only once every message of the range was acknowledged.
bool Publisher::Impl::Send(std::vector<Message>& messages, std::uint64_t upTo) {
    if (messages.empty()) {
        inflight.push_back(InFlight{0, upTo, 0, true});
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        int mid = 0;
        const Message& m = messages[i];
        const int rc =
            mosquitto_publish(mosq, &mid, m.topic->c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), config.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!broken) {
                broken = std::string("cannot publish: ") + mosquitto_strerror(rc);
            }
            return false;
        }
        // At QoS 0 the callback may already have run inside the call (the packet was written):
        // it found no entry, so the entry is made acknowledged.
        inflight.push_back(InFlight{mid, i + 1 == messages.size() ? upTo : sent, m.events, false});
        if (config.qos == 0 && mid != 0) {
            // on_publish for QoS 0 runs when the packet has been written, possibly during the
            // call above; mark it here only if the library has no more to write.
            if (!mosquitto_want_write(mosq)) {
                inflight.back().acked = true;
            }
        }
    }
    sent = upTo;
    PopAcked();
    return true;
}

void Publisher::Impl::PublishLive(const std::vector<std::shared_ptr<const EventBatch>>& group) {
    std::vector<Message> messages;
    ListPayload reads;
    ListPayload presence;
    reads.Begin(config.clientId, options.historyId, "reads");
    presence.Begin(config.clientId, options.historyId, "events");
    if (names.size() >= kMaxCachedNames) {
        names.clear();  // between messages only: the views below point into it
    }
    std::vector<const std::string*> batchNames;
    for (const auto& batch : group) {
        // The batch's names once, not once per read.
        batchNames.clear();
        for (const EventDevice& device : batch->devices) {
            batchNames.push_back(&Utf8(device.name));
        }
        for (const ReadEvent& r : batch->reads) {
            if (r.seq <= sent) {
                continue;
            }
            reads.Add(batch->View(r, *batchNames[r.device]));
            if (reads.Count() == kMaxListItems) {
                messages.push_back(Message{&readsTopic, reads.Finish(), kMaxListItems});
                reads.Begin(config.clientId, options.historyId, "reads");
            }
        }
        for (const PresenceEvent& p : batch->presence) {
            if (p.seq <= sent) {
                continue;
            }
            presence.Add(batch->View(p, *batchNames[p.device]));
            if (presence.Count() == kMaxListItems) {
                messages.push_back(Message{&presenceTopic, presence.Finish(), kMaxListItems});
                presence.Begin(config.clientId, options.historyId, "events");
            }
        }
    }
    if (const std::size_t n = reads.Count(); n != 0) {
        messages.push_back(Message{&readsTopic, reads.Finish(), n});
    }
    if (const std::size_t n = presence.Count(); n != 0) {
        messages.push_back(Message{&presenceTopic, presence.Finish(), n});
    }
    Send(messages, group.back()->nextSeq - 1);
}

// One step of the backlog: up to kMaxListItems reads and presence events above `sent`, no
// further than `upper` and than what the history has committed. False when there is nothing
// to read (yet).
bool Publisher::Impl::PublishBacklog(std::uint64_t upper) {
    if (!reader) {
        auto opened = history::Reader::Open(options.historyPath);
        if (!opened) {
            Log("cannot read the history: " + opened.error().text, true);
            return false;
        }
        reader.emplace(std::move(opened).value());
    }
    const auto last = reader->LastSequence();
    if (!last) {
        Log("cannot read the history: " + last.error().text, true);
        reader.reset();
        return false;
    }
    std::uint64_t limit = std::min(upper, last.value());
    waitingForHistory = upper != UINT64_MAX && last.value() < upper;
    if (limit <= sent) {
        return false;
    }
    history::Filter filter;
    filter.afterSeq = sent;
    filter.limit = kMaxListItems;
    auto reads = reader->Reads(filter);
    auto presence = reader->Presence(filter);
    if (!reads || !presence) {
        Log("cannot read the backlog: " + (!reads ? reads.error().text : presence.error().text),
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
    std::vector<Message> messages;
    ListPayload list;
    std::uint64_t taken = 0;
    list.Begin(config.clientId, options.historyId, "reads");
    for (const history::ReadRow& r : *reads) {
        if (r.seq <= limit) {
            list.Add(events::View(r));
        }
    }
    if (const std::size_t n = list.Count(); n != 0) {
        messages.push_back(Message{&readsTopic, list.Finish(), n});
        taken += n;
    }
    list.Begin(config.clientId, options.historyId, "events");
    for (const history::PresenceRow& p : *presence) {
        if (p.seq <= limit) {
            list.Add(events::View(p));
        }
    }
    if (const std::size_t n = list.Count(); n != 0) {
        messages.push_back(Message{&presenceTopic, list.Finish(), n});
        taken += n;
    }
    if (!Send(messages, limit)) {
        return false;
    }
    fromHistory += taken;
    return true;
}

void Publisher::Impl::Pump() {
    while (connected && !broken && inflight.size() < kMaxInFlight) {
        std::vector<std::shared_ptr<const EventBatch>> group;
        std::optional<std::uint64_t> front;
        {
            std::lock_guard lock(mutex);
            while (!live.empty() && live.front()->nextSeq - 1 <= sent) {
                liveEvents -= live.front()->EventCount();
                live.pop_front();
            }
            std::uint64_t expect = sent + 1;
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
void Publisher::Impl::PassReaders(bool force) {
    const auto now = SteadyClock::now();
    if (!force && now - lastReaderPass < milliseconds(100)) {
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
        if (!connected || (pub.version == stream.version && !pub.identityChanged) ||
            now - pub.lastPublish < kReaderStatusInterval) {
            continue;
        }
        ReaderStatus shown;
        shown.device = key;
        shown.name = Utf8(stream.rawName.empty() ? key : stream.rawName);
        shown.online = stream.online;
        shown.reading = stream.reading;
        shown.productType = pub.identity.productType;
        shown.serialNo = pub.identity.serialNo;
        shown.tagCount = stream.reads;
        shown.lastSeenMs = stream.lastSeenMs;
        const std::string topic = readersTopic + TopicLevel(shown.name);
        if (!pub.topic.empty() && pub.topic != topic) {
            // Renamed: the old topic's retained status goes.
            mosquitto_publish(mosq, nullptr, pub.topic.c_str(), 0, nullptr, config.qos, true);
        }
        const std::string payload = ReaderStatusPayload(shown);
        if (mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), config.qos, true) != MOSQ_ERR_SUCCESS) {
            continue;
        }
        pub.topic = topic;
        pub.version = stream.version;
        pub.identityChanged = false;
        pub.lastPublish = now;
        pub.online = stream.online;
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
    if (cursor <= outbox->Cursor()) {
        return;
    }
    const auto now = SteadyClock::now();
    if (!force && now - lastStore < kCursorStoreInterval) {
        return;
    }
    lastStore = now;
    if (const history::Status st = outbox->Advance(cursor); !st) {
        Log("cannot store the cursor: " + st.error().text, true);
    }
}

void Publisher::Impl::UpdateStatus() {
    const std::uint64_t top = std::max(newest.load(), cursor);
    std::lock_guard lock(statusMutex);
    status.state = state;
    status.error = error;
    status.cursor = cursor;
    status.newest = top;
    status.backlog = top - cursor;
    status.published = publishedEvents;
    status.fromHistory = fromHistory;
    status.attempts = attempts;
    status.caughtUp = connected && sent >= top;
    std::lock_guard queueLock(mutex);
    status.liveDropped = liveDropped;
    if (options.stats != nullptr) {
        options.stats->mqttState.store(state == LinkState::kConnecting  ? 1
                                       : state == LinkState::kConnected ? 2
                                                                        : 3);
        options.stats->mqttBacklog.store(status.backlog);
        options.stats->mqttPublished.store(status.published);
    }
}

void Publisher::Impl::Run() {
    pthread_setname_np(pthread_self(), "trelvane-mqtt");
    while (!stop.load()) {
        if (mosq == nullptr) {
            const auto now = SteadyClock::now();
            if (now < nextAttempt) {
                pollfd wake{wakeFd, POLLIN, 0};
                const auto wait = std::chrono::duration_cast<milliseconds>(nextAttempt - now);
                ::poll(&wake, 1, static_cast<int>(std::min<long long>(wait.count() + 1, 200)));
                DrainWake();
                PassReaders(false);
                UpdateStatus();
                continue;
            }
            Connect();
            UpdateStatus();
            continue;
        }
        pollfd fds[2] = {{mosquitto_socket(mosq), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (mosquitto_want_write(mosq)) {
            fds[0].events |= POLLOUT;
        }
        const int timeout = waitingForHistory ? 5 : 100;
        ::poll(fds, 2, timeout);
        int rc = MOSQ_ERR_SUCCESS;
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            rc = mosquitto_loop_read(mosq, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq)) {
            rc = mosquitto_loop_write(mosq, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_misc(mosq);
        }
        if (rc != MOSQ_ERR_SUCCESS && !broken) {
            broken = std::string("connection lost: ") +
                     (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        }
        if ((fds[1].revents & POLLIN) != 0) {
            DrainWake();
        }
        if (!broken && connackPending) {
            Welcome();
        }
        if (!broken && connected) {
            Pump();
            PassReaders(false);
        }
        if (broken) {
            Fail(*broken);
        }
        StoreCursor(false);
        UpdateStatus();
    }
    if (mosq != nullptr && connected && !broken) {
        static const char kOffline[] = "offline";
        mosquitto_publish(mosq, nullptr, statusTopic.c_str(), sizeof kOffline - 1, kOffline,
                          config.qos, true);
        // Acknowledgements still on the way move the cursor; "offline" leaves the socket.
        const auto deadline = SteadyClock::now() + kStopFlushTimeout;
        while (SteadyClock::now() < deadline && !broken &&
               (mosquitto_want_write(mosq) || !inflight.empty())) {
            pollfd fd{mosquitto_socket(mosq), POLLIN, 0};
            if (mosquitto_want_write(mosq)) {
                fd.events |= POLLOUT;
            }
            ::poll(&fd, 1, 20);
            if (mosquitto_loop_read(mosq, 1) != MOSQ_ERR_SUCCESS &&
                (fd.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                break;
            }
            if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
        mosquitto_disconnect(mosq);
        mosquitto_loop_write(mosq, 1);
    }
    StoreCursor(true);
    DropClient();
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
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    impl->codec = TextCodec::Usable(impl->options.codePage);
    const std::string base =
        impl->config.topicPrefix + "/" + TopicLevel(impl->config.clientId) + "/";
    impl->readsTopic = base + "reads";
    impl->presenceTopic = base + "presence";
    impl->statusTopic = base + "status";
    impl->readersTopic = base + "readers/";
    auto outbox = history::Outbox::Open(impl->options.historyPath, impl->options.outboxName);
    if (!outbox) {
        error = outbox.error().text;
        return nullptr;
    }
    impl->outbox.emplace(std::move(outbox).value());
    impl->cursor = impl->sent = impl->outbox->Cursor();
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
