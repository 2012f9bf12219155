#include "service/PresenceTracker.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
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

// Presence against a plain model (the last read time of every pair, a pair departs once
// silent for longer than the interval) through a random stream of reads from several readers,
// expiry checks, readers going and everything departing. The events of each call must be
// exactly the model's, whatever order the entries are kept in.
TEST_F(PresenceTrackerTest, AgreesWithAModelOfLastReadTimes) {
    using Pair = std::pair<std::string, std::uint32_t>;
    std::map<Pair, std::int64_t> model;
    std::mt19937 random(11);
    const std::vector<std::string> readers{"R01", "R02", "R03", std::string("\0R", 2)};
    std::int64_t now = 5'000'000;
    const auto arrivalsAndDepartsOf = [](const std::vector<Seen>& events) {
        std::multiset<std::tuple<bool, std::string, std::uint32_t, std::int64_t>> set;
        for (const Seen& e : events) {
            set.emplace(e.arrive, e.reader, e.tag, e.timeMs);
        }
        return set;
    };
    for (int step = 0; step < 200'000; ++step) {
        now += random() % 40;  // reads in bursts, sometimes within one millisecond
        const int what = static_cast<int>(random() % 1000);
        std::vector<Seen> expected;
        seen.clear();
        if (what < 985) {
            const std::string& reader = readers[random() % readers.size()];
            const std::uint32_t tag = random() % 300;
            const auto [it, inserted] = model.try_emplace(Pair{reader, tag}, now);
            it->second = now;
            if (inserted) {
                expected.push_back(Seen{true, tag, reader, now});
            }
            tracker.OnRead(tag, reader, "10.0.0.1:4001", now, Record());
        } else if (what < 997) {
            for (auto it = model.begin(); it != model.end();) {
                if (now - it->second > 30'000) {
                    expected.push_back(Seen{false, it->first.second, it->first.first, now});
                    it = model.erase(it);
                } else {
                    ++it;
                }
            }
            tracker.Expire(now, Record());
        } else {
            const std::string& reader = readers[random() % readers.size()];
            for (auto it = model.begin(); it != model.end();) {
                if (it->first.first == reader) {
                    expected.push_back(Seen{false, it->first.second, reader, now});
                    it = model.erase(it);
                } else {
                    ++it;
                }
            }
            tracker.DepartReader(reader, now, Record());
        }
        ASSERT_EQ(arrivalsAndDepartsOf(seen), arrivalsAndDepartsOf(expected)) << "step " << step;
        ASSERT_EQ(tracker.Present(), model.size());
    }
    seen.clear();
    tracker.DepartAll(now, Record());
    EXPECT_EQ(seen.size(), model.size());
    EXPECT_EQ(tracker.Present(), 0u);
}

// Memory follows the tags present: a crowd that leaves gives its memory back, and the few that
// stay are still tracked after the entries are renumbered.
TEST_F(PresenceTrackerTest, MemoryGoesBackWhenACrowdDeparts) {
    for (std::uint32_t tag = 0; tag < 100'000; ++tag) {
        tracker.OnRead(tag, "R01", "10.0.0.1:4001", 0, Record());
    }
    const std::size_t crowd = tracker.MemoryBytes();
    for (std::uint32_t tag = 0; tag < 100; ++tag) {
        tracker.OnRead(tag, "R01", "10.0.0.1:4001", 20'000, Record());
    }
    seen.clear();
    tracker.Expire(40'000, Record());
    EXPECT_EQ(seen.size(), 99'900u);
    EXPECT_EQ(tracker.Present(), 100u);
    EXPECT_LT(tracker.MemoryBytes() * 50, crowd);
    seen.clear();
    for (std::uint32_t tag = 0; tag < 100; ++tag) {
        tracker.OnRead(tag, "R01", "10.0.0.1:4001", 45'000, Record());
    }
    EXPECT_TRUE(seen.empty()) << "still present after the renumbering";
    tracker.Expire(75'001, Record());
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(tracker.MemoryBytes(), 0u);
}

}  // namespace
}  // namespace trelvane
