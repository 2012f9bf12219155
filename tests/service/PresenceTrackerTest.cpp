#include "service/PresenceTracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trelvane {
namespace {

struct Seen {
    bool arrive;
    std::uint32_t tag;
    std::string reader;
    std::int64_t timeMs;
    friend bool operator==(const Seen&, const Seen&) = default;
};

class PresenceTrackerTest : public ::testing::Test {
  protected:
    PresenceTracker::Emit Record() {
        return [this](const PresenceTracker::Change& c) {
            seen.push_back(Seen{c.arrive, c.tag, std::string(c.reader), c.timeMs});
        };
    }
    PresenceTracker tracker{30'000};
    std::vector<Seen> seen;
};

TEST_F(PresenceTrackerTest, ATagReadEveryTenSecondsNeverDepartsAndSilenceDoes) {
    for (std::int64_t t = 0; t <= 120'000; t += 10'000) {
        tracker.OnRead(7, "R01", "10.0.0.1:4001", t, Record());
        tracker.Expire(t + 5'000, Record());
    }
    ASSERT_EQ(seen, (std::vector<Seen>{{true, 7, "R01", 0}})) << "one arrival, no depart";
    tracker.Expire(150'000, Record());
    EXPECT_EQ(seen.size(), 1u) << "exactly DepartAfter of silence still counts as present";
    tracker.Expire(150'001, Record());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], (Seen{false, 7, "R01", 150'001}));
    EXPECT_EQ(tracker.Present(), 0u);
    tracker.OnRead(7, "R01", "10.0.0.1:4001", 200'000, Record());
    EXPECT_EQ(seen.back(), (Seen{true, 7, "R01", 200'000})) << "it may arrive again";
}

TEST_F(PresenceTrackerTest, EachReaderHasItsOwnPresence) {
    tracker.OnRead(7, "R01", "10.0.0.1:4001", 0, Record());
    tracker.OnRead(7, "R02", "10.0.0.1:4001", 1'000, Record());
    tracker.OnRead(8, "R01", "10.0.0.1:4001", 2'000, Record());
    EXPECT_EQ(tracker.Present(), 3u);
    tracker.OnRead(7, "R01", "10.0.0.1:4001", 25'000, Record());  // R01 still sees tag 7
    tracker.Expire(31'500, Record());
    EXPECT_EQ(seen, (std::vector<Seen>{{true, 7, "R01", 0},
                                       {true, 7, "R02", 1'000},
                                       {true, 8, "R01", 2'000},
                                       {false, 7, "R02", 31'500}}));
    tracker.DepartReader("R01", 40'000, Record());
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[4], (Seen{false, 8, "R01", 40'000})) << "oldest first";
    EXPECT_EQ(seen[5], (Seen{false, 7, "R01", 40'000}));
    EXPECT_EQ(tracker.Present(), 0u);
}

TEST_F(PresenceTrackerTest, ADepartNamesTheDeviceKeyTheArrivalHad) {
    std::vector<std::string> devices;
    const auto record = [&](const PresenceTracker::Change& c) {
        devices.push_back(std::string(c.device));
    };
    tracker.OnRead(5, "R01", "10.0.0.1:4001", 0, record);
    tracker.OnRead(5, "R01", "10.0.0.1:4002", 1'000, record);  // reconnected: same presence
    tracker.DepartAll(2'000, record);
    EXPECT_EQ(devices, (std::vector<std::string>{"10.0.0.1:4001", "10.0.0.1:4001"}));
}

TEST_F(PresenceTrackerTest, DepartAllEmptiesItAndNamesWithRawBytesAreKeptApart) {
    const std::string a("\xC9\xE8\0A", 4);
    const std::string b("\xC9\xE8\0B", 4);
    for (std::uint32_t tag = 0; tag < 1000; ++tag) {
        tracker.OnRead(tag, tag % 2 ? a : b, "10.0.0.1:4001", tag, Record());
    }
    EXPECT_EQ(tracker.Present(), 1000u);
    seen.clear();
    tracker.DepartReader(a, 2'000, Record());
    EXPECT_EQ(seen.size(), 500u);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.reader, a);
        EXPECT_EQ(s.tag % 2, 1u);
    }
    tracker.DepartAll(3'000, Record());
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(tracker.Present(), 0u);
    tracker.DepartAll(4'000, Record());
    EXPECT_EQ(seen.size(), 1000u) << "nothing departs twice";
}

TEST_F(PresenceTrackerTest, AnExpiryCheckCostsOnlyWhatDeparts) {
    // Reads in time order keep the oldest first, so a check stops at the first tag still
    // present: 200,000 present tags and a check that departs one.
    for (std::uint32_t tag = 0; tag < 200'000; ++tag) {
        tracker.OnRead(tag, "R01", "10.0.0.1:4001", tag, Record());
    }
    seen.clear();
    tracker.Expire(30'001, Record());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].tag, 0u);
    tracker.OnRead(1, "R01", "10.0.0.1:4001", 40'000, Record());  // read again: moves to the back
    tracker.Expire(30'003, Record());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].tag, 2u) << "tag 1 was read again";
}

}  // namespace
}  // namespace trelvane
