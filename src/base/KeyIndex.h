#pragma once

// The one open-addressing hash table of the tree: keys to small values, stored in place.
//
// Its users: the presence tracker's present (tag, reader) pairs, the history writer's open
// arrivals and its open rollup (by minute and tag, and by minute, tag and reader). Pure C++, no
// allocation per entry.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace trelvane {

namespace detail {

// How KeyIndex hashes a key and which key marks an empty cell (that key is never stored). A key
// type of our own says it itself: `std::uint64_t Hash() const` and `static constexpr Key
// Empty()`; it needs operator== too.
template <typename Key>
struct KeyIndexTraits {
    static constexpr Key Empty() { return Key::Empty(); }
    static std::uint64_t Hash(const Key& key) { return key.Hash(); }
};

// A 64-bit key is its own hash (Fibonacci hashing spreads it); the all-ones key is reserved.
template <>
struct KeyIndexTraits<std::uint64_t> {
    static constexpr std::uint64_t Empty() { return std::numeric_limits<std::uint64_t>::max(); }
    static std::uint64_t Hash(std::uint64_t key) { return key; }
};

// Keys to small values stored in the table itself (one cache line holds key and value), open
// addressing with linear probing at a load of at most 0.7; erasing shifts the cluster back, so
// no tombstones pile up.
template <typename Value, typename Key = std::uint64_t>
class KeyIndex {
    using Traits = KeyIndexTraits<Key>;

  public:
    static constexpr Key kEmpty = Traits::Empty();

    // The value of `key`, or null. Valid until the next Insert, FindOrInsert or Erase.
    Value* Find(const Key& key) {
        const std::size_t i = CellOf(key);
        return i == kNoCell ? nullptr : &cells_[i].value;
    }
    const Value* Find(const Key& key) const {
        const std::size_t i = CellOf(key);
        return i == kNoCell ? nullptr : &cells_[i].value;
    }
    // Asks the memory system for the cell where a search for `key` starts.
    void Prefetch(const Key& key) const {
        if (!cells_.empty()) {
            __builtin_prefetch(&cells_[Home(key)]);
        }
    }
    // `key` must not be present.
    void Insert(const Key& key, const Value& value) {
        GrowForOneMore();
        cells_[FreeCellOf(key)] = Cell{key, value};
        ++size_;
    }
    // The value of `key`, and whether it was absent (then it is `value` now): one probe for a
    // look-up that inserts what it does not find.
    std::pair<Value*, bool> FindOrInsert(const Key& key, const Value& value) {
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
    void Erase(const Key& key) {
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
    }
    // Empties the table and keeps its memory, for a table filled again to about the same size.
    void ClearKeepingMemory() {
        std::fill(cells_.begin(), cells_.end(), Cell{});
        size_ = 0;
    }
    std::size_t Size() const { return size_; }
    std::size_t MemoryBytes() const { return cells_.capacity() * sizeof(Cell); }

  private:
    struct Cell {
        Key key = kEmpty;
        Value value{};
    };
    // Fibonacci hashing: the top bits of the key's hash * 2^64/phi.
    std::size_t Home(const Key& key) const {
        return static_cast<std::size_t>((Traits::Hash(key) * 0x9E3779B97F4A7C15ull) >> shift_);
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
                cells_[FreeCellOf(cell.key)] = cell;
            }
        }
    }
    static constexpr std::size_t kNoCell = std::numeric_limits<std::size_t>::max();
    // The cell holding `key`, or kNoCell.
    std::size_t CellOf(const Key& key) const {
        if (cells_.empty()) {
            return kNoCell;
        }
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            if (cells_[i].key == key) {
                return i;
            }
            if (cells_[i].key == kEmpty) {
                return kNoCell;
            }
        }
    }
    // The first empty cell from the key's home on; the key must not be present.
    std::size_t FreeCellOf(const Key& key) const {
        std::size_t i = Home(key);
        while (cells_[i].key != kEmpty) {
            i = (i + 1) & mask_;
        }
        return i;
    }

    std::vector<Cell> cells_;  // empty, or a power of two in size
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    std::size_t maxSize_ = 0;  // a load of at most 0.7
    unsigned shift_ = 64;
};

}  // namespace detail

}  // namespace trelvane
