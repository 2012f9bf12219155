// The upgrade of a version 3 file. Version 3 had an index on presence(tag, seq) and the open
// arrivals keyed by (tag, reader). The open arrivals move to a table keyed by number, the index
// gives way to presence_minutes, built from the presence rows in its key order, and the rollup
// gains `since` in its key; all in one transaction.

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {

using sql::Stmt;

Status Writer::Impl::UpgradeTo4() {
    const auto failed = [&](int rc) {
        return Status(Fail(rc, "cannot upgrade the history to version 4"));
    };
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // A file whose version was set back (by hand, or a test) may have the new tables already.
    const Result<std::int64_t> has = QueryInt(
        "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'presence_minutes'", 0);
    if (!has) {
        return has.error();
    }
    if (rc == SQLITE_OK && has.value() == 0) {
        rc = MoveOpenArrivals();
        if (rc != SQLITE_OK) {
            return failed(rc);
        }
        rc = BuildPresenceMinutes();
        if (rc != SQLITE_DONE) {
            return failed(rc);
        }
        rc = SQLITE_OK;
    }
    // The rollup gains `since` in its key; the old rows are one group (0) per minute.
    const Result<std::int64_t> grouped =
        QueryInt("SELECT count(*) FROM pragma_table_info('tag_minutes') WHERE name = 'since'", 0);
    if (!grouped) {
        return grouped.error();
    }
    if (rc == SQLITE_OK && grouped.value() == 0) {
        rc = GroupRollupByFlush();
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db,
                       "DROP INDEX IF EXISTS presence_tag; "
                       "UPDATE meta SET value = 4 WHERE key = 'version'; COMMIT");
    }
    return rc == SQLITE_OK ? Status() : failed(rc);
}

// SQLITE_OK or the error code.
int Writer::Impl::MoveOpenArrivals() {
    int rc = sql::Exec(db, "ALTER TABLE presence_open RENAME TO presence_open_v3");
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::kCreatePresenceTables);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db,
                       "INSERT INTO presence_open(seq, tag, reader, time) SELECT seq, tag, "
                       "reader, time FROM presence_open_v3 ORDER BY seq; "
                       "DROP TABLE presence_open_v3");
    }
    return rc;
}

// A row of presence_minutes per minute and tag of the presence rows. SQLITE_DONE or the error
// code.
int Writer::Impl::BuildPresenceMinutes() {
    Stmt old;
    sql::MultiRowInsert insert;
    int rc = Stmt::Prepare(db,
                           "SELECT CASE WHEN time >= 0 THEN time / 60000 ELSE -((59999 - time) / "
                           "60000) END AS minute, tag, seq FROM presence ORDER BY minute, tag, seq",
                           old);
    if (rc == SQLITE_OK) {
        rc = insert.Prepare(
            db, "INSERT INTO presence_minutes(minute, since, tag, first_seq, last_seq, seqs)", 6);
    }
    if (rc != SQLITE_OK) {
        return rc;
    }
    std::int64_t minute = 0;
    std::int64_t tag = -1;
    minuteSeqs.clear();
    const auto store = [&] {
        schema::EncodeSeqList(minuteSeqs, blob);
        insert.Add(minute);
        insert.Add(std::int64_t{0});
        insert.Add(tag);
        insert.Add(static_cast<std::int64_t>(minuteSeqs.front()));
        insert.Add(static_cast<std::int64_t>(minuteSeqs.back()));
        insert.AddBlob(blob);
        minuteSeqs.clear();
        return insert.EndRow();
    };
    rc = SQLITE_DONE;
    int step = 0;
    while (rc == SQLITE_DONE && (step = old.Step()) == SQLITE_ROW) {
        if (!minuteSeqs.empty() && (old.Int(0) != minute || old.Int(1) != tag)) {
            rc = store();
        }
        minute = old.Int(0);
        tag = old.Int(1);
        minuteSeqs.push_back(static_cast<std::uint64_t>(old.Int(2)));
    }
    if (rc == SQLITE_DONE && step != SQLITE_DONE) {
        rc = step;
    }
    if (rc == SQLITE_DONE && !minuteSeqs.empty()) {
        rc = store();
    }
    if (rc == SQLITE_DONE) {
        rc = insert.Finish();
    }
    if (rc != SQLITE_DONE) {
        insert.Discard();
    }
    return rc;
}

// The rollup's rows, each in group 0 of its minute. SQLITE_OK or the error code.
int Writer::Impl::GroupRollupByFlush() {
    int rc = sql::Exec(db, schema::CreateTagMinutes("tag_minutes_v4").c_str());
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db,
                       "INSERT INTO tag_minutes_v4(minute, since, tag, first_seq, last_seq, "
                       "first_time, last_time, count, seqs, readers) SELECT minute, 0, tag, "
                       "first_seq, last_seq, first_time, last_time, count, seqs, readers FROM "
                       "tag_minutes ORDER BY minute, tag, first_seq; DROP TABLE tag_minutes; "
                       "ALTER TABLE tag_minutes_v4 RENAME TO tag_minutes");
    }
    return rc;
}

}  // namespace trelvane::history
