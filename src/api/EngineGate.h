#pragma once

// Runs a function on the engine's thread (the thread of `context`) from the server's thread and
// waits for its result, at most `timeout`. The engine's tables and sockets belong to its event
// loop: the API reaches them only this way, exactly as the window's own calls do.
//
// Cancel (from the engine's thread, before it waits for the server's thread) ends every wait at
// once, so a stop never waits out a timeout. A call that timed out still runs when the loop
// gets to it; its result is dropped.

#include <QMetaObject>
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace trelvane::api {

class EngineGate {
  public:
    EngineGate(QObject* context, std::chrono::milliseconds timeout)
        : context_(context), timeout_(timeout) {}

    template <typename F>
    auto Call(F f) -> std::optional<std::invoke_result_t<F>> {
        using R = std::invoke_result_t<F>;
        struct State {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<R> result;
        };
        auto state = std::make_shared<State>();
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                return std::nullopt;
            }
        }
        QMetaObject::invokeMethod(
            context_,
            [state, f = std::move(f), this]() mutable {
                R value = f();
                {
                    std::lock_guard lock(state->mutex);
                    state->result = std::move(value);
                }
                std::lock_guard lock(mutex_);  // pairs with the wait below
                changed_.notify_all();
            },
            Qt::QueuedConnection);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout_, [&] {
            std::lock_guard inner(state->mutex);
            return cancelled_ || state->result.has_value();
        });
        std::lock_guard inner(state->mutex);
        return std::move(state->result);
    }

    void Cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }

  private:
    QObject* context_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;  // guarded by mutex_
};

}  // namespace trelvane::api
