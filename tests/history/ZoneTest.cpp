// Zone events: stored with the batch and paged like the other kinds, the open stays after
// enters, moves and exits, what retention keeps, and where tags were at a time, each against
// the plain definition over what was appended (a tag's last zone event up to the time).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "history/HistoryTestSupport.h"
#include "history/Reader.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using test::AllPages;
using test::BatchBuilder;
using test::HistoryDir;
using test::Model;
using test::OpenReader;
using test::OpenWriter;

constexpr std::int64_t kT0 = 1796000000000;
constexpr std::int64_t kDay = 86'400'000;

// ---- the definitions, over what was appended ----

bool Before(const ZoneRow& a, const ZoneRow& b) {
    return a.timeMs != b.timeMs ? a.timeMs < b.timeMs : a.seq < b.seq;
}

std::optional<ZoneRow> LastEventAt(const std::vector<ZoneRow>& zones, std::uint32_t tag,
                                   std::int64_t t) {
    std::optional<ZoneRow> last;
    for (const ZoneRow& z : zones) {
        if (z.tag == tag && z.timeMs <= t && (!last || Before(*last, z))) {
            last = z;
        }
    }
    return last;
}

std::vector<TagInZone> InZoneAt(const std::vector<ZoneRow>& zones, const std::string& zone,
                                std::int64_t t) {
    std::set<std::uint32_t> tags;
    for (const ZoneRow& z : zones) {
        tags.insert(z.tag);
    }
    std::vector<TagInZone> in;
    for (const std::uint32_t tag : tags) {
        const std::optional<ZoneRow> last = LastEventAt(zones, tag, t);
        if (last && last->kind == ZoneEventKind::kEnter && last->zone == zone) {
            in.push_back(TagInZone{tag, last->sinceMs});
        }
    }
    return in;
}

// Per tag, its events in number order: an enter opens a stay, an exit of that zone ends it.
std::vector<OpenZone> OpenStays(std::vector<ZoneRow> zones) {
    std::sort(zones.begin(), zones.end(),
              [](const ZoneRow& a, const ZoneRow& b) { return a.seq < b.seq; });
    std::map<std::uint32_t, OpenZone> open;
    for (const ZoneRow& z : zones) {
        const auto it = open.find(z.tag);
        if (z.kind == ZoneEventKind::kEnter) {
            open[z.tag] = OpenZone{z.tag, z.zone, z.seq, z.sinceMs, z.reader, z.device, z.lastSeenMs};
        } else if (it != open.end() && it->second.zone == z.zone) {
            open.erase(it);
        }
    }
    std::vector<OpenZone> out;
    for (const auto& [tag, stay] : open) {
        out.push_back(stay);
    }
    std::sort(out.begin(), out.end(),
              [](const OpenZone& a, const OpenZone& b) { return a.seq < b.seq; });
    return out;
}

std::vector<ZoneRow> AllZones(Reader& r, Filter f, std::size_t page) {
    return AllPages([&](const Filter& g) { return r.Zones(g); }, f, page);
}

// ---- a generated history ----

struct Place {
    const char* zone;
    const char* reader;
    const char* device;
};
const Place kPlaces[] = {
    {"Dock A", "Gate 1", "10.0.0.1:4001"},         {"Dock A", "Gate 1", "10.0.0.2:4001"},
    {"Dock \"B\", east", "Dock", "10.0.0.3:4001"}, {"Yard", "10.0.0.4:4001", "10.0.0.4:4001"},
    {"门 3", "门禁 北", "10.0.0.5:4001"},
};
const std::string kZoneNames[] = {"Dock A", "Dock \"B\", east", "Yard", "门 3"};

