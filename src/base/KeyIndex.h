#pragma once

// The one open-addressing hash table of the tree: unsigned integer keys to small values, stored
// in place. Its users: the tag table's and the tag list's index of tag IDs, the presence
// tracker's present (tag, reader) pairs, the history writer's open arrivals and its open rollup
// (minutes, buckets and their readers, each packed into one key). Pure C++, no allocation per
// entry.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace trelvane {

namespace detail {

// Keys to small values stored in the table itself (one cache line holds key and value), open
// addressing with linear probing at a load of at most 0.7; erasing shifts the cluster back, so
// no tombstones pile up. Every key may be stored: the all-ones key marks an empty cell, so that
// one key's value is kept beside the cells.
template <typename Value, typename Key = std::uint64_t>
class KeyIndex {
    static_assert(std::is_unsigned_v<Key>);

  public:
    // The value of `key`, or null. Valid until the next Insert, FindOrInsert or Erase.
    Value* Find(Key key) {
        if (key == kEmpty) [[unlikely]] {
            return hasAllOnes_ ? &allOnes_ : nullptr;
        }
        if (cells_.empty()) {
            return nullptr;
        }
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            Cell& cell = cells_[i];
            if (cell.key == key) {
                return &cell.value;
            }
            if (cell.key == kEmpty) {
                return nullptr;
            }
        }
    }
    const Value* Find(Key key) const { return const_cast<KeyIndex*>(this)->Find(key); }
    // Asks the memory system for the cell where a search for `key` starts.
    void Prefetch(Key key) const {
        if (!cells_.empty()) {
            __builtin_prefetch(&cells_[Home(key)]);
        }
    }
    // `key` must not be present.
    void Insert(Key key, const Value& value) {
        if (key == kEmpty) [[unlikely]] {
            FindOrInsert(key, value);
            return;
        }
        GrowForOneMore();
        Place(key, value);
        ++size_;
    }
    // The value of `key`, and whether it was absent (then it is `value` now): one probe for a
    // look-up that inserts what it does not find.
    std::pair<Value*, bool> FindOrInsert(Key key, const Value& value) {
        if (key == kEmpty) [[unlikely]] {
            const bool absent = !hasAllOnes_;
            if (absent) {
                hasAllOnes_ = true;
                allOnes_ = value;
                ++size_;
            }
            return {&allOnes_, absent};
        }
        GrowForOneMore();
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            Cell& cell = cells_[i];
            if (cell.key == key) {
                return {&cell.value, false};
            }
            if (cell.key == kEmpty) {
                cell = Cell{key, value};
                ++size_;
                return {&cell.value, true};
            }
        }
    }
    // `key` must be present.
    void Erase(Key key) {
        if (key == kEmpty) [[unlikely]] {
            hasAllOnes_ = false;
            --size_;
            return;
        }
        std::size_t hole = Home(key);
        while (cells_[hole].key != key) {
            hole = (hole + 1) & mask_;
        }
        // Backward shift: every later cell of the cluster that may sit in the hole moves there.
        for (std::size_t i = (hole + 1) & mask_; cells_[i].key != kEmpty; i = (i + 1) & mask_) {
            const std::size_t home = Home(cells_[i].key);
            // It may fill the hole unless its home lies cyclically in (hole, i].
            const bool homeBetween =
                hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (!homeBetween) {
                cells_[hole] = cells_[i];
                hole = i;
            }
        }
        cells_[hole] = Cell{};
        --size_;
        // Memory goes back once far fewer keys remain than the table was grown for.
        if (cells_.size() > 1024 && size_ * 8 < cells_.size()) {
            Resize(cells_.size() / 4);
        }
    }
    // Empties the table and gives its memory back.
    void Clear() {
        std::vector<Cell>().swap(cells_);
        size_ = 0;
        mask_ = 0;
        shift_ = 64;
        maxSize_ = 0;
        hasAllOnes_ = false;
    }
    // Empties the table and keeps its memory, for a table filled again to about the same size.
    void ClearKeepingMemory() {
        std::fill(cells_.begin(), cells_.end(), Cell{});
        size_ = 0;
        hasAllOnes_ = false;
    }
    // Room for `keys` keys without growing, at the size growing to them would reach.
    void Reserve(std::size_t keys) {
        if (keys == 0) {
            return;
        }
        std::size_t capacity = std::max<std::size_t>(cells_.size(), 64);
        while (capacity * 7 / 10 < keys) {
            capacity *= 2;
        }
        if (capacity > cells_.size()) {
            Resize(capacity);
        }
    }
    std::size_t Size() const { return size_; }
    std::size_t MemoryBytes() const { return cells_.capacity() * sizeof(Cell); }

  private:
    static constexpr Key kEmpty = std::numeric_limits<Key>::max();
    struct Cell {
        Key key = kEmpty;
        Value value{};
    };
    // Fibonacci hashing: the top bits of key * 2^64/phi spread consecutive keys (tags of one
    // batch) over the whole table.
    std::size_t Home(Key key) const {
        return static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void GrowForOneMore() {
        if (size_ >= maxSize_) {
            Resize(cells_.empty() ? 64 : cells_.size() * 2);
        }
    }
    void Resize(std::size_t capacity) {
        std::vector<Cell> old(capacity);
        old.swap(cells_);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        maxSize_ = capacity * 7 / 10;
        for (const Cell& cell : old) {
            if (cell.key != kEmpty) {
                Place(cell.key, cell.value);
            }
        }
    }
    void Place(Key key, const Value& value) {
        std::size_t i = Home(key);
        while (cells_[i].key != kEmpty) {
            i = (i + 1) & mask_;
        }
        cells_[i] = Cell{key, value};
    }

    std::vector<Cell> cells_;  // empty, or a power of two in size
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    std::size_t maxSize_ = 0;  // grows past this many keys
    unsigned shift_ = 64;
    bool hasAllOnes_ = false;
    Value allOnes_{};  // the all-ones key's value, while hasAllOnes_
};

}  // namespace detail

}  // namespace trelvane
