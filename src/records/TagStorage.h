#pragma once

// Compact building blocks shared by the tag table and the tag list, sized so that a million tag
// IDs in each cost tens of megabytes, not hundreds: a fixed-size time text instead of a heap
// string, and an open-addressing ID index instead of a node per entry (device names are interned
// in a NamePool). Internal to the records library.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace trelvane::detail {

// A read time text held inline. The longest text the store ever makes is 24 bytes (reader BCD
// time with every field at its maximum, "2165-165-165 165:165:165"); 26 leaves room for a PC
// time whose year has up to 11 characters. Longer texts are cut to the capacity.
class TimeText {
  public:
    static constexpr std::size_t kCapacity = 26;

    TimeText() = default;
    explicit TimeText(std::string_view text) { Assign(text); }

    void Assign(std::string_view text) {
        length_ = static_cast<std::uint8_t>(text.size() < kCapacity ? text.size() : kCapacity);
        text.copy(bytes_.data(), length_);
    }
    std::string_view View() const { return std::string_view(bytes_.data(), length_); }

  private:
    std::array<char, kCapacity> bytes_{};
    std::uint8_t length_ = 0;
};

// When a tag was read, as the table keeps it (8 bytes): the reader's clock when the report
// carried it, otherwise the PC's local time of the parse pass. The text is made only when a row
// is shown.
struct ReadStamp {
    std::uint16_t year = 0;  // full year (the reader's counts from 2000)
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    bool fromReader = false;
};

// Adds one read to a count without the signed overflow a long-running reader would otherwise
// reach: the count stops at the largest value instead of turning negative.
constexpr std::int32_t AddOneRead(std::int32_t count) {
    return count < std::numeric_limits<std::int32_t>::max() ? count + 1 : count;
}

// Map from a tag ID to a position (a slot of the table, a row of the list). Linear probing over
// 8-byte buckets at a load factor of at most 0.7. There is no erase: both owners only ever clear
// wholesale. Positions must be below kNone.
class IdIndex {
  public:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    std::uint32_t Find(std::uint32_t id) const {
        if (buckets_.empty()) {
            return kNone;
        }
        for (std::size_t i = Home(id);; i = (i + 1) & mask_) {
            const Bucket& bucket = buckets_[i];
            if (bucket.position == kNone) {
                return kNone;
            }
            if (bucket.id == id) {
                return bucket.position;
            }
        }
    }

    // `id` must not be present.
    void Insert(std::uint32_t id, std::uint32_t position) {
        if ((size_ + 1) * 10 > buckets_.size() * 7) {
            Grow();
        }
        Place(id, position);
        ++size_;
    }

    std::size_t Size() const { return size_; }
    std::size_t MemoryBytes() const { return buckets_.capacity() * sizeof(Bucket); }

    // Empties the index and returns its memory.
    void Clear() {
        std::vector<Bucket>().swap(buckets_);
        size_ = 0;
        mask_ = 0;
        shift_ = 64;
    }

  private:
    struct Bucket {
        std::uint32_t id = 0;
        std::uint32_t position = kNone;
    };

    // Fibonacci hashing: the top bits of id * 2^64/phi spread consecutive IDs (the usual case:
    // tags from one batch) over the whole table.
    std::size_t Home(std::uint32_t id) const {
        return static_cast<std::size_t>((std::uint64_t{id} * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void Place(std::uint32_t id, std::uint32_t position) {
        std::size_t i = Home(id);
        while (buckets_[i].position != kNone) {
            i = (i + 1) & mask_;
        }
        buckets_[i] = Bucket{id, position};
    }

    void Grow() {
        const std::size_t capacity = buckets_.empty() ? 64 : buckets_.size() * 2;
        std::vector<Bucket> old(capacity);
        old.swap(buckets_);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (const Bucket& bucket : old) {
            if (bucket.position != kNone) {
                Place(bucket.id, bucket.position);
            }
        }
    }

    std::vector<Bucket> buckets_;  // empty, or a power of two in size
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
};

}  // namespace trelvane::detail
