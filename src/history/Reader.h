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
    std::optional<std::uint32_t> tag;     // device events have no tag: none match a tag
    // A reader's name or its device key ("ip:port"), exactly.
    std::optional<std::string> reader;
    std::uint64_t afterSeq = 0;
    // seq <= throughSeq: bounds how far a query may scan. A page that ends short of `limit`
    // holds every match up to throughSeq, so the next one starts after throughSeq.
    std::optional<std::uint64_t> throughSeq;
    std::size_t limit = 1000;
};

using ReadRow = events::ReadRow;
using PresenceRow = events::PresenceRow;
using DeviceRow = events::DeviceRow;

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

  private:
    struct Impl;
    explicit Reader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::history
