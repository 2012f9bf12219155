// Retention and the size cap: small deletions per call while appends go on, oldest first,
// sequence numbers never reused.

#include <gtest/gtest.h>

#include "history/HistoryTestSupport.h"
#include "history/Reader.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using test::BatchBuilder;
using test::HistoryDir;
using test::OpenWriter;

constexpr std::int64_t kDay = 86'400'000;
constexpr std::int64_t kT0 = 1796000000000;

// The numbers and times handed out so far.
struct Feed {
    std::uint64_t seq = 0;
    std::int64_t time = kT0;
    std::uint64_t lastRead = 0;
};

// Appends `n` reads (and a presence and device event after every 100th) `step` ms apart.
void AppendReads(Writer& w, Feed& feed, int n, std::int64_t step) {
    std::uint64_t& seq = feed.seq;
    std::int64_t& time = feed.time;
    BatchBuilder b;
    for (int i = 0; i < n; ++i) {
        ++seq;
        b.AddRead(seq, time, static_cast<std::uint32_t>(seq % 500), "Lane 4", "10.4.0.1:4001");
        feed.lastRead = seq;
        if (seq % 100 == 0) {
            b.AddPresence(++seq, time, 7, PresenceKind::kArrive, "Lane 4", "10.4.0.1:4001");
            b.AddDevice(++seq, time, DeviceEventKind::kNamed, "Lane 4", "10.4.0.1:4001");
        }
        time += step;
    }
    ASSERT_TRUE(w.Append(b.Batch()).ok());
}

std::int64_t Count(const HistoryDir& dir, const char* table) {
    return test::SqlInt(dir.Db(), (std::string("SELECT count(*) FROM ") + table).c_str());
}

// Everything still stored is one run of the newest: the smallest number left has every later
// number of its table after it.
void ExpectOldestWentFirst(const HistoryDir& dir, const char* table, std::int64_t expectedMax) {
    const std::string t(table);
    const std::int64_t count = Count(dir, table);
    if (count == 0) {
        return;
    }
    EXPECT_EQ(test::SqlInt(dir.Db(), ("SELECT max(seq) FROM " + t).c_str()), expectedMax) << t;
    const std::int64_t min = test::SqlInt(dir.Db(), ("SELECT min(seq) FROM " + t).c_str());
    EXPECT_EQ(test::SqlInt(
                  dir.Db(),
                  ("SELECT count(*) FROM " + t + " WHERE seq >= " + std::to_string(min)).c_str()),
              count);
}

TEST(HistoryRetentionTest, OldRowsGoInSmallBatchesWhileAppendsContinue) {
    HistoryDir dir;
    Options o{dir.Db()};
    o.retentionDays = 3;
    std::optional<Writer> w = OpenWriter(o);
    Feed feed;
    // Ten days, 4,000 reads a day.
    for (int day = 0; day < 10; ++day) {
        for (int batch = 0; batch < 4; ++batch) {
            AppendReads(*w, feed, 1000, kDay / 4000);
        }
    }
    const std::int64_t now = feed.time;
    const std::int64_t cut = (now - 3 * kDay) / 60000 * 60000;
    const std::int64_t keptBefore = test::SqlInt(
        dir.Db(), ("SELECT count(*) FROM reads WHERE time >= " + std::to_string(cut)).c_str());
    ASSERT_GT(keptBefore, 11000);

    constexpr std::size_t kRows = 700;
    int calls = 0;
    std::uint64_t appendedSince = 0;
    for (; calls < 200; ++calls) {
        AppendReads(*w, feed, 50, 1);  // the service keeps writing between steps
        appendedSince += 50;
        const Result<PruneResult> step = w->Prune(now, kRows);
        ASSERT_TRUE(step.ok()) << step.error().text;
        // Each table loses at most kRows per call.
        EXPECT_LE(step->rowsDeleted, 6 * kRows);
        ExpectOldestWentFirst(dir, "reads", static_cast<std::int64_t>(feed.lastRead));
        if (!step->more) {
            break;
        }
    }
    EXPECT_GT(calls, 10);  // 28,000 old reads took many small steps
    EXPECT_LT(calls, 200);
    EXPECT_EQ(
        test::SqlInt(dir.Db(),
                     ("SELECT count(*) FROM reads WHERE time < " + std::to_string(cut)).c_str()),
        0);
    EXPECT_EQ(test::SqlInt(dir.Db(), ("SELECT count(*) FROM tag_minutes WHERE minute < " +
                                      std::to_string(cut / 60000))
                                         .c_str()),
              0);
    EXPECT_EQ(
        test::SqlInt(dir.Db(),
                     ("SELECT count(*) FROM presence WHERE time < " + std::to_string(cut)).c_str()),
        0);
    EXPECT_EQ(test::SqlInt(dir.Db(), ("SELECT count(*) FROM presence_minutes WHERE minute < " +
                                      std::to_string(cut / 60000))
                                         .c_str()),
              0);
    EXPECT_GT(Count(dir, "presence_minutes"), 0);
    EXPECT_EQ(Count(dir, "reads"), keptBefore + static_cast<std::int64_t>(appendedSince));
    // Queries still agree with what is left.
    Result<Reader> r = Reader::Open(dir.Db());
    ASSERT_TRUE(r.ok());
    Filter f;
    f.tag = 123;
    f.limit = SIZE_MAX;
    const std::vector<ReadRow> rows = r->Reads(f).value();
    EXPECT_EQ(static_cast<std::int64_t>(rows.size()),
              test::SqlInt(dir.Db(), "SELECT count(*) FROM reads WHERE tag = 123"));
    for (const ReadRow& row : rows) {
        EXPECT_GE(row.timeMs, cut);
    }

    // Everything old: the numbers go on from the last one, also after a restart.
    const std::uint64_t last = w->LastSequence();
    for (int i = 0; i < 100 && w->Prune(now + 30 * kDay, 5000).value().more; ++i) {
    }
    EXPECT_EQ(Count(dir, "reads"), 0);
    EXPECT_EQ(w->LastSequence(), last);
    EXPECT_EQ(Count(dir, "tag_minutes"), 0);
    EXPECT_EQ(Count(dir, "presence_minutes"), 0);
    w.reset();
    Writer reopened = OpenWriter(o);
    EXPECT_EQ(reopened.LastSequence(), last);
}

