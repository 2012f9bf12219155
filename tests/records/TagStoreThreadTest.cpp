#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "records/TagStore.h"
#include "support/TagFrames.h"

namespace trelvane {
namespace {

using test::TagFrame;
using test::TagReportFor;

// The parse thread records reads while the user-interface thread refreshes and now and then
// clears. Afterwards the list must be the table, row for row, and every read counted once.
TEST(TagStoreThreadTest, RecordAgainstRefreshAndClear) {
    TagStore store;
    TagListModel list;
    constexpr int kReads = 60'000;
    std::atomic<bool> done{false};

    std::thread parse([&] {
        const LocalDateTime now{2026, 3, 8, 9, 5, 3};
        for (int i = 0; i < kReads; ++i) {
            const auto id = static_cast<std::uint32_t>((i * 7919) % 3001);
            store.RecordRead("reader-" + std::to_string(i % 5), TagReportFor(id, i % 2 ? 14 : 17),
                             now);
        }
        done = true;
    });

    int refreshes = 0;
    int clears = 0;
    std::size_t problems = 0;
    while (!done) {
        const std::size_t rowsBefore = list.RowCount();
        const TagListUpdate update = store.RefreshTagList(list);
        ++refreshes;
        // Within one refresh: appended rows follow the old ones, each ID once.
        if (update.appendedCount > 0 && update.appendedFirst != rowsBefore) {
            ++problems;
        }
        if (list.RowCount() != rowsBefore + update.appendedCount) {
            ++problems;
        }
        if (refreshes % 40 == 0) {
            store.ClearAllRecords(list);
            ++clears;
            if (list.RowCount() != 0) {
                ++problems;
            }
        }
        std::this_thread::yield();
    }
    parse.join();
    store.RefreshTagList(list);

    EXPECT_EQ(problems, 0u);
    EXPECT_EQ(store.TotalReads(), static_cast<std::uint64_t>(kReads));
    ASSERT_EQ(list.RowCount(), store.Size());
    std::set<std::string> seen;
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
        const std::string id = list.Cell(row, TagListModel::kColumnId);
        EXPECT_TRUE(seen.insert(id).second) << "two rows for " << id;
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnNo), std::to_string(row + 1));
        const auto info = store.Find(id);
        ASSERT_TRUE(info) << id;
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnReadCount), std::to_string(info->readCount));
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnDevice), info->deviceName);
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnLastReadTime), info->lastReadTime);
    }
    // Without a clear in the last stretch the counts add up to every read; with clears they
    // add up to the reads since the last one, which is at most every read.
    std::uint64_t counted = 0;
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
        counted += static_cast<std::uint64_t>(list.RowReadCount(row));
    }
    EXPECT_LE(counted, static_cast<std::uint64_t>(kReads));
    if (clears == 0) {
        EXPECT_EQ(counted, static_cast<std::uint64_t>(kReads));
    }
    RecordProperty("refreshes", refreshes);
    RecordProperty("clears", clears);
}

// Readers of the table (Find, Size) from a third thread while the other two work.
TEST(TagStoreThreadTest, LookupsDuringReadsAndRefreshes) {
    TagStore store;
    TagListModel list;
    std::atomic<bool> done{false};
    std::thread parse([&] {
        const LocalDateTime now{2026, 3, 8, 9, 5, 3};
        for (std::uint32_t i = 0; i < 20'000; ++i) {
            store.RecordRead(i % 2 ? "odd" : "even", TagReportFor(i % 500), now);
        }
        done = true;
    });
    std::thread lookups([&] {
        while (!done) {
            if (const auto info = store.Find("7")) {
                EXPECT_GE(info->readCount, 1);
                EXPECT_EQ(info->deviceName, "odd");
            }
            EXPECT_LE(store.Size(), 500u);
        }
    });
    while (!done) {
        store.RefreshTagList(list);
        std::this_thread::yield();
    }
    parse.join();
    lookups.join();
    store.RefreshTagList(list);
    EXPECT_EQ(list.RowCount(), 500u);
    EXPECT_EQ(store.Find("7")->readCount, 40);
}

}  // namespace
}  // namespace trelvane
