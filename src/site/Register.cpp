#include "site/Register.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <ostream>
#include <stdexcept>

#include "base/JsonText.h"
#include "history/Sqlite.h"
#include "site/AssetCsv.h"

namespace trelvane::site {
namespace {

using history::sql::Stmt;

constexpr std::string_view kFormat = "trelvane-site";
constexpr std::int64_t kVersion = 1;
constexpr std::uint64_t kProgressLines = 10000;
// Snapshot keeps a group as a 16-bit index, 0 being "no group".
constexpr std::int64_t kMaxGroups = 65535;
constexpr std::size_t kExportChunk = 64 * 1024;

// Readers are unique across zones by their key; a zone's readers are found by (zone, position)
// for the cascade and for listing. Assets are paged by tag within a group, and found by label.
constexpr const char* kCreate = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY NOT NULL, value NOT NULL) WITHOUT ROWID;
CREATE TABLE zones(name TEXT PRIMARY KEY NOT NULL) WITHOUT ROWID;
CREATE TABLE zone_readers(
    reader TEXT PRIMARY KEY NOT NULL,
    zone TEXT NOT NULL REFERENCES zones(name) ON DELETE CASCADE,
    position INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX zone_readers_zone ON zone_readers(zone, position);
CREATE TABLE assets(
    tag INTEGER PRIMARY KEY,
    label TEXT NOT NULL,
    grp TEXT NOT NULL DEFAULT '',
    note TEXT NOT NULL DEFAULT ''
);
)";
constexpr const char* kCreateAssetIndexes =
    "CREATE INDEX assets_group ON assets(grp, tag); CREATE INDEX assets_label ON assets(label)";
constexpr const char* kDropAssetIndexes = "DROP INDEX assets_group; DROP INDEX assets_label";
// An import this large, and at least half the register's size, builds the asset indexes anew
// at its end: sorting a million rows is several times faster than a million random inserts.
constexpr std::uint64_t kBulkAssets = 100000;

// Every change of an asset leaves its tag in asset_changes, numbered, in the change's own
// transaction: a register catches up by re-reading just those tags. Triggers write it, so every
// writer of the file logs, a release from before the log included. An import of more than
// kLoggedChanges assets logs one row instead, with no tag: "everything changed".
constexpr const char* kCreateLog = R"(
CREATE TABLE IF NOT EXISTS asset_changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, tag INTEGER);
CREATE TRIGGER IF NOT EXISTS assets_added AFTER INSERT ON assets BEGIN
    INSERT INTO asset_changes(tag) VALUES (new.tag);
END;
CREATE TRIGGER IF NOT EXISTS assets_changed AFTER UPDATE OF tag, label, grp ON assets BEGIN
    INSERT INTO asset_changes(tag) VALUES (old.tag);
    INSERT INTO asset_changes(tag) SELECT new.tag WHERE new.tag IS NOT old.tag;
END;
CREATE TRIGGER IF NOT EXISTS assets_removed AFTER DELETE ON assets BEGIN
    INSERT INTO asset_changes(tag) VALUES (old.tag);
END;
)";
constexpr const char* kLogObjects =
    "SELECT count(*) FROM sqlite_schema WHERE name IN ('asset_changes', 'assets_added', "
    "'assets_changed', 'assets_removed')";
constexpr std::int64_t kLogObjectCount = 4;
constexpr const char* kDropLogTriggers =
    "DROP TRIGGER assets_added; DROP TRIGGER assets_changed; DROP TRIGGER assets_removed";
// The log keeps this many changes; a register further behind builds its snapshot whole, and so
// does one catching up on an import of more assets than this.
constexpr std::int64_t kLoggedChanges = 4096;

constexpr const char* kZonesQuery =
    "SELECT z.name, r.reader FROM zones z LEFT JOIN zone_readers r ON r.zone = z.name "
    "ORDER BY z.name, r.position";

std::string Quoted(std::string_view text) {
    return "\"" + ValidUtf8(text) + "\"";
}

Fault BadInput(std::string field, std::string text) {
    return Fault{FaultCode::kBadInput, std::move(text), std::move(field), 0};
}

// C0 controls, DEL and the C1 controls (U+0080..U+009F, C2 80..C2 9F in UTF-8).
bool HasControlCharacter(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == 0x7F ||
            (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0)) {
            return true;
        }
    }
    return false;
}

// "is empty", "is longer than N bytes", "is not valid UTF-8", or "" when the text is fine.
std::string TextFault(std::string_view text, std::size_t minBytes, std::size_t maxBytes) {
    if (text.size() < minBytes) {
        return "is empty";
    }
    if (text.size() > maxBytes) {
        return "is longer than " + std::to_string(maxBytes) + " bytes";
    }
    if (!IsValidUtf8(text)) {
        return "is not valid UTF-8";
    }
    return {};
}

