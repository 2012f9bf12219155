#pragma once

// A flat map from 64-bit keys to small values, for tables with an entry per present (tag,
// reader) pair: the presence tracker's and the history writer's open arrivals. Pure C++, no
// allocation per entry.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace trelvane {

namespace detail {

// 64-bit keys to small values stored in the table itself (one cache line holds key and value),
// open addressing with linear probing; erasing shifts the cluster back, so no tombstones pile
// up. The all-ones key is reserved (it marks an empty cell).
template <typename Value>
class KeyIndex {
  public:
    static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

    // The value of `key`, or null. Valid until the next Insert or Erase.
    Value* Find(std::uint64_t key) {
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
    // Asks the memory system for the cell where a search for `key` starts.
    void Prefetch(std::uint64_t key) const {
        if (!cells_.empty()) {
            __builtin_prefetch(&cells_[Home(key)]);
        }
    }
    // `key` must not be present.
    void Insert(std::uint64_t key, const Value& value) {
        if ((size_ + 1) * 10 > cells_.size() * 7) {
            Resize(cells_.empty() ? 64 : cells_.size() * 2);
        }
        Place(key, value);
        ++size_;
    }
    // `key` must be present.
    void Erase(std::uint64_t key) {
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
    void Clear() {
        std::vector<Cell>().swap(cells_);
        size_ = 0;
        mask_ = 0;
        shift_ = 64;
    }
    std::size_t Size() const { return size_; }
    std::size_t MemoryBytes() const { return cells_.capacity() * sizeof(Cell); }

  private:
    struct Cell {
        std::uint64_t key = kEmpty;
        Value value{};
    };
    // Fibonacci hashing: the top bits of key * 2^64/phi.
    std::size_t Home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void Resize(std::size_t capacity) {
        std::vector<Cell> old(capacity);
        old.swap(cells_);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (const Cell& cell : old) {
            if (cell.key != kEmpty) {
                Place(cell.key, cell.value);
            }
        }
    }
    void Place(std::uint64_t key, const Value& value) {
        std::size_t i = Home(key);
        while (cells_[i].key != kEmpty) {
            i = (i + 1) & mask_;
        }
        cells_[i] = Cell{key, value};
    }

    std::vector<Cell> cells_;  // empty, or a power of two in size
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
};

}  // namespace detail

}  // namespace trelvane
