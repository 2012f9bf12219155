#pragma once

// Queries of the history, from any process, while the writer writes: each query runs in one
// read transaction (a snapshot of the committed batches; WAL readers never block the writer
// and ignore its lock file). A Reader never creates or changes a database.
//
// Threading: one thread at a time per Reader; open one Reader per thread for parallel queries.
//
// Paging: every query returns rows in sequence order, those with seq > afterSeq, at most
// `limit`. The next page starts after the last row's seq; an empty page is the end (a page
// may be short while retention is deleting the oldest rows).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/Batch.h"
#include "history/Result.h"

namespace trelvane::history {

struct Filter {
    std::optional<std::int64_t> sinceMs;  // time >= sinceMs
    std::optional<std::int64_t> untilMs;  // time < untilMs
    // Device events have no tag, nor do alerts of no tag: none of them match a tag.
    std::optional<std::uint32_t> tag;
    // A reader's name or its device key ("ip:port"), exactly (an alert names its reader only).
    std::optional<std::string> reader;
    // A zone's name, exactly: only zone events and alerts have a zone, no other row matches one.
    std::optional<std::string> zone;
    // A rule's name, exactly: only alerts have a rule, no other row matches one.
    std::optional<std::string> rule;
    std::uint64_t afterSeq = 0;
    // seq <= throughSeq: bounds how far a query may scan. A page that ends short of `limit`
    // holds every match up to throughSeq, so the next one starts after throughSeq.
    std::optional<std::uint64_t> throughSeq;
    std::size_t limit = 1000;
};

using ReadRow = events::ReadRow;
using PresenceRow = events::PresenceRow;
using DeviceRow = events::DeviceRow;
using ZoneRow = events::ZoneRow;
using AlertRow = events::AlertRow;

// An arrival with no later departure for its tag at its reader (name and device).
struct OpenArrival {
    std::uint32_t tag = 0;
    std::string reader;
    std::string device;
    std::uint64_t seq = 0;    // of the arrival
    std::int64_t timeMs = 0;  // of the arrival
    // The latest read time of the tag at that reader in the arrival's minute or later (from
    // the rollup, which is kept also without reads); nullopt when there is none.
    std::optional<std::int64_t> lastReadMs;
    friend bool operator==(const OpenArrival&, const OpenArrival&) = default;
};

// A tag's stay in a zone that has no exit yet.
struct OpenZone {
    std::uint32_t tag = 0;
    std::string zone;
    std::uint64_t seq = 0;     // of the enter
    std::int64_t sinceMs = 0;  // of the enter
    std::string reader;        // the enter's reader, name and device
    std::string device;
    std::int64_t lastSeenMs = 0;  // the last read in the zone the service recorded
    friend bool operator==(const OpenZone&, const OpenZone&) = default;
};

// A tag in a zone at some time, there since its enter.
struct TagInZone {
    std::uint32_t tag = 0;
    std::int64_t sinceMs = 0;
    friend bool operator==(const TagInZone&, const TagInZone&) = default;
};

// An alert raised and not cleared yet, with its latest acknowledgement when it has one.
struct OpenAlert {
    AlertRow raised;
    std::optional<AlertRow> acknowledged;
    friend bool operator==(const OpenAlert&, const OpenAlert&) = default;
};

class Reader {
  public:
    // Read-only. Errors: kNotFound (no file), kCorrupt (not a database or not a history).
    static Result<Reader> Open(const std::filesystem::path& path);

    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) noexcept;
    ~Reader();

    const std::string& HistoryId() const;
    Result<std::uint64_t> LastSequence();
    // The work this Reader's queries did so far, in hundreds of SQLite virtual-machine steps:
    // a measure of how far they scanned that does not depend on the machine's speed.
    std::uint64_t Work() const;

    Result<std::vector<ReadRow>> Reads(const Filter& filter);
    Result<std::vector<PresenceRow>> Presence(const Filter& filter);
    Result<std::vector<DeviceRow>> Devices(const Filter& filter);
    // In arrival order. The service departs these at its start after a kill.
    Result<std::vector<OpenArrival>> OpenArrivals();

    // Zone events, paged like the others; filter.zone picks one zone.
    Result<std::vector<ZoneRow>> Zones(const Filter& filter);
    // In enter order: where the tags are now, for the service to take up at its start. Kept
    // whatever retention deletes.
    Result<std::vector<OpenZone>> OpenZones();
    // The tag's last zone event at or before `timeMs` (by time, then number): an enter says it
    // was in that zone from then on, an exit that it was in none; nullopt when it had none. An
    // open stay whose enter retention deleted still answers (as that enter).
    Result<std::optional<ZoneRow>> ZoneOfTagAt(std::uint32_t tag, std::int64_t timeMs);
    // The tags in `zone` at `timeMs`, in tag order: each stay that began at or before it and
    // did not end by then (an exit at `timeMs` ends it). The stays are taken as their exits
    // give them, so this agrees with ZoneOfTagAt while the clock runs forward.
    Result<std::vector<TagInZone>> TagsInZoneAt(const std::string& zone, std::int64_t timeMs);

    // Alert events, paged like the others; filter.zone and filter.rule pick one zone and rule.
    Result<std::vector<AlertRow>> Alerts(const Filter& filter);
    // In the order they were raised: the alerts open now, for the rule engine to take up at its
    // start. Kept whatever retention deletes. An acknowledgement repeats its alert's fields; its
    // own are its number, time, note (text) and person (by).
    Result<std::vector<OpenAlert>> OpenAlerts();

  private:
    struct Impl;
    explicit Reader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::history