Outcome CheckZone(std::string_view name, const std::vector<std::string>& readers) {
    if (std::string why = TextFault(name, 1, kMaxNameBytes); !why.empty()) {
        return BadInput("name", "the zone's name " + why);
    }
    if (HasControlCharacter(name)) {
        return BadInput("name", "the zone's name holds a control character");
    }
    if (readers.empty()) {
        return BadInput("readers", "a zone needs at least one reader");
    }
    std::vector<std::string_view> sorted;
    sorted.reserve(readers.size());
    for (const std::string& reader : readers) {
        if (std::string why = TextFault(reader, 1, kMaxNameBytes); !why.empty()) {
            return BadInput("readers",
                            "the reader name " +
                                (reader.empty() ? "" : Quoted(reader.substr(0, 40)) + " ") + why);
        }
        sorted.push_back(reader);
    }
    std::sort(sorted.begin(), sorted.end());
    if (const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
        twice != sorted.end()) {
        return BadInput("readers", "reader " + Quoted(*twice) + " is listed twice");
    }
    return std::nullopt;
}

}  // namespace

Outcome CheckAsset(const Asset& asset) {
    if (std::string why = TextFault(asset.label, 1, kMaxLabelBytes); !why.empty()) {
        return BadInput("label", "the label " + why);
    }
    if (std::string why = TextFault(asset.group, 0, kMaxNameBytes); !why.empty()) {
        return BadInput("group", "the group " + why);
    }
    if (std::string why = TextFault(asset.note, 0, kMaxNoteBytes); !why.empty()) {
        return BadInput("note", "the note " + why);
    }
    return std::nullopt;
}

class Register::Impl {
  public:
    ~Impl() {
        // _v2: the statements (members, finalized after this body) release the connection.
        sqlite3_close_v2(db);
    }

    Outcome Setup();
    Outcome CheckMeta();
    // Adds the change log to a file made before it, in one transaction.
    Outcome AddChangeLog();
    Outcome Prepare();

    // The file's zones and assets in one read transaction, as the next snapshot; the
    // data_version and the last change it was read at are remembered for Refresh.
    std::shared_ptr<const Snapshot> Load(Fault& fault);
    // The next snapshot: `current` with the assets changed since it (by the log) read again and
    // the zones read anew; the whole file (Load) when the log cannot tell what changed.
    std::shared_ptr<const Snapshot> Update(const Snapshot& current, Fault& fault);
    // After a commit: the new snapshot, or (when it cannot be read) a Refresh that retries.
    void Publish(Register& owner);
    Outcome ReadZones(std::vector<Zone>& zones);
    // Inside a change: forgets the changes older than the last kLoggedChanges.
    Outcome TrimLog() {
        trimLog.Bind(1, kLoggedChanges);
        const int rc = StepOnce(trimLog);
        return rc == SQLITE_DONE ? Outcome() : Fail(rc, "cannot store the change");
    }
    // Inside an import: its assets are no longer logged one by one (the triggers are dropped
    // until ResumeLogging, which logs "everything changed" and forgets the older changes).
    Outcome StopLogging() { return Run(kDropLogTriggers, "cannot prepare the import"); }
    Outcome ResumeLogging();
    Fault TooManyGroups() const {
        // Only a file changed by something else than a Register: every change here checks.
        return Fault{FaultCode::kCorrupt,
                     path + ": holds more than " + std::to_string(kMaxGroups) + " asset groups", "",
                     0};
    }

    Outcome Begin() { return Run("BEGIN IMMEDIATE", "cannot start a change"); }
    Outcome Commit() {
        Outcome fault = Run("COMMIT", "cannot store the change");
        if (fault) {
            Rollback();
        }
        return fault;
    }
    void Rollback() { history::sql::Exec(db, "ROLLBACK"); }
    // Rolls back and hands `fault` on, for returns from inside a change.
    Fault Abandon(Fault fault) {
        Rollback();
        return fault;
    }
    // One change: `body` in a transaction of its own, rolled back when it returns a fault,
    // and after the commit the new snapshot.
    template <class Body>
    Outcome Change(Register& owner, Body body) {
        if (Outcome fault = Begin()) {
            return fault;
        }
        if (Outcome fault = body()) {
            return Abandon(*fault);
        }
        if (Outcome fault = Commit()) {
            return fault;
        }
        Publish(owner);
        return std::nullopt;
    }
    // Steps a statement that returns no rows, or one row at most, and makes it ready again.
    static int StepOnce(Stmt& stmt) {
        const int rc = stmt.Step();
        stmt.Reset();
        return rc;
    }

    Outcome Run(const char* statement, std::string_view what) {
        const int rc = history::sql::Exec(db, statement);
        return rc == SQLITE_OK ? Outcome() : Fail(rc, what);
    }
    // One integer of a statement without parameters.
    Outcome QueryInt(Stmt& query, std::int64_t& value, std::string_view what) {
        const int rc = query.Step();
        value = rc == SQLITE_ROW ? query.Int(0) : 0;
        query.Reset();
        return rc == SQLITE_ROW ? Outcome() : Fail(rc, what);
    }
    Fault Fail(int rc, std::string_view what) const;
    Outcome CheckGroupCount();

