#include "history/Outbox.h"

#include "history/Sqlite.h"

namespace trelvane::history {

using sql::Stmt;

struct Outbox::Impl {
    sqlite3* db = nullptr;
    std::string path;
    std::string name;
    std::uint64_t cursor = 0;
    Stmt update;
    ~Impl() { sqlite3_close_v2(db); }
};

Outbox::Outbox(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Outbox::Outbox(Outbox&&) noexcept = default;
Outbox& Outbox::operator=(Outbox&&) noexcept = default;
Outbox::~Outbox() = default;

Result<Outbox> Outbox::Open(const std::filesystem::path& path, const std::string& name) {
    auto impl = std::make_unique<Impl>();
    impl->path = path.string();
    impl->name = name;
    int rc = sqlite3_open_v2(impl->path.c_str(), &impl->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        return sql::ErrorOf(impl->db, rc, impl->path + ": cannot open");
    }
    sqlite3_extended_result_codes(impl->db, 1);
    sqlite3_busy_timeout(impl->db, 5000);
    // Made at the history's last number unless it exists; in one statement, so a writer
    // appending meanwhile cannot slip a number between the read and the insert. A history of an
    // older release gets its outbox table when the service's writer opens it.
    Stmt create;
    rc = Stmt::Prepare(impl->db,
                       "INSERT INTO outbox(name, seq) SELECT ?1, CAST(value AS INTEGER) FROM meta "
                       "WHERE key = 'last_seq' ON CONFLICT(name) DO NOTHING",
                       create);
    if (rc == SQLITE_OK) {
        create.Bind(1, std::string_view(name));
        rc = create.Step();
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    if (rc != SQLITE_OK) {
        return sql::ErrorOf(impl->db, rc, impl->path + ": cannot make the cursor of " + name);
    }
    Stmt read;
    rc = Stmt::Prepare(impl->db, "SELECT seq FROM outbox WHERE name = ?1", read);
    if (rc == SQLITE_OK) {
        read.Bind(1, std::string_view(name));
        rc = read.Step();
    }
    if (rc != SQLITE_ROW) {
        return sql::ErrorOf(impl->db, rc, impl->path + ": cannot read the cursor of " + name);
    }
    impl->cursor = static_cast<std::uint64_t>(read.Int(0));
    rc = Stmt::Prepare(impl->db, "UPDATE outbox SET seq = ?2 WHERE name = ?1 AND seq < ?2",
                       impl->update);
    if (rc != SQLITE_OK) {
        return sql::ErrorOf(impl->db, rc, impl->path + ": cannot prepare the cursor");
    }
    return Outbox(std::move(impl));
}

Status Outbox::Remove(const std::filesystem::path& path, const std::string& name) {
    sqlite3* db = nullptr;
    const std::string file = path.string();
    int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Status status;
    if (rc != SQLITE_OK) {
        status = sql::ErrorOf(db, rc, file + ": cannot open");
    } else {
        sqlite3_busy_timeout(db, 5000);
        Stmt erase;
        rc = Stmt::Prepare(db, "DELETE FROM outbox WHERE name = ?1", erase);
        if (rc == SQLITE_OK) {
            erase.Bind(1, std::string_view(name));
            rc = erase.Step();
        }
        if (rc != SQLITE_DONE) {
            status = sql::ErrorOf(db, rc, file + ": cannot remove the cursor of " + name);
        }
    }
    sqlite3_close_v2(db);
    return status;
}

std::uint64_t Outbox::Cursor() const {
    return impl_->cursor;
}

Status Outbox::Advance(std::uint64_t seq) {
    if (seq <= impl_->cursor) {
        return {};
    }
    Stmt& s = impl_->update;
    s.Bind(1, std::string_view(impl_->name));
    s.Bind(2, static_cast<std::int64_t>(seq));
    const int rc = s.Step();
    s.Reset();
    if (rc != SQLITE_DONE) {
        return sql::ErrorOf(impl_->db, rc, impl_->path + ": cannot store the cursor");
    }
    impl_->cursor = seq;
    return {};
}

}  // namespace trelvane::history
