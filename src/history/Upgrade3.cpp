// The upgrade of a version 2 file. Version 2 kept a rollup row per (minute, tag, reader, flush);
// version 3 one per (minute, tag, flush). The old rows of a minute and tag (any reader, any
// flush) merge into one: its SeqList the union of theirs (none when one had none: queries then
// scan its seq range), its ReaderList each reader's last time. One pass in key order, in one
// transaction.

#include <algorithm>

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

using sql::Stmt;

// The old rows of one minute and tag, gathered into the row that replaces them. Fed the old
// rows (minute, tag, reader, first_seq, last_seq, first_time, last_time, count, seqs) in key
// order.
class MergedRow {
  public:
    MergedRow(sql::MultiRowInsert& insert, std::vector<std::uint8_t>& blob,
              std::vector<std::uint8_t>& readerBlob)
        : insert_(insert), blob_(blob), readerBlob_(readerBlob) {}

    bool Any() const { return any_; }
    // Whether `old` belongs to another minute or tag than the rows gathered so far.
    bool IsOtherThan(const Stmt& old) const {
        return !any_ || old.Int(0) != minute_ || old.Int(1) != tag_;
    }
    void Start(const Stmt& old) {
        any_ = true;
        minute_ = old.Int(0);
        tag_ = old.Int(1);
        firstSeq_ = old.Int(3);
        lastSeq_ = old.Int(4);
        firstTime_ = old.Int(5);
        lastTime_ = old.Int(6);
        count_ = 0;
        listed_ = true;
        seqs_.clear();
        readers_.clear();
    }
    // False when the old row's SeqList is damaged.
    bool Take(const Stmt& old) {
        const std::int64_t reader = old.Int(2);
        const std::int64_t lastTime = old.Int(6);
        firstSeq_ = std::min(firstSeq_, old.Int(3));
        lastSeq_ = std::max(lastSeq_, old.Int(4));
        firstTime_ = std::min(firstTime_, old.Int(5));
        lastTime_ = std::max(lastTime_, lastTime);
        count_ += old.Int(7);
        if (old.IsNull(8)) {
            listed_ = false;
        } else if (listed_ && !schema::DecodeSeqList(static_cast<std::uint64_t>(old.Int(3)),
                                                     old.Blob(8), seqs_)) {
            return false;
        }
        // Rows come in reader order within a minute and tag.
        if (!readers_.empty() && readers_.back().reader == reader) {
            readers_.back().lastTime = std::max(readers_.back().lastTime, lastTime);
        } else {
            readers_.push_back(schema::ReaderLast{reader, lastTime});
        }
        return true;
    }
    // SQLITE_DONE or the error code.
    int Store() {
        insert_.Add(minute_);
        insert_.Add(std::int64_t{0});  // one row per minute and tag: one group
        insert_.Add(tag_);
        insert_.Add(firstSeq_);
        insert_.Add(lastSeq_);
        insert_.Add(firstTime_);
        insert_.Add(lastTime_);
        insert_.Add(count_);
        if (listed_) {
            std::sort(seqs_.begin(), seqs_.end());
            seqs_.erase(std::unique(seqs_.begin(), seqs_.end()), seqs_.end());
            schema::EncodeSeqList(seqs_, blob_);
            insert_.AddBlob(blob_);
        } else {
            insert_.AddNull();
        }
        schema::EncodeReaderList(minute_, readers_, readerBlob_);
        insert_.AddBlob(readerBlob_);
        return insert_.EndRow();
    }

  private:
    sql::MultiRowInsert& insert_;
    std::vector<std::uint8_t>& blob_;
    std::vector<std::uint8_t>& readerBlob_;
    bool any_ = false;
    std::int64_t minute_ = 0, tag_ = -1, firstSeq_ = 0, lastSeq_ = 0, firstTime_ = 0, lastTime_ = 0,
                 count_ = 0;
    bool listed_ = true;
    std::vector<std::uint64_t> seqs_;
    std::vector<schema::ReaderLast> readers_;
};

}  // namespace

Status Writer::Impl::UpgradeTo3() {
    const auto failed = [&](int rc) {
        return Status(Fail(rc, "cannot upgrade the history to version 3"));
    };
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // A file whose version was set back (by hand, or a test) may have the rollup already.
    const Result<std::int64_t> has =
        QueryInt("SELECT count(*) FROM pragma_table_info('tag_minutes') WHERE name = 'readers'", 0);
    if (!has) {
        return has.error();
    }
    if (rc == SQLITE_OK && has.value() > 0) {
        rc = sql::Exec(db, "UPDATE meta SET value = 3 WHERE key = 'version'; COMMIT");
        return rc == SQLITE_OK ? Status() : failed(rc);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::CreateTagMinutes("tag_minutes_v3").c_str());
    }
    if (rc != SQLITE_OK) {
        return failed(rc);
    }
    if (Status st = MergeRollupRows(); !st) {
        return st;
    }
    rc = sql::Exec(db,
                   "DROP TABLE tag_minutes; ALTER TABLE tag_minutes_v3 RENAME TO tag_minutes; "
                   "UPDATE meta SET value = 3 WHERE key = 'version'; COMMIT");
    return rc == SQLITE_OK ? Status() : failed(rc);
}

// The old rollup's rows into tag_minutes_v3, a row per minute and tag. Its statements are done
// when it returns, so the old table can go.
Status Writer::Impl::MergeRollupRows() {
    Stmt old;
    sql::MultiRowInsert insert;
    int rc = Stmt::Prepare(db,
                           "SELECT minute, tag, reader, first_seq, last_seq, first_time, "
                           "last_time, count, seqs FROM tag_minutes ORDER BY minute, tag, "
                           "reader, first_seq",
                           old);
    if (rc == SQLITE_OK) {
        rc = insert.Prepare(db,
                            "INSERT INTO tag_minutes_v3(minute, since, tag, first_seq, last_seq, "
                            "first_time, last_time, count, seqs, readers)",
                            10);
    }
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot upgrade the history to version 3");
    }
    MergedRow merged(insert, blob, readerBlob);
    while ((rc = old.Step()) == SQLITE_ROW) {
        if (merged.IsOtherThan(old)) {
            if (merged.Any()) {
                if (const int src = merged.Store(); src != SQLITE_DONE) {
                    rc = src;
                    break;
                }
            }
            merged.Start(old);
        }
        if (!merged.Take(old)) {
            return Error{ErrorCode::kCorrupt, path + ": a damaged rollup row"};
        }
    }
    if (rc == SQLITE_DONE && merged.Any()) {
        rc = merged.Store();
    }
    if (rc == SQLITE_DONE) {
        rc = insert.Finish();
    }
    if (rc != SQLITE_DONE) {
        insert.Discard();
        return Fail(rc, "cannot upgrade the history to version 3");
    }
    return {};
}

}  // namespace trelvane::history
