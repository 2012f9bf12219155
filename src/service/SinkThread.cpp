#include "service/SinkThread.h"

#include <pthread.h>
#include <vector>

namespace trelvane {

SinkThread::SinkThread(std::string name, std::unique_ptr<EventSink> sink,
                       std::size_t maxQueuedEvents)
    : name_(std::move(name)), sink_(std::move(sink)), maxQueued_(maxQueuedEvents) {
    thread_ = std::thread([this] { Run(); });
}

SinkThread::~SinkThread() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    room_.notify_all();
    thread_.join();
}

void SinkThread::Push(std::shared_ptr<const EventBatch> batch) {
    if (!sink_->Wanted()) {
        return;
    }
    const std::size_t events = batch->EventCount();
    std::unique_lock lock(mutex_);
    const auto hasRoom = [&] {
        return abandoned_ || queuedEvents_ == 0 || queuedEvents_ + events <= maxQueued_;
    };
    if (!hasRoom()) {
        stats_.heldBack.fetch_add(1, std::memory_order_relaxed);
        const auto start = std::chrono::steady_clock::now();
        room_.wait(lock, hasRoom);
        stats_.heldBackMs.fetch_add(
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()),
            std::memory_order_relaxed);
    }
    if (abandoned_) {
        return;
    }
    queue_.push_back(std::move(batch));
    queuedEvents_ += events;
    stats_.queued.store(queuedEvents_, std::memory_order_relaxed);
    lock.unlock();
    wake_.notify_one();
}

bool SinkThread::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return room_.wait_for(lock, timeout,
                          [this] { return abandoned_ || (queue_.empty() && !busy_); });
}

void SinkThread::Abandon() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    room_.notify_all();
}

void SinkThread::Run() {
    const std::string threadName = name_.substr(0, 15);
    pthread_setname_np(pthread_self(), threadName.c_str());
    std::vector<std::shared_ptr<const EventBatch>> taken;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            room_.notify_all();
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) {
                break;  // stopping, and everything queued was consumed
            }
            taken.assign(std::make_move_iterator(queue_.begin()),
                         std::make_move_iterator(queue_.end()));
            queue_.clear();
            // The producer may fill the queue again while these are consumed: at most twice the
            // bound is held, and the sink and the parse thread overlap.
            queuedEvents_ = 0;
            stats_.queued.store(0, std::memory_order_relaxed);
            busy_ = true;
        }
        room_.notify_all();
        std::size_t events = 0;
        for (const auto& batch : taken) {
            sink_->Consume(*batch);
            events += batch->EventCount();
        }
        sink_->Flush();
        taken.clear();
        stats_.written.fetch_add(events, std::memory_order_relaxed);
    }
    sink_->Flush();
}

}  // namespace trelvane
