#pragma once

// A tag ID is a 32-bit number (four bytes of a tag report, most significant first) that the
// program shows, stores and sorts as its "%u" decimal text. The store and the list keep the
// number; these helpers give the text, read it back and order numbers the way their texts
// compare byte by byte ("100" before "99", "12" before "123").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"

namespace trelvane {

// "%u" of the number: 1 to 10 digits, no leading zeros.
std::string TagIdText(std::uint32_t id);

// The number whose TagIdText is exactly `text`; nothing for any other text ("", "007", "+7",
// " 7", "4294967296"), since such a text is the key of no record.
std::optional<std::uint32_t> ParseTagIdText(std::string_view text);

// A key whose integer order is the byte-wise order of the IDs' decimal texts: each digit d is
// stored as d + 1 in four bits, left-aligned over ten places, so a text that is a prefix of
// another (0 in the next place) sorts first.
std::uint64_t TagIdSortKey(std::uint32_t id);

}  // namespace trelvane
