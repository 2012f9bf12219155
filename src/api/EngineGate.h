#pragma once

// Runs a function on the engine's thread (the thread of `context`) from the server's thread and
// waits for its result, at most `timeout`. The engine's tables and sockets belong to its event
// loop: the API reaches them only this way, exactly as the window's own calls do.
//
// The calls wait in a queue of the gate's own, under its mutex; Qt only carries the wake-up
// (a queued call of Drain with no captured data). So every hand-over between the two threads
// goes through that mutex, where a thread checker sees it too.
//
// A call that timed out before the engine took it is dropped, never run later: its function
// may refer to the caller's stack, and the router it names may be gone by then. A call the
// engine has begun is waited for to its end whatever the timeout (the engine is on it, and it
// is short). Cancel (from the engine's thread, before it waits for the server's thread) ends
// every wait for a call not begun, so a stop never waits out a timeout.
//
// Bounds: one entry per waiting caller, plus the entries of calls that timed out until the
// engine's loop next drains them; the server has one thread, so that is one per timeout.

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace trelvane::api {

class EngineGatePump;

class EngineGate {
  public:
    EngineGate(QObject* context, std::chrono::milliseconds timeout);
    ~EngineGate();
    EngineGate(const EngineGate&) = delete;
    EngineGate& operator=(const EngineGate&) = delete;

    // Never from the engine's thread: it would wait for itself.
    template <typename F>
    auto Call(F f) -> std::optional<std::invoke_result_t<F>> {
        std::optional<std::invoke_result_t<F>> result;
        // By reference: Wait returns only once this has run or will never run.
        if (!Wait([&] { result.emplace(f()); })) {
            return std::nullopt;
        }
        return result;
    }

    void Cancel();

    // The engine's side: runs the calls queued so far (Drain of the pump).
    void Drain();

  private:
    struct Pending;
    // True when `work` ran to its end on the engine's thread.
    bool Wait(std::function<void()> work);

    const std::chrono::milliseconds timeout_;
    std::unique_ptr<EngineGatePump> pump_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Pending>> queue_;  // guarded by mutex_
    bool drainPosted_ = false;                    // guarded by mutex_
    bool cancelled_ = false;                      // guarded by mutex_
};

// Lives on the engine's thread; a queued call of Drain wakes the gate there.
class EngineGatePump final : public QObject {
    Q_OBJECT

  public:
    explicit EngineGatePump(EngineGate& gate) : gate_(gate) {}

  public Q_SLOTS:
    void Drain() { gate_.Drain(); }

  private:
    EngineGate& gate_;
};

}  // namespace trelvane::api
