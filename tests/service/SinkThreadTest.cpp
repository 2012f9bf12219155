#include "service/SinkThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace trelvane {
namespace {

using namespace std::chrono_literals;

// Remembers the first sequence number of every batch; waits on a gate before each.
class GatedSink final : public EventSink {
  public:
    void Consume(const EventBatch& batch) override {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
        firsts.push_back(batch.firstSeq);
    }
    void Flush() override { flushes.fetch_add(1); }
    void Open() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
    }
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::vector<Sequence> firsts;
    std::atomic<int> flushes{0};
};

std::shared_ptr<const EventBatch> Batch(Sequence first, std::size_t reads) {
    auto batch = std::make_shared<EventBatch>();
    batch->firstSeq = first;
    batch->reads.resize(reads);
    batch->nextSeq = first + reads;
    return batch;
}

TEST(SinkThreadTest, AFullQueueHoldsTheProducerBackAndNothingIsLostOrReordered) {
    auto owned = std::make_unique<GatedSink>();
    GatedSink& sink = *owned;
    SinkThread thread("test-sink", std::move(owned), 100);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        for (int i = 0; i < 50; ++i) {
            thread.Push(Batch(1 + 10u * i, 10));
            pushed.fetch_add(1);
        }
    });
    // The sink holds its first batch; the queue takes ten more (100 events), then the producer
    // waits.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (pushed.load() < 11 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(pushed.load(), 21) << "at most the bound queued plus what the sink took";
    EXPECT_LT(pushed.load(), 50);
    EXPECT_GE(thread.Counters().heldBack.load(), 1u);
    sink.Open();
    producer.join();
    ASSERT_TRUE(thread.WaitIdle(5s));
    ASSERT_EQ(sink.firsts.size(), 50u);
    for (std::size_t i = 0; i < sink.firsts.size(); ++i) {
        EXPECT_EQ(sink.firsts[i], 1 + 10 * i);
    }
    EXPECT_EQ(thread.Counters().written.load(), 500u);
    EXPECT_EQ(thread.Counters().queued.load(), 0u);
    EXPECT_GE(sink.flushes.load(), 1);
}

TEST(SinkThreadTest, AbandonReleasesAProducerWaitingOnAStuckSink) {
    auto owned = std::make_unique<GatedSink>();
    GatedSink& sink = *owned;
    {
        SinkThread thread("stuck-sink", std::move(owned), 10);
        thread.Push(Batch(1, 10));  // taken by the sink, which blocks
        thread.Push(Batch(11, 10));
        std::atomic<bool> returned{false};
        std::thread producer([&] {
            thread.Push(Batch(21, 10));
            returned = true;
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(returned.load()) << "waits for room";
        EXPECT_FALSE(thread.WaitIdle(20ms));
        thread.Abandon();
        producer.join();
        EXPECT_TRUE(returned.load());
        EXPECT_TRUE(thread.WaitIdle(0ms)) << "an abandoned sink is not waited for";
        sink.Open();  // the thread ends once the sink's call returns
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            {
                std::lock_guard lock(sink.mutex);
                if (!sink.firsts.empty() || std::chrono::steady_clock::now() > deadline) {
                    EXPECT_EQ(sink.firsts.front(), 1u);
                    break;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }  // the sink goes with its thread
}

TEST(SinkThreadTest, ABatchLargerThanTheBoundIsStillTaken) {
    auto owned = std::make_unique<GatedSink>();
    GatedSink& sink = *owned;
    sink.Open();
    SinkThread thread("big-sink", std::move(owned), 10);
    thread.Push(Batch(1, 1000));
    thread.Push(Batch(1001, 1000));
    ASSERT_TRUE(thread.WaitIdle(5s));
    EXPECT_EQ(thread.Counters().written.load(), 2000u);
}

// A sink that is switched off is not handed batches (its thread is not woken for each); from
// the moment it is wanted again it gets every batch.
TEST(SinkThreadTest, ASinkThatIsNotWantedIsPassedBy) {
    class Switchable final : public EventSink {
      public:
        void Consume(const EventBatch& batch) override {
            std::lock_guard lock(mutex);
            firsts.push_back(batch.firstSeq);
        }
        bool Wanted() const override { return wanted.load(); }
        std::atomic<bool> wanted{false};
        std::mutex mutex;
        std::vector<Sequence> firsts;
    };
    auto owned = std::make_unique<Switchable>();
    Switchable& sink = *owned;
    SinkThread thread("switchable", std::move(owned), 100);
    thread.Push(Batch(1, 3));
    sink.wanted = true;
    thread.Push(Batch(4, 2));
    thread.Push(Batch(6, 1));
    sink.wanted = false;
    thread.Push(Batch(7, 1));
    ASSERT_TRUE(thread.WaitIdle(5s));
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.firsts, (std::vector<Sequence>{4, 6}));
    EXPECT_EQ(thread.Counters().written.load(), 3u);
}

}  // namespace
}  // namespace trelvane