    std::string path;
    sqlite3* db = nullptr;
    std::mutex mutex;
    std::uint64_t snapshotVersion = 0;
    std::int64_t dataVersion = -1;
    std::int64_t appliedChange = -1;  // the last asset_changes.seq the published snapshot holds

    Stmt dataVersionQuery, lastChange, firstChange, changedSince, trimLog, countAssets, countGroups,
        zoneOfReader, insertZone, clearZone, insertReader, deleteZone, upsertAsset, selectAsset,
        deleteAsset, groupExists, pageAll, pageGroup, countGroup, allTags, pageFound, countFound;
};

Fault Register::Impl::Fail(int rc, std::string_view what) const {
    FaultCode code = FaultCode::kIo;
    std::string why = sqlite3_errmsg(db);
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            why = "another process kept the register locked for 5 seconds";
            break;
        case SQLITE_FULL:
            code = FaultCode::kUnwritable;
            why = "the disk is full";
            break;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            code = FaultCode::kUnwritable;
            break;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            code = FaultCode::kCorrupt;
            why = "not a Trelvane site register, or damaged (" + why + ")";
            break;
        default:
            break;
    }
    return Fault{code, path + ": " + std::string(what) + ": " + why, "", 0};
}

Outcome Register::Impl::Setup() {
    Stmt tables;
    int rc = Stmt::Prepare(db, "SELECT count(*) FROM sqlite_schema", tables);
    std::int64_t count = 0;
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot read");
    }
    if (Outcome fault = QueryInt(tables, count, "cannot read")) {
        return fault;
    }
    if (count == 0) {
        // Counted again under the write lock: two processes may both find the file empty.
        if (Outcome fault = Run("PRAGMA journal_mode=WAL", "cannot switch to WAL")) {
            return fault;
        }
        if (Outcome fault = Begin()) {
            return fault;
        }
        if (Outcome fault = QueryInt(tables, count, "cannot read")) {
            return Abandon(*fault);
        }
        if (count == 0) {
            const std::string meta = "INSERT INTO meta(key, value) VALUES ('format', '" +
                                     std::string(kFormat) + "'), ('version', " +
                                     std::to_string(kVersion) + ")";
            if (Outcome fault = Run(kCreate, "cannot create the register")) {
                return Abandon(*fault);
            }
            if (Outcome fault = Run(kCreateAssetIndexes, "cannot create the register")) {
                return Abandon(*fault);
            }
            if (Outcome fault = Run(kCreateLog, "cannot create the register")) {
                return Abandon(*fault);
            }
            if (Outcome fault = Run(meta.c_str(), "cannot create the register")) {
                return Abandon(*fault);
            }
        }
        if (Outcome fault = Commit()) {
            return fault;
        }
    }
    if (Outcome fault = CheckMeta()) {
        return fault;
    }
    if (Outcome fault = AddChangeLog()) {
        return fault;
    }
    // Set on every open: a copied or restored file may have lost its WAL mode.
    if (Outcome fault = Run("PRAGMA journal_mode=WAL", "cannot switch to WAL")) {
        return fault;
    }
    history::sql::Exec(db, "PRAGMA synchronous=NORMAL");
    history::sql::Exec(db, "PRAGMA cache_size=-32768");
    if (Outcome fault = Run("PRAGMA foreign_keys=ON", "cannot enable foreign keys")) {
        return fault;
    }
    return Prepare();
}

Outcome Register::Impl::CheckMeta() {
    const Fault notOurs{FaultCode::kCorrupt, path + ": not a Trelvane site register", "", 0};
    Stmt q;
    int rc = Stmt::Prepare(db, "SELECT key, value FROM meta", q);
    if (rc != SQLITE_OK) {
        return (rc & 0xFF) == SQLITE_ERROR ? notOurs : Fail(rc, "cannot read");
    }
    std::string format;
    std::int64_t fileVersion = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        if (q.Text(0) == "format") {
            format = q.Text(1);
        } else if (q.Text(0) == "version") {
            fileVersion = q.Int(1);
        }
    }
    if (rc != SQLITE_DONE) {
        return Fail(rc, "cannot read");
    }
    if (format != kFormat) {
        return notOurs;
    }
    if (fileVersion > kVersion) {
        return Fault{FaultCode::kCorrupt,
                     path + ": made by a newer release (site register version " +
                         std::to_string(fileVersion) + "; this release reads version " +
                         std::to_string(kVersion) + ")",
                     "", 0};
    }
    if (fileVersion < 1) {
        return Fault{FaultCode::kCorrupt, path + ": damaged (no site register version)", "", 0};
    }
    return std::nullopt;
}

Outcome Register::Impl::AddChangeLog() {
    Stmt objects;
    std::int64_t count = 0;
    if (const int rc = Stmt::Prepare(db, kLogObjects, objects); rc != SQLITE_OK) {
        return Fail(rc, "cannot read");
    }
    if (Outcome fault = QueryInt(objects, count, "cannot read")) {
        return fault;
    }
    if (count == kLogObjectCount) {
        return std::nullopt;
    }
    // Another process may be adding it too: the statements make only what is missing.
    if (Outcome fault = Begin()) {
        return fault;
    }
    if (Outcome fault = Run(kCreateLog, "cannot add the change log")) {
        return Abandon(*fault);
    }
    return Commit();
}

