#pragma once

// The parse thread: each wake-up serves every device with buffered bytes (deframes, dispatches,
// records tag reads in the tag table), stamps the pass's events with sequence numbers, turns
// reads into presence and zone events, and hands the pass's batch to every sink. It never touches a
// socket or a Qt object: what the event loop must learn (a device named, a page reply, a buffer
// drained) it puts on the notification queue, a mutex-guarded list the event loop drains when the
// wake-up descriptor (an eventfd) turns readable.
//
// The event loop tells it what happens on its side (a reader connected, removed, stopped
// reading; a presence check is due) through control items, which the next pass stamps in order
// with the reads, so the one sequence covers both threads' events.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/Clock.h"
#include "records/TagStore.h"
#include "service/DeviceFrameHandler.h"
#include "service/DeviceRegistry.h"
#include "service/EventStream.h"
#include "service/PipelineStats.h"
#include "service/PresenceTracker.h"
#include "service/RuleStage.h"
#include "service/SinkThread.h"
#include "service/ZoneStage.h"

namespace trelvane {

class ParseWorker final : private DeviceEventSink, private ReadObserver {
  public:
    struct Notification {
        enum class Kind { kNamed, kPageReply, kResume } kind;
        std::string key;
        PageReply reply = PageReply::kDeviceInfo;
        bool ok = false;
        std::uint8_t command = 0;
    };

    ParseWorker(DeviceTable& devices, TagStore& tags, const Clock& clock, PipelineStats& stats);
    ~ParseWorker() override;
    ParseWorker(const ParseWorker&) = delete;
    ParseWorker& operator=(const ParseWorker&) = delete;

    // The eventfd that turns readable when notifications wait.
    int WakeFd() const { return wakeFd_; }

    // Starts the thread; sequence numbers begin at `firstSeq`; every batch goes to `sinks`
    // (which outlive the thread). False when the thread cannot be created.
    bool Start(Sequence firstSeq, std::vector<SinkThread*> sinks, std::int64_t departAfterMs,
               ZoneSetup zones = {}, RuleSetup rules = {});
    // Parses what is still queued, hands the last batch on, and ends the thread.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // ---- event loop ----
    // `device` (under `key`) has bytes to deframe. A key is queued once; the newest record
    // registered under it is served (a reconnect may have replaced it while it waited).
    void Enqueue(const std::string& key, const DeviceRecord& device);
    // Sockets not read until the parse thread has made room in their buffer.
    void Block(const std::string& key);
    void Unblock(const std::string& key);
    bool IsBlocked(const std::string& key) const;
    void ClearBlocked();
    // Something that happened on the event loop, stamped now, in the stream after the reads of
    // the pass that takes it (a connection before them).
    void PostDeviceEvent(DeviceEventKind kind, const std::string& key, const std::string& name);
    // Departs the tags not read for the depart interval.
    void PostPresenceCheck();
    // Departs every present tag (the service stops).
    void PostDepartAll();
    void SetDepartAfter(std::int64_t ms);

    // Waits (on the parse thread, not the event loop) until nothing is queued and the thread
    // is idle; false when `timeout` passed first.
    bool WaitIdle(std::chrono::milliseconds timeout);
    bool Idle() const;
    // Control items waiting for the next pass (any thread): the device events posted since,
    // and at most one presence check.
    std::size_t PendingControls() const;
    std::vector<Notification> TakeNotifications();
    bool HasNotifications() const;

    // The number the next event gets (any thread).
    Sequence NextSequence() const { return nextSeq_.load(std::memory_order_relaxed); }
    std::size_t PresentTags() const { return present_.load(std::memory_order_relaxed); }
    // The tags in zones now (any thread).
    const ZoneStage& Zones() const { return zones_; }
    RuleStage& Rules() { return rules_; }
    const RuleStage& Rules() const { return rules_; }

  private:
    struct Job {
        std::string key;
        DeviceRecord device;
    };
    struct Control {
        enum class Kind { kDevice, kPresenceCheck, kDepartAll, kDepartAfter } kind;
        DeviceEventKind event = DeviceEventKind::kConnected;
        std::string key;
        std::string name;
        std::int64_t timeMs = 0;
    };

    // DeviceEventSink (parse thread).
    void OnDeviceNamed(const std::string& key) override;
    void OnPageReply(PageReply reply, const std::string& key, bool ok,
                     std::uint8_t command) override;

    // ReadObserver (parse thread).
    void OnRead(const ReadEvent& read, EventBatch& batch) override;
    void Upcoming(std::uint32_t tag, std::uint32_t device, const EventBatch& batch) override;

    void Run();
    void Post(Control control);
    void Notify(Notification notification);
    void ParseDevice(const Job& job, std::vector<FrameRecord>& records, EventBatch& batch);
    void ApplyControl(const Control& control, EventBatch& batch);
    void EmitPresence(const PresenceTracker::Change& change, EventBatch& batch,
                      std::uint32_t device);
    // The batch's device entry for a departing tag's reader: its name and the key it had when
    // the tag arrived.
    std::uint32_t DeviceFor(EventBatch& batch, std::string_view name, std::string_view key);
    bool NameStillConnected(const std::string& removedKey, const std::string& name) const;

    DeviceTable& devices_;
    TagStore& tags_;
    const Clock& clock_;
    PipelineStats& stats_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    std::unordered_map<std::string, DeviceRecord> queued_;
    // What the event loop reported since the last pass. Bounded by what happens on the event
    // loop while the parse thread is busy or waits for a full sink (which is bounded in time by
    // that sink): device events of connections accepted and removed meanwhile, and at most one
    // presence check (PostPresenceCheck keeps one).
    std::vector<Control> controls_;
    std::unordered_set<std::string> blocked_;
    bool stop_ = false;
    bool busy_ = false;

    mutable std::mutex notifyMutex_;
    std::vector<Notification> notifications_;
    int wakeFd_ = -1;

    // Parse thread only (set by Start before the thread begins).
    std::vector<SinkThread*> sinks_;
    PresenceTracker presence_{30'000};
    ZoneStage zones_;
    RuleStage rules_;
    std::unordered_map<std::string, std::uint32_t> passNames_;  // key NUL name -> batch device
    std::atomic<Sequence> nextSeq_{1};
    std::atomic<std::size_t> present_{0};
    std::thread thread_;
};

}  // namespace trelvane
