#include "protocol/RadioTables.h"

#include <array>

namespace trelvane {
namespace {

using namespace std::string_view_literals;

// Distance reached at each attenuation step, by range.
constexpr std::array kStandardDistances = {"0 ~ 250m"sv, "0 ~ 200m"sv, "0 ~ 160m"sv, "0 ~ 120m"sv,
                                           "0 ~ 100m"sv, "0 ~ 80m"sv,  "0 ~ 60m"sv,  "0 ~ 50m"sv,
                                           "0 ~ 40m"sv,  "0 ~ 30m"sv,  "0 ~ 25m"sv,  "0 ~ 20m"sv,
                                           "0 ~ 15m"sv,  "0 ~ 12m"sv,  "0 ~ 9m"sv,   "0 ~ 7m"sv};
constexpr std::array kShortDistances = {"0 ~ 140m"sv, "0 ~ 110m"sv, "0 ~ 90m"sv, "0 ~ 70m"sv};

}  // namespace

ProductRange RangeOfProduct(std::string_view productType) {
    return productType == kShortRangeProduct ? ProductRange::kShort : ProductRange::kStandard;
}

std::span<const std::string_view> Distances(ProductRange range) {
    if (range == ProductRange::kShort) {
        return kShortDistances;
    }
    return kStandardDistances;
}

std::size_t AttenuationSteps(ProductRange range) {
    return Distances(range).size();
}

int AttenuationDb(std::size_t index) {
    return -2 * static_cast<int>(index);
}

bool IsAttenuationIndex(ProductRange range, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < AttenuationSteps(range);
}

std::vector<std::string> AttenuationEntries(ProductRange range) {
    std::vector<std::string> entries;
    entries.reserve(AttenuationSteps(range));
    for (std::size_t index = 0; index < AttenuationSteps(range); ++index) {
        entries.push_back(std::to_string(AttenuationDb(index)) + "dB");
    }
    return entries;
}

std::string_view DistanceText(ProductRange range, int index) {
    const std::span<const std::string_view> table = Distances(range);
    return table[IsAttenuationIndex(range, index) ? static_cast<std::size_t>(index) : 0];
}

int CarrierMhz(std::size_t index) {
    return kCarrierBaseMhz + kCarrierStepMhz * static_cast<int>(index);
}

bool IsCarrierIndex(int index) {
    return index >= 0 && static_cast<std::size_t>(index) < kCarrierCount;
}

std::vector<std::string> CarrierEntries() {
    std::vector<std::string> entries;
    entries.reserve(kCarrierCount);
    for (std::size_t index = 0; index < kCarrierCount; ++index) {
        entries.push_back(std::to_string(CarrierMhz(index)) + "M");
    }
    return entries;
}

}  // namespace trelvane
