#pragma once

// The zone tracker as a stage of the parse pass: it reads the site register's snapshot at the
// start of each pass (a changed zone applies to the next reads; the tags of a removed zone exit),
// turns the pass's reads by readers of a zone into zone events numbered in the batch, and keeps
// what the history needs to rebuild the zones after a restart (each stay's last read, recorded
// every few seconds and at a stop).
//
// A site without zones pays one branch per read. Reader names are matched in UTF-8: the raw
// name a reader sent is converted once per name and snapshot.
//
// Threading: the parse thread drives it; StayOf, Stays and Counts may be called from any
// thread (the API's) and wait at most for the pass in progress. A pass that changes the tracker
// holds its lock from the first change to its end, so the counts are always those of whole
// passes: every zone event up to some number, none after it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/TextCodec.h"
#include "service/EventStream.h"
#include "service/ZoneTracker.h"
#include "site/Register.h"

namespace trelvane {

struct ZoneSetup {
    std::shared_ptr<const site::Register> site;  // none: no zones
    std::int64_t exitAfterMs = 30'000;
    std::int64_t moveAfterMs = 2'000;
    int codePage = 936;
    std::vector<ZoneTracker::Stay> restored;  // the stays an earlier run left open
    // The batch's entry for a reader (raw name) and its device key, shared with the other
    // stages of the pass.
    std::function<std::uint32_t(EventBatch&, std::string_view reader, std::string_view key)>
        deviceFor;
};

class ZoneStage {
  public:
    // How long a stay's last read may run ahead of what the history has of it.
    static constexpr std::int64_t kSeenEveryMs = 5'000;

    // Before the parse thread starts; `firstSeq` is the number of the run's first event (the
    // stays restored count the events before it).
    void Start(ZoneSetup setup, Sequence firstSeq);

    // Parse thread, once per pass before its reads.
    void BeginPass(EventBatch& batch);
    void OnRead(const ReadEvent& read, EventBatch& batch);
    // Every move and exit due by `nowMs`.
    void Expire(std::int64_t nowMs, EventBatch& batch);
    // The service stops: the stays stay open (a restart rebuilds them, so it makes no
    // enter events), with their last reads recorded.
    void RecordAllSeen(EventBatch& batch);
    void EndPass();

    bool Active() const { return active_; }

    // Any thread.
    std::optional<ZoneTracker::Stay> StayOf(std::uint32_t tag) const;
    std::vector<ZoneTracker::Stay> Stays(const std::string& zone) const;
    std::vector<std::pair<std::string, std::size_t>> Counts() const;
    // The counts with the number of the last event they include: a client of the live feed
    // that starts from them applies the zone events numbered after `through`, and only those.
    struct Counted {
        std::vector<std::pair<std::string, std::size_t>> zones;
        Sequence through = 0;
    };
    Counted CountsThrough() const;
    std::size_t InZones() const;

  private:
    void Apply(const std::shared_ptr<const site::Snapshot>& snapshot, EventBatch& batch);
    ZoneTracker::Emit EmitInto(EventBatch& batch);
    // The zone of the batch's device `device`, resolved once per pass (zone kNone: in none).
    const ZoneTracker::Ref& RefOf(std::uint32_t device, const EventBatch& batch);
    std::uint32_t ZoneNameFor(EventBatch& batch, std::string_view zone);

    ZoneTracker::Stay InUtf8(ZoneTracker::Stay stay) const;

    std::shared_ptr<const site::Register> site_;
    std::function<std::uint32_t(EventBatch&, std::string_view, std::string_view)> deviceFor_;
    std::shared_ptr<const site::Snapshot> snapshot_;
    TextCodec codec_ = TextCodec::Usable(65001);
    bool active_ = false;

    mutable std::mutex mutex_;  // the tracker; held by the parse thread during a pass
    std::unique_lock<std::mutex> passLock_{mutex_, std::defer_lock};
    ZoneTracker tracker_{30'000, 2'000};
    Sequence countedThrough_ = 0;  // the last number the tracker's state includes

    // Parse thread only.
    std::unordered_map<std::string, std::string> zoneOfName_;  // raw reader name -> zone ("")
    std::vector<ZoneTracker::Ref> passRefs_;                   // by batch device
    std::vector<bool> passResolved_;
    std::unordered_map<std::string, std::uint32_t> passZones_;    // zone -> batch zone name
    EventBatch* batch_ = nullptr;  // the pass's, for the tracker's Seen
};

}  // namespace trelvane
