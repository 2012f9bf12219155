// Queries against one fixed database, each compared with a brute-force filter of what was
// appended: time range edges, tag, reader (name or device key, non-ASCII), paging.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "history/HistoryTestSupport.h"
#include "history/Pages.h"
#include "history/Reader.h"
#include "history/Schema.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using test::AllPages;
using test::BatchBuilder;
using test::HistoryDir;
using test::Model;

constexpr std::int64_t kT0 = 1796000000000;

struct Place {
    const char* name;
    const char* device;
};
// Two readers share a name on different devices; one is still unnamed (its device key).
const Place kPlaces[] = {
    {"Gate 1", "10.0.0.1:4001"},        {"门禁 北", "10.0.0.2:4001"},
    {"Ünïcödé ✓", "10.0.0.3:4001"},     {"Gate 1", "10.0.0.4:4001"},
    {"10.0.0.5:4001", "10.0.0.5:4001"}, {"Dock, \"B\"\nline 2", "10.0.0.6:4001"},
};
const std::uint32_t kTags[] = {0, 1, 2, 3, 42, 77, 1000, 65535, 65536, 123456789, 0xFFFFFFFF};

class HistoryQueryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new HistoryDir;
        model_ = new Model;
        std::mt19937 rng(20261208);
        const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        std::uint64_t seq = 0;
        std::optional<Writer> w;
        const auto open = [&] {
            w.reset();
            Result<Writer> opened = Writer::Open({dir_->Db()});
            ASSERT_TRUE(opened.ok()) << opened.error().text;
            w.emplace(std::move(opened).value());
        };
        open();
        constexpr int kReads = 24000;
        int read = 0;
        while (read < kReads) {
            BatchBuilder b;
            const int size = 1 + pick(700);
            for (int i = 0; i < size && read < kReads; ++i, ++read) {
                // ~100 ms apart with a few seconds of jitter: time is only near-monotonic.
                const std::int64_t time = kT0 + read * 100 + pick(6001) - 3000;
                // Most tags stay at their own reader, some wander.
                const int tagIndex = pick(100) < 30 ? 4 : pick(static_cast<int>(std::size(kTags)));
                const int place = pick(10) < 8 ? tagIndex % 6 : pick(6);
                std::optional<ReaderTime> rt;
                if (pick(2) == 0) {
                    rt = ReaderTime{26,
                                    12,
                                    8,
                                    static_cast<std::uint8_t>(pick(24)),
                                    static_cast<std::uint8_t>(pick(60)),
                                    0xFF};
                }
                b.AddRead(++seq, time, kTags[tagIndex], kPlaces[place].name, kPlaces[place].device,
                          rt);
                if (pick(4) == 0) {  // enough presence events for both query paths
                    b.AddPresence(++seq, time, kTags[pick(static_cast<int>(std::size(kTags)))],
                                  pick(2) == 0 ? PresenceKind::kArrive : PresenceKind::kDepart,
                                  kPlaces[place].name, kPlaces[place].device);
                }
                if (pick(250) == 0) {
                    b.AddDevice(++seq, time, static_cast<DeviceEventKind>(pick(5)),
                                kPlaces[place].name, kPlaces[place].device);
                }
            }
            ASSERT_TRUE(w->Append(b.Batch()).ok());
            model_->Take(b);
            if (read >= kReads / 2 && read - size < kReads / 2) {
                open();  // a restart: the open rollup is flushed as a partial minute
            }
        }
        lastSeq_ = seq;
        // The writer stays open, so the last reads are only in the tail.
        writer_ = new std::optional<Writer>(std::move(w));
    }
    static void TearDownTestSuite() {
        delete writer_;
        delete model_;
        delete dir_;
    }

    void SetUp() override {
        Result<Reader> r = Reader::Open(dir_->Db());
        ASSERT_TRUE(r.ok()) << r.error().text;
        reader_.emplace(std::move(r).value());
    }

    std::vector<ReadRow> Reads(const Filter& f) {
        Result<std::vector<ReadRow>> rows = reader_->Reads(f);
        EXPECT_TRUE(rows.ok()) << rows.error().text;
        return rows.ok() ? rows.value() : std::vector<ReadRow>{};
    }

    static HistoryDir* dir_;
    static Model* model_;
    static std::optional<Writer>* writer_;
    static std::uint64_t lastSeq_;
    std::optional<Reader> reader_;
};

HistoryDir* HistoryQueryTest::dir_ = nullptr;
Model* HistoryQueryTest::model_ = nullptr;
std::optional<Writer>* HistoryQueryTest::writer_ = nullptr;
std::uint64_t HistoryQueryTest::lastSeq_ = 0;

