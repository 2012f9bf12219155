#pragma once

// Errors as values for the history: every operation that touches the database says how it
// failed in words an operator can act on ("locked by another process", "disk full", ...).

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace trelvane::history {

enum class ErrorCode {
    kNotFound,    // no database at the path (readers never create one)
    kLocked,      // another writer holds the database
    kUnwritable,  // the file or its folder refuses writing
    kCorrupt,     // not a database, damaged, or not a Trelvane history
    kDiskFull,    // the disk or a size limit is full; nothing of the batch was stored
    kBadInput,    // the caller's values cannot be stored (e.g. a sequence number twice)
    kIo,          // any other failure of the file system or SQLite
};

struct Error {
    ErrorCode code = ErrorCode::kIo;
    std::string text;
};

class [[nodiscard]] Status {
  public:
    Status() = default;
    Status(Error error) : error_(std::move(error)) {}  // NOLINT: an error is a status

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }

  private:
    std::optional<Error> error_;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}      // NOLINT: a value is a result
    Result(Error error) : v_(std::move(error)) {}  // NOLINT: so is an error

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

}  // namespace trelvane::history
