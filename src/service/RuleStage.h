#pragma once

// The rule engine as a stage of the parse pass: it takes the site's rules from the register's
// snapshot at the start of each pass (a changed rule applies from then on), feeds the engine
// the pass's reads, zone events and readers starting or stopping, and numbers the alerts it
// raises and clears in the batch, after the events that caused them.
//
// A site without rules pays one branch per read.
//
// Threading: the parse thread drives it; OpenAlerts, Acknowledge and the counts may be called
// from any thread (the API's) and wait at most for the pass in progress. An acknowledgement is
// made in the next pass (within a second: the service checks presence every second).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/TextCodec.h"
#include "service/EventStream.h"
#include "service/RuleEngine.h"
#include "site/Register.h"

namespace trelvane {

class ZoneStage;

struct RuleSetup {
    std::shared_ptr<const site::Register> site;  // none: no rules
    std::int64_t goneAfterMs = 30'000;           // an unregistered tag's alert clears
    int codePage = 936;
    std::vector<RuleEngine::Open> restored;  // the alerts an earlier run left open
};

class RuleStage {
  public:
    void Start(RuleSetup setup);

    // Parse thread. BeginPass before the zone stage's (it asks that stage for its stays).
    void BeginPass(EventBatch& batch, const ZoneStage& zones);
    void OnRead(const ReadEvent& read, EventBatch& batch);
    // The pass's zone events and reader changes, then what is due by the pass's time.
    void EndPass(EventBatch& batch);
    void Expire(std::int64_t nowMs, EventBatch& batch);

    // Any thread.
    std::vector<RuleEngine::Open> OpenAlerts() const;
    std::vector<std::pair<std::string, std::size_t>> OpenByRule() const;
    std::uint64_t Suppressed() const;
    // False when no alert raised as `raised` is open.
    bool Acknowledge(Sequence raised, std::string by, std::string note);

  private:
    RuleEngine::Emit EmitInto(EventBatch& batch);
    RuleEngine::ReaderId ReaderOf(std::uint32_t device, const EventBatch& batch);
    void Lock();

    std::shared_ptr<const site::Register> site_;
    std::shared_ptr<const site::Snapshot> snapshot_;
    std::vector<site::Rule> rules_;
    TextCodec codec_ = TextCodec::Usable(65001);
    bool active_ = false;

    mutable std::mutex mutex_;  // the engine; held by the parse thread during a pass
    std::unique_lock<std::mutex> passLock_{mutex_, std::defer_lock};
    RuleEngine engine_;

    struct Ack {
        Sequence raised = 0;
        std::string by;
        std::string note;
    };
    mutable std::mutex acksMutex_;
    std::vector<Ack> acks_;

    // Parse thread only.
    std::unordered_map<std::string, RuleEngine::ReaderId> readerOfName_;  // raw name -> id
    std::vector<RuleEngine::ReaderId> passReaders_;                       // by batch device
};

}  // namespace trelvane
