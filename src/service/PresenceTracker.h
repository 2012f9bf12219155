#pragma once

// Turns raw reads into presence: a tag arrives at a reader (by the reader's name) at its first
// read there and departs once that reader has not read it for the depart interval. Readers
// report a tag many times a second; consumers want the two moments that matter.
//
// Memory is one entry per (tag, reader) present, kept in order of last read so that an expiry
// check costs the entries that depart, not all that are present.
//
// Threading: none; the parse worker owns it.

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace trelvane {

class PresenceTracker {
  public:
    struct Change {
        bool arrive = true;  // false: depart
        std::uint32_t tag = 0;
        std::string_view reader;  // valid during the callback only
        std::int64_t timeMs = 0;
        // The device key the reader had when the tag arrived (a depart names the same one, so
        // the pair is matched wherever it is stored).
        std::string_view device;
    };
    using Emit = std::function<void(const Change&)>;

    explicit PresenceTracker(std::int64_t departAfterMs) : departAfterMs_(departAfterMs) {}

    void SetDepartAfter(std::int64_t ms) { departAfterMs_ = ms; }
    std::int64_t DepartAfterMs() const { return departAfterMs_; }

    // A read of `tag` by `reader` at `timeMs`: an arrival when the tag was not present there.
    void OnRead(std::uint32_t tag, std::string_view reader, std::string_view device,
                std::int64_t timeMs, const Emit& emit);
    // Departs every tag its reader has not read for the depart interval (a read exactly that
    // long ago still counts as present), at `nowMs`.
    void Expire(std::int64_t nowMs, const Emit& emit);
    // Departs the tags present at `reader` (its device went), at `nowMs`.
    void DepartReader(std::string_view reader, std::int64_t nowMs, const Emit& emit);
    // Departs everything (the service stops), at `nowMs`.
    void DepartAll(std::int64_t nowMs, const Emit& emit);

    std::size_t Present() const { return entries_.size(); }

  private:
    struct Key {
        std::uint32_t tag;
        const std::string* reader;  // interned in readers_
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return std::hash<const void*>()(key.reader) * 0x9E3779B97F4A7C15ull ^ key.tag;
        }
    };
    struct Entry {
        Key key;
        const std::string* device;  // interned in readers_ too
        std::int64_t lastMs;
    };
    using Order = std::list<Entry>;  // oldest last read first

    const std::string* Intern(std::string_view text);
    void Release(const std::string* text);
    void Depart(Order::iterator it, std::int64_t nowMs, const Emit& emit);

    std::int64_t departAfterMs_;
    Order order_;
    std::unordered_map<Key, Order::iterator, KeyHash> entries_;
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>()(name);
        }
    };
    // Reader names and device keys with the number of references to each; a text goes with
    // its last.
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> readers_;
};

}  // namespace trelvane
