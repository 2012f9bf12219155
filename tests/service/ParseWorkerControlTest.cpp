// The event loop's control items while the parse thread is held back by a full sink: presence
// checks collapse into one, device events all wait, and once the sink moves they come out in
// the order they were posted with one unbroken run of sequence numbers.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "records/TagStore.h"
#include "service/DeviceRegistry.h"
#include "service/ParseWorker.h"
#include "service/SinkThread.h"
#include "support/ManualClock.h"

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;

// Holds its first batch until opened; records the device events it is handed.
class GateSink final : public EventSink {
  public:
    void Consume(const EventBatch& batch) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        for (const DeviceEvent& e : batch.deviceEvents) {
            seqs.push_back(e.seq);
            keys.push_back(batch.devices[e.device].key);
        }
    }
    bool WaitEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return entered_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    std::vector<Sequence> seqs;  // read once the sink is idle
    std::vector<std::string> keys;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

TEST(ParseWorkerControlTest, ABlockedPassKeepsOnePresenceCheckAndEveryDeviceEventInOrder) {
    DeviceTable devices;
    TagStore tags;
    ManualClock clock;
    PipelineStats stats;
    auto owned = std::make_unique<GateSink>();
    GateSink& sink = *owned;
    SinkThread thread("gate", std::move(owned), 1);
    ParseWorker worker(devices, tags, clock, stats);
    ASSERT_TRUE(worker.Start(100, {&thread}, 30000));

    // The first batch sticks in the sink, the second fills its queue, the third holds the
    // parse thread in its hand-over.
    const auto key = [](int i) { return "10.0.0." + std::to_string(i) + ":4001"; };
    worker.PostDeviceEvent(DeviceEventKind::kConnected, key(0), "");
    ASSERT_TRUE(sink.WaitEntered());
    worker.PostDeviceEvent(DeviceEventKind::kConnected, key(1), "");
    ASSERT_TRUE(worker.WaitIdle(10s));  // queued in the sink's queue
    worker.PostDeviceEvent(DeviceEventKind::kConnected, key(2), "");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (thread.Counters().heldBack.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(thread.Counters().heldBack.load(), 0u) << "the parse thread never waited";

    // Meanwhile the event loop goes on: a check every second for an hour, and 50 readers.
    for (int s = 0; s < 3600; ++s) {
        worker.PostPresenceCheck();
        if (s % 72 == 0) {
            worker.PostDeviceEvent(DeviceEventKind::kConnected, key(3 + s / 72), "");
        }
    }
    EXPECT_EQ(worker.PendingControls(), 50u + 1u);

    sink.Open();
    ASSERT_TRUE(worker.WaitIdle(10s));
    ASSERT_TRUE(thread.WaitIdle(10s));
    EXPECT_EQ(worker.PendingControls(), 0u);
    ASSERT_EQ(sink.seqs.size(), 53u);
    for (std::size_t i = 0; i < sink.seqs.size(); ++i) {
        EXPECT_EQ(sink.seqs[i], 100 + i);
        EXPECT_EQ(sink.keys[i], key(static_cast<int>(i)));
    }
    EXPECT_EQ(worker.NextSequence(), 153u);
    worker.Stop();
}

}  // namespace
}  // namespace trelvane::test
