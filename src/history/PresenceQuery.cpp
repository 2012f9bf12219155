// Presence events by filter. For one tag (from version 4): its numbers from presence_minutes,
// minute by minute of the range (each next minute that has events found by one seek), then
// those rows by their primary key. Otherwise, and before version 4 (an index on tag), the
// plain event scan.

#include "history/ReaderImpl.h"

namespace trelvane::history {
namespace {

// A presence query for a tag reads the events of its range of numbers directly when there are
// no more than this many.
constexpr std::size_t kPresenceScanRows = 4096;

}  // namespace

using sql::Stmt;

class Reader::Impl::TagPresence {
  public:
    TagPresence(Impl& r, const QueryScope& scope, std::vector<PresenceRow>& out)
        : r_(r),
          rows_(scope.rows),
          bounds_(scope.bounds),
          tag_(*scope.rows.f.tag),
          limit_(scope.limit),
          out_(out) {}

    Status ReadShortRange(bool& done);
    Status CollectFromIndex();
    Status Fetch();

  private:
    Status TakeIndexRow(const Stmt& row);
    // Filters that need the row itself: the time at the range's edges, the reader.
    bool Wanted(std::int64_t time, std::int64_t tag, std::int64_t reader) const {
        return rows_.TimeOk(time) && tag == std::int64_t{tag_} && rows_.ReaderOk(reader);
    }
    Status Emit(std::uint64_t seq, std::int64_t time, std::int64_t reader, std::int64_t kind) {
        Result<const ReaderNames*> n = r_.Names(reader);
        if (!n) {
            return n.error();
        }
        out_.push_back(PresenceRow{seq, time, tag_, n.value()->first, n.value()->second,
                                   static_cast<PresenceKind>(kind)});
        return {};
    }

    Impl& r_;
    const RowFilter& rows_;
    const Bounds& bounds_;
    const std::uint32_t tag_;
    const std::size_t limit_;
    std::vector<PresenceRow>& out_;
    Stmt fetch_;
    // The numbers of the tag's events in the range: two per visit of the tag to a reader.
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint64_t> list_;
};

Status Reader::Impl::Presence(const Filter& f, std::vector<PresenceRow>& out) {
    if (f.zone || f.rule) {
        return {};  // presence is per reader, not zone, and has no rule
    }
    if (f.tag) {
        // Before version 4 an index on tag answers.
        const Result<std::int64_t> version = Version();
        if (!version) {
            return version.error();
        }
        if (version.value() >= 4) {
            return PresenceOfTag(f, out);
        }
    }
    return Events("seq, time, tag, reader, kind", "presence", f, "cannot read the presence events",
                  [&](const Stmt& q, const ReaderNames& n) {
                      out.push_back(PresenceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                                static_cast<std::uint32_t>(q.Int(2)), n.first,
                                                n.second, static_cast<PresenceKind>(q.Int(4))});
                  });
}

Status Reader::Impl::PresenceOfTag(const Filter& f, std::vector<PresenceRow>& out) {
    QueryScope scope(f);
    bool empty = false;
    if (Status st = Scope(scope, empty); !st || empty) {
        return st;
    }
    TagPresence query(*this, scope, out);
    bool done = false;
    if (Status st = query.ReadShortRange(done); !st || done) {
        return st;
    }
    if (Status st = query.CollectFromIndex(); !st) {
        return st;
    }
    return query.Fetch();
}

// Few events in the range of numbers (a follower asking for what is new): they are read as
// they are, without walking the minutes of the whole history; `done` then.
Status Reader::Impl::TagPresence::ReadShortRange(bool& done) {
    Stmt tail;
    if (Status st = r_.Prepare(tail,
                               "SELECT seq, time, tag, reader, kind FROM presence WHERE seq "
                               "BETWEEN ?1 AND ?2 ORDER BY seq LIMIT ?3");
        !st) {
        return st;
    }
    tail.Bind(1, bounds_.lo);
    tail.Bind(2, bounds_.hi);
    tail.Bind(3, static_cast<std::int64_t>(kPresenceScanRows + 1));
    struct Row {
        std::int64_t seq, time, tag, reader, kind;
    };
    std::vector<Row> found;
    int rc = 0;
    while ((rc = tail.Step()) == SQLITE_ROW) {
        found.push_back(Row{tail.Int(0), tail.Int(1), tail.Int(2), tail.Int(3), tail.Int(4)});
    }
    if (rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the presence events");
    }
    if (found.size() > kPresenceScanRows) {
        return {};
    }
    done = true;
    for (const Row& row : found) {
        if (out_.size() < limit_ && Wanted(row.time, row.tag, row.reader)) {
            if (Status st =
                    Emit(static_cast<std::uint64_t>(row.seq), row.time, row.reader, row.kind);
                !st) {
                return st;
            }
        }
    }
    return {};
}

Status Reader::Impl::TagPresence::CollectFromIndex() {
    Stmt next;
    if (Status st = r_.PrepareAll({
            {&next,
             "SELECT minute FROM presence_minutes WHERE minute BETWEEN ?1 AND ?2 "
             "ORDER BY minute LIMIT 1"},
            {&fetch_, "SELECT time, tag, reader, kind FROM presence WHERE seq = ?1"},
        });
        !st) {
        return st;
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(r_.db, "presence_minutes", "first_seq, last_seq, seqs", true);
        rc != SQLITE_OK) {
        return r_.Fail(rc, "query failed");
    }
    for (std::int64_t minute = bounds_.firstMinute;;) {
        next.Reset();
        next.Bind(1, minute);
        next.Bind(2, bounds_.lastMinute);
        const int rc = next.Step();
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            return r_.Fail(rc, "cannot read the presence index");
        }
        const std::int64_t found = next.Int(0);
        if (Status st =
                r_.EachRow(rows, found, std::int64_t{tag_}, "cannot read the presence index",
                           [&](const Stmt& row) { return TakeIndexRow(row); });
            !st) {
            return st;
        }
        if (found >= bounds_.lastMinute) {
            break;
        }
        minute = found + 1;
    }
    return {};
}

Status Reader::Impl::TagPresence::TakeIndexRow(const Stmt& row) {
    if (row.Int(1) < bounds_.lo || row.Int(0) > bounds_.hi) {
        return {};
    }
    list_.clear();
    if (!schema::DecodeSeqList(static_cast<std::uint64_t>(row.Int(0)), row.Blob(2), list_)) {
        return Error{ErrorCode::kCorrupt, r_.path + ": a damaged presence index row"};
    }
    for (const std::uint64_t s : list_) {
        if (static_cast<std::int64_t>(s) >= bounds_.lo &&
            static_cast<std::int64_t>(s) <= bounds_.hi) {
            candidates_.push_back(s);
        }
    }
    return {};
}

// The rows fetched in number order, until `limit` have passed the filter.
Status Reader::Impl::TagPresence::Fetch() {
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    for (const std::uint64_t s : candidates_) {
        if (out_.size() >= limit_) {
            break;
        }
        const Result<bool> found = r_.FetchBySeq(fetch_, s, "cannot read the presence events");
        if (!found) {
            return found.error();
        }
        if (!found.value()) {
            continue;  // deleted by retention meanwhile
        }
        if (!Wanted(fetch_.Int(0), fetch_.Int(1), fetch_.Int(2))) {
            continue;
        }
        if (Status st = Emit(s, fetch_.Int(0), fetch_.Int(2), fetch_.Int(3)); !st) {
            return st;
        }
    }
    return {};
}

}  // namespace trelvane::history