TEST(HistoryRetentionTest, SizeCapDeletesOldestAndGivesSpaceBack) {
    HistoryDir dir;
    Options o{dir.Db()};
    o.retentionDays = 0;  // the cap alone
    o.maxSizeBytes = 1 << 20;
    std::optional<Writer> w = OpenWriter(o);
    Feed feed;
    for (int i = 0; i < 80; ++i) {
        AppendReads(*w, feed, 1000, 250);
    }
    const std::int64_t pagesBefore = test::SqlInt(dir.Db(), "PRAGMA page_count");
    const std::int64_t pageSize = test::SqlInt(dir.Db(), "PRAGMA page_size");
    ASSERT_GT(pagesBefore * pageSize, 3 << 20);

    bool done = false;
    for (int calls = 0; calls < 400 && !done; ++calls) {
        AppendReads(*w, feed, 20, 250);
        const Result<PruneResult> step = w->Prune(feed.time, 2000);
        ASSERT_TRUE(step.ok()) << step.error().text;
        EXPECT_LE(step->rowsDeleted, 6u * 2000u);
        done = !step->more;
    }
    ASSERT_TRUE(done);
    const std::int64_t pages = test::SqlInt(dir.Db(), "PRAGMA page_count");
    const std::int64_t freePages = test::SqlInt(dir.Db(), "PRAGMA freelist_count");
    EXPECT_LE((pages - freePages) * pageSize, o.maxSizeBytes);
    EXPECT_EQ(freePages, 0);  // given back
    EXPECT_LT(pages, pagesBefore / 2);
    ExpectOldestWentFirst(dir, "reads", test::SqlInt(dir.Db(), "SELECT max(seq) FROM reads"));
    // No presence index row is left whose events have all gone.
    ASSERT_GT(Count(dir, "presence"), 0);
    EXPECT_EQ(test::SqlInt(dir.Db(),
                           "SELECT count(*) FROM presence_minutes WHERE last_seq < "
                           "(SELECT min(seq) FROM presence)"),
              0);
    EXPECT_GT(Count(dir, "presence_minutes"), 0);
    // The newest reads survived, the numbering goes on.
    EXPECT_EQ(static_cast<std::uint64_t>(test::SqlInt(dir.Db(), "SELECT max(seq) FROM reads")),
              feed.lastRead);
    const std::uint64_t last = w->LastSequence();
    AppendReads(*w, feed, 1, 1);
    EXPECT_EQ(w->LastSequence(), last + 1);
}

}  // namespace
}  // namespace trelvane::history