// Tags wander between zones: enter, a few seconds to minutes inside, exit, and often the next
// enter at the same millisecond (a move). Reads take numbers in between; a batch lists its zone
// events shuffled (numbers decide); some tags stay for good.
class ZoneHistoryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new HistoryDir;
        model_ = new Model;
        std::mt19937 rng(20261208);
        const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        struct State {
            int place = -1;
            std::int64_t since = 0;
        };
        std::map<std::uint32_t, State> tags;
        std::uint64_t seq = 0;
        std::int64_t t = kT0;
        std::optional<Writer> w = OpenWriter({dir_->Db()});
        for (int batch = 0; batch < 120; ++batch) {
            BatchBuilder b;
            const int size = 1 + pick(250);
            for (int i = 0; i < size; ++i) {
                t += pick(4) == 0 ? 0 : pick(3000);
                const auto tag = static_cast<std::uint32_t>(1000 + pick(150));
                State& s = tags[tag];
                const int next = pick(5);
                const Place& p = kPlaces[next];
                if (s.place >= 0) {
                    if (tag % 10 == 0) {
                        continue;  // stays for good
                    }
                    const Place& was = kPlaces[s.place];
                    const auto dwell = static_cast<int>(std::min<std::int64_t>(t - s.since, 5000));
                    b.AddExit(++seq, t, tag, was.zone, was.reader, was.device, s.since,
                              t - pick(dwell + 1));
                    s.place = -1;
                    if (pick(2) == 0) {
                        continue;
                    }
                }
                b.AddEnter(++seq, t, tag, p.zone, p.reader, p.device);
                s = State{next, t};
                if (pick(3) == 0) {
                    b.AddRead(++seq, t, tag, p.reader, p.device);
                }
            }
            model_->Take(b);
            std::vector<ZoneEvent> shuffled = b.Zones();
            std::shuffle(shuffled.begin(), shuffled.end(), rng);
            ASSERT_TRUE(w->Append(Batch{b.Reads(), {}, {}, shuffled}).ok());
            if (batch == 60) {
                w.reset();  // a restart between batches
                w.emplace(OpenWriter({dir_->Db()}));
            }
        }
        lastTime_ = t;
    }
    static void TearDownTestSuite() {
        delete model_;
        delete dir_;
    }
    void SetUp() override { reader_.emplace(OpenReader(dir_->Db())); }

    static HistoryDir* dir_;
    static Model* model_;
    static std::int64_t lastTime_;
    std::optional<Reader> reader_;
};

HistoryDir* ZoneHistoryTest::dir_ = nullptr;
Model* ZoneHistoryTest::model_ = nullptr;
std::int64_t ZoneHistoryTest::lastTime_ = 0;

TEST_F(ZoneHistoryTest, EveryEventComesBackByPagesOfAnySize) {
    ASSERT_GT(model_->zones.size(), 8000u);
    const std::vector<ZoneRow> all = Model::Select(model_->zones, test::Unlimited());
    for (const std::size_t page : {7u, 1000u, 100000u}) {
        EXPECT_EQ(AllZones(*reader_, {}, page), all) << page;
    }
    // Reads took numbers in between: the kinds share one sequence.
    EXPECT_GT(model_->reads.size(), 1000u);
    EXPECT_EQ(reader_->Reads(test::Unlimited()).value(),
              Model::Select(model_->reads, test::Unlimited()));
}

TEST_F(ZoneHistoryTest, FiltersMatchBruteForce) {
    std::mt19937 rng(7);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<ZoneRow>& zones = model_->zones;
    const std::string readers[] = {"Gate 1", "10.0.0.2:4001", "门禁 北", "10.0.0.4:4001", "x"};
    const std::uint64_t last = zones.back().seq;
    for (int i = 0; i < 300; ++i) {
        Filter f;
        if (pick(2) == 0) {
            f.sinceMs = zones[pick(zones.size())].timeMs + static_cast<std::int64_t>(pick(3)) - 1;
        }
        if (pick(2) == 0) {
            f.untilMs = zones[pick(zones.size())].timeMs + static_cast<std::int64_t>(pick(3)) - 1;
        }
        if (pick(2) == 0) {
            f.tag = static_cast<std::uint32_t>(995 + pick(160));
        }
        if (pick(3) == 0) {
            f.reader = readers[pick(std::size(readers))];
        }
        if (pick(2) == 0) {
            f.zone = pick(6) == 0 ? std::string("Dock") : kZoneNames[pick(std::size(kZoneNames))];
        }
        if (pick(3) == 0) {
            f.afterSeq = pick(last + 10);
        }
        if (pick(3) == 0) {
            f.throughSeq = f.afterSeq + pick(2000);
        }
        const std::size_t limits[] = {1, 5, 100, SIZE_MAX};
        f.limit = limits[pick(4)];
        SCOPED_TRACE(testing::Message()
                     << "filter " << i << " since " << f.sinceMs.value_or(-1) << " until "
                     << f.untilMs.value_or(-1) << " tag " << f.tag.value_or(0) << " reader "
                     << f.reader.value_or("-") << " zone " << f.zone.value_or("-") << " after "
                     << f.afterSeq << " through " << f.throughSeq.value_or(0) << " limit "
                     << f.limit);
        const Result<std::vector<ZoneRow>> rows = reader_->Zones(f);
        ASSERT_TRUE(rows.ok()) << rows.error().text;
        ASSERT_EQ(rows.value(), Model::Select(zones, f));
    }
    // Only zone events have a zone.
    Filter dock;
    dock.zone = "Dock A";
    EXPECT_FALSE(reader_->Zones(dock).value().empty());
    EXPECT_TRUE(reader_->Reads(dock).value().empty());
    EXPECT_TRUE(reader_->Presence(dock).value().empty());
    EXPECT_TRUE(reader_->Devices(dock).value().empty());
}