Outcome Register::Impl::ResumeLogging() {
    // The mark; every change before it is moot.
    if (Outcome fault = Run("INSERT INTO asset_changes(tag) VALUES (NULL); DELETE FROM "
                            "asset_changes WHERE seq < last_insert_rowid()",
                            "cannot store the import")) {
        return fault;
    }
    return Run(kCreateLog, "cannot store the import");
}

Outcome Register::Impl::Prepare() {
    const std::pair<Stmt*, const char*> statements[] = {
        {&dataVersionQuery, "PRAGMA data_version"},
        {&lastChange, "SELECT coalesce(max(seq), 0) FROM asset_changes"},
        {&firstChange, "SELECT coalesce(min(seq), 0) FROM asset_changes"},
        {&changedSince,
         "SELECT c.tag, a.label, a.grp FROM asset_changes c LEFT JOIN assets a ON a.tag = c.tag "
         "WHERE c.seq > ?1 ORDER BY c.seq"},
        {&trimLog,
         "DELETE FROM asset_changes WHERE seq <= (SELECT max(seq) FROM asset_changes) - ?1"},
        {&countAssets, "SELECT count(*) FROM assets"},
        {&countGroups, "SELECT count(DISTINCT grp) FROM assets WHERE grp <> ''"},
        {&zoneOfReader, "SELECT zone FROM zone_readers WHERE reader = ?1"},
        {&insertZone, "INSERT INTO zones(name) VALUES (?1) ON CONFLICT DO NOTHING"},
        {&clearZone, "DELETE FROM zone_readers WHERE zone = ?1"},
        {&insertReader, "INSERT INTO zone_readers(reader, zone, position) VALUES (?1, ?2, ?3)"},
        {&deleteZone, "DELETE FROM zones WHERE name = ?1"},
        {&upsertAsset,
         "INSERT INTO assets(tag, label, grp, note) VALUES (?1, ?2, ?3, ?4) ON CONFLICT(tag) DO "
         "UPDATE SET label = excluded.label, grp = excluded.grp, note = excluded.note"},
        {&selectAsset, "SELECT label, grp, note FROM assets WHERE tag = ?1"},
        {&deleteAsset, "DELETE FROM assets WHERE tag = ?1"},
        {&groupExists, "SELECT 1 FROM assets WHERE grp = ?1 LIMIT 1"},
        {&pageAll, "SELECT tag, label, grp, note FROM assets ORDER BY tag LIMIT ?1 OFFSET ?2"},
        {&pageGroup,
         "SELECT tag, label, grp, note FROM assets WHERE grp = ?3 ORDER BY tag LIMIT ?1 OFFSET ?2"},
        {&countGroup, "SELECT count(*) FROM assets WHERE grp = ?1"},
        {&pageFound,
         "SELECT tag, label, grp, note FROM assets WHERE label LIKE ?3 ESCAPE '\\' OR grp LIKE ?3 "
         "ESCAPE '\\' OR tag = ?4 ORDER BY tag LIMIT ?1 OFFSET ?2"},
        {&countFound,
         "SELECT count(*) FROM assets WHERE label LIKE ?3 ESCAPE '\\' OR grp LIKE ?3 ESCAPE "
         "'\\' OR tag = ?4"},
        {&allTags, "SELECT tag FROM assets"},
    };
    for (const auto& [stmt, text] : statements) {
        if (const int rc = Stmt::Prepare(db, text, *stmt); rc != SQLITE_OK) {
            // Every statement names our own tables: failing here means they are not ours.
            return (rc & 0xFF) == SQLITE_ERROR
                       ? Fault{FaultCode::kCorrupt, path + ": damaged (" + sqlite3_errmsg(db) + ")",
                               "", 0}
                       : Fail(rc, "cannot read");
        }
    }
    return std::nullopt;
}

Outcome Register::Impl::ReadZones(std::vector<Zone>& zones) {
    Stmt q;
    int rc = Stmt::Prepare(db, kZonesQuery, q);
    if (rc != SQLITE_OK) {
        return Fail(rc, "cannot read the zones");
    }
    while ((rc = q.Step()) == SQLITE_ROW) {
        if (zones.empty() || zones.back().name != q.Text(0)) {
            zones.push_back(Zone{std::string(q.Text(0)), {}});
        }
        if (!q.IsNull(1)) {
            zones.back().readers.emplace_back(q.Text(1));
        }
    }
    return rc == SQLITE_DONE ? Outcome() : Fail(rc, "cannot read the zones");
}

