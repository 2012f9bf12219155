// The hand-over from the server's thread to the engine's loop: results come back, a call that
// timed out is never run afterwards (it may refer to the caller's stack), a call the engine has
// begun is waited for, and Cancel ends a wait at once.
#include "api/EngineGate.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <atomic>
#include <thread>

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;
using api::EngineGate;

// Runs the loop of this (the engine's) thread until `done` or `limit`.
void Pump(const std::atomic<bool>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done.load() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

TEST(EngineGateTest, CallsRunOnTheEngineThreadInOrderAndReturnTheirResults) {
    QObject context;
    EngineGate gate(&context, 5s);
    std::atomic<bool> done{false};
    std::vector<int> order;  // written on the engine's thread only
    std::vector<std::optional<QThread*>> threads;
    std::thread server([&] {
        for (int i = 0; i < 50; ++i) {
            threads.push_back(gate.Call([&order, i] {
                order.push_back(i);
                return QThread::currentThread();
            }));
        }
        done = true;
    });
    Pump(done);
    server.join();
    ASSERT_EQ(threads.size(), 50u);
    for (const auto& t : threads) {
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(*t, QThread::currentThread());
    }
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i) {
        expected[static_cast<std::size_t>(i)] = i;
    }
    EXPECT_EQ(order, expected);
}

TEST(EngineGateTest, ACallThatTimedOutIsNeverRunAfterwards) {
    QObject context;
    EngineGate gate(&context, 50ms);
    bool ran = false;  // would be a write to a finished call's state
    std::optional<int> result = 1;
    std::thread server([&] { result = gate.Call([&ran] { return ran = true, 7; }); });
    server.join();  // the loop was never run: the call timed out
    EXPECT_FALSE(result.has_value());
    std::atomic<bool> never{false};
    Pump(never, 200ms);  // now the loop gets to the dropped call
    EXPECT_FALSE(ran);

    // The gate still works for the next caller.
    std::atomic<bool> done{false};
    std::thread next([&] {
        result = gate.Call([] { return 8; });
        done = true;
    });
    Pump(done);
    next.join();
    EXPECT_EQ(result, 8);
}

TEST(EngineGateTest, ACallTheEngineHasBegunIsWaitedForBeyondTheTimeout) {
    QObject context;
    EngineGate gate(&context, 20ms);
    std::atomic<bool> done{false};
    std::optional<int> result;
    std::thread server([&] {
        result = gate.Call([] {
            std::this_thread::sleep_for(300ms);  // far past the timeout
            return 42;
        });
        done = true;
    });
    Pump(done);
    server.join();
    EXPECT_EQ(result, 42);
}

TEST(EngineGateTest, CancelEndsAWaitAtOnceAndRefusesLaterCalls) {
    QObject context;
    EngineGate gate(&context, 60s);
    std::atomic<bool> returned{false};
    bool ran = false;
    std::optional<int> result = 1;
    const auto start = std::chrono::steady_clock::now();
    std::thread server([&] {
        result = gate.Call([&ran] { return ran = true, 1; });
        returned = true;
    });
    std::this_thread::sleep_for(50ms);  // the caller waits; the loop is not run
    gate.Cancel();
    server.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_TRUE(returned);
    EXPECT_FALSE(result.has_value());

    EXPECT_FALSE(gate.Call([&ran] { return ran = true, 2; }).has_value());
    std::atomic<bool> never{false};
    Pump(never, 100ms);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace trelvane::test
