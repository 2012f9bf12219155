#include "base/KeyIndex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <utility>

namespace trelvane {
namespace {

// A key of two fields whose hash ignores one of them, so every key of a `group` shares a home:
// the table must tell keys apart by the whole key, and FindOrInsert must find a key at the end
// of a long cluster rather than insert it twice.
struct GroupKey {
    std::int64_t group = 0;
    std::uint32_t member = 0;

    friend bool operator==(const GroupKey&, const GroupKey&) = default;
    friend bool operator<(const GroupKey& a, const GroupKey& b) {
        return std::tie(a.group, a.member) < std::tie(b.group, b.member);
    }
    std::uint64_t Hash() const { return static_cast<std::uint64_t>(group); }
    static constexpr GroupKey Empty() { return GroupKey{INT64_MIN, 0}; }
};

// FindOrInsert, Erase and both ways of clearing against a map, with a key type of our own; a
// table cleared keeping its memory is filled again without growing.
TEST(KeyIndexTest, AKeyOfTwoFieldsThroughFindOrInsertEraseAndClearing) {
    detail::KeyIndex<std::uint32_t, GroupKey> index;
    std::map<GroupKey, std::uint32_t> model;
    std::mt19937_64 random(3);
    const auto check = [&] {
        ASSERT_EQ(index.Size(), model.size());
        for (const auto& [key, value] : model) {
            const std::uint32_t* found = std::as_const(index).Find(key);
            ASSERT_NE(found, nullptr) << key.group << "/" << key.member;
            ASSERT_EQ(*found, value) << key.group << "/" << key.member;
        }
    };
    const auto fill = [&](int steps) {
        for (int step = 0; step < steps; ++step) {
            const GroupKey key{static_cast<std::int64_t>(random() % 40) - 20,
                               static_cast<std::uint32_t>(random() % 300)};
            const auto value = static_cast<std::uint32_t>(random());
            const auto [found, added] = index.FindOrInsert(key, value);
            const auto [it, modelAdded] = model.try_emplace(key, value);
            ASSERT_EQ(added, modelAdded);
            ASSERT_EQ(*found, it->second);
            if (random() % 4 == 0) {
                index.Erase(key);
                model.erase(it);
                ASSERT_EQ(index.Find(key), nullptr);
            }
        }
    };
    fill(30000);
    check();
    const std::size_t memory = index.MemoryBytes();
    index.ClearKeepingMemory();
    model.clear();
    EXPECT_EQ(index.Find(GroupKey{0, 0}), nullptr);
    EXPECT_EQ(index.MemoryBytes(), memory);
    fill(30000);
    check();
    EXPECT_EQ(index.MemoryBytes(), memory) << "filled again to the same size, no growth";
    index.Clear();
    model.clear();
    EXPECT_EQ(index.MemoryBytes(), 0u);
    fill(2000);
    check();
}

}  // namespace
}  // namespace trelvane