std::shared_ptr<const Snapshot> Register::Impl::Load(Fault& fault) {
    std::vector<Zone> zones;
    std::vector<Asset> assets;
    std::int64_t seen = 0;
    std::int64_t last = 0;
    const auto read = [&]() -> Outcome {
        // The zones' query starts the read transaction; data_version then tells its state.
        if (Outcome f = ReadZones(zones)) {
            return f;
        }
        if (Outcome f = QueryInt(dataVersionQuery, seen, "cannot read")) {
            return f;
        }
        if (Outcome f = QueryInt(lastChange, last, "cannot read the change log")) {
            return f;
        }
        std::int64_t count = 0;
        if (Outcome f = QueryInt(countAssets, count, "cannot read the assets")) {
            return f;
        }
        assets.reserve(static_cast<std::size_t>(count));
        Stmt q;
        int rc = Stmt::Prepare(db, "SELECT tag, label, grp FROM assets", q);
        if (rc != SQLITE_OK) {
            return Fail(rc, "cannot read the assets");
        }
        while ((rc = q.Step()) == SQLITE_ROW) {
            assets.push_back(Asset{static_cast<std::uint32_t>(q.Int(0)), std::string(q.Text(1)),
                                   std::string(q.Text(2)), std::string()});
        }
        return rc == SQLITE_DONE ? Outcome() : Fail(rc, "cannot read the assets");
    };
    if (Outcome f = Run("BEGIN", "cannot read")) {
        fault = *f;
        return nullptr;
    }
    Outcome f = read();
    history::sql::Exec(db, "COMMIT");
    if (f) {
        fault = *f;
        return nullptr;
    }
    try {
        std::shared_ptr<const Snapshot> next =
            Snapshot::Make(std::move(assets), std::move(zones), snapshotVersion + 1);
        dataVersion = seen;
        appliedChange = last;
        ++snapshotVersion;
        return next;
    } catch (const std::length_error&) {
        fault = TooManyGroups();
        return nullptr;
    }
}

std::shared_ptr<const Snapshot> Register::Impl::Update(const Snapshot& current, Fault& fault) {
    std::vector<Zone> zones;
    std::vector<AssetEdit> edits;
    std::int64_t seen = 0;
    std::int64_t last = 0;
    bool whole = false;
    const auto read = [&]() -> Outcome {
        if (Outcome f = ReadZones(zones)) {
            return f;
        }
        if (Outcome f = QueryInt(dataVersionQuery, seen, "cannot read")) {
            return f;
        }
        if (Outcome f = QueryInt(lastChange, last, "cannot read the change log")) {
            return f;
        }
        if (last == appliedChange) {
            return std::nullopt;  // the zones only
        }
        std::int64_t first = 0;
        if (Outcome f = QueryInt(firstChange, first, "cannot read the change log")) {
            return f;
        }
        // Numbers never come back, so a first change past the next one means some were
        // trimmed before this register saw them.
        if (appliedChange < 0 || last < appliedChange || last - appliedChange > kLoggedChanges ||
            first > appliedChange + 1) {
            whole = true;
            return std::nullopt;
        }
        changedSince.Bind(1, appliedChange);
        int rc = SQLITE_ROW;
        while ((rc = changedSince.Step()) == SQLITE_ROW) {
            if (changedSince.IsNull(0)) {
                whole = true;  // an import's mark
                break;
            }
            AssetEdit& e = edits.emplace_back();
            e.tag = static_cast<std::uint32_t>(changedSince.Int(0));
            e.removed = changedSince.IsNull(1);
            e.label = changedSince.Text(1);
            e.group = changedSince.Text(2);
        }
        changedSince.Reset();
        return rc == SQLITE_DONE || whole ? Outcome() : Fail(rc, "cannot read the change log");
    };
    if (Outcome f = Run("BEGIN", "cannot read")) {
        fault = *f;
        return nullptr;
    }
    Outcome f = read();
    history::sql::Exec(db, "COMMIT");
    if (f) {
        fault = *f;
        return nullptr;
    }
    if (whole) {
        return Load(fault);
    }
    try {
        std::shared_ptr<const Snapshot> next =
            current.Edited(edits, std::move(zones), snapshotVersion + 1);
        dataVersion = seen;
        appliedChange = last;
        ++snapshotVersion;
        return next;
    } catch (const std::length_error&) {
        fault = TooManyGroups();
        return nullptr;
    }
}

void Register::Impl::Publish(Register& owner) {
    Fault fault;
    std::shared_ptr<const Snapshot> next = Update(*owner.Current(), fault);
    if (!next) {
        dataVersion = -1;
        return;
    }
    const std::lock_guard lock(owner.currentMutex_);
    owner.current_ = std::move(next);
}

Outcome Register::Impl::CheckGroupCount() {
    std::int64_t groups = 0;
    if (Outcome fault = QueryInt(countGroups, groups, "cannot count the groups")) {
        return fault;
    }
    if (groups > kMaxGroups) {
        return BadInput("group", "the register would hold " + std::to_string(groups) +
                                     " groups; it holds at most " + std::to_string(kMaxGroups));
    }
    return std::nullopt;
}

// ---- Register ----

