#pragma once

// An output's cursor in the history: the last sequence number it has handed on (the broker
// acknowledged it, or took it at QoS 0). What lies above the cursor is the output's backlog,
// read back from the history's own tables, so an outage or a restart of either side loses
// nothing. Retention counts what it deletes above the cursor (Options::guardedOutput).
//
// An Outbox is its own connection to the database, next to the service's writer (WAL: the
// cursor's short transactions wait for the writer's at most busy_timeout).
//
// Threading: one thread at a time (the output's own).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "history/Result.h"

namespace trelvane::history {

class Outbox {
  public:
    // Opens the cursor named `name` in an existing history (version 2 or later: the writer
    // upgrades on opening). A cursor that does not exist yet starts at the history's last
    // sequence number: a new output hands on what comes from now on, not the past.
    static Result<Outbox> Open(const std::filesystem::path& path, const std::string& name);
    // Deletes the cursor named `name` (nothing when there is none): an output that is gone for
    // good, so that one made later under the same name starts from the present, not from where
    // the old one stopped. Not while an Outbox of that name is open.
    static Status Remove(const std::filesystem::path& path, const std::string& name);

    Outbox(Outbox&&) noexcept;
    Outbox& operator=(Outbox&&) noexcept;
    ~Outbox();

    std::uint64_t Cursor() const;
    // Stores `seq` as the cursor when it is above the stored one (it never goes back).
    Status Advance(std::uint64_t seq);

  private:
    struct Impl;
    explicit Outbox(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::history
