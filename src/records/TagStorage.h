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

#include "base/KeyIndex.h"

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

// Map from a tag ID to a position (a slot of the table, a row of the list): 8-byte cells. Both
// owners only ever clear wholesale.
using IdIndex = KeyIndex<std::uint32_t, std::uint32_t>;

}  // namespace trelvane::detail
