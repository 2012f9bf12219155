#include "webhooks/Endpoint.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "history/Outbox.h"
#include "webhooks/BatchReader.h"
#include "webhooks/Signature.h"

namespace trelvane::webhooks {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While the history is behind a number the stream passed, it is looked at this often, for at
// most kCatchUpWindow (a history that stopped writing is not polled this fast forever).
constexpr milliseconds kCatchUpPoll{5};
constexpr milliseconds kCatchUpWindow{1000};

std::int64_t NowUnixMs() {
    return std::chrono::duration_cast<milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Seconds(milliseconds ms) {
    char text[32];
    if (ms.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.3g s", static_cast<double>(ms.count()) / 1000.0);
    }
    return text;
}

}  // namespace

const char* StateName(EndpointState state) {
    switch (state) {
        case EndpointState::kIdle:
            return "idle";
        case EndpointState::kDelivering:
            return "delivering";
        case EndpointState::kRetrying:
            return "retrying";
    }
    return "idle";
}

struct Endpoint::Impl {
    Impl(Webhook hook, std::shared_ptr<const EndpointContext> shared)
        : context(std::move(shared)),
          options(context->options),
          applied(std::move(hook)),
          name(applied.name),
          batches(context->historyPath, context->labels, options.maxEvents, options.maxBytes),
          backoff(options.firstRetry) {
        status.name = applied.name;
        status.url = ShownUrl(applied.url);
        status.kinds = applied.kinds;
    }

    const std::shared_ptr<const EndpointContext> context;
    const Options& options;

    // ---- shared with Change, Notify and Status ----
    mutable std::mutex mutex;
    Webhook applied;        // under mutex
    bool changed = false;   // under mutex: a change not yet tried after a failure
    EndpointStatus status;  // under mutex
    std::atomic<bool> stop{false};
    std::atomic<Sequence> told{0};  // the newest number the stream passed
    std::unique_ptr<HttpClient> client;

    // ---- the thread's own ----
    const std::string name;
    BatchReader batches;
    std::optional<history::Outbox> outbox;
    Sequence acked = 0;  // the cursor in memory
    Sequence committed = 0;
    std::optional<Batch> pending;  // built, not yet delivered
    // An episode of failures: from the first failed attempt to the next success, of a post or,
    // when the history could not be read, of reading it.
    bool failing = false;
    bool failingHistory = false;  // the last failure was the history's, not the receiver's
    std::uint64_t episodeFailures = 0;
    milliseconds backoff;
    Steady::time_point lastStore{};
    std::optional<Steady::time_point> behindSince;  // the history behind `told`, since
    std::thread thread;

