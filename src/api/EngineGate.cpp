#include "api/EngineGate.h"

#include <QMetaObject>
#include <QThread>

namespace trelvane::api {

struct EngineGate::Pending {
    enum class Phase { kQueued, kRunning, kDone, kAbandoned };
    std::function<void()> work;
    Phase phase = Phase::kQueued;  // guarded by the gate's mutex_
};

EngineGate::EngineGate(QObject* context, std::chrono::milliseconds timeout)
    : timeout_(timeout), pump_(std::make_unique<EngineGatePump>(*this)) {
    pump_->moveToThread(context->thread());
}

// Destroyed on the engine's thread once the server's thread has ended: nobody waits any more,
// and a wake-up still posted goes with the pump.
EngineGate::~EngineGate() = default;

bool EngineGate::Wait(std::function<void()> work) {
    auto pending = std::make_shared<Pending>();
    pending->work = std::move(work);
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return false;
        }
        queue_.push_back(pending);
        post = !drainPosted_;
        drainPosted_ = true;
    }
    if (post) {
        QMetaObject::invokeMethod(pump_.get(), "Drain", Qt::QueuedConnection);
    }
    using Phase = Pending::Phase;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout_, [&] {
        return pending->phase == Phase::kDone || (cancelled_ && pending->phase == Phase::kQueued);
    });
    if (pending->phase == Phase::kRunning) {
        changed_.wait(lock, [&] { return pending->phase == Phase::kDone; });
    }
    if (pending->phase != Phase::kDone) {
        pending->phase = Phase::kAbandoned;
        return false;
    }
    return true;
}

void EngineGate::Drain() {
    using Phase = Pending::Phase;
    for (;;) {
        std::shared_ptr<Pending> pending;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                drainPosted_ = false;
                return;
            }
            pending = std::move(queue_.front());
            queue_.pop_front();
            if (pending->phase == Phase::kAbandoned) {
                continue;
            }
            pending->phase = Phase::kRunning;
        }
        pending->work();
        {
            std::lock_guard lock(mutex_);
            pending->phase = Phase::kDone;
        }
        changed_.notify_all();
    }
}

void EngineGate::Cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
}

}  // namespace trelvane::api
