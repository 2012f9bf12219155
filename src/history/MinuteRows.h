#pragma once

// The rows of one minute and tag in the rollup (tag_minutes) or the presence index
// (presence_minutes), for the history's queries. From version 4 a minute's rows are grouped by
// the rollup flush they follow (`since`): the groups of a minute are found once, by a seek
// each, and then each group is looked up for the tag.

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/Sqlite.h"

namespace trelvane::history {

class MinuteRows {
  public:
    // `columns` are the caller's; `grouped` when the table has `since` in its key.
    int Prepare(sqlite3* db, const char* table, const std::string& columns, bool grouped) {
        grouped_ = grouped;
        minute_ = std::nullopt;
        const std::string from = std::string(" FROM ") + table + " WHERE minute = ?1";
        const std::string select = "SELECT " + columns + from;
        if (!grouped) {
            return sql::Stmt::Prepare(db, select + " AND tag = ?2", rows_);
        }
        const int rc = sql::Stmt::Prepare(
            db, "SELECT since" + from + " AND since > ?2 ORDER BY since LIMIT 1", next_);
        return rc != SQLITE_OK
                   ? rc
                   : sql::Stmt::Prepare(db, select + " AND since = ?3 AND tag = ?2", rows_);
    }

    // Calls `row(stmt)` for each row; returns the first SQLite error code, or SQLITE_DONE.
    template <typename Fn>
    int ForEach(std::int64_t minute, std::int64_t tag, Fn&& row) {
        if (!grouped_) {
            return Scan(minute, tag, std::nullopt, row);
        }
        if (minute_ != minute) {
            groups_.clear();
            minute_.reset();
            for (std::int64_t after = INT64_MIN;;) {
                next_.Reset();
                next_.Bind(1, minute);
                next_.Bind(2, after);
                const int rc = next_.Step();
                if (rc == SQLITE_DONE) {
                    break;
                }
                if (rc != SQLITE_ROW) {
                    return rc;
                }
                after = next_.Int(0);
                groups_.push_back(after);
            }
            minute_ = minute;
        }
        for (const std::int64_t since : groups_) {
            if (const int rc = Scan(minute, tag, since, row); rc != SQLITE_DONE) {
                return rc;
            }
        }
        return SQLITE_DONE;
    }

  private:
    template <typename Fn>
    int Scan(std::int64_t minute, std::int64_t tag, std::optional<std::int64_t> since, Fn& row) {
        rows_.Reset();
        rows_.Bind(1, minute);
        rows_.Bind(2, tag);
        if (since) {
            rows_.Bind(3, *since);
        }
        int rc = 0;
        while ((rc = rows_.Step()) == SQLITE_ROW) {
            if (const int stop = row(rows_); stop != SQLITE_ROW) {
                return stop;
            }
        }
        return rc;
    }

    bool grouped_ = false;
    sql::Stmt next_, rows_;
    std::optional<std::int64_t> minute_;
    std::vector<std::int64_t> groups_;
};

}  // namespace trelvane::history