    void Say(LogLevel level, const std::string& text) const {
        const std::string line = "webhook \"" + name + "\": " + text;
        if (options.log) {
            options.log(level, line);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }

    Webhook CurrentHook() const {
        std::lock_guard lock(mutex);
        return applied;
    }

    template <class Update>
    void Publish(Update&& update) {
        std::lock_guard lock(mutex);
        update(status);
        status.cursor = acked;
        status.newest = std::max(committed, acked);
        status.backlog = status.newest - acked;
    }

    void Run();
    bool OpenCursor();
    bool Prepare();
    void Deliver();
    void Failed(const std::string& text, bool history);
    void Recovered(const std::string& what);
    void WaitBeforeRetry();
    void WaitForEvents();
    void StoreCursor(bool force);
    std::vector<std::string> Headers(const Webhook& hook, const Batch& batch) const;
};

bool Endpoint::Impl::OpenCursor() {
    auto opened = history::Outbox::Open(context->historyPath, OutboxName(name));
    if (!opened) {
        Failed("cannot open its cursor in the history: " + opened.error().text, true);
        return false;
    }
    outbox.emplace(std::move(opened).value());
    acked = outbox->Cursor();
    committed = std::max(committed, acked);
    const Webhook hook = CurrentHook();
    Say(LogLevel::kInfo, "delivering " + KindNames(hook.kinds) + " to " + ShownUrl(hook.url) +
                             " after number " + std::to_string(acked));
    Publish([](EndpointStatus&) {});
    return true;
}

// A batch to deliver in `pending`; false when there is none yet (waited) or the history could
// not be read (the back-off waited).
bool Endpoint::Impl::Prepare() {
    const std::uint32_t kinds = CurrentHook().kinds;
    if (pending && pending->kinds != kinds) {
        pending.reset();  // the kinds changed: nothing of it was taken, build it again
    }
    if (pending) {
        // Retrying: the status's backlog follows what the history has committed meanwhile.
        if (auto last = batches.Committed()) {
            committed = std::max(committed, last.value());
        }
        return true;
    }
    auto last = batches.Committed();
    if (!last) {
        Failed("cannot read the history: " + last.error().text, true);
        return false;
    }
    if (failing && failingHistory) {
        Recovered("reading the history again");
    }
    committed = std::max(committed, last.value());
    if (committed <= acked) {
        Publish([](EndpointStatus& s) { s.state = EndpointState::kIdle; });
        WaitForEvents();
        return false;
    }
    Batch batch;
    if (history::Status st = batches.Next(acked, committed, kinds, batch); !st) {
        Failed("cannot read the history: " + st.error().text, true);
        return false;
    }
    if (batch.events == 0) {
        acked = batch.through;  // nothing of its kinds: settled without a post
        Publish([](EndpointStatus&) {});
        return false;
    }
    pending = std::move(batch);
    return true;
}

std::vector<std::string> Endpoint::Impl::Headers(const Webhook& hook, const Batch& batch) const {
    return {
        "Content-Type: application/json",
        "X-Trelvane-Signature: " + Signature(hook.secret, batch.body),
        "X-Trelvane-Delivery: " + std::to_string(batch.first) + "-" + std::to_string(batch.last),
    };
}

void Endpoint::Impl::Deliver() {
    const Webhook hook = CurrentHook();
    Publish([&](EndpointStatus& s) {
        if (!failing) {
            s.state = EndpointState::kDelivering;
        }
        s.url = ShownUrl(hook.url);
        s.kinds = hook.kinds;
    });
    const PostAnswer answer = client->Post(hook.url, Headers(hook, *pending), pending->body, stop);
    if (answer.cancelled) {
        return;
    }
    if (!answer.delivered) {
        Failed("cannot deliver " + std::to_string(pending->first) + "-" +
                   std::to_string(pending->last) + " to " + ShownUrl(hook.url) + ": " +
                   answer.error,
               false);
        return;
    }
    acked = pending->through;
    const std::size_t events = pending->events;
    pending.reset();
    Recovered("delivering again");
    const std::int64_t now = NowUnixMs();
    Publish([&](EndpointStatus& s) {
        s.state = EndpointState::kDelivering;
        s.delivered += events;
        ++s.batches;
        s.lastSuccessMs = now;
    });
}

void Endpoint::Impl::Recovered(const std::string& what) {
    if (failing) {
        Say(LogLevel::kInfo, what + " after " + std::to_string(episodeFailures) +
                                 " failed attempt" + (episodeFailures == 1 ? "" : "s"));
        failing = false;
        episodeFailures = 0;
    }
    backoff = options.firstRetry;
}

void Endpoint::Impl::Failed(const std::string& text, bool history) {
    failingHistory = history;
    ++episodeFailures;
    if (!failing) {
        failing = true;
        Say(LogLevel::kWarning, text + "; retrying the same batch every " +
                                    Seconds(options.firstRetry) + ", doubling up to " +
                                    Seconds(options.lastRetry) + ", until it is taken");
    }
    Publish([&](EndpointStatus& s) {
        s.state = EndpointState::kRetrying;
        ++s.failures;
        s.lastError = text;
    });
    WaitBeforeRetry();
}

void Endpoint::Impl::WaitBeforeRetry() {
    const Steady::time_point until = Steady::now() + backoff;
    backoff = std::min(backoff * 2, std::max(options.lastRetry, options.firstRetry));
    while (!stop.load()) {
        {
            std::lock_guard lock(mutex);
            if (changed) {
                changed = false;
                backoff = options.firstRetry;  // a new URL or secret is tried at once
                return;
            }
        }
        const Steady::time_point now = Steady::now();
        if (now >= until) {
            return;
        }
        client->Wait(std::chrono::duration_cast<milliseconds>(until - now) + milliseconds(1));
    }
}

void Endpoint::Impl::WaitForEvents() {
    const Steady::time_point now = Steady::now();
    if (told.load() > committed) {
        if (!behindSince) {
            behindSince = now;
        }
        if (now - *behindSince < kCatchUpWindow) {
            client->Wait(std::min(kCatchUpPoll, options.poll));
            return;
        }
    } else {
        behindSince.reset();
    }
    client->Wait(options.poll);
}

void Endpoint::Impl::StoreCursor(bool force) {
    if (!outbox || acked <= outbox->Cursor()) {
        return;
    }
    const Steady::time_point now = Steady::now();
    if (!force && now - lastStore < options.cursorStore) {
        return;
    }
    lastStore = now;
    if (const history::Status st = outbox->Advance(acked); !st) {
        // Kept in memory; stored with a later move. A restart before then sends it again.
        Publish([&](EndpointStatus& s) {
            s.lastError = "cannot store the cursor: " + st.error().text;
        });
    }
}

void Endpoint::Impl::Run() {
    pthread_setname_np(pthread_self(), "trelvane-hook");
    while (!stop.load()) {
        if (!outbox && !OpenCursor()) {
            continue;
        }
        StoreCursor(false);
        if (Prepare()) {
            Deliver();
        }
    }
    StoreCursor(true);
}

Endpoint::Endpoint(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Endpoint> Endpoint::Start(Webhook hook,
                                          std::shared_ptr<const EndpointContext> context,
                                          std::string& error) {
    auto impl = std::make_unique<Impl>(std::move(hook), std::move(context));
    impl->client = HttpClient::Make(impl->context->cas, impl->options.timeout, error);
    if (!impl->client) {
        return nullptr;
    }
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->Run(); });
    return std::unique_ptr<Endpoint>(new Endpoint(std::move(impl)));
}

Endpoint::~Endpoint() {
    impl_->stop = true;
    impl_->client->Wake();
    impl_->thread.join();
}

void Endpoint::Change(Webhook hook) {
    {
        std::lock_guard lock(impl_->mutex);
        if (hook == impl_->applied) {
            return;
        }
        impl_->status.url = ShownUrl(hook.url);
        impl_->status.kinds = hook.kinds;
        impl_->applied = std::move(hook);
        impl_->changed = true;
    }
    impl_->client->Wake();
}

void Endpoint::Notify(Sequence newest) {
    Sequence known = impl_->told.load();
    while (newest > known && !impl_->told.compare_exchange_weak(known, newest)) {
    }
    impl_->client->Wake();
}

EndpointStatus Endpoint::Status() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->status;
}

Webhook Endpoint::Hook() const {
    return impl_->CurrentHook();
}

}  // namespace trelvane::webhooks
