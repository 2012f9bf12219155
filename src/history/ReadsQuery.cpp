// Reads by filter. Without a tag: the reads table in number order over the filter's range of
// numbers. For one tag: its numbers from the rollup (exact lists), the reads after the
// rollup's watermark from the table itself, then those rows by their primary key.

#include "history/ReaderImpl.h"

namespace trelvane::history {

using sql::Stmt;

// One tag's reads. With a reader filter, a rollup row whose readers are all wanted needs no
// look-up, one without them is skipped, and in the others each read's reader is looked up.
class Reader::Impl::TagReads {
  public:
    TagReads(Impl& r, const QueryScope& scope)
        : r_(r),
          rows_(scope.rows),
          bounds_(scope.bounds),
          tag_(*scope.rows.f.tag),
          limit_(scope.limit) {}

    Status Run(std::vector<ReadRow>& out);

  private:
    Status Prepare(bool grouped);
    Status CollectFromRollup();
    Status TakeRow(const Stmt& row, std::int64_t minute, bool edge);
    Status TakeUnlistedRow(const Stmt& row);
    Status TakeListedRow(const Stmt& row, bool lookUpEach);
    Status CollectTail(std::int64_t watermark);
    Status TakeMatching(Stmt& q, const char* what);
    Status Fetch(std::vector<ReadRow>& out);
    // Keeps the `limit` smallest candidates; true when that many are known.
    bool Compact() {
        std::sort(candidates_.begin(), candidates_.end());
        candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
        if (candidates_.size() > limit_) {
            candidates_.resize(limit_);
        }
        return candidates_.size() == limit_;
    }
    bool InRange(std::uint64_t s) const {
        return static_cast<std::int64_t>(s) >= bounds_.lo &&
               static_cast<std::int64_t>(s) <= bounds_.hi;
    }

