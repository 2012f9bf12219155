#pragma once

// Texts (device names, reader names) held once each and referred to by a 32-bit index, so that a
// table of a million entries naming a few hundred readers stores an index per entry, not a
// string. Each name carries a reference count: a name no entry uses any more is freed and its
// index reused (a device's key changes with every reconnection, so names would otherwise pile up
// over a long run).
//
// Thread-safety: none; each owner guards its pool as it guards the table that uses it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trelvane::detail {

class NamePool {
  public:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    // Index of `name` if the pool holds it (no reference taken), else kNone.
    std::uint32_t Find(std::string_view name) const;
    // Index of `name`, with one more reference on it.
    std::uint32_t Acquire(std::string_view name);
    // One more reference on a live index.
    void AddReference(std::uint32_t index) { ++entries_[index].references; }
    // Drops one reference; the name is freed with its last.
    void Release(std::uint32_t index);
    // The name at a live index. The reference stays valid until the name is freed or the pool
    // cleared.
    const std::string& Get(std::uint32_t index) const { return *entries_[index].name; }
    // One past the largest index ever handed out (for per-index side tables).
    std::size_t IndexLimit() const { return entries_.size(); }
    std::size_t LiveNames() const { return byName_.size(); }
    void Clear();

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>()(text);
        }
    };
    struct Entry {
        const std::string* name = nullptr;  // key of its byName_ node (stable); null when free
        std::uint32_t references = 0;
    };

    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> byName_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> free_;
    mutable std::uint32_t lastHit_ = 0;  // most reads in a row come from one device
};

}  // namespace trelvane::detail