TEST_F(ZoneHistoryTest, OpenStaysFollowTheLastEventOfEachTag) {
    const std::vector<OpenZone> expected = OpenStays(model_->zones);
    ASSERT_GT(expected.size(), 20u);
    const Result<std::vector<OpenZone>> open = reader_->OpenZones();
    ASSERT_TRUE(open.ok()) << open.error().text;
    EXPECT_EQ(open.value(), expected);
}

TEST_F(ZoneHistoryTest, WhereTagsWereMatchesTheirLastEvents) {
    std::mt19937 rng(11);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<ZoneRow>& zones = model_->zones;
    // Event times themselves and their neighbours, and times before and after everything.
    const auto someTime = [&]() -> std::int64_t {
        switch (pick(4)) {
            case 0:
                return kT0 - 1 - static_cast<std::int64_t>(pick(100000));
            case 1:
                return lastTime_ + static_cast<std::int64_t>(pick(100000));
            default:
                return zones[pick(zones.size())].timeMs + static_cast<std::int64_t>(pick(3)) - 1;
        }
    };
    for (int i = 0; i < 400; ++i) {
        const auto tag = static_cast<std::uint32_t>(995 + pick(160));
        const std::int64_t t = someTime();
        SCOPED_TRACE(testing::Message() << "tag " << tag << " at " << t);
        const Result<std::optional<ZoneRow>> at = reader_->ZoneOfTagAt(tag, t);
        ASSERT_TRUE(at.ok()) << at.error().text;
        ASSERT_EQ(at.value(), LastEventAt(zones, tag, t));
    }
    std::size_t found = 0;
    for (int i = 0; i < 150; ++i) {
        const std::string& zone = kZoneNames[pick(std::size(kZoneNames))];
        const std::int64_t t = someTime();
        SCOPED_TRACE(testing::Message() << zone << " at " << t);
        const Result<std::vector<TagInZone>> in = reader_->TagsInZoneAt(zone, t);
        ASSERT_TRUE(in.ok()) << in.error().text;
        ASSERT_EQ(in.value(), InZoneAt(zones, zone, t));
        found += in->size();
    }
    EXPECT_GT(found, 500u);  // the zones were busy, not empty
    EXPECT_TRUE(reader_->TagsInZoneAt("Nowhere", lastTime_).value().empty());
}

// ---- by hand: the edges ----

