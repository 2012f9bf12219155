// The open arrivals (in arrival order), each with the latest read of its tag at its reader in
// the arrival's minute or later: from the reads after the rollup's watermark, then the rollup
// newest minute first, until every arrival is settled. The rollup is kept also without reads.

#include <map>

#include "history/ReaderImpl.h"

namespace trelvane::history {

using schema::MinuteOf;
using sql::Stmt;

class Reader::Impl::LastReads {
  public:
    LastReads(Impl& r, std::vector<OpenArrival>& out) : r_(r), out_(out) {}

    Status LoadArrivals();
    bool Done() const { return pending_.empty(); }
    Status NoteTailReads();
    Status NoteRollup();

  private:
    struct Open {
        std::size_t index;
        std::int64_t minute;
    };
    void Note(std::int64_t tag, std::int64_t reader, std::int64_t time) {
        const auto it = pending_.find({tag, reader});
        if (it != pending_.end() && MinuteOf(time) >= it->second.minute) {
            std::optional<std::int64_t>& last = out_[it->second.index].lastReadMs;
            last = std::max(last.value_or(INT64_MIN), time);
        }
    }
    // Before the rollup's minute `m` is read: done with an arrival when its best time lies in
    // a later minute (minute m holds no later time) or when m is before its arrival.
    void Settle(std::int64_t m) {
        std::erase_if(pending_, [&](const auto& item) {
            const std::optional<std::int64_t>& best = out_[item.second.index].lastReadMs;
            return (best && MinuteOf(*best) > m) || item.second.minute > m;
        });
    }
    Status NoteMinute(MinuteRows& rows, std::int64_t minute, bool legacy);
    Status NoteRow(const Stmt& row, std::int64_t tag, std::int64_t minute, bool legacy);

    Impl& r_;
    std::vector<OpenArrival>& out_;
    std::map<std::pair<std::int64_t, std::int64_t>, Open> pending_;  // (tag, reader id)
    std::vector<std::int64_t> tags_;
    std::vector<schema::ReaderLast> rowReaders_;
};

Status Reader::Impl::OpenArrivals(std::vector<OpenArrival>& out) {
    LastReads query(*this, out);
    if (Status st = query.LoadArrivals(); !st || query.Done()) {
        return st;
    }
    if (Status st = query.NoteTailReads(); !st) {
        return st;
    }
    return query.NoteRollup();
}

Status Reader::Impl::LastReads::LoadArrivals() {
    Stmt q;
    if (Status st = r_.Prepare(q, "SELECT tag, reader, seq, time FROM presence_open ORDER BY seq");
        !st) {
        return st;
    }
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const ReaderNames*> n = r_.Names(q.Int(1));
        if (!n) {
            return n.error();
        }
        pending_[{q.Int(0), q.Int(1)}] = Open{out_.size(), MinuteOf(q.Int(3))};
        out_.push_back(OpenArrival{static_cast<std::uint32_t>(q.Int(0)), n.value()->first,
                                   n.value()->second, static_cast<std::uint64_t>(q.Int(2)),
                                   q.Int(3), std::nullopt});
    }
    if (rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the open arrivals");
    }
    return {};
}

// The reads after the rollup's watermark (they have no rollup rows yet).
Status Reader::Impl::LastReads::NoteTailReads() {
    const Result<std::int64_t> watermark = r_.Watermark();
    if (!watermark) {
        return watermark.error();
    }
    Stmt q;
    if (Status st = r_.Prepare(q,
                               "SELECT tag, reader, max(time) FROM reads WHERE seq > ?1 "
                               "GROUP BY tag, reader");
        !st) {
        return st;
    }
    q.Bind(1, watermark.value());
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Note(q.Int(0), q.Int(1), q.Int(2));
    }
    if (rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the last reads");
    }
    return {};
}

// The rollup, newest minute first, down to the oldest pending arrival's minute: the rows of
// each pending tag (by key), their readers' last times.
Status Reader::Impl::LastReads::NoteRollup() {
    std::int64_t oldest = INT64_MAX;
    for (const auto& [key, open] : pending_) {
        oldest = std::min(oldest, open.minute);
    }
    const Result<std::int64_t> version = r_.Version();
    if (!version) {
        return version.error();
    }
    const bool legacy = version.value() < 3;
    Stmt minutes;
    if (Status st = r_.Prepare(
            minutes, "SELECT minute FROM minutes WHERE minute >= ?1 ORDER BY minute DESC");
        !st) {
        return st;
    }
    MinuteRows rows;
    if (const int rc = rows.Prepare(r_.db, "tag_minutes", legacy ? "reader, last_time" : "readers",
                                    version.value() >= 4);
        rc != SQLITE_OK) {
        return r_.Fail(rc, "query failed");
    }
    minutes.Bind(1, oldest);
    int rc = 0;
    while (!pending_.empty() && (rc = minutes.Step()) == SQLITE_ROW) {
        const std::int64_t minute = minutes.Int(0);
        Settle(minute);
        if (pending_.empty()) {
            break;
        }
        if (Status st = NoteMinute(rows, minute, legacy); !st) {
            return st;
        }
    }
    if (!pending_.empty() && rc != SQLITE_DONE) {
        return r_.Fail(rc, "cannot read the minute index");
    }
    return {};
}

Status Reader::Impl::LastReads::NoteMinute(MinuteRows& rows, std::int64_t minute, bool legacy) {
    tags_.clear();
    for (const auto& [key, open] : pending_) {
        if (tags_.empty() || tags_.back() != key.first) {
            tags_.push_back(key.first);
        }
    }
    for (const std::int64_t tag : tags_) {
        if (Status st =
                r_.EachRow(rows, minute, tag, "cannot read the rollup",
                           [&](const Stmt& row) { return NoteRow(row, tag, minute, legacy); });
            !st) {
            return st;
        }
    }
    return {};
}

Status Reader::Impl::LastReads::NoteRow(const Stmt& row, std::int64_t tag, std::int64_t minute,
                                        bool legacy) {
    if (Status st = r_.RowReaders(row, 0, legacy, minute, rowReaders_); !st) {
        return st;
    }
    for (const schema::ReaderLast& r : rowReaders_) {
        Note(tag, r.reader, r.lastTime);
    }
    return {};
}

}  // namespace trelvane::history
