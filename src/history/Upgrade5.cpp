// The upgrade of a version 4 file, which kept no zone events: the zone tables, empty, made in
// one transaction with the new version.

#include "history/Schema.h"
#include "history/WriterImpl.h"

namespace trelvane::history {

Status Writer::Impl::UpgradeTo5() {
    int rc = sql::Exec(db, "BEGIN IMMEDIATE");
    // Only the absent ones are made: a file whose version was set back may have them.
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, schema::kCreateZoneTables);
    }
    if (rc == SQLITE_OK) {
        rc = sql::Exec(db, "UPDATE meta SET value = 5 WHERE key = 'version'; COMMIT");
    }
    return rc == SQLITE_OK ? Status() : Status(Fail(rc, "cannot upgrade the history to version 5"));
}

}  // namespace trelvane::history