TEST(ZoneEdgesTest, WhereATagWasAtTheEdgesOfItsStays) {
    HistoryDir dir;
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddEnter(1, 1000, 7, "A", "R1", "d:1");
        b.AddEnter(2, 1000, 8, "A", "R1", "d:1");
        // Tag 7 moves from A to B within one millisecond: the exit, then the enter.
        b.AddExit(3, 5000, 7, "A", "R1", "d:1", 1000, 4000);
        b.AddEnter(4, 5000, 7, "B", "R2", "d:2");
        // Tag 8 leaves A and comes back at the same millisecond: one stay ends, the next
        // begins.
        b.AddExit(5, 8000, 8, "A", "R1", "d:1", 1000, 7500);
        b.AddEnter(6, 8000, 8, "A", "R1", "d:1");
        // Tag 9 passes through C in no time at all.
        b.AddEnter(7, 9000, 9, "C", "R3", "d:3");
        b.AddExit(8, 9000, 9, "C", "R3", "d:3", 9000, 9000);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    Reader r = OpenReader(dir.Db());
    const auto zoneOf = [&](std::uint32_t tag, std::int64_t t) -> std::string {
        const std::optional<ZoneRow> z = r.ZoneOfTagAt(tag, t).value();
        return !z ? "nothing" : z->kind == ZoneEventKind::kExit ? "left " + z->zone : z->zone;
    };
    const auto inZone = [&](const std::string& zone, std::int64_t t) {
        return r.TagsInZoneAt(zone, t).value();
    };
    using Tags = std::vector<TagInZone>;
    // Before any event.
    EXPECT_EQ(zoneOf(7, 999), "nothing");
    EXPECT_EQ(inZone("A", 999), Tags{});
    // An enter counts from its own millisecond.
    EXPECT_EQ(zoneOf(7, 1000), "A");
    EXPECT_EQ(inZone("A", 1000), (Tags{{7, 1000}, {8, 1000}}));
    // The move: the exit's millisecond is the next zone's.
    EXPECT_EQ(inZone("A", 4999), (Tags{{7, 1000}, {8, 1000}}));
    EXPECT_EQ(zoneOf(7, 4999), "A");
    EXPECT_EQ(zoneOf(7, 5000), "B");
    EXPECT_EQ(inZone("A", 5000), (Tags{{8, 1000}}));
    EXPECT_EQ(inZone("B", 4999), Tags{});
    EXPECT_EQ(inZone("B", 5000), (Tags{{7, 5000}}));
    // Out and in again at one millisecond: in once, since the new enter.
    EXPECT_EQ(inZone("A", 7999), (Tags{{8, 1000}}));
    EXPECT_EQ(inZone("A", 8000), (Tags{{8, 8000}}));
    EXPECT_EQ(r.ZoneOfTagAt(8, 8000).value()->seq, 6u);
    // A stay of no length holds no time; the exit is the last event.
    EXPECT_EQ(inZone("C", 9000), Tags{});
    EXPECT_EQ(zoneOf(9, 9000), "left C");
    EXPECT_EQ(zoneOf(9, 8999), "nothing");
    // The open stays hold on to any later time.
    EXPECT_EQ(inZone("A", 10 * kDay), (Tags{{8, 8000}}));
    EXPECT_EQ(inZone("B", 10 * kDay), (Tags{{7, 5000}}));
    EXPECT_EQ(zoneOf(7, 10 * kDay), "B");
    // The row is the event as stored.
    const ZoneRow entered = r.ZoneOfTagAt(7, 5000).value().value();
    EXPECT_EQ(entered, (ZoneRow{4, 5000, 7, "B", ZoneEventKind::kEnter, "R2", "d:2", 5000, 5000}));
    const ZoneRow left = r.ZoneOfTagAt(9, 9000).value().value();
    EXPECT_EQ(left, (ZoneRow{8, 9000, 9, "C", ZoneEventKind::kExit, "R3", "d:3", 9000, 9000}));
}

// A stay whose exit came out earlier than its enter (the PC's clock stepped back) holds no time:
// storing it must not fail the batch.
TEST(ZoneEdgesTest, AStayEndingBeforeItBeganIsStoredAndHoldsNoTime) {
    HistoryDir dir;
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddEnter(1, 5000, 7, "A", "R1", "d:1");
        b.AddExit(2, 4000, 7, "A", "R1", "d:1", 5000, 5000);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.Zones({}).value().size(), 2u);
    EXPECT_TRUE(r.OpenZones().value().empty());
    for (const std::int64_t t : {3999, 4000, 4500, 5000, 6000}) {
        EXPECT_TRUE(r.TagsInZoneAt("A", t).value().empty()) << t;
    }
}

// ---- the writer ----