TEST_F(HistoryQueryTest, FixtureHasRollupAndTail) {
    const std::int64_t rolled =
        test::SqlInt(dir_->Db(), "SELECT value FROM meta WHERE key = 'rollup_seq'");
    EXPECT_GT(rolled, 0);
    EXPECT_LT(rolled, static_cast<std::int64_t>(lastSeq_));  // some reads are only in the tail
    EXPECT_GT(test::SqlInt(dir_->Db(), "SELECT count(*) FROM tag_minutes"), 100);
    EXPECT_EQ(reader_->LastSequence().value(), lastSeq_);
}

TEST_F(HistoryQueryTest, EverythingByPagesOfAnySize) {
    const std::vector<ReadRow> all = Model::Select(model_->reads, test::Unlimited());
    for (const std::size_t page : {1u, 7u, 1000u, 100000u}) {
        SCOPED_TRACE(page);
        if (page == 1) {
            // One row a page over a slice only: 24,000 queries would be slow for nothing.
            Filter f;
            f.afterSeq = all[20000].seq;
            EXPECT_EQ(AllPages([&](const Filter& g) { return reader_->Reads(g); }, f, page),
                      Model::Select(model_->reads, [&] {
                          Filter u = f;
                          u.limit = SIZE_MAX;
                          return u;
                      }()));
            continue;
        }
        EXPECT_EQ(AllPages([&](const Filter& g) { return reader_->Reads(g); }, Filter{}, page),
                  all);
    }
}

TEST_F(HistoryQueryTest, TimeRangeEdges) {
    const std::vector<ReadRow>& reads = model_->reads;
    const std::int64_t t = reads[5000].timeMs;
    Filter f;
    f.limit = SIZE_MAX;
    f.sinceMs = t;  // inclusive
    f.untilMs = t + 1;
    const std::vector<ReadRow> exact = Reads(f);
    ASSERT_FALSE(exact.empty());
    EXPECT_EQ(exact, Model::Select(reads, f));
    for (const ReadRow& r : exact) {
        EXPECT_EQ(r.timeMs, t);
    }
    f.untilMs = t;  // exclusive: nothing
    EXPECT_TRUE(Reads(f).empty());
    f.untilMs = t - 1;
    EXPECT_TRUE(Reads(f).empty());

    // Whole minutes and ranges that cut minutes, tag or not.
    const std::int64_t minute = schema::MinuteOf(t) * schema::kMinuteMs;
    for (const auto& [since, until] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {minute, minute + 60000},
             {minute - 1, minute + 1},
             {minute + 59999, minute + 120001},
             {minute + 123, minute + 456789},
             {kT0 - 100000, kT0 + 1},
             {kT0 + 2399 * 1000, kT0 + 10'000'000}}) {
        for (const std::optional<std::uint32_t> tag :
             {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(42u),
              std::optional<std::uint32_t>(0xFFFFFFFFu)}) {
            Filter g;
            g.sinceMs = since;
            g.untilMs = until;
            g.tag = tag;
            g.limit = SIZE_MAX;
            SCOPED_TRACE(testing::Message() << since << ".." << until << " tag "
                                            << (tag ? std::to_string(*tag) : "-"));
            EXPECT_EQ(Reads(g), Model::Select(reads, g));
        }
    }
    Filter before;
    before.untilMs = kT0 - 10000;
    EXPECT_TRUE(Reads(before).empty());
    Filter after;
    after.sinceMs = kT0 + 10'000'000;
    EXPECT_TRUE(Reads(after).empty());
}

TEST_F(HistoryQueryTest, ReaderByNameOrDeviceAndNonAscii) {
    for (const char* reader : {"Gate 1", "10.0.0.4:4001", "门禁 北", "Ünïcödé ✓", "10.0.0.5:4001",
                               "Dock, \"B\"\nline 2", "gate 1", "nobody"}) {
        SCOPED_TRACE(reader);
        Filter f;
        f.reader = reader;
        f.limit = SIZE_MAX;
        const std::vector<ReadRow> rows = Reads(f);
        EXPECT_EQ(rows, Model::Select(model_->reads, f));
        f.tag = 42;
        EXPECT_EQ(Reads(f), Model::Select(model_->reads, f));
    }
    Filter gate;
    gate.reader = "Gate 1";
    gate.limit = SIZE_MAX;
    std::set<std::string> devices;
    for (const ReadRow& r : Reads(gate)) {
        devices.insert(r.device);
    }
    EXPECT_EQ(devices, (std::set<std::string>{"10.0.0.1:4001", "10.0.0.4:4001"}));
}

