#pragma once

// Evaluates the site's rules (site/Rule.h) over what the service observes — reads, zone enters
// and exits, readers starting and stopping — and time, and turns each condition into alert
// events: `raised` once when it begins to hold (never one per read), `cleared` when it ends,
// `acknowledged` when a person says so.
//
// Every timed condition is decided from the events' own times and checked on each Expire (the
// service calls it every second): a condition is raised at its exact second, not before, and
// at most one Expire interval after.
//
// Per rule, the engine keeps one item per tag or reader it watches (a deadline in a heap, the
// state in a hash map); a read costs one probe of the register's snapshot when any rule
// selects tags by read, and one hash lookup per such rule that covers the tag. A rule that
// watches the assets of a group takes the group's tags from the snapshot when the rules or the
// register change.
//
// Open alerts are bounded (kMaxOpenAlerts): beyond the bound, a condition that would raise is
// counted instead, and one `too_many_alerts` alert says so until the open ones fall below it.
//
// Threading: none; the parse worker owns it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "events/Event.h"
#include "site/Rule.h"
#include "site/Snapshot.h"

namespace trelvane {

class RuleEngine {
  public:
    static constexpr std::size_t kMaxOpenAlerts = 100'000;

    // Records an alert event: the engine fills every field but `seq`; the callee numbers it
    // (the batch's next number), hands it on, and returns the number.
    using Emit = std::function<Sequence(const events::Alert&)>;

    // An open alert: its raised event, and its acknowledgement when it has one.
    struct Open {
        events::AlertRow raised;
        std::optional<events::AlertRow> acknowledged;
        friend bool operator==(const Open&, const Open&) = default;
    };

    // A tag in a zone, as the zone tracker has it (to start the zone rules of a new rule set).
    struct InZone {
        std::uint32_t tag = 0;
        std::string zone;
        std::string reader;
        std::int64_t sinceMs = 0;
    };

    using ReaderId = std::uint32_t;