Register::Register(std::filesystem::path path, std::unique_ptr<Impl> impl)
    : path_(std::move(path)), impl_(std::move(impl)) {}

Register::~Register() = default;

std::unique_ptr<Register> Register::Open(const std::filesystem::path& path, Fault& fault) {
    auto impl = std::make_unique<Impl>();
    impl->path = path.string();
    const int rc =
        sqlite3_open_v2(impl->path.c_str(), &impl->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        fault = impl->Fail(rc, "cannot open or create");
        return nullptr;
    }
    sqlite3_extended_result_codes(impl->db, 1);
    // The service and trelvane-site both write: a change waits for the other's to end.
    sqlite3_busy_timeout(impl->db, 5000);
    if (Outcome f = impl->Setup()) {
        fault = *f;
        return nullptr;
    }
    std::shared_ptr<const Snapshot> first = impl->Load(fault);
    if (!first) {
        return nullptr;
    }
    std::unique_ptr<Register> reg(new Register(path, std::move(impl)));
    reg->current_ = std::move(first);
    return reg;
}

std::shared_ptr<const Snapshot> Register::Current() const {
    const std::lock_guard lock(currentMutex_);
    return current_;
}

bool Register::Refresh() {
    const std::unique_lock lock(impl_->mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return false;
    }
    std::int64_t now = 0;
    if (impl_->QueryInt(impl_->dataVersionQuery, now, "cannot read") || now == impl_->dataVersion) {
        return false;
    }
    Fault fault;
    std::shared_ptr<const Snapshot> next = impl_->Update(*Current(), fault);
    if (!next) {
        return false;
    }
    const std::lock_guard currentLock(currentMutex_);
    current_ = std::move(next);
    return true;
}

// ---- zones ----

std::vector<Zone> Register::Zones() {
    const std::lock_guard lock(impl_->mutex);
    std::vector<Zone> zones;
    if (impl_->ReadZones(zones)) {
        return {};
    }
    return zones;
}

Outcome Register::SetZone(std::string_view name, const std::vector<std::string>& readers) {
    if (Outcome fault = CheckZone(name, readers)) {
        return fault;
    }
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    return d.Change(*this, [&]() -> Outcome {
        for (const std::string& reader : readers) {
            d.zoneOfReader.Bind(1, reader);
            const int rc = d.zoneOfReader.Step();
            const std::string holder(rc == SQLITE_ROW ? d.zoneOfReader.Text(0) : "");
            d.zoneOfReader.Reset();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                return d.Fail(rc, "cannot read the zones");
            }
            if (rc == SQLITE_ROW && holder != name) {
                return Fault{FaultCode::kConflict,
                             "reader " + Quoted(reader) + " belongs to zone " + Quoted(holder),
                             "readers", 0};
            }
        }
        d.insertZone.Bind(1, name);
        int rc = Impl::StepOnce(d.insertZone);
        if (rc == SQLITE_DONE) {
            d.clearZone.Bind(1, name);
            rc = Impl::StepOnce(d.clearZone);
        }
        for (std::size_t i = 0; rc == SQLITE_DONE && i < readers.size(); ++i) {
            d.insertReader.Bind(1, readers[i]);
            d.insertReader.Bind(2, name);
            d.insertReader.Bind(3, static_cast<std::int64_t>(i));
            rc = Impl::StepOnce(d.insertReader);
        }
        return rc == SQLITE_DONE ? Outcome() : d.Fail(rc, "cannot store the zone");
    });
}

Outcome Register::RemoveZone(std::string_view name) {
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    return d.Change(*this, [&]() -> Outcome {
        d.deleteZone.Bind(1, name);
        if (const int rc = Impl::StepOnce(d.deleteZone); rc != SQLITE_DONE) {
            return d.Fail(rc, "cannot remove the zone");
        }
        if (sqlite3_changes(d.db) == 0) {
            return Fault{FaultCode::kNotFound, "no zone is named " + Quoted(name), "name", 0};
        }
        return std::nullopt;
    });
}

// ---- assets ----

std::optional<Asset> Register::AssetOf(std::uint32_t tag) {
    const std::lock_guard lock(impl_->mutex);
    Stmt& q = impl_->selectAsset;
    q.Bind(1, static_cast<std::int64_t>(tag));
    std::optional<Asset> asset;
    if (q.Step() == SQLITE_ROW) {
        asset = Asset{tag, std::string(q.Text(0)), std::string(q.Text(1)), std::string(q.Text(2))};
    }
    q.Reset();
    return asset;
}

