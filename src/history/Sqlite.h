#pragma once

// A thin layer over the SQLite C API for this library only: statements that finalize
// themselves, binds by position, and SQLite result codes turned into our errors.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "history/Result.h"

namespace trelvane::history::sql {

class Stmt {
  public:
    Stmt() = default;
    ~Stmt();
    Stmt(Stmt&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
    Stmt& operator=(Stmt&& other) noexcept;
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    // SQLITE_OK or the error code; `out` is left empty on failure.
    static int Prepare(sqlite3* db, std::string_view text, Stmt& out);

    void Bind(int index, std::int64_t value);
    void Bind(int index, std::string_view text);
    void BindBlob(int index, std::span<const std::uint8_t> bytes);
    void BindNull(int index);

    int Step();    // SQLITE_ROW, SQLITE_DONE or an error code
    void Reset();  // ready to step again, bindings cleared

    std::int64_t Int(int column) const;
    std::string_view Text(int column) const;
    std::span<const std::uint8_t> Blob(int column) const;
    bool IsNull(int column) const;

    explicit operator bool() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Runs statements without results; SQLITE_OK or the first error code.
int Exec(sqlite3* db, const char* text);

// Our error for a failed SQLite call: the code class and "what: SQLite's message".
Error ErrorOf(sqlite3* db, int rc, std::string_view what);
ErrorCode CodeOf(int rc);

}  // namespace trelvane::history::sql
