#include "service/StagingRing.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace trelvane {
namespace {

// Bytes come out in the order they went in, across the ring's end, in pieces of any size; the
// storage exists only while bytes wait.
TEST(StagingRingTest, KeepsOrderAcrossTheWrapAndHoldsStorageOnlyWhileBytesWait) {
    StagingRing ring;
    EXPECT_FALSE(ring.Allocated());
    EXPECT_EQ(ring.Room(), StagingRing::kCapacity);

    std::vector<std::uint8_t> in(3 * StagingRing::kCapacity);
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
        EXPECT_LE(ring.Size(), StagingRing::kCapacity);
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

}  // namespace
}  // namespace trelvane
