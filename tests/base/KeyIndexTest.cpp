#include "base/KeyIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>

namespace trelvane {
namespace {

// The flat index against a map, with keys chosen to collide: linear probing with backward-shift
// erasure must keep every key findable across clusters that wrap the table's end, growth and
// shrinking.
TEST(KeyIndexTest, AgreesWithAMapThroughInsertsErasesAndResizes) {
    detail::KeyIndex<std::uint32_t> index;
    std::map<std::uint64_t, std::uint32_t> model;
    std::mt19937_64 random(7);
    const auto check = [&] {
        ASSERT_EQ(index.Size(), model.size());
        for (const auto& [key, value] : model) {
            const std::uint32_t* found = index.Find(key);
            ASSERT_NE(found, nullptr) << key;
            ASSERT_EQ(*found, value) << key;
        }
    };
    for (int round = 0; round < 6; ++round) {
        // Few distinct high words and clustered low words: many keys share a home.
        const std::size_t target = round % 2 == 0 ? 5000 : 40;
        for (int step = 0; step < 20000; ++step) {
            const std::uint64_t key = (random() % 3) << 32 | (random() % 9000);
            const auto it = model.find(key);
            if (it == model.end()) {
                ASSERT_EQ(index.Find(key), nullptr);
                if (model.size() < target) {
                    const auto value = static_cast<std::uint32_t>(random() % 1000000);
                    index.Insert(key, value);
                    model.emplace(key, value);
                }
            } else if (random() % 3 == 0) {
                const auto value = static_cast<std::uint32_t>(random() % 1000000);
                *index.Find(key) = value;
                it->second = value;
            } else {
                index.Erase(key);
                model.erase(it);
                ASSERT_EQ(index.Find(key), nullptr);
            }
        }
        check();
    }
    const std::size_t grown = index.MemoryBytes();
    while (!model.empty()) {
        index.Erase(model.begin()->first);
        model.erase(model.begin());
    }
    check();
    EXPECT_LE(index.MemoryBytes() * 4, std::max<std::size_t>(grown, 4 * 1024 * 16))
        << "memory goes back as keys go";
}

// FindOrInsert (a look-up that inserts what it does not find, in one probe) and Erase against a
// map, with clustered keys, through growth; then a table emptied keeping its memory is filled
// again without growing, and one emptied for good holds none.
TEST(KeyIndexTest, FindOrInsertAndBothWaysOfClearingAgreeWithAMap) {
    detail::KeyIndex<std::uint32_t> index;
    std::map<std::uint64_t, std::uint32_t> model;
    std::mt19937_64 random(3);
    // Every key of the model is found, with its value, by the look-up that would insert it.
    const auto check = [&] {
        ASSERT_EQ(index.Size(), model.size());
        for (const auto& [key, value] : model) {
            const auto [found, added] = index.FindOrInsert(key, value + 1);
            ASSERT_FALSE(added) << key;
            ASSERT_EQ(*found, value) << key;
        }
        ASSERT_EQ(index.Size(), model.size());
    };
    const auto fill = [&](int steps) {
        for (int step = 0; step < steps; ++step) {
            // Few high words, clustered low words; now and then the all-ones key (the mark of an
            // empty cell, kept aside) or the one below it.
            const std::uint64_t key =
                random() % 500 == 0 ? ~(random() % 2) : (random() % 3) << 32 | random() % 9000;
            const auto value = static_cast<std::uint32_t>(random());
            const auto [found, added] = index.FindOrInsert(key, value);
            const auto [it, modelAdded] = model.try_emplace(key, value);
            ASSERT_EQ(added, modelAdded) << key;
            ASSERT_EQ(*found, it->second) << key;
            if (random() % 4 == 0) {
                index.Erase(key);
                model.erase(it);
                ASSERT_EQ(index.Find(key), nullptr) << key;
            }
        }
    };
    fill(40000);
    check();
    const std::size_t memory = index.MemoryBytes();
    index.ClearKeepingMemory();
    model.clear();
    EXPECT_EQ(index.Size(), 0u);
    EXPECT_EQ(index.Find(0), nullptr);
    EXPECT_EQ(index.Find(~std::uint64_t{0}), nullptr);
    EXPECT_EQ(index.MemoryBytes(), memory);
    for (std::uint64_t key = 0; key < index.MemoryBytes() / 32; ++key) {
        ASSERT_TRUE(index.FindOrInsert(key << 32, 1).second);
        model.emplace(key << 32, 1);
    }
    check();
    EXPECT_EQ(index.MemoryBytes(), memory) << "half as many keys as cells: no growth";
    index.Clear();
    model.clear();
    EXPECT_EQ(index.MemoryBytes(), 0u);
    fill(2000);
    check();
}

// Tag IDs take every 32-bit value, 0 and 0xFFFFFFFF too, as keys of 8-byte cells.
TEST(KeyIndexTest, ThirtyTwoBitKeysTakeTheirWholeRange) {
    detail::KeyIndex<std::uint32_t, std::uint32_t> index;
    std::map<std::uint32_t, std::uint32_t> model;
    std::mt19937 random(5);
    for (std::uint32_t i = 0; i < 20000; ++i) {
        const std::uint32_t key = i % 3 == 0 ? 0xFFFFFFFFu - i % 7 : i % 5 == 0 ? i % 11 : random();
        const auto [found, added] = index.FindOrInsert(key, i);
        ASSERT_EQ(added, model.try_emplace(key, i).second) << key;
        ASSERT_EQ(*found, model.at(key)) << key;
    }
    ASSERT_EQ(index.Size(), model.size());
    for (const auto& [key, value] : model) {
        const auto* found = std::as_const(index).Find(key);
        ASSERT_NE(found, nullptr) << key;
        EXPECT_EQ(*found, value) << key;
    }
    index.Erase(0xFFFFFFFFu);
    EXPECT_EQ(index.Find(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(index.Size(), model.size() - 1);
    detail::KeyIndex<std::uint32_t, std::uint32_t> one;
    one.Insert(7, 1);
    EXPECT_EQ(one.MemoryBytes(), 64 * 8u) << "8-byte cells, as many as the first growth makes";
}

// Reserve makes the table growing would reach, at once: the keys then go in without a resize,
// and keys already there stay findable.
TEST(KeyIndexTest, ReserveSizesAsGrowingWouldAndKeepsTheKeys) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{44}, std::size_t{45}, std::size_t{1000},
                                std::size_t{5734}, std::size_t{5735}}) {
        detail::KeyIndex<std::uint32_t, std::uint32_t> grown;
        detail::KeyIndex<std::uint32_t, std::uint32_t> reserved;
        reserved.Reserve(n);
        const std::size_t before = reserved.MemoryBytes();
        for (std::uint32_t key = 0; key < n; ++key) {
            grown.Insert(key * 7919, key);
            reserved.Insert(key * 7919, key);
        }
        EXPECT_EQ(reserved.MemoryBytes(), before) << n;
        EXPECT_EQ(reserved.MemoryBytes(), grown.MemoryBytes()) << n;
        reserved.Reserve(4 * n + 100);
        EXPECT_GT(reserved.MemoryBytes(), before) << n;
        for (std::uint32_t key = 0; key < n; ++key) {
            const std::uint32_t* found = reserved.Find(key * 7919);
            ASSERT_NE(found, nullptr) << n << " " << key;
            EXPECT_EQ(*found, key);
        }
    }
    detail::KeyIndex<std::uint32_t, std::uint32_t> none;
    none.Reserve(0);
    EXPECT_EQ(none.MemoryBytes(), 0u);
}

}  // namespace
}  // namespace trelvane