    // `goneAfterMs`: how long an unregistered tag may go unread before its alert clears.
    explicit RuleEngine(std::int64_t goneAfterMs = 30'000, std::size_t maxOpen = kMaxOpenAlerts);

    // Alerts an earlier run left open, before the first SetRules: they are adopted without an
    // event when their rule still holds them, and cleared otherwise.
    void Restore(std::vector<Open> open);

    // The rules and the register they name, from `nowMs` on. A new or changed rule starts
    // afresh (the alerts of the one it replaces are cleared); an unchanged rule keeps its state
    // and follows the register (a group's new assets are watched from now). `stays`: the tags
    // in zones now. Alerts left over from Restore that no rule holds are cleared.
    void SetRules(std::vector<site::Rule> rules, std::shared_ptr<const site::Snapshot> snapshot,
                  const std::vector<InZone>& stays, std::int64_t nowMs, const Emit& emit);
    bool Empty() const { return watches_.empty(); }
    bool WantsReads() const { return !readWatches_.empty() || !readerWatches_.empty(); }

    // A reader by its name (UTF-8), kept for the engine's life.
    ReaderId Reader(std::string_view name);
    // Whether the reader is now connected and reading.
    void OnReader(ReaderId reader, bool reading, std::int64_t timeMs, const Emit& emit);
    void OnRead(std::uint32_t tag, ReaderId reader, std::int64_t timeMs, const Emit& emit);
    void OnZone(const events::ZoneChange& change, const Emit& emit);
    // Raises and clears what is due by `nowMs`.
    void Expire(std::int64_t nowMs, const Emit& emit);

    enum class AckOutcome { kDone, kNotOpen };
    // Acknowledges the open alert raised as `raised` (again: its note and who replace the
    // earlier ones).
    AckOutcome Acknowledge(Sequence raised, std::string_view by, std::string_view note,
                           std::int64_t nowMs, const Emit& emit);

    std::vector<Open> OpenAlerts() const;  // by raised seq
    std::size_t OpenCount() const { return open_.size(); }
    bool IsOpen(Sequence raised) const { return openBySeq_.count(raised) != 0; }
    // Conditions not raised because the open alerts were at their bound.
    std::uint64_t Suppressed() const { return suppressed_; }
    // Open alerts by rule name (too_many_alerts included).
    std::vector<std::pair<std::string, std::size_t>> OpenByRule() const;

  private:
    struct Item {
        std::int64_t lastMs = 0;   // the time the condition is measured from
        std::int64_t firstMs = 0;  // unregistered: the first read
        std::uint32_t generation = 0;
        bool raised = false;
        bool suppressed = false;
        std::string zone;    // the zone concerned (dwell, forbidden: the rule's)
        std::string reader;  // the reader of the last read or enter
    };
    struct Due {
        std::int64_t atMs = 0;
        std::uint32_t key = 0;
        std::uint32_t generation = 0;
        friend bool operator>(const Due& a, const Due& b) { return a.atMs > b.atMs; }
    };
    struct Watch {
        site::Rule rule;
        std::unordered_map<std::uint32_t, Item> items;  // tag, or ReaderId for reader rules
        std::priority_queue<Due, std::vector<Due>, std::greater<>> dues;
        std::int64_t lastExpireMs = INT64_MIN;
        void Schedule(std::uint32_t key, Item& item, std::int64_t atMs);
    };
    struct ReaderState {
        std::string name;
        std::string zone;  // its zone in the snapshot ("": none)
        bool reading = false;
        std::int64_t changedMs = 0;  // when `reading` last changed (or the engine started)
        std::int64_t lastReadMs = INT64_MIN;
        // Covered by a "*" rule: it has been reading this run, a zone or a rule names it, or
        // it was offline when the service last stopped.
        bool expected = false;
    };

    static std::string KeyOf(const std::string& rule, std::optional<std::uint32_t> tag,
                             std::string_view reader);
    bool Covers(const site::Rule& rule, std::uint32_t tag) const;
    void Raise(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs, const Emit& emit);
    void Clear(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs, const Emit& emit);
    void ClearOpen(const std::string& key, std::int64_t nowMs, const Emit& emit);
    void Fire(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs, const Emit& emit);
    void StartWatch(Watch& watch, const std::vector<InZone>& stays, std::int64_t nowMs,
                    const Emit& emit);
    void FollowRegister(Watch& watch, std::int64_t nowMs, const Emit& emit);
    void EvaluateReaders(std::int64_t nowMs, const Emit& emit);
    void TooMany(std::int64_t nowMs, const Emit& emit);     // raises too_many_alerts once
    void CheckBound(std::int64_t nowMs, const Emit& emit);  // clears it under the bound
    void Index();

    std::int64_t goneAfterMs_;
    std::size_t maxOpen_;
    std::shared_ptr<const site::Snapshot> snapshot_ = site::Snapshot::EmptyRegister();
    std::vector<std::unique_ptr<Watch>> watches_;
    std::vector<Watch*> readWatches_;    // absent, unregistered
    std::vector<Watch*> zoneWatches_;    // dwell, forbidden
    std::vector<Watch*> readerWatches_;  // reader_offline, reader_silent
    std::unordered_map<std::uint32_t, std::vector<Watch*>> absentByTag_;
    std::unordered_map<std::string, std::vector<Watch*>> absentByGroup_;
    std::vector<Watch*> unregistered_;
    std::vector<ReaderState> readers_;
    std::unordered_map<std::string, ReaderId> readerIds_;
    std::int64_t startedMs_ = INT64_MIN;

    std::unordered_map<std::string, Open> open_;  // by KeyOf
    std::unordered_map<Sequence, std::string> openBySeq_;
    std::unordered_map<std::string, Open> restored_;  // not adopted yet
    std::uint64_t suppressed_ = 0;
    std::optional<std::string> tooManyKey_;
};

}  // namespace trelvane