AssetPage Register::Assets(std::string_view group, std::uint64_t offset, std::uint64_t limit) {
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    AssetPage page;
    // The count and the page from one state of the file.
    if (d.Run("BEGIN", "cannot read")) {
        return page;
    }
    Stmt& count = group.empty() ? d.countAssets : d.countGroup;
    if (!group.empty()) {
        count.Bind(1, group);
    }
    if (count.Step() == SQLITE_ROW) {
        page.total = static_cast<std::uint64_t>(count.Int(0));
    }
    count.Reset();
    Stmt& q = group.empty() ? d.pageAll : d.pageGroup;
    q.Bind(1, static_cast<std::int64_t>(std::min(limit, kMaxPageAssets)));
    q.Bind(2, static_cast<std::int64_t>(std::min<std::uint64_t>(offset, INT64_MAX)));
    if (!group.empty()) {
        q.Bind(3, group);
    }
    while (q.Step() == SQLITE_ROW) {
        page.assets.push_back(Asset{static_cast<std::uint32_t>(q.Int(0)), std::string(q.Text(1)),
                                    std::string(q.Text(2)), std::string(q.Text(3))});
    }
    q.Reset();
    history::sql::Exec(d.db, "COMMIT");
    return page;
}

AssetPage Register::FindAssets(std::string_view text, std::uint64_t offset, std::uint64_t limit) {
    if (text.empty()) {
        return Assets("", offset, limit);
    }
    std::string pattern = "%";
    for (const char c : text) {
        if (c == '%' || c == '_' || c == '\\') {
            pattern += '\\';
        }
        pattern += c;
    }
    pattern += '%';
    std::uint32_t tag = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, tag);
    const bool isTag = ec == std::errc() && ptr == end;

    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    AssetPage page;
    const auto bind = [&](Stmt& q) {
        q.Bind(3, pattern);
        if (isTag) {
            q.Bind(4, static_cast<std::int64_t>(tag));
        } else {
            q.BindNull(4);
        }
    };
    if (d.Run("BEGIN", "cannot read")) {
        return page;
    }
    bind(d.countFound);
    if (d.countFound.Step() == SQLITE_ROW) {
        page.total = static_cast<std::uint64_t>(d.countFound.Int(0));
    }
    d.countFound.Reset();
    Stmt& q = d.pageFound;
    q.Bind(1, static_cast<std::int64_t>(std::min(limit, kMaxPageAssets)));
    q.Bind(2, static_cast<std::int64_t>(std::min<std::uint64_t>(offset, INT64_MAX)));
    bind(q);
    while (q.Step() == SQLITE_ROW) {
        page.assets.push_back(Asset{static_cast<std::uint32_t>(q.Int(0)), std::string(q.Text(1)),
                                    std::string(q.Text(2)), std::string(q.Text(3))});
    }
    q.Reset();
    history::sql::Exec(d.db, "COMMIT");
    return page;
}

Outcome Register::SetAsset(const Asset& asset) {
    if (Outcome fault = CheckAsset(asset)) {
        return fault;
    }
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    return d.Change(*this, [&]() -> Outcome {
        bool newGroup = false;
        if (!asset.group.empty()) {
            d.groupExists.Bind(1, asset.group);
            const int rc = Impl::StepOnce(d.groupExists);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                return d.Fail(rc, "cannot read the assets");
            }
            newGroup = rc == SQLITE_DONE;
        }
        d.upsertAsset.Bind(1, static_cast<std::int64_t>(asset.tag));
        d.upsertAsset.Bind(2, asset.label);
        d.upsertAsset.Bind(3, asset.group);
        d.upsertAsset.Bind(4, asset.note);
        if (const int rc = Impl::StepOnce(d.upsertAsset); rc != SQLITE_DONE) {
            return d.Fail(rc, "cannot store the asset");
        }
        if (Outcome fault = d.TrimLog()) {
            return fault;
        }
        return newGroup ? d.CheckGroupCount() : std::nullopt;
    });
}

Outcome Register::RemoveAsset(std::uint32_t tag) {
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    return d.Change(*this, [&]() -> Outcome {
        d.deleteAsset.Bind(1, static_cast<std::int64_t>(tag));
        if (const int rc = Impl::StepOnce(d.deleteAsset); rc != SQLITE_DONE) {
            return d.Fail(rc, "cannot remove the asset");
        }
        if (sqlite3_changes(d.db) == 0) {
            return Fault{FaultCode::kNotFound, "no asset has tag " + std::to_string(tag), "tag", 0};
        }
        return d.TrimLog();
    });
}

