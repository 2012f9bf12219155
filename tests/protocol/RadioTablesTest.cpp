#include "protocol/RadioTables.h"

#include <gtest/gtest.h>

#include <charconv>
#include <set>
#include <string>
#include <vector>

namespace trelvane {
namespace {

// The metres a distance text ends with ("0 ~ 160m" -> 160), or -1 when it is not of that form.
int Metres(std::string_view text) {
    constexpr std::string_view kPrefix = "0 ~ ";
    if (!text.starts_with(kPrefix) || !text.ends_with('m')) {
        return -1;
    }
    const std::string_view number = text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1);
    int value = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    return error == std::errc{} && end == number.data() + number.size() ? value : -1;
}

TEST(RadioTables, StandardRangeAttenuationAndDistances) {
    ASSERT_EQ(AttenuationSteps(ProductRange::kStandard), 16u);
    const std::vector<std::string> entries = AttenuationEntries(ProductRange::kStandard);
    ASSERT_EQ(entries.size(), 16u);
    EXPECT_EQ(entries.front(), "0dB");
    EXPECT_EQ(entries[1], "-2dB");
    EXPECT_EQ(entries.back(), "-30dB");
    EXPECT_EQ(AttenuationDb(15), -30);

    const std::vector<std::string_view> distances(Distances(ProductRange::kStandard).begin(),
                                                  Distances(ProductRange::kStandard).end());
    EXPECT_EQ(distances, (std::vector<std::string_view>{
                             "0 ~ 250m", "0 ~ 200m", "0 ~ 160m", "0 ~ 120m", "0 ~ 100m", "0 ~ 80m",
                             "0 ~ 60m", "0 ~ 50m", "0 ~ 40m", "0 ~ 30m", "0 ~ 25m", "0 ~ 20m",
                             "0 ~ 15m", "0 ~ 12m", "0 ~ 9m", "0 ~ 7m"}));
}

TEST(RadioTables, ShortRangeAttenuationAndDistances) {
    ASSERT_EQ(AttenuationSteps(ProductRange::kShort), 4u);
    EXPECT_EQ(AttenuationEntries(ProductRange::kShort),
              (std::vector<std::string>{"0dB", "-2dB", "-4dB", "-6dB"}));
    const std::vector<std::string_view> distances(Distances(ProductRange::kShort).begin(),
                                                  Distances(ProductRange::kShort).end());
    EXPECT_EQ(distances,
              (std::vector<std::string_view>{"0 ~ 140m", "0 ~ 110m", "0 ~ 90m", "0 ~ 70m"}));
}

TEST(RadioTables, EveryDistanceIsWellFormedAndShrinksWithAttenuation) {
    for (const ProductRange range : {ProductRange::kStandard, ProductRange::kShort}) {
        const auto distances = Distances(range);
        ASSERT_EQ(distances.size(), AttenuationSteps(range));
        int previous = 1'000'000;
        for (std::size_t i = 0; i < distances.size(); ++i) {
            const int metres = Metres(distances[i]);
            ASSERT_GT(metres, 0) << distances[i];
            EXPECT_LT(metres, previous) << "step " << i;
            previous = metres;
            EXPECT_EQ(DistanceText(range, static_cast<int>(i)), distances[i]);
        }
    }
}

TEST(RadioTables, IndexesOutsideARangeShowTheFirstRowAndDoNotValidate) {
    EXPECT_EQ(DistanceText(ProductRange::kShort, 4), "0 ~ 140m");
    EXPECT_EQ(DistanceText(ProductRange::kShort, -1), "0 ~ 140m");
    EXPECT_EQ(DistanceText(ProductRange::kStandard, 16), "0 ~ 250m");
    EXPECT_EQ(DistanceText(ProductRange::kStandard, 255), "0 ~ 250m");
    EXPECT_EQ(DistanceText(ProductRange::kStandard, 15), "0 ~ 7m");

    EXPECT_TRUE(IsAttenuationIndex(ProductRange::kStandard, 0));
    EXPECT_TRUE(IsAttenuationIndex(ProductRange::kStandard, 15));
    EXPECT_FALSE(IsAttenuationIndex(ProductRange::kStandard, 16));
    EXPECT_FALSE(IsAttenuationIndex(ProductRange::kStandard, -1));
    EXPECT_TRUE(IsAttenuationIndex(ProductRange::kShort, 3));
    EXPECT_FALSE(IsAttenuationIndex(ProductRange::kShort, 4))
        << "a standard index, not a short one";

    EXPECT_TRUE(IsCarrierIndex(0));
    EXPECT_TRUE(IsCarrierIndex(23));
    EXPECT_FALSE(IsCarrierIndex(24));
    EXPECT_FALSE(IsCarrierIndex(-1));
    EXPECT_FALSE(IsCarrierIndex(255));
}

TEST(RadioTables, TwentyFourCarriersFiveMegahertzApart) {
    const std::vector<std::string> carriers = CarrierEntries();
    ASSERT_EQ(carriers.size(), 24u);
    ASSERT_EQ(kCarrierCount, 24u);
    EXPECT_EQ(carriers.front(), "2405M");
    EXPECT_EQ(carriers[1], "2410M");
    EXPECT_EQ(carriers[9], "2450M");
    EXPECT_EQ(carriers.back(), "2520M");
    EXPECT_EQ(CarrierMhz(0), 2405);
    EXPECT_EQ(CarrierMhz(23), 2520);
    EXPECT_EQ(std::set<std::string>(carriers.begin(), carriers.end()).size(), 24u)
        << "no two indexes name the same carrier";
    for (std::size_t i = 0; i < carriers.size(); ++i) {
        EXPECT_EQ(carriers[i], std::to_string(2405 + 5 * static_cast<int>(i)) + "M");
    }
}

TEST(RadioTables, OnlyTheExactProductTypeHasTheShortRange) {
    EXPECT_EQ(RangeOfProduct("K314B"), ProductRange::kShort);
    EXPECT_EQ(RangeOfProduct("K314b"), ProductRange::kStandard);
    EXPECT_EQ(RangeOfProduct("K314"), ProductRange::kStandard);
    EXPECT_EQ(RangeOfProduct("K314B "), ProductRange::kStandard);
    EXPECT_EQ(RangeOfProduct(""), ProductRange::kStandard);
    EXPECT_EQ(RangeOfProduct(std::string_view("K314B\0", 6)), ProductRange::kStandard);
}

}  // namespace
}  // namespace trelvane