TEST_F(HistoryQueryTest, TagPagesFollowTheModel) {
    for (const std::uint32_t tag : kTags) {
        SCOPED_TRACE(tag);
        const Filter f = test::TagFilter(tag);
        const std::vector<ReadRow> expected = Model::Select(model_->reads, [&] {
            Filter u = f;
            u.limit = SIZE_MAX;
            return u;
        }());
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(AllPages([&](const Filter& g) { return reader_->Reads(g); }, f, 3), expected);
        EXPECT_EQ(AllPages([&](const Filter& g) { return reader_->Reads(g); }, f, 500), expected);
    }
    EXPECT_TRUE(Reads(test::TagFilter(5)).empty());
}

TEST_F(HistoryQueryTest, RandomFiltersMatchBruteForce) {
    std::mt19937 rng(7);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<ReadRow>& reads = model_->reads;
    const std::string readers[] = {"Gate 1", "门禁 北", "10.0.0.5:4001", "10.0.0.6:4001", "x"};
    for (int i = 0; i < 300; ++i) {
        Filter f;
        const auto someTime = [&]() -> std::int64_t {
            switch (pick(3)) {
                case 0:
                    return reads[pick(reads.size())].timeMs;  // a read's own time
                case 1:
                    return schema::MinuteOf(reads[pick(reads.size())].timeMs) * 60000;
                default:
                    return kT0 - 5000 + static_cast<std::int64_t>(pick(2'500'000));
            }
        };
        if (pick(2) == 0) {
            f.sinceMs = someTime();
        }
        if (pick(2) == 0) {
            f.untilMs = someTime();
        }
        if (pick(2) == 0) {
            f.tag = kTags[pick(std::size(kTags))];
        }
        if (pick(3) == 0) {
            f.reader = readers[pick(std::size(readers))];
        }
        if (pick(3) == 0) {
            f.afterSeq = pick(lastSeq_ + 10);
        }
        if (pick(3) == 0) {
            // A scan window: at or below afterSeq, a few numbers wide, or past the end.
            const std::uint64_t widths[] = {0, 1, 37, 5000, UINT64_MAX - f.afterSeq};
            f.throughSeq = f.afterSeq + widths[pick(std::size(widths))];
            if (pick(4) == 0 && f.afterSeq > 0) {
                f.throughSeq = f.afterSeq - 1;
            }
        }
        const std::size_t limits[] = {1, 5, 100, SIZE_MAX};
        f.limit = limits[pick(4)];
        SCOPED_TRACE(testing::Message()
                     << "filter " << i << " since " << f.sinceMs.value_or(-1) << " until "
                     << f.untilMs.value_or(-1) << " tag " << f.tag.value_or(0) << " reader "
                     << f.reader.value_or("-") << " after " << f.afterSeq << " through "
                     << f.throughSeq.value_or(0) << " limit " << f.limit);
        ASSERT_EQ(Reads(f), Model::Select(reads, f));
        const Result<std::vector<PresenceRow>> presence = reader_->Presence(f);
        ASSERT_TRUE(presence.ok());
        ASSERT_EQ(presence.value(), Model::Select(model_->presence, f));
        const Result<std::vector<DeviceRow>> devices = reader_->Devices(f);
        ASSERT_TRUE(devices.ok());
        ASSERT_EQ(devices.value(), Model::Select(model_->devices, f));
    }
}

// The model's rows that pass `f` and whose tag `set` keeps, the first f.limit of them.
template <class Row>
std::vector<Row> SelectTags(const std::vector<Row>& rows, Filter f, const TagSet& set) {
    const std::size_t limit = f.limit;
    f.limit = SIZE_MAX;
    std::vector<Row> out;
    for (const Row& row : Model::Select(rows, f)) {
        if (out.size() < limit && set.Has(row.tag)) {
            out.push_back(row);
        }
    }
    return out;
}

