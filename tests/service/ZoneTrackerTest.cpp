#include "service/ZoneTracker.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace trelvane {
namespace {

using events::ZoneEventKind;

struct Event {
    ZoneEventKind kind;
    std::uint32_t tag;
    std::string zone;
    std::string reader;
    std::int64_t timeMs;
    std::int64_t sinceMs;
    std::int64_t lastSeenMs;
    friend bool operator==(const Event&, const Event&) = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << (e.kind == ZoneEventKind::kEnter ? "enter " : "exit ") << e.tag << " " << e.zone
              << " by " << e.reader << " at " << e.timeMs << " since " << e.sinceMs << " last "
              << e.lastSeenMs;
}

class ZoneTrackerTest : public ::testing::Test {
  protected:
    ZoneTrackerTest() : tracker_(10'000, 2'000) {}

    void Read(std::uint32_t tag, const std::string& zone, const std::string& reader,
              std::int64_t t) {
        const ZoneTracker::Ref ref = tracker_.Resolve(zone, reader, reader + ":1");
        tracker_.OnRead(tag, ref, t, Record());
        tracker_.Release(ref);
    }
    void Expire(std::int64_t t) { tracker_.Expire(t, Record()); }
    ZoneTracker::Emit Record() {
        return [this](const ZoneTracker::Change& c) {
            events_.push_back(Event{c.kind, c.tag, std::string(c.zone), std::string(c.reader),
                                    c.timeMs, c.sinceMs, c.lastSeenMs});
        };
    }

