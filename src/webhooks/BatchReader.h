#pragma once

// The bodies an endpoint delivers, read back from the history: the events of its kinds above
// its cursor, merged across kinds in sequence order, at most Options::maxEvents events and
// Options::maxBytes bytes a body (a single event larger than that still goes, alone):
//
//   {"history_id":"<32 hex>","events":[{"type":"reads","event":{…}},{"type":"presence",…},…]}
//
// Each "event" is exactly what events::EventJson writes; "type" is the kind's name.
//
// Threads: one thread at a time (the endpoint's own).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "events/EventJson.h"
#include "history/Reader.h"

namespace trelvane::webhooks {

struct Batch {
    std::string body;
    std::size_t events = 0;
    Sequence first = 0;  // the first and last event's numbers (both 0 without events)
    Sequence last = 0;
    // The cursor once the body is delivered: every number up to here is in the body or is not
    // one of its kinds. A batch without events only moves the cursor.
    Sequence through = 0;
    std::uint32_t kinds = 0;  // the kinds it was built for
};

class BatchReader {
  public:
    BatchReader(std::filesystem::path historyPath, events::LabelSource labels,
                std::size_t maxEvents, std::size_t maxBytes);

    // The last number the history has committed. Opens the history first when needed (again
    // after any failure).
    history::Result<Sequence> Committed();

    // The batch of `kinds` after `cursor`, no further than `committed` (above `cursor`).
    history::Status Next(Sequence cursor, Sequence committed, std::uint32_t kinds, Batch& out);

  private:
    history::Status Open();
    template <class Row>
    history::Status Query(std::vector<Row>& rows, const history::Filter& filter);

    const std::filesystem::path historyPath_;
    const events::LabelSource labels_;
    const std::size_t maxEvents_;
    const std::size_t maxBytes_;
    std::optional<history::Reader> reader_;  // empty after a failure: opened again
    events::EventJson json_;
    std::vector<history::ReadRow> reads_;
    std::vector<history::PresenceRow> presence_;
    std::vector<history::DeviceRow> devices_;
    std::vector<history::ZoneRow> zones_;
    std::vector<history::AlertRow> alerts_;
};

}  // namespace trelvane::webhooks
