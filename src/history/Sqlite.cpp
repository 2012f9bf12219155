#include "history/Sqlite.h"

namespace trelvane::history::sql {

Stmt::~Stmt() {
    sqlite3_finalize(stmt_);
}

Stmt& Stmt::operator=(Stmt&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

int Stmt::Prepare(sqlite3* db, std::string_view text, Stmt& out) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db, text.data(), static_cast<int>(text.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        out = Stmt();
        return rc;
    }
    out = Stmt();
    out.stmt_ = stmt;
    return SQLITE_OK;
}

void Stmt::Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
}

void Stmt::Bind(int index, std::string_view text) {
    // SQLITE_STATIC: the text outlives the step (binds are cleared by Reset before reuse).
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void Stmt::BindBlob(int index, std::span<const std::uint8_t> bytes) {
    sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

void Stmt::BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
}

int Stmt::Step() {
    return sqlite3_step(stmt_);
}

int MultiRowInsert::Prepare(sqlite3* db, std::string_view head, int columns,
                            std::string_view tail) {
    columns_ = columns;
    const auto statement = [&](int rows) {
        std::string text(head);
        text += " VALUES ";
        for (int r = 0; r < rows; ++r) {
            text += r == 0 ? "(" : ", (";
            for (int c = 0; c < columns; ++c) {
                text += c == 0 ? "?" : ", ?";
            }
            text += ')';
        }
        if (!tail.empty()) {
            text += ' ';
            text += tail;
        }
        return text;
    };
    const int rc = Stmt::Prepare(db, statement(kRowsPerStatement), many_);
    return rc != SQLITE_OK ? rc : Stmt::Prepare(db, statement(1), one_);
}

void MultiRowInsert::AddBlob(std::span<const std::uint8_t> bytes) {
    values_.push_back(Value{Value::kBlob, 0, static_cast<std::uint32_t>(blobs_.size()),
                            static_cast<std::uint32_t>(bytes.size())});
    blobs_.insert(blobs_.end(), bytes.begin(), bytes.end());
}

int MultiRowInsert::Step(Stmt& stmt, std::size_t firstRow, std::size_t rows) {
    int index = 1;
    const std::size_t end = (firstRow + rows) * static_cast<std::size_t>(columns_);
    for (std::size_t v = firstRow * static_cast<std::size_t>(columns_); v < end; ++v, ++index) {
        const Value& value = values_[v];
        switch (value.kind) {
            case Value::kInt:
                stmt.Bind(index, value.i);
                break;
            case Value::kNull:
                stmt.BindNull(index);
                break;
            case Value::kBlob: {
                // An empty blob stays a blob: SQLite binds NULL for a null pointer.
                static constexpr std::uint8_t kEmpty = 0;
                const std::uint8_t* bytes =
                    value.size == 0 ? &kEmpty : blobs_.data() + value.offset;
                stmt.BindBlob(index, std::span<const std::uint8_t>(bytes, value.size));
                break;
            }
        }
    }
    const int rc = stmt.Step();
    stmt.Reset();
    return rc;
}

int MultiRowInsert::EndRow() {
    if (values_.size() < static_cast<std::size_t>(kRowsPerStatement * columns_)) {
        return SQLITE_DONE;
    }
    int rc = Step(many_, 0, kRowsPerStatement);
    if (rc != SQLITE_DONE) {
        // The failed statement stored none of its rows: find the one that fails.
        for (std::size_t row = 0; row < kRowsPerStatement; ++row) {
            rc = Step(one_, row, 1);
            if (rc != SQLITE_DONE) {
                failedKey_ = values_[row * static_cast<std::size_t>(columns_)].i;
                break;
            }
        }
    }
    Discard();
    return rc;
}

int MultiRowInsert::Finish() {
    const std::size_t rows = values_.size() / static_cast<std::size_t>(columns_);
    int rc = SQLITE_DONE;
    for (std::size_t row = 0; row < rows && rc == SQLITE_DONE; ++row) {
        rc = Step(one_, row, 1);
        if (rc != SQLITE_DONE) {
            failedKey_ = values_[row * static_cast<std::size_t>(columns_)].i;
        }
    }
    Discard();
    return rc;
}

void MultiRowInsert::Discard() {
    values_.clear();
    blobs_.clear();
}

void Stmt::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t Stmt::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string_view Stmt::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr ? std::string_view()
                           : std::string_view(text, static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> Stmt::Blob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return data == nullptr ? std::span<const std::uint8_t>()
                           : std::span<const std::uint8_t>(data, static_cast<std::size_t>(size));
}

bool Stmt::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int Exec(sqlite3* db, const char* text) {
    return sqlite3_exec(db, text, nullptr, nullptr, nullptr);
}

ErrorCode CodeOf(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ErrorCode::kLocked;
        case SQLITE_FULL:
            return ErrorCode::kDiskFull;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            return ErrorCode::kUnwritable;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
            return ErrorCode::kCorrupt;
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
            return ErrorCode::kBadInput;
        default:
            return ErrorCode::kIo;
    }
}

Error ErrorOf(sqlite3* db, int rc, std::string_view what) {
    std::string text(what);
    text += ": ";
    switch (CodeOf(rc)) {
        case ErrorCode::kDiskFull:
            text += "disk full";
            break;
        case ErrorCode::kCorrupt:
            text += "corrupt or not a history database";
            break;
        case ErrorCode::kLocked:
            text += "locked by another process";
            break;
        default:
            text += db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            return Error{CodeOf(rc), std::move(text)};
    }
    text += " (";
    text += db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    text += ")";
    return Error{CodeOf(rc), std::move(text)};
}

}  // namespace trelvane::history::sql
