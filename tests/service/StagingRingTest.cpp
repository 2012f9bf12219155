#include "service/StagingRing.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace trelvane {
namespace {

// Bytes come out in the order they went in, across the ring's end, in pieces of any size; the
// storage exists only while bytes wait.
TEST(StagingRingTest, KeepsOrderAcrossTheWrapAndHoldsStorageOnlyWhileBytesWait) {
    StagingBudget budget(0);
    StagingRing ring(budget);
    EXPECT_FALSE(ring.Allocated());
    EXPECT_EQ(ring.Room(), StagingRing::kBaseCapacity);

    std::vector<std::uint8_t> in(3 * StagingRing::kBaseCapacity);
    std::iota(in.begin(), in.end(), std::uint8_t{0});
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<std::uint8_t>(in[i] ^ (i >> 8));  // not periodic in 256
    }
    std::vector<std::uint8_t> out;
    std::size_t pushed = 0;
    std::size_t step = 1;
    while (out.size() < in.size()) {
        // Pushes of 256 at most (as the receive path does), pops of uneven sizes.
        while (pushed < in.size() && ring.Room() > 0) {
            const std::size_t n = std::min({std::size_t{256}, ring.Room(), in.size() - pushed});
            ring.Push(in.data() + pushed, n);
            pushed += n;
        }
        EXPECT_LE(ring.Size(), StagingRing::kBaseCapacity);
        std::vector<std::uint8_t> piece(1000 + step * 37 % 1024);
        piece.resize(ring.PopInto(piece.data(), piece.size()));
        out.insert(out.end(), piece.begin(), piece.end());
        EXPECT_EQ(ring.Allocated(), !ring.Empty());
        ++step;
    }
    EXPECT_EQ(out, in);
    EXPECT_FALSE(ring.Allocated()) << "an emptied ring gives its storage back";
    std::uint8_t none = 0;
    EXPECT_EQ(ring.PopInto(&none, 1), 0u);

    const std::uint8_t byte = 7;
    ring.Push(&byte, 1);
    ring.Clear();
    EXPECT_TRUE(ring.Empty());
    EXPECT_FALSE(ring.Allocated());
}

// A full ring grows while its reader keeps sending, wrapped contents and all, up to the largest
// size and within the shared budget; the budget comes back when the storage goes, and the size
// grown to is used again, or halved after an allocation that never needed it.
TEST(StagingRingTest, GrowsWhenFullWithinTheSharedBudget) {
    constexpr std::size_t kBase = StagingRing::kBaseCapacity;
    StagingBudget budget(3 * kBase);  // room for one ring to grow to four times the base
    StagingRing ring(budget);
    StagingRing other(budget);
    std::vector<std::uint8_t> in(8 * kBase);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    }
    std::size_t pushed = 0;
    const auto fill = [&] {
        while (ring.Room() > 0) {
            const std::size_t n = std::min(std::size_t{256}, ring.Room());
            ring.Push(in.data() + pushed, n);
            pushed += n;
        }
    };
    std::vector<std::uint8_t> out(kBase / 2 + 100);
    fill();
    EXPECT_EQ(ring.Capacity(), kBase);
    ASSERT_TRUE(ring.Grow());
    ASSERT_EQ(ring.Capacity(), 2 * kBase);
    // Wrap it: take some from the front, fill the end and the start again.
    std::size_t popped = ring.PopInto(out.data(), out.size());
    std::vector<std::uint8_t> got(out.begin(), out.begin() + static_cast<long>(popped));
    fill();
    ASSERT_TRUE(ring.Grow());
    EXPECT_EQ(ring.Capacity(), 4 * kBase);
    EXPECT_EQ(budget.Used(), 3 * kBase);
    fill();
    EXPECT_FALSE(ring.Grow()) << "at the largest size";
    EXPECT_EQ(ring.Capacity(), StagingRing::kMaxCapacity);

    // The other ring finds the budget spent: it stays at the base size.
    const std::uint8_t byte = 1;
    for (std::size_t i = 0; i < kBase; ++i) {
        other.Push(&byte, 1);
    }
    EXPECT_FALSE(other.Grow());
    EXPECT_EQ(other.Capacity(), kBase);

    while (!ring.Empty()) {
        out.resize(ring.PopInto(out.data(), out.size()));
        got.insert(got.end(), out.begin(), out.end());
        out.resize(kBase / 2 + 100);
    }
    EXPECT_EQ(got, std::vector<std::uint8_t>(in.begin(), in.begin() + static_cast<long>(pushed)));
    EXPECT_EQ(budget.Used(), 0u) << "given back with the storage";

    // Allocated again at the size it grew to, while the budget allows.
    ring.Push(&byte, 1);
    EXPECT_EQ(ring.Capacity(), StagingRing::kMaxCapacity);
    EXPECT_EQ(ring.Room(), StagingRing::kMaxCapacity - 1);
    std::uint8_t sink = 0;
    ring.PopInto(&sink, 1);  // a peak of one byte: halved for next time
    ring.Push(&byte, 1);
    EXPECT_EQ(ring.Capacity(), StagingRing::kMaxCapacity / 2);
    ring.Clear();
    other.Clear();
    EXPECT_EQ(budget.Used(), 0u);
}

}  // namespace
}  // namespace trelvane
