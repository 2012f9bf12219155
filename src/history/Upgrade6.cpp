// The upgrade of a version 5 file, which kept no alerts: the alert tables, empty, made in one
// transaction with the new version.

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {

Status Writer::Impl::UpgradeTo6() {
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // Only the absent ones are made: a file whose version was set back may have them.
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::kCreateAlertTables);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, "UPDATE meta SET value = 6 WHERE key = 'version'; COMMIT");
    }
    return rc == SQLITE_OK ? Status() : Status(Fail(rc, "cannot upgrade the history to version 6"));
}

}  // namespace trelvane::history