    Impl& r_;
    const RowFilter& rows_;
    const Bounds& bounds_;
    const std::int64_t tag_;
    const std::size_t limit_;
    bool legacy_ = false;
    MinuteRows rollup_;
    Stmt minutes_, range_, lookUp_, tail_, fetch_;
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint64_t> list_;
    std::vector<schema::ReaderLast> rowReaders_;
};

Status Reader::Impl::Reads(const Filter& f, std::vector<ReadRow>& out) {
    if (f.zone || f.rule) {
        return {};  // reads have no zone, no rule
    }
    QueryScope scope(f);
    bool empty = false;
    if (Status st = Scope(scope, empty); !st || empty) {
        return st;
    }
    if (Status st = NarrowToMinutes(f, scope.bounds); !st || scope.bounds.lo > scope.bounds.hi) {
        return st;
    }
    if (!f.tag) {
        return ScanReads(scope, out);
    }
    TagReads query(*this, scope);
    return query.Run(out);
}

// The time range as a range of minutes, then of sequence numbers (none: lo above hi).
Status Reader::Impl::NarrowToMinutes(const Filter& f, Bounds& bounds) {
    if (!f.sinceMs && !f.untilMs) {
        return {};
    }
    Stmt q;
    if (Status st = Prepare(q,
                            "SELECT min(first_seq), max(last_seq) FROM minutes "
                            "WHERE minute BETWEEN ?1 AND ?2");
        !st) {
        return st;
    }
    q.Bind(1, bounds.firstMinute);
    q.Bind(2, bounds.lastMinute);
    const int rc = q.Step();
    if (rc != SQLITE_ROW) {
        return Fail(rc, "cannot read the minute index");
    }
    if (q.IsNull(0)) {
        bounds.lo = 1;
        bounds.hi = 0;
        return {};
    }
    bounds.lo = std::max(bounds.lo, q.Int(0));
    bounds.hi = std::min(bounds.hi, q.Int(1));
    return {};
}

Status Reader::Impl::ScanReads(const QueryScope& scope, std::vector<ReadRow>& out) {
    const RowFilter& rows = scope.rows;
    Stmt scan;
    if (Status st = Prepare(scan,
                            "SELECT seq, time, tag, reader, reader_time FROM reads "
                            "WHERE seq BETWEEN ?1 AND ?2 ORDER BY seq");
        !st) {
        return st;
    }
    scan.Bind(1, scope.bounds.lo);
    scan.Bind(2, scope.bounds.hi);
    int rc = 0;
    while (out.size() < scope.limit && (rc = scan.Step()) == SQLITE_ROW) {
        if (rows.TimeOk(scan.Int(1)) && rows.ReaderOk(scan.Int(3))) {
            if (Status st =
                    EmitRead(scan.Int(0), scan.Int(1), scan.Int(2), scan.Int(3), scan, 4, out);
                !st) {
                return st;
            }
        }
    }
    if (out.size() < scope.limit && rc != SQLITE_DONE) {
        return Fail(rc, "cannot read the reads");
    }
    return {};
}

Status Reader::Impl::EmitRead(std::int64_t seq, std::int64_t time, std::int64_t tag,
                              std::int64_t reader, const Stmt& row, int readerTimeColumn,
                              std::vector<ReadRow>& out) {
    Result<const ReaderNames*> n = Names(reader);
    if (!n) {
        return n.error();
    }
    ReadRow r;
    r.seq = static_cast<std::uint64_t>(seq);
    r.timeMs = time;
    r.tag = static_cast<std::uint32_t>(tag);
    r.reader = n.value()->first;
    r.device = n.value()->second;
    if (!row.IsNull(readerTimeColumn)) {
        r.readerTime = UnpackReaderTime(static_cast<std::uint64_t>(row.Int(readerTimeColumn)));
    }
    out.push_back(std::move(r));
    return {};
}

Status Reader::Impl::TagReads::Run(std::vector<ReadRow>& out) {
    const Result<std::int64_t> watermark = r_.Watermark();
    if (!watermark) {
        return watermark.error();
    }
    const Result<std::int64_t> version = r_.Version();
    if (!version) {
        return version.error();
    }
    legacy_ = version.value() < 3;
    if (Status st = Prepare(version.value() >= 4); !st) {
        return st;
    }
    if (Status st = CollectFromRollup(); !st) {
        return st;
    }
    if (Status st = CollectTail(watermark.value()); !st) {
        return st;
    }
    Compact();
    return Fetch(out);
}

Status Reader::Impl::TagReads::Prepare(bool grouped) {
    if (const int rc = rollup_.Prepare(r_.db, "tag_minutes",
                                       legacy_ ? "first_seq, last_seq, seqs, reader, last_time"
                                               : "first_seq, last_seq, seqs, readers",
                                       grouped);
        rc != SQLITE_OK) {
        return r_.Fail(rc, "query failed");
    }
    return r_.PrepareAll({
        {&minutes_,
         "SELECT minute, first_seq FROM minutes WHERE minute BETWEEN ?1 AND ?2 "
         "AND last_seq >= ?3 AND first_seq <= ?4 ORDER BY first_seq"},
        {&range_, "SELECT seq, time, reader FROM reads WHERE seq BETWEEN ?1 AND ?2 AND tag = ?3"},
        {&lookUp_, "SELECT time, reader FROM reads WHERE seq = ?1"},
        {&tail_, "SELECT seq, time, reader FROM reads WHERE seq > ?1 AND seq <= ?2 AND tag = ?3"},
        {&fetch_, "SELECT time, tag, reader, reader_time FROM reads WHERE seq = ?1"},
    });
}

// The tag's numbers from the rollup rows of each minute in the range.
Status Reader::Impl::TagReads::CollectFromRollup() {
    const Filter& f = rows_.f;
    minutes_.Bind(1, bounds_.firstMinute);
    minutes_.Bind(2, bounds_.lastMinute);
    minutes_.Bind(3, bounds_.lo);
    minutes_.Bind(4, bounds_.hi);
    int rc = 0;
    while ((rc = minutes_.Step()) == SQLITE_ROW) {
        const std::int64_t minute = minutes_.Int(0);
        // Minutes come in order of their first number: once `limit` candidates are known and
        // this minute starts above them, no later minute can add one.
        if (candidates_.size() >= limit_ && Compact() &&
            static_cast<std::uint64_t>(minutes_.Int(1)) > candidates_.back()) {
            break;
        }
        // Only the edge minutes of a time range hold reads outside it.
        const bool edge = (f.sinceMs && minute == bounds_.firstMinute) ||
                          (f.untilMs && minute == bounds_.lastMinute);
        if (Status st = r_.EachRow(rollup_, minute, tag_, "cannot read the rollup",
                                   [&](const Stmt& row) { return TakeRow(row, minute, edge); });
            !st) {
            return st;
        }
        if (candidates_.size() >= 2 * limit_) {
            Compact();
        }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the minute index");
    }
    return {};
}

Status Reader::Impl::TagReads::TakeRow(const Stmt& row, std::int64_t minute, bool edge) {
    bool everyReader = true;
    if (rows_.readerIds) {
        if (Status st = r_.RowReaders(row, 3, legacy_, minute, rowReaders_); !st) {
            return st;
        }
        const auto wanted = static_cast<std::size_t>(
            std::count_if(rowReaders_.begin(), rowReaders_.end(),
                          [&](const schema::ReaderLast& r) { return rows_.ReaderOk(r.reader); }));
        if (wanted == 0) {
            return {};
        }
        everyReader = wanted == rowReaders_.size();
    }
    if (row.IsNull(2)) {
        return TakeUnlistedRow(row);
    }
    return TakeListedRow(row, edge || !everyReader);
}

// A row without a SeqList (reads not kept when it was written): its range of numbers scanned.
Status Reader::Impl::TagReads::TakeUnlistedRow(const Stmt& row) {
    range_.Reset();
    range_.Bind(1, std::max<std::int64_t>(bounds_.lo, row.Int(0)));
    range_.Bind(2, std::min<std::int64_t>(bounds_.hi, row.Int(1)));
    range_.Bind(3, tag_);
    return TakeMatching(range_, "cannot read the reads");
}

// A row's listed numbers; `lookUpEach` checks each read's time and reader first.
Status Reader::Impl::TagReads::TakeListedRow(const Stmt& row, bool lookUpEach) {
    list_.clear();
    if (!schema::DecodeSeqList(static_cast<std::uint64_t>(row.Int(0)), row.Blob(2), list_)) {
        return Error{ErrorCode::kCorrupt, r_.path + ": a damaged rollup row"};
    }
    for (const std::uint64_t s : list_) {
        if (!InRange(s)) {
            continue;
        }
        if (lookUpEach) {
            lookUp_.Reset();
            lookUp_.Bind(1, static_cast<std::int64_t>(s));
            if (lookUp_.Step() != SQLITE_ROW || !rows_.TimeOk(lookUp_.Int(0)) ||
                !rows_.ReaderOk(lookUp_.Int(1))) {
                continue;
            }
        }
        candidates_.push_back(s);
    }
    return {};
}

// The reads after the rollup's watermark, which have no rollup rows yet.
Status Reader::Impl::TagReads::CollectTail(std::int64_t watermark) {
    tail_.Bind(1, std::max<std::int64_t>(watermark, bounds_.lo - 1));
    tail_.Bind(2, bounds_.hi);
    tail_.Bind(3, tag_);
    return TakeMatching(tail_, "cannot read the last reads");
}

// The numbers of the reads (seq, time, reader) `q` steps through that pass the filter.
Status Reader::Impl::TagReads::TakeMatching(Stmt& q, const char* what) {
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        if (rows_.TimeOk(q.Int(1)) && rows_.ReaderOk(q.Int(2))) {
            candidates_.push_back(static_cast<std::uint64_t>(q.Int(0)));
        }
    }
    return rc == SQLITE_DONE ? Status() : Status(r_.Fail(rc, what));
}

Status Reader::Impl::TagReads::Fetch(std::vector<ReadRow>& out) {
    for (const std::uint64_t s : candidates_) {
        const Result<bool> found = r_.FetchBySeq(fetch_, s, "cannot read the reads");
        if (!found) {
            return found.error();
        }
        if (!found.value()) {
            continue;  // deleted by retention meanwhile
        }
        if (Status st = r_.EmitRead(static_cast<std::int64_t>(s), fetch_.Int(0), fetch_.Int(1),
                                    fetch_.Int(2), fetch_, 3, out);
            !st) {
            return st;
        }
    }
    return {};
}

}  // namespace trelvane::history
