#pragma once

// The reader's radio settings as an operator sees them. A reader stores its attenuator and its
// carrier as list indexes (CMD_SET_ATTEN / CMD_SET_CARRIER carry the index, the query replies
// return it); these tables give each index its meaning: the attenuation in dB, the distance it
// reaches, the carrier frequency. Every front end (the settings page, the HTTP API) shows and
// validates the indexes through them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trelvane {

// How far a reader's attenuator reaches: the product type decides.
enum class ProductRange : int {
    kShort = 0,     // K314B readers: 4 attenuation steps
    kStandard = 1,  // every other reader: 16 steps
};

// The one product type with the short range, compared exactly ("K314b" is standard).
inline constexpr std::string_view kShortRangeProduct = "K314B";
ProductRange RangeOfProduct(std::string_view productType);

// Attenuation step i is -2i dB: 0dB, -2dB, ... down to -30dB (standard) or -6dB (short).
std::size_t AttenuationSteps(ProductRange range);
int AttenuationDb(std::size_t index);
bool IsAttenuationIndex(ProductRange range, int index);
// "0dB", "-2dB", ... in index order.
std::vector<std::string> AttenuationEntries(ProductRange range);

// "0 ~ 250m" ... in index order, one per attenuation step.
std::span<const std::string_view> Distances(ProductRange range);
// The distance text of attenuation `index`, or the first row's when the range has no such row.
std::string_view DistanceText(ProductRange range, int index);

// 24 carriers 5 MHz apart, 2405 MHz (index 0) to 2520 MHz (index 23).
inline constexpr std::size_t kCarrierCount = 24;
inline constexpr int kCarrierBaseMhz = 2405;
inline constexpr int kCarrierStepMhz = 5;
int CarrierMhz(std::size_t index);
bool IsCarrierIndex(int index);
// "2405M" .. "2520M" in index order.
std::vector<std::string> CarrierEntries();

}  // namespace trelvane
