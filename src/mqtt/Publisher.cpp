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
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "mqtt/Backlog.h"
#include "mqtt/BrokerLink.h"
#include "mqtt/Log.h"
#include "mqtt/Messages.h"
#include "mqtt/ReaderStatuses.h"

namespace trelvane::mqtt {
namespace {

using std::chrono::milliseconds;

std::once_flag g_libraryInit;

using LiveGroup = std::vector<std::shared_ptr<const EventBatch>>;

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

// The composition: the thread, the live queue, and the parts it drives (link, backlog, reader
// statuses), which belong to the thread. Offer and CurrentStatus are the only other entries.
struct Publisher::Impl {
    explicit Impl(PublisherOptions publisherOptions);
    ~Impl();

    PublisherOptions options;
    const Addressing addressing;
    Log log;
    Utf8Names names;
    BrokerLink link;
    Backlog backlog;
    ReaderStatuses readers;
    int wakeFd = -1;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> newest{0};

    // ---- the live queue, shared with Offer under mutex ----
    std::mutex mutex;
    std::deque<std::shared_ptr<const EventBatch>> live;
    // Events in `live`: at most options.maxLiveEvents, or one larger batch alone.
    std::size_t liveEvents = 0;
    std::uint64_t liveDropped = 0;

    mutable std::mutex statusMutex;  // taken before `mutex` when both are
    PublisherStatus status;

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
    LiveGroup TakeLive(std::optional<std::uint64_t>& front);
    void PublishLive(const LiveGroup& group);
    void UpdateStatus();
};

Publisher::Impl::Impl(PublisherOptions publisherOptions)
    : options(std::move(publisherOptions)),
      addressing(Addressing::For(options.config, options.historyId)),
      names(options.codePage),
      link(options.config, addressing.statusTopic, options.firstRetry, options.lastRetry, log,
           [this] { readers.PublishAgain(); }),
      backlog(options.historyPath, addressing, options.labels, log),
      readers(addressing.readersTopic, options.identity, names) {}

Publisher::Impl::~Impl() {
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

// The live batches that continue the sent range without a gap (batches it already covers are
// dropped); `front` is the first number of the batch that remains first in the queue, if any.
LiveGroup Publisher::Impl::TakeLive(std::optional<std::uint64_t>& front) {
    LiveGroup group;
    const std::uint64_t sent = link.Sent();
    std::lock_guard lock(mutex);
    while (!live.empty() && live.front()->nextSeq - 1 <= sent) {
        liveEvents -= live.front()->EventCount();
        live.pop_front();
    }
    std::uint64_t expect = sent + 1;
    std::size_t events = 0;
    while (!live.empty() && live.front()->firstSeq <= expect && events < 2 * kMaxListItems) {
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
    return group;
}

void Publisher::Impl::PublishLive(const LiveGroup& group) {
    names.Trim();  // between messages only: the views below point into the names
    const std::shared_ptr<const events::Labels> labels =
        options.labels ? options.labels() : nullptr;
    MessageBuilder builder(addressing, labels.get());
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
        for (const ZoneEvent& z : batch->zones) {
            if (z.seq > sent) {
                builder.AddZone(batch->View(z, *batchNames[z.device]));
            }
        }
        for (const events::AlertRow& a : batch->alerts) {
            if (a.seq > sent) {
                builder.AddAlert(batch->View(a));
            }
        }
    }
    link.Send(builder.Finish(), group.back()->nextSeq - 1);
}

// Live batches while they continue what was sent; otherwise the backlog, up to the first live
// batch (which the history will have committed by then).
void Publisher::Impl::Pump() {
    while (link.Ready() && link.InFlight() < kMaxInFlight) {
        std::optional<std::uint64_t> front;
        const LiveGroup group = TakeLive(front);
        if (!group.empty()) {
            backlog.MetLiveStream();
            PublishLive(group);
            continue;
        }
        if (!backlog.Step(link, front ? *front - 1 : UINT64_MAX)) {
            break;
        }
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
    status.fromHistory = backlog.FromHistory();
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
    readers.Pass(link);
}

void Publisher::Impl::Run() {
    pthread_setname_np(pthread_self(), "trelvane-mqtt");
    while (!stop.load()) {
        if (!link.HasClient()) {
            WaitOrConnect();
            UpdateStatus();
            continue;
        }
        if (link.Poll(wakeFd, backlog.WaitingForHistory() ? 5 : 100)) {
            DrainWake();
        }
        if (link.Ready()) {
            Pump();
            readers.Pass(link);
        }
        link.FailIfBroken();
        backlog.StoreCursor(link.Acked(), false);
        UpdateStatus();
    }
    link.Close();
    backlog.StoreCursor(link.Acked(), true);
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
    std::uint64_t newest = 0;
    if (!impl->backlog.Open(impl->options.outboxName, newest, error)) {
        return nullptr;
    }
    impl->newest = newest;
    impl->link.StartFrom(impl->backlog.StoredCursor());
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
    // Reader states follow every batch, whether the live queue has room for it or not.
    impl.readers.Take(batch);
    auto copy = std::make_shared<const EventBatch>(batch);
    {
        std::lock_guard lock(impl.mutex);
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