TEST(ZoneWriterTest, AFailedBatchLeavesNoZoneBehindAndTheNamesStayRight) {
    HistoryDir dir;
    Writer w = OpenWriter({dir.Db()});
    BatchBuilder b;
    b.AddEnter(1, 1000, 7, "Dock", "R1", "d:1");
    ASSERT_TRUE(w.Append(b.Batch()).ok());

    // A new zone, then a number the batch's read also takes: nothing of it is stored.
    b.Clear();
    b.AddEnter(2, 2000, 8, "Yard", "R1", "d:1");
    b.AddExit(3, 2000, 7, "Dock", "R1", "d:1", 1000, 1500);
    b.AddRead(3, 2000, 7, "R1", "d:1");
    const Status st = w.Append(b.Batch());
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, ErrorCode::kBadInput);
    EXPECT_NE(st.error().text.find("sequence number 3 is used twice"), std::string::npos)
        << st.error().text;
    EXPECT_EQ(w.LastSequence(), 1u);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM zone_names"), 1);

    // The id "Yard" had in the failed batch now goes to another zone.
    b.Clear();
    b.AddEnter(2, 3000, 9, "Gate", "R1", "d:1");
    b.AddEnter(3, 3000, 8, "Yard", "R1", "d:1");
    b.AddEnter(4, 3000, 7, "Yard", "R1", "d:1");
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    EXPECT_EQ(w.Counters().zoneEvents, 4u);
    // A resend is skipped as duplicates.
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    EXPECT_EQ(w.Counters().zoneEvents, 4u);
    EXPECT_EQ(w.Counters().duplicates, 3u);

    Reader r = OpenReader(dir.Db());
    std::vector<std::pair<std::uint32_t, std::string>> open;
    const std::vector<OpenZone> stays = r.OpenZones().value();
    for (const OpenZone& z : stays) {
        open.emplace_back(z.tag, z.zone);
    }
    EXPECT_EQ(open, (std::vector<std::pair<std::uint32_t, std::string>>{
                        {9, "Gate"}, {8, "Yard"}, {7, "Yard"}}));
    EXPECT_EQ(r.TagsInZoneAt("Yard", 3000).value(), (std::vector<TagInZone>{{7, 3000}, {8, 3000}}));
    EXPECT_EQ(r.TagsInZoneAt("Dock", 3000).value(), std::vector<TagInZone>{});
}

// Listed backwards on purpose: numbers decide. An enter elsewhere replaces a stay, a late exit
// of the zone left before changes nothing, an exit without an enter neither.
TEST(ZoneWriterTest, OpenStaysFollowEachTagsEventsInNumberOrder) {
    HistoryDir dir;
    BatchBuilder b;
    b.AddEnter(1, 1000, 1, "A", "R1", "d:1");
    b.AddEnter(2, 2000, 1, "B", "R2", "d:2");
    b.AddExit(3, 2000, 1, "A", "R1", "d:1", 1000, 1900);
    b.AddEnter(4, 2000, 2, "A", "R1", "d:1");
    b.AddExit(5, 3000, 2, "A", "R1", "d:1", 2000, 2500);
    b.AddExit(6, 3000, 3, "A", "R1", "d:1", 500, 2500);
    b.AddEnter(7, 3000, 4, "A", "R1", "d:1");
    Model model;
    model.Take(b);
    std::vector<ZoneEvent> backwards(b.Zones().rbegin(), b.Zones().rend());
    {
        Writer w = OpenWriter({dir.Db()});
        ASSERT_TRUE(w.Append(Batch{{}, {}, {}, backwards}).ok());
    }
    Reader r = OpenReader(dir.Db());
    const std::vector<OpenZone> open = r.OpenZones().value();
    EXPECT_EQ(open, OpenStays(model.zones));
    EXPECT_EQ(open, (std::vector<OpenZone>{{1, "B", 2, 2000, "R2", "d:2", 2000},
                                           {4, "A", 7, 3000, "R1", "d:1", 3000}}));

    // The service's notes of later reads move an open stay's last read forward, never back,
    // and a note for a tag in no zone changes nothing.
    {
        Writer w = OpenWriter({dir.Db()});
        const std::vector<ZoneSeen> seen{{1, 2600}, {4, 2900}, {9, 5000}, {1, 2500}};
        ASSERT_TRUE(w.Append(Batch{{}, {}, {}, {}, seen}).ok());
    }
    EXPECT_EQ(OpenReader(dir.Db()).OpenZones().value(),
              (std::vector<OpenZone>{{1, "B", 2, 2000, "R2", "d:2", 2600},
                                     {4, "A", 7, 3000, "R1", "d:1", 3000}}));
}

// ---- retention ----

// Appends a day of stays from `day` on: tags 1-40 enter and exit "Lane" every ten minutes;
// tags 100+ enter "Park" on day 0 and never leave.
void AppendDay(Writer& w, std::uint64_t& seq, int day, Model& model) {
    BatchBuilder b;
    const std::int64_t start = kT0 + day * kDay;
    if (day == 0) {
        for (std::uint32_t tag = 100; tag < 105; ++tag) {
            b.AddEnter(++seq, start, tag, "Park", "P", "p:1");
        }
    }
    for (std::int64_t t = start; t < start + kDay; t += 600'000) {
        for (std::uint32_t tag = 1; tag <= 40; ++tag) {
            b.AddEnter(++seq, t + tag, tag, "Lane", "L", "l:1");
            b.AddExit(++seq, t + 300'000 + tag, tag, "Lane", "L", "l:1", t + tag, t + 299'000);
        }
    }
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    model.Take(b);
}

