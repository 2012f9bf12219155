// The history sink under a flood: what it stores and what its size cap deletes keep pace. Alerts
// reach the history with the reads of their batch.

#include "service/HistorySink.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "history/Reader.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

// Pages in use (not on the free list) times the page size: what the size cap bounds.
std::int64_t LiveBytes(const std::filesystem::path& db) {
    sqlite3* c = nullptr;
    std::int64_t pages[3] = {0, 0, 0};
    if (sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        const char* queries[] = {"PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size"};
        for (int i = 0; i < 3; ++i) {
            sqlite3_stmt* q = nullptr;
            if (sqlite3_prepare_v2(c, queries[i], -1, &q, nullptr) == SQLITE_OK &&
                sqlite3_step(q) == SQLITE_ROW) {
                pages[i] = sqlite3_column_int64(q, 0);
            }
            sqlite3_finalize(q);
        }
    }
    sqlite3_close(c);
    return (pages[0] - pages[1]) * pages[2];
}

TEST(HistorySinkTest, TheSizeCapKeepsPaceWithAFlood) {
    const test::TempFolder scratch;
    const std::filesystem::path& dir = scratch.Path();
    HistoryConfig config;
    config.retentionDays = 0;  // the cap alone
    config.maxSizeMB = 16;
    std::string error;
    std::unique_ptr<HistorySink> sink =
        HistorySink::Open(config, dir, 936, SystemClock(), "", error);
    ASSERT_TRUE(sink) << error;
    const std::filesystem::path db = sink->Path();
    const std::int64_t cap = config.MaxSizeBytes();

    // Groups of 50,000 reads, each stored and followed by a step of the cap, as the sink
    // thread does when the parse thread keeps its queue full: 1,500,000 reads, about three
    // times what fits under the cap.
    EventBatch batch;
    const std::uint32_t device = batch.AddDevice("10.9.0.1:4001", "Flood");
    Sequence seq = sink->LastSequence();
    std::int64_t largest = 0;
    // A minute per group, so the rollup of each minute can go with its reads; 10,000 tags.
    const std::int64_t start = SystemClock().UnixMillis() - 60 * 60'000;
    for (int group = 0; group < 30; ++group) {
        batch.reads.clear();
        for (int i = 0; i < 50'000; ++i) {
            ++seq;
            batch.reads.push_back(
                ReadEvent{seq, start + group * 60'000 + i,
                          TagReport{static_cast<std::uint32_t>(seq * 7919 % 10'000), {}}, device});
        }
        sink->Consume(batch);
        sink->Flush();
        largest = std::max(largest, LiveBytes(db));
    }
    const HistorySink::Status status = sink->CurrentStatus();
    EXPECT_EQ(status.rows, 1'500'000u);
    EXPECT_EQ(status.missed, 0u);
    EXPECT_GT(status.pruned, 500'000u);
    // Over the cap by at most what a group or two adds (about 2 MB each) while the steps
    // follow the flood; the small fixed steps alone let it reach over 50 MB.
    EXPECT_GT(largest, cap / 2);
    EXPECT_LT(largest, cap + 6 * 1024 * 1024) << "largest live size " << largest;
}

// An alert is stored with its batch, and its acknowledgement in a later batch reaches the open
// alerts: what the rule engine reads at its start.
TEST(HistorySinkTest, AlertsAreStoredWithTheirBatch) {
    const test::TempFolder scratch;
    std::string error;
    std::unique_ptr<HistorySink> sink =
        HistorySink::Open(HistoryConfig{}, scratch.Path(), 936, SystemClock(), "", error);
    ASSERT_TRUE(sink) << error;
    const std::int64_t now = SystemClock().UnixMillis();
    EventBatch batch;
    batch.firstSeq = batch.nextSeq = sink->LastSequence() + 1;
    const std::uint32_t device = batch.AddDevice("10.9.0.1:4001", "R01");
    batch.reads.push_back(ReadEvent{batch.TakeSeq(), now, TagReport{7, {}}, device});
    const events::AlertRow raised{batch.TakeSeq(),
                                  now,
                                  events::AlertEventKind::kRaised,
                                  0,
                                  "dock",
                                  events::RuleKind::kForbidden,
                                  7u,
                                  "Dock",
                                  "R01",
                                  now,
                                  "7 in Dock",
                                  ""};
    batch.alerts.push_back(raised);
    sink->Consume(batch);
    sink->Flush();
    batch.Clear();
    batch.firstSeq = batch.nextSeq;
    events::AlertRow ack = raised;
    ack.seq = batch.TakeSeq();
    ack.kind = events::AlertEventKind::kAcknowledged;
    ack.raised = raised.seq;
    ack.text = "moving it";
    ack.by = "ops";
    batch.alerts.push_back(ack);
    sink->Consume(batch);
    sink->Flush();
    EXPECT_EQ(sink->CurrentStatus().rows, 3u);

    auto reader = history::Reader::Open(sink->Path());
    ASSERT_TRUE(reader) << reader.error().text;
    EXPECT_EQ(reader->Alerts({}).value(), (std::vector<events::AlertRow>{raised, ack}));
    EXPECT_EQ(reader->OpenAlerts().value(), (std::vector<history::OpenAlert>{{raised, ack}}));
}

}  // namespace
}  // namespace trelvane
