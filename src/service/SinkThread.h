#pragma once

// Runs one sink on a thread of its own behind a bounded queue, so that a sink doing I/O (a
// file, a database, a broker) never stalls the parse thread for long, and a sink that falls
// behind holds the parse thread back instead of dropping events: the parse thread waits in
// Push, receive buffers fill, and reading pauses (TCP holds the readers back).
//
// The sink sees every batch in order. After taking what was queued it consumes each batch, then
// calls Flush once, so a sink behind under load writes in larger steps.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/EventStream.h"

namespace trelvane {

class SinkThread {
  public:
    struct Stats {
        std::atomic<std::uint64_t> queued{0};      // events waiting now
        std::atomic<std::uint64_t> written{0};     // events the sink has consumed
        std::atomic<std::uint64_t> heldBack{0};    // times the parse thread waited for room
        std::atomic<std::uint64_t> heldBackMs{0};  // ... and for how long in all
    };

    // `maxQueuedEvents` bounds the queue (a batch larger than it is still taken when the queue
    // is empty); the batches the sink is consuming come on top, so at most twice the bound is
    // held. `name` names the thread (at most 15 bytes are kept).
    SinkThread(std::string name, std::unique_ptr<EventSink> sink, std::size_t maxQueuedEvents);
    // Consumes what is queued, then ends the thread.
    ~SinkThread();
    SinkThread(const SinkThread&) = delete;
    SinkThread& operator=(const SinkThread&) = delete;

    // Queues a batch; waits while the queue is full. After Abandon, or while the sink is not
    // Wanted, returns at once and the batch is not consumed.
    void Push(std::shared_ptr<const EventBatch> batch);
    // Waits until everything queued has been consumed and flushed. False when `timeout` passed.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Gives up on a sink that does not finish (e.g. stuck in I/O): Push and WaitIdle no longer
    // wait. The thread still ends with the sink's current call.
    void Abandon();

    const std::string& Name() const { return name_; }
    const Stats& Counters() const { return stats_; }
    EventSink& Sink() { return *sink_; }

  private:
    void Run();

    const std::string name_;
    const std::unique_ptr<EventSink> sink_;
    const std::size_t maxQueued_;
    Stats stats_;

    std::mutex mutex_;
    std::condition_variable wake_;  // work for the sink thread, or stop
    std::condition_variable room_;  // room in the queue, or idle
    std::deque<std::shared_ptr<const EventBatch>> queue_;
    std::size_t queuedEvents_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    bool abandoned_ = false;
    std::thread thread_;
};

}  // namespace trelvane