std::int64_t Count(const HistoryDir& dir, const std::string& what) {
    return test::SqlInt(dir.Db(), ("SELECT count(*) FROM " + what).c_str());
}

// The stays index holds exactly the stays of the exits kept.
void ExpectStaysOfTheExitsKept(const HistoryDir& dir) {
    EXPECT_EQ(Count(dir, "zone_stays"), Count(dir, "zone_events WHERE kind = 1 AND since < time"));
    EXPECT_EQ(Count(dir, "zone_stays WHERE seq NOT IN (SELECT seq FROM zone_events)"), 0);
}

TEST(ZoneRetentionTest, OldEventsGoOpenStaysStay) {
    HistoryDir dir;
    Options o{dir.Db()};
    o.retentionDays = 3;
    Writer w = OpenWriter(o);
    Model model;
    std::uint64_t seq = 0;
    for (int day = 0; day < 8; ++day) {
        AppendDay(w, seq, day, model);
    }
    const std::vector<OpenZone> openBefore = OpenReader(dir.Db()).OpenZones().value();
    ASSERT_EQ(openBefore.size(), 5u);
    const std::int64_t now = kT0 + 8 * kDay;
    const std::int64_t cut = (now - 3 * kDay) / 60000 * 60000;
    int calls = 0;
    for (; calls < 100; ++calls) {
        const Result<PruneResult> step = w.Prune(now, 2000);
        ASSERT_TRUE(step.ok()) << step.error().text;
        ExpectStaysOfTheExitsKept(dir);
        if (!step->more) {
            break;
        }
    }
    EXPECT_GT(calls, 20);  // 57,600 old events in steps of 2,000
    EXPECT_EQ(Count(dir, "zone_events WHERE time < " + std::to_string(cut)), 0);
    EXPECT_EQ(Count(dir, "zone_events"), static_cast<std::int64_t>(std::count_if(
                                             model.zones.begin(), model.zones.end(),
                                             [&](const ZoneRow& z) { return z.timeMs >= cut; })));

    Reader r = OpenReader(dir.Db());
    // The enters of the parked tags are gone; their stays are not.
    EXPECT_EQ(r.OpenZones().value(), openBefore);
    EXPECT_EQ(r.TagsInZoneAt("Park", now).value().size(), 5u);
    EXPECT_EQ(r.ZoneOfTagAt(100, now).value(), model.zones.front());
    EXPECT_EQ(r.ZoneOfTagAt(100, kT0 - 1).value(), std::nullopt);
    // What is kept still answers as before.
    const std::int64_t t = now - kDay + 123'456;
    EXPECT_EQ(r.TagsInZoneAt("Lane", t).value(), InZoneAt(model.zones, "Lane", t));
    EXPECT_EQ(r.ZoneOfTagAt(3, t).value(), LastEventAt(model.zones, 3, t));
}

TEST(ZoneRetentionTest, TheSizeCapTakesTheOldestEventsButNoOpenStay) {
    HistoryDir dir;
    Options o{dir.Db()};
    o.retentionDays = 0;
    o.maxSizeBytes = 1 << 20;
    Writer w = OpenWriter(o);
    Model model;
    std::uint64_t seq = 0;
    for (int day = 0; day < 8; ++day) {
        AppendDay(w, seq, day, model);
    }
    bool done = false;
    for (int calls = 0; calls < 200 && !done; ++calls) {
        const Result<PruneResult> step = w.Prune(kT0 + 8 * kDay, 1000);
        ASSERT_TRUE(step.ok()) << step.error().text;
        done = !step->more;
    }
    ASSERT_TRUE(done);
    ExpectStaysOfTheExitsKept(dir);
    EXPECT_LT(Count(dir, "zone_events"), static_cast<std::int64_t>(model.zones.size()) / 2);
    // The newest went last: what is left is one run up to the last number.
    EXPECT_EQ(
        static_cast<std::uint64_t>(test::SqlInt(dir.Db(), "SELECT max(seq) FROM zone_events")),
        seq);
    EXPECT_EQ(Count(dir, "zone_events WHERE seq >= (SELECT min(seq) FROM zone_events)"),
              Count(dir, "zone_events"));
    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.OpenZones().value(), OpenStays(model.zones));
    EXPECT_EQ(r.TagsInZoneAt("Park", kT0 + 8 * kDay).value().size(), 5u);
}

}  // namespace
}  // namespace trelvane::history
