// A batch's presence events: their rows, their rows in presence_minutes and the changes to the
// open arrivals (in memory and in presence_open).

#include <algorithm>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {

using schema::MinuteOf;

Status Writer::Impl::WritePresence(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                   Taken& taken) {
    openChanges.clear();
    minuteEvents.clear();
    Status stored =
        EachNew(batch.presence, before, taken, [&](const PresenceEvent& p, std::int64_t id) {
            sql::MultiRowInsert& s = insertPresence;
            s.Add(static_cast<std::int64_t>(p.seq));
            s.Add(p.timeMs);
            s.Add(std::int64_t{p.tag});
            s.Add(id);
            s.Add(static_cast<std::int64_t>(p.kind));
            if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
                return Status(StoreFailure(rc, static_cast<std::uint64_t>(s.FailedKey())));
            }
            openChanges.push_back(
                OpenChange{PairKeyOf(p.tag, id), p.seq, p.timeMs, p.kind == PresenceKind::kArrive});
            minuteEvents.push_back(MinuteEvent{MinuteOf(p.timeMs), p.tag, p.seq});
            maxSeq = std::max(maxSeq, p.seq);
            ++taken.presence;
            return Status();
        });
    if (!stored) {
        return stored;
    }
    if (const int rc = insertPresence.Finish(); rc != SQLITE_DONE) {
        return StoreFailure(rc, static_cast<std::uint64_t>(insertPresence.FailedKey()));
    }
    if (Status st = InsertPresenceMinutes(); !st) {
        return st;
    }
    return ApplyOpenChanges();
}

// One row per minute and tag, in key order, grouped by the rollup's watermark like the rollup
// rows: the batches between two flushes insert into their group's part of the table, at the
// current minute's end, and a group stays as small as a flush.
Status Writer::Impl::InsertPresenceMinutes() {
    const std::int64_t since = options.keepReads ? static_cast<std::int64_t>(rollupSeq) : 0;
    std::sort(minuteEvents.begin(), minuteEvents.end());
    for (std::size_t i = 0; i < minuteEvents.size();) {
        const MinuteEvent& first = minuteEvents[i];
        minuteSeqs.clear();
        for (; i < minuteEvents.size() && minuteEvents[i].minute == first.minute &&
               minuteEvents[i].tag == first.tag;
             ++i) {
            minuteSeqs.push_back(minuteEvents[i].seq);
        }
        schema::EncodeSeqList(minuteSeqs, blob);
        sql::MultiRowInsert& s = presenceMinutes;
        s.Add(first.minute);
        s.Add(since);
        s.Add(std::int64_t{first.tag});
        s.Add(static_cast<std::int64_t>(minuteSeqs.front()));
        s.Add(static_cast<std::int64_t>(minuteSeqs.back()));
        s.AddBlob(blob);
        if (const int rc = s.EndRow(); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store the presence index");
        }
    }
    if (const int rc = presenceMinutes.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store the presence index");
    }
    return {};
}

// Each pair ends the batch as its last event leaves it (events of a pair apply in number order,
// whatever the batch's order). The rows change in number order: closings near the table's
// front, openings at its end.
Status Writer::Impl::ApplyOpenChanges() {
    std::sort(openChanges.begin(), openChanges.end(), [](const OpenChange& a, const OpenChange& b) {
        return a.pair != b.pair ? a.pair < b.pair : a.seq < b.seq;
    });
    closedSeqs.clear();
    opened.clear();
    for (std::size_t i = 0; i < openChanges.size(); ++i) {
        const OpenChange& c = openChanges[i];
        if (i + 1 < openChanges.size() && openChanges[i + 1].pair == c.pair) {
            continue;  // a later event of the same pair decides
        }
        std::uint64_t* open = openByPair.Find(c.pair);
        if (open != nullptr) {
            closedSeqs.push_back(*open);
        }
        if (c.arrive) {
            opened.push_back(c);
            if (open != nullptr) {
                *open = c.seq;
            } else {
                openByPair.Insert(c.pair, c.seq);
            }
        } else if (open != nullptr) {
            openByPair.Erase(c.pair);
        }
    }
    std::sort(closedSeqs.begin(), closedSeqs.end());
    for (const std::uint64_t seq : closedSeqs) {
        sql::Stmt& o = closeArrival;
        o.Bind(1, static_cast<std::int64_t>(seq));
        const int rc = o.Step();
        o.Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store a departure");
        }
    }
    std::sort(opened.begin(), opened.end(),
              [](const OpenChange& a, const OpenChange& b) { return a.seq < b.seq; });
    for (const OpenChange& c : opened) {
        sql::MultiRowInsert& o = openArrivals;
        o.Add(static_cast<std::int64_t>(c.seq));
        o.Add(std::int64_t{static_cast<std::uint32_t>(c.pair)});
        o.Add(static_cast<std::int64_t>(c.pair >> 32));
        o.Add(c.time);
        if (const int rc = o.EndRow(); rc != SQLITE_DONE) {
            return Fail(rc, "cannot store an arrival");
        }
    }
    if (const int rc = openArrivals.Finish(); rc != SQLITE_DONE) {
        return Fail(rc, "cannot store an arrival");
    }
    return {};
}

}  // namespace trelvane::history
