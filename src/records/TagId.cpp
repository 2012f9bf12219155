#include "records/TagId.h"

#include <charconv>

namespace trelvane {

std::string TagIdText(std::uint32_t id) {
    char digits[10];
    const auto result = std::to_chars(digits, digits + sizeof digits, id);
    return std::string(digits, result.ptr);
}

std::optional<std::uint32_t> ParseTagIdText(std::string_view text) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t TagIdSortKey(std::uint32_t id) {
    char digits[10];
    const auto result = std::to_chars(digits, digits + sizeof digits, id);
    std::uint64_t key = 0;
    int shift = 36;
    for (const char* p = digits; p != result.ptr; ++p, shift -= 4) {
        key |= std::uint64_t(*p - '0' + 1) << shift;
    }
    return key;
}

}  // namespace trelvane