std::optional<ImportSummary> Register::ImportCsv(std::istream& in, bool replace, Fault& fault,
                                                 const Progress& progress) {
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    AssetCsvReader reader(in);
    ImportSummary summary;
    const auto cancelled = [&] {
        return Fault{FaultCode::kIo, "the import was cancelled; nothing was changed", "",
                     reader.LinesRead()};
    };
    const auto import = [&]() -> Outcome {
        std::int64_t before = 0;
        if (Outcome f = d.QueryInt(d.countAssets, before, "cannot count the assets")) {
            return f;
        }
        const std::uint64_t bulkAfter =
            std::max(kBulkAssets, static_cast<std::uint64_t>(before) / 2);
        bool bulk = false;
        // A small import is logged tag by tag and applied to the snapshot so; a larger one
        // marks "everything changed" and the snapshot is built whole.
        bool logged = true;
        const auto stopLogging = [&](std::uint64_t changes) -> Outcome {
            if (!logged || changes <= static_cast<std::uint64_t>(kLoggedChanges)) {
                return std::nullopt;
            }
            logged = false;
            return d.StopLogging();
        };
        std::uint64_t nextProgress = kProgressLines;
        Asset asset;
        while (reader.Next(asset)) {
            if (Outcome f = stopLogging(reader.AssetsRead())) {
                return f;
            }
            // Dropped inside the transaction: a fault or a cancel rolls the indexes back too.
            if (!bulk && reader.AssetsRead() >= bulkAfter) {
                if (Outcome f = d.Run(kDropAssetIndexes, "cannot prepare the import")) {
                    return f;
                }
                bulk = true;
            }
            d.upsertAsset.Bind(1, static_cast<std::int64_t>(asset.tag));
            d.upsertAsset.Bind(2, asset.label);
            d.upsertAsset.Bind(3, asset.group);
            d.upsertAsset.Bind(4, asset.note);
            if (const int rc = Impl::StepOnce(d.upsertAsset); rc != SQLITE_DONE) {
                Fault f = d.Fail(rc, "line " + std::to_string(reader.RecordLine()));
                f.line = reader.RecordLine();
                return f;
            }
            if (reader.LinesRead() >= nextProgress) {
                nextProgress = (reader.LinesRead() / kProgressLines + 1) * kProgressLines;
                if (progress && !progress(reader.LinesRead())) {
                    return cancelled();
                }
            }
        }
        if (reader.Failure()) {
            return reader.Failure();
        }
        if (bulk) {
            if (Outcome f = d.Run(kCreateAssetIndexes, "cannot index the assets")) {
                return f;
            }
        }
        std::int64_t after = 0;
        if (Outcome f = d.QueryInt(d.countAssets, after, "cannot count the assets")) {
            return f;
        }
        // An upsert never deletes: the count grew by the tags that were new.
        summary.added = static_cast<std::uint64_t>(after - before);
        summary.updated = reader.AssetsRead() - summary.added;
        if (replace) {
            std::vector<std::uint32_t> gone;
            int rc = SQLITE_ROW;
            while ((rc = d.allTags.Step()) == SQLITE_ROW) {
                const auto tag = static_cast<std::uint32_t>(d.allTags.Int(0));
                if (!reader.Seen(tag)) {
                    gone.push_back(tag);
                }
            }
            d.allTags.Reset();
            if (rc == SQLITE_DONE) {
                if (Outcome f = stopLogging(reader.AssetsRead() + gone.size())) {
                    return f;
                }
            }
            for (std::size_t i = 0; rc == SQLITE_DONE && i < gone.size(); ++i) {
                d.deleteAsset.Bind(1, static_cast<std::int64_t>(gone[i]));
                rc = Impl::StepOnce(d.deleteAsset);
            }
            if (rc != SQLITE_DONE) {
                return d.Fail(rc, "cannot remove the assets not in the file");
            }
            summary.removed = gone.size();
        }
        if (Outcome f = logged ? d.TrimLog() : d.ResumeLogging()) {
            return f;
        }
        if (Outcome f = d.CheckGroupCount()) {
            return f;
        }
        if (progress && !progress(reader.LinesRead())) {
            return cancelled();
        }
        return std::nullopt;
    };
    if (Outcome f = d.Change(*this, import)) {
        fault = std::move(*f);
        return std::nullopt;
    }
    return summary;
}

Outcome Register::ExportCsv(std::ostream& out, const Progress& progress) {
    const std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    Stmt q;
    int rc = Stmt::Prepare(d.db, "SELECT tag, label, grp, note FROM assets ORDER BY tag", q);
    if (rc != SQLITE_OK) {
        return d.Fail(rc, "cannot read the assets");
    }
    std::string chunk;
    AppendAssetCsvHeader(chunk);
    std::uint64_t lines = 1;
    Asset asset;
    const auto flush = [&] {
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        chunk.clear();
        return out.good();
    };
    const Fault unwritable{FaultCode::kUnwritable, "the CSV output cannot be written", "", 0};
    const Fault cancelled{FaultCode::kIo, "the export was cancelled", "", 0};
    // One statement is one read transaction: the file as it was when the export began.
    while ((rc = q.Step()) == SQLITE_ROW) {
        asset.tag = static_cast<std::uint32_t>(q.Int(0));
        asset.label = q.Text(1);
        asset.group = q.Text(2);
        asset.note = q.Text(3);
        AppendAssetCsvLine(chunk, asset);
        if (chunk.size() >= kExportChunk && !flush()) {
            return unwritable;
        }
        if (++lines % kProgressLines == 0 && progress && !progress(lines)) {
            return cancelled;
        }
    }
    if (rc != SQLITE_DONE) {
        return d.Fail(rc, "cannot read the assets");
    }
    if (!flush() || !out.flush()) {
        return unwritable;
    }
    if (progress && !progress(lines)) {
        return cancelled;
    }
    return std::nullopt;
}

}  // namespace trelvane::site
