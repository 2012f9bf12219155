#pragma once

// A thin layer over the SQLite C API for this library only: statements that finalize
// themselves, binds by position, and SQLite result codes turned into our errors.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Inserts rows of one shape many to a statement: for narrow rows a statement's own cost
// (reset, cursor, journal checks) is most of an insert. Add a row's values in column order,
// then EndRow; every kRowsPerStatement rows go in one statement, Finish stores the rest.
class MultiRowInsert {
  public:
    static constexpr int kRowsPerStatement = 64;

    // `head` is the statement up to VALUES, `tail` what follows the value lists (e.g. an
    // ON CONFLICT clause). SQLITE_OK or the error code.
    int Prepare(sqlite3* db, std::string_view head, int columns, std::string_view tail = {});

    void Add(std::int64_t value) { values_.push_back(Value{Value::kInt, value, 0, 0}); }
    void AddNull() { values_.push_back(Value{Value::kNull, 0, 0, 0}); }
    // The bytes are copied: the caller may reuse its buffer at once.
    void AddBlob(std::span<const std::uint8_t> bytes);
    // SQLITE_DONE, or the error of the statement the row completed.
    int EndRow();
    // Stores the rows waiting: SQLITE_DONE or the error code.
    int Finish();
    // Forgets the rows waiting (after a failure: the transaction is rolled back).
    void Discard();

    // After a failure: the first value of the row that failed (the rows of a failed statement
    // are tried one by one to find it).
    std::int64_t FailedKey() const { return failedKey_; }

  private:
    struct Value {
        enum Kind : std::uint8_t { kInt, kNull, kBlob } kind;
        std::int64_t i;
        std::uint32_t offset, size;
    };
    int Step(Stmt& stmt, std::size_t firstRow, std::size_t rows);

    int columns_ = 0;
    Stmt many_, one_;
    std::vector<Value> values_;
    std::vector<std::uint8_t> blobs_;
    std::int64_t failedKey_ = 0;
};

// Runs statements without results; SQLITE_OK or the first error code.
int Exec(sqlite3* db, const char* text);

// Our error for a failed SQLite call: the code class and "what: SQLite's message".
Error ErrorOf(sqlite3* db, int rc, std::string_view what);
ErrorCode CodeOf(int rc);

}  // namespace trelvane::history::sql