    ZoneTracker tracker_;
    std::vector<Event> events_;
};

// Two neighbouring zones both see a tag at their border, read alternately every 500 ms: one
// enter, then nothing until its zone has stayed silent for MoveAfter while the other reads on.
TEST_F(ZoneTrackerTest, AlternateReadsAtABorderDoNotFlapAndAMoveExitsFirstAtTheSameTime) {
    for (std::int64_t t = 0; t < 20'000; t += 500) {
        Read(7, (t / 500) % 2 ? "Dock B" : "Dock A", (t / 500) % 2 ? "RB" : "RA", t);
        Expire(t);
    }
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0], (Event{ZoneEventKind::kEnter, 7, "Dock A", "RA", 0, 0, 0}));

    // Dock A's last read was at 19,000; Dock B reads on. The move is due at 21,000.
    Read(7, "Dock B", "RB", 20'000);
    Expire(20'999);
    EXPECT_EQ(events_.size(), 1u);
    Read(7, "Dock B", "RB", 21'400);  // noticed late: timed when it was due all the same
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[1], (Event{ZoneEventKind::kExit, 7, "Dock A", "RA", 21'000, 0, 19'000}));
    EXPECT_EQ(events_[2],
              (Event{ZoneEventKind::kEnter, 7, "Dock B", "RB", 21'000, 21'000, 21'000}));

    // Silence: the exit is timed ExitAfter after the last read, whenever it is noticed.
    Expire(31'399);
    EXPECT_EQ(events_.size(), 3u);
    Expire(90'000);
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[3],
              (Event{ZoneEventKind::kExit, 7, "Dock B", "RB", 31'400, 21'000, 21'400}));
    EXPECT_EQ(tracker_.InZones(), 0u);
}

TEST_F(ZoneTrackerTest, ARemovedZoneExitsItsTagsAndARestoredStayMakesNoEnter) {
    Read(1, "Yard", "R1", 1'000);
    Read(2, "Cold room", "R2", 1'000);
    Read(2, "Yard", "R1", 1'500);  // pending move to the yard
    tracker_.ExitZones([](std::string_view zone) { return zone != "Yard"; }, 2'000, Record());
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[2], (Event{ZoneEventKind::kExit, 1, "Yard", "R1", 2'000, 1'000, 1'000}));
    Expire(60'000);  // the pending move to the removed zone went with it
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[3].zone, "Cold room");
    EXPECT_EQ(events_[3].timeMs, 11'000);

    events_.clear();
    tracker_.Restore(ZoneTracker::Stay{9, "Yard", "R1", "R1:1", 50'000, 55'000});
    Read(9, "Yard", "R1", 60'000);
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(tracker_.StayOf(9)->sinceMs, 50'000);
    Expire(70'001);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0], (Event{ZoneEventKind::kExit, 9, "Yard", "R1", 70'000, 50'000, 60'000}));
}

// The same rules written plainly, tag by tag, against the tracker's lists, index and name pool,
// under random reads from overlapping zones, jumps of the clock and irregular expiry checks.
TEST_F(ZoneTrackerTest, AgreesWithAPlainModelUnderRandomReadsAndClockJumps) {
    struct State {
        std::string zone, reader;
        std::int64_t since = 0, last = 0;
        std::string pending = {}, pendingReader = {};
        std::int64_t pendingFirst = 0, pendingLast = 0;  // NOLINT
    };
    const std::int64_t exitAfter = 10'000, moveAfter = 2'000;
    std::map<std::uint32_t, State> model;
    std::vector<Event> expected;
    const auto settleOnce = [&](std::uint32_t tag, std::int64_t now) {
        State& s = model.at(tag);
        const std::int64_t exitAt = std::max(s.last + exitAfter, s.since);
        const std::int64_t moveAt = s.pending.empty()
                                        ? INT64_MAX
                                        : std::max({s.last + moveAfter, s.pendingFirst, s.since});
        if (moveAt <= exitAt && moveAt <= now) {
            expected.push_back({ZoneEventKind::kExit, tag, s.zone, s.reader, moveAt, s.since, s.last});
            const State next{s.pending, s.pendingReader, moveAt, std::max(s.pendingLast, moveAt)};
            expected.push_back({ZoneEventKind::kEnter, tag, next.zone, next.reader, moveAt,
                                moveAt, next.last});
            s = next;
        } else if (exitAt <= now) {
            expected.push_back({ZoneEventKind::kExit, tag, s.zone, s.reader, exitAt, s.since, s.last});
            model.erase(tag);
            return false;
        } else {
            return false;
        }
        return true;
    };
    // Everything due by `now`, as if each had been noticed in time.
    const auto settle = [&](std::uint32_t tag, std::int64_t now) {
        while (model.count(tag) != 0 && settleOnce(tag, now)) {
        }
    };
    const char* zones[] = {"A", "B", "C"};
    std::mt19937 rng(20261209);
    std::int64_t now = 0;
    for (int step = 0; step < 60'000; ++step) {
        const int roll = static_cast<int>(rng() % 1000);
        if (roll < 3) {
            now += 5'000 + rng() % 40'000;  // the clock jumps
        } else {
            now += rng() % 400;
        }
        if (roll % 50 == 0) {
            Expire(now);
            std::vector<std::uint32_t> tags;
            for (const auto& [tag, s] : model) {
                tags.push_back(tag);
            }
            // The tracker settles pending moves first, then walks by last read: the same set
            // of events, in an order the test does not pin across tags.
            for (const std::uint32_t tag : tags) {
                settle(tag, now);
            }
            // ... and nothing due is left for a later check.
            ASSERT_EQ(tracker_.InZones(), model.size()) << "at " << now;
            continue;
        }
        const auto tag = static_cast<std::uint32_t>(rng() % 40);
        const std::string zone = zones[rng() % 3];
        const std::string reader = zone + std::to_string(rng() % 2);
        Read(tag, zone, reader, now);
        if (model.count(tag) != 0) {
            settle(tag, now);
        }
        auto it = model.find(tag);
        if (it == model.end()) {
            model[tag] = State{zone, reader, now, now};
            expected.push_back({ZoneEventKind::kEnter, tag, zone, reader, now, now, now});
            continue;
        }
        State& s = it->second;
        if (s.zone == zone) {
            s.reader = reader;
            s.last = std::max(s.last, now);
            if (!s.pending.empty() && now >= s.pendingFirst) {
                s.pending.clear();
            }
            continue;
        }
        if (s.pending != zone) {
            s.pending = zone;
            s.pendingReader = reader;
            s.pendingFirst = s.pendingLast = now;
        } else {
            s.pendingLast = std::max(s.pendingLast, now);
        }
        settle(tag, now);
    }
    // Compare per tag, in order: across tags one expiry check may list them differently.
    std::map<std::uint32_t, std::vector<Event>> got, want;
    for (const Event& e : events_) {
        got[e.tag].push_back(e);
    }
    for (const Event& e : expected) {
        want[e.tag].push_back(e);
    }
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [tag, list] : want) {
        const std::vector<Event>& mine = got[tag];
        for (std::size_t i = 0; i < std::max(list.size(), mine.size()); ++i) {
            ASSERT_LT(i, mine.size()) << "tag " << tag << " lacks " << list[i];
            ASSERT_LT(i, list.size()) << "tag " << tag << " has more: " << mine[i];
            ASSERT_EQ(mine[i], list[i]) << "tag " << tag << " event " << i << " after " << list[i - 1] << " and " << list[i - 2];
        }
    }
    EXPECT_GT(expected.size(), 1000u);
    EXPECT_EQ(tracker_.InZones(), model.size());
}

}  // namespace
}  // namespace trelvane