// Sets of tags beyond the filter's one (an asset's, a group's): empty, one tag, a few asked
// tag by tag, and more than kTagByTag scanned (past four, tags never read), with every other
// field of the filter; then whole walks by windows and small pages, as the History window does.
TEST_F(HistoryQueryTest, TagSetsMatchBruteForce) {
    std::mt19937 rng(11);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const auto randomSet = [&](std::size_t n) {
        std::vector<std::uint32_t> tags;
        for (std::size_t i = 0; i < n; ++i) {
            tags.push_back(i < 4 ? kTags[pick(std::size(kTags))] : 500000 + std::uint32_t(i));
        }
        return TagSet::Only(tags);
    };
    const std::size_t sizes[] = {0, 1, 2, 4, 7, kTagByTag + 30};
    const std::size_t limits[] = {1, 7, 300, SIZE_MAX};
    for (int i = 0; i < 240; ++i) {
        Filter f;
        if (pick(3) == 0) {
            f.sinceMs = kT0 + static_cast<std::int64_t>(pick(2'400'000));
        }
        if (pick(3) == 0) {
            f.untilMs = kT0 + static_cast<std::int64_t>(pick(2'400'000));
        }
        if (pick(4) == 0) {
            f.reader = pick(2) == 0 ? "Gate 1" : "10.0.0.6:4001";
        }
        if (pick(6) == 0) {
            f.tag = kTags[pick(std::size(kTags))];
        }
        f.afterSeq = pick(2) == 0 ? pick(lastSeq_ + 10) : 0;
        if (pick(3) == 0) {
            f.throughSeq = f.afterSeq + pick(8000);
        }
        f.limit = limits[pick(std::size(limits))];
        const TagSet set = randomSet(sizes[pick(std::size(sizes))]);
        SCOPED_TRACE(testing::Message() << "filter " << i << " tags " << set.Tags().size());
        const Result<Page> reads = FetchPage(*reader_, events::Kind::kReads, f, set);
        const Result<Page> presence = FetchPage(*reader_, events::Kind::kPresence, f, set);
        const Result<Page> devices = FetchPage(*reader_, events::Kind::kDevices, f, set);
        ASSERT_TRUE(reads.ok() && presence.ok() && devices.ok());
        ASSERT_EQ(std::get<std::vector<ReadRow>>(reads->rows), SelectTags(model_->reads, f, set));
        ASSERT_EQ(std::get<std::vector<PresenceRow>>(presence->rows),
                  SelectTags(model_->presence, f, set));
        ASSERT_TRUE(std::get<std::vector<DeviceRow>>(devices->rows).empty());  // no tag
    }

    for (const TagSet& set : {TagSet::Only({42, 65535}), TagSet::Only({1}), randomSet(90)}) {
        SCOPED_TRACE(set.Tags().size());
        std::vector<ReadRow> walked;
        std::uint64_t scanned = 0;
        for (int guard = 0; scanned < lastSeq_ && guard < 100000; ++guard) {
            const Result<Page> page = FetchWindow(*reader_, events::Kind::kReads, Filter(), scanned,
                                                  lastSeq_, 997, 13, set);
            ASSERT_TRUE(page.ok());
            const auto& rows = std::get<std::vector<ReadRow>>(page->rows);
            walked.insert(walked.end(), rows.begin(), rows.end());
        }
        const std::vector<ReadRow> expected = SelectTags(model_->reads, test::Unlimited(), set);
        ASSERT_GT(expected.size(), 100u);
        EXPECT_EQ(walked, expected);
    }
}

TEST_F(HistoryQueryTest, OpenArrivalsAreTheUndeparted) {
    // (tag, name, device) -> its last presence event.
    std::map<std::tuple<std::uint32_t, std::string, std::string>, PresenceRow> last;
    for (const PresenceRow& p : model_->presence) {
        last[{p.tag, p.reader, p.device}] = p;
    }
    std::vector<OpenArrival> expected;
    for (const auto& [key, p] : last) {
        if (p.kind != PresenceKind::kArrive) {
            continue;
        }
        OpenArrival a{p.tag, p.reader, p.device, p.seq, p.timeMs, std::nullopt};
        for (const ReadRow& r : model_->reads) {
            if (r.tag == p.tag && r.reader == p.reader && r.device == p.device &&
                schema::MinuteOf(r.timeMs) >= schema::MinuteOf(p.timeMs)) {
                a.lastReadMs = std::max(a.lastReadMs.value_or(INT64_MIN), r.timeMs);
            }
        }
        expected.push_back(a);
    }
    std::sort(expected.begin(), expected.end(),
              [](const OpenArrival& a, const OpenArrival& b) { return a.seq < b.seq; });
    ASSERT_GT(expected.size(), 5u);
    const Result<std::vector<OpenArrival>> open = reader_->OpenArrivals();
    ASSERT_TRUE(open.ok()) << open.error().text;
    EXPECT_EQ(open.value(), expected);
}

}  // namespace
}  // namespace trelvane::history
