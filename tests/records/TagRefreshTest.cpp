#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "records/TagId.h"
#include "records/TagListModel.h"
#include "records/TagStore.h"
#include "support/ReferenceTagTable.h"
#include "support/TagFrames.h"

namespace trelvane {
namespace {

using test::ReferenceTagTable;
using test::TagFrame;
using test::TagReportFor;

const LocalDateTime kNow{2026, 3, 8, 9, 5, 3};

std::vector<std::string> RowCells(const TagListModel& list, std::size_t row) {
    std::vector<std::string> cells;
    for (int column = 0; column < TagListModel::kColumns; ++column) {
        cells.push_back(list.Cell(row, column));
    }
    return cells;
}

// Column 2 of every row, top to bottom.
std::vector<std::string> Ids(const TagListModel& list) {
    std::vector<std::string> ids;
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
        ids.push_back(list.Cell(row, TagListModel::kColumnId));
    }
    return ids;
}

using Strings = std::vector<std::string>;

TEST(TagRefreshTest, RowsShowEveryColumn) {
    TagStore store;
    TagListModel list;
    store.RecordRead("Gate-A", TagReportFor(12345678, 14), kNow);
    store.RecordRead(std::string("\xC9\xE8\0", 3), TagReportFor(42, 15), kNow);
    store.RecordRead("Gate-A", TagReportFor(42, 17, {0x30, 0x15, 0x09, 0, 0x24, 0x12, 0x10}), kNow);

    const TagListUpdate update = store.RefreshTagList(list);
    EXPECT_TRUE(update.updated.empty());
    EXPECT_EQ(update.appendedFirst, 0u);
    EXPECT_EQ(update.appendedCount, 2u);
    ASSERT_EQ(list.RowCount(), 2u);
    // "12345678" sorts before "42".
    EXPECT_EQ(RowCells(list, 0),
              (Strings{"12345678", "1", "12345678", "Gate-A", "1", "2026-03-08 09:05:03"}));
    EXPECT_EQ(RowCells(list, 1), (Strings{"42", "2", "42", "Gate-A", "2", "2010-12-24 09:15:30"}));
    EXPECT_EQ(list.RowTagId(1), 42u);
    EXPECT_EQ(list.RowNumber(1), 2);
    EXPECT_EQ(list.RowReadCount(1), 2);
    EXPECT_EQ(list.RowLastReadTime(1), "2010-12-24 09:15:30");
    EXPECT_EQ(list.RowDeviceName(0), "Gate-A");
    EXPECT_EQ(list.FindRow("42"), 1u);
    EXPECT_EQ(list.FindRow(12345678u), 0u);
    EXPECT_FALSE(list.FindRow("042"));
    EXPECT_FALSE(list.FindRow(7u));
    // Outside the rows and columns: empty.
    EXPECT_EQ(list.Cell(2, 2), "");
    EXPECT_EQ(list.Cell(0, 6), "");
    EXPECT_EQ(list.Cell(0, -1), "");
}

TEST(TagRefreshTest, OrderOfFirstRefreshThenKeyOrderWithinOne) {
    TagStore store;
    TagListModel list;
    for (std::uint32_t id : {99u, 100u, 5u}) {
        store.RecordRead("d", TagReportFor(id), kNow);
    }
    store.RefreshTagList(list);
    EXPECT_EQ(Ids(list), (Strings{"100", "5", "99"}));

    // A later refresh appends its new IDs behind, in key order among themselves, even when
    // they sort before rows already shown.
    for (std::uint32_t id : {7u, 1u, 99u, 1000u}) {
        store.RecordRead("e", TagReportFor(id), kNow);
    }
    const TagListUpdate update = store.RefreshTagList(list);
    EXPECT_EQ(Ids(list), (Strings{"100", "5", "99", "1", "1000", "7"}));
    EXPECT_EQ(update.appendedFirst, 3u);
    EXPECT_EQ(update.appendedCount, 3u);
    EXPECT_EQ(update.updated, (std::vector<RowRange>{{2, 1}}));
    EXPECT_EQ(RowCells(list, 2), (Strings{"99", "3", "99", "e", "2", "2026-03-08 09:05:03"}));
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnNo), std::to_string(row + 1));
        EXPECT_EQ(list.Cell(row, TagListModel::kColumnHiddenId),
                  list.Cell(row, TagListModel::kColumnId));
    }

    // Nothing read since: nothing changes.
    EXPECT_TRUE(store.RefreshTagList(list).Empty());
    EXPECT_EQ(list.RowCount(), 6u);
}

TEST(TagRefreshTest, UpdatedRowsComeAsMergedSortedRanges) {
    TagStore store;
    TagListModel list;
    for (std::uint32_t id = 10; id < 20; ++id) {
        store.RecordRead("d", TagReportFor(id), kNow);
    }
    store.RefreshTagList(list);  // rows 0..9 hold 10..19
    for (std::uint32_t id : {18u, 11u, 12u, 15u, 13u, 19u}) {
        store.RecordRead("d", TagReportFor(id), kNow);
    }
    store.RecordRead("d", TagReportFor(11), kNow);  // twice before a refresh: one row change
    const TagListUpdate update = store.RefreshTagList(list);
    EXPECT_EQ(update.updated, (std::vector<RowRange>{{1, 3}, {5, 1}, {8, 2}}));
    EXPECT_EQ(update.appendedCount, 0u);
    EXPECT_EQ(list.Cell(1, TagListModel::kColumnReadCount), "3");
}

TEST(TagRefreshTest, EmptyTableChangesNothing) {
    TagStore store;
    TagListModel list;
    EXPECT_TRUE(store.RefreshTagList(list).Empty());
    EXPECT_EQ(list.RowCount(), 0u);

    // A list that still shows rows the table no longer has (an earlier list handed to a
    // store that was cleared with another) keeps them when the table is empty.
    TagListModel other;
    store.RecordRead("d", TagReportFor(3), kNow);
    store.RefreshTagList(list);
    store.ClearAllRecords(other);
    const std::uint64_t version = list.Version();
    EXPECT_TRUE(store.RefreshTagList(list).Empty());
    EXPECT_EQ(Ids(list), (Strings{"3"}));
    EXPECT_EQ(list.Version(), version);
}

TEST(TagRefreshTest, ClearRestartsNumberingAndCounts) {
    TagStore store;
    TagListModel list;
    for (std::uint32_t id : {1u, 2u, 3u}) {
        store.RecordRead("d", TagReportFor(id), kNow);
    }
    store.RecordRead("d", TagReportFor(2), kNow);
    store.RefreshTagList(list);
    ASSERT_EQ(list.RowCount(), 3u);

    store.ClearAllRecords(list);
    EXPECT_EQ(list.RowCount(), 0u);
    EXPECT_TRUE(store.RefreshTagList(list).Empty());

    store.RecordRead("x", TagReportFor(2), kNow);
    const TagListUpdate update = store.RefreshTagList(list);
    EXPECT_EQ(update.appendedFirst, 0u);
    EXPECT_EQ(update.appendedCount, 1u);
    EXPECT_EQ(RowCells(list, 0), (Strings{"2", "1", "2", "x", "1", "2026-03-08 09:05:03"}));
}

TEST(TagRefreshTest, AnotherListGetsTheWholeTable) {
    TagStore store;
    TagListModel first;
    for (std::uint32_t id : {30u, 4u, 200u}) {
        store.RecordRead("d", TagReportFor(id), kNow);
    }
    store.RefreshTagList(first);
    store.RecordRead("e", TagReportFor(4), kNow);

    TagListModel second;
    const TagListUpdate update = store.RefreshTagList(second);
    EXPECT_EQ(Ids(second), (Strings{"200", "30", "4"}));
    EXPECT_EQ(update.appendedCount, 3u);
    EXPECT_EQ(second.Cell(2, TagListModel::kColumnDevice), "e");

    // The first list missed the read of 4 while the second was refreshed; it catches up.
    store.RefreshTagList(first);
    EXPECT_EQ(Ids(first), (Strings{"200", "30", "4"}));
    EXPECT_EQ(first.Cell(2, TagListModel::kColumnDevice), "e");
    EXPECT_EQ(first.Cell(2, TagListModel::kColumnReadCount), "2");
}

// Merges sorted row indices into ranges the way a view wants them.
std::vector<RowRange> Ranges(const std::set<std::size_t>& rows) {
    std::vector<RowRange> ranges;
    for (const std::size_t row : rows) {
        if (!ranges.empty() && ranges.back().first + ranges.back().count == row) {
            ++ranges.back().count;
        } else {
            ranges.push_back(RowRange{row, 1});
        }
    }
    return ranges;
}

// The store against the reference over many random rounds of reads, refreshes, clears and
// switches between two lists: the rows must be identical after every refresh, and the update
// must name exactly the rows that may have changed.
TEST(TagRefreshTest, MatchesTheFullWalkOverRandomRounds) {
    std::mt19937 random(20260308);
    TagStore store;
    ReferenceTagTable reference;
    TagListModel lists[2];
    ReferenceTagTable::List referenceLists[2];
    int synced = -1;                  // the list the store last refreshed or cleared
    std::set<std::string> readSince;  // IDs read since then

    // IDs from a small pool, so they repeat, with the edges and the prefix cases mixed in.
    std::vector<std::uint32_t> pool = {0, 1, 9, 10, 99, 100, 12, 123, 4294967295u, 429496729};
    while (pool.size() < 400) {
        pool.push_back(random() % 3 == 0 ? random() : random() % 5000);
    }
    const Strings devices = {"192.168.1.20:4001", "Gate-A", std::string("\xC9\xE8\0", 3),
                             std::string(300, 'N'), ""};

    for (int round = 0; round < 400; ++round) {
        const int reads = static_cast<int>(random() % 60);
        for (int i = 0; i < reads; ++i) {
            const std::uint32_t id = pool[random() % pool.size()];
            const std::string& device = devices[random() % devices.size()];
            const std::uint8_t length = random() % 2 ? 14 : 17;
            std::array<std::uint8_t, 7> clock;
            for (auto& b : clock) {
                b = static_cast<std::uint8_t>(random());
            }
            const LocalDateTime now{
                2026, 3, 8, static_cast<int>(random() % 24), static_cast<int>(random() % 60), 0};
            const TagReport report = TagReportFor(id, length, clock);
            store.RecordRead(device, report, now);
            // The store keeps a compact stamp and makes the text when the row is shown.
            reference.Record(TagIdText(id), device, ReadTimeText(report, now));
            readSince.insert(TagIdText(id));
        }

        const int which = random() % 5 == 0 ? 1 : 0;  // now and then the other list
        if (random() % 25 == 0) {
            store.ClearAllRecords(lists[which]);
            reference.Clear(referenceLists[which]);
            synced = which;
            readSince.clear();
            ASSERT_EQ(lists[which].RowCount(), 0u);
            continue;
        }

        TagListModel& list = lists[which];
        ReferenceTagTable::List& expected = referenceLists[which];
        const std::vector<ReferenceTagTable::Row> before = expected.rows;
        const TagListUpdate update = store.RefreshTagList(list);
        reference.Refresh(expected);

        ASSERT_EQ(list.RowCount(), expected.rows.size()) << "round " << round;
        for (std::size_t row = 0; row < list.RowCount(); ++row) {
            const auto cells = RowCells(list, row);
            ASSERT_TRUE(std::equal(cells.begin(), cells.end(), expected.rows[row].begin()))
                << "round " << round << " row " << row << " id " << cells[2];
        }
        EXPECT_EQ(store.Size(), reference.Table().size());

        // Appended: exactly the rows the reference added. Updated: the old rows of the IDs read
        // since the store last saw this list; for a list it did not see last, every old row of
        // an ID in the table.
        EXPECT_EQ(update.appendedFirst, before.size());
        EXPECT_EQ(update.appendedCount, expected.rows.size() - before.size());
        std::set<std::size_t> changed;
        if (!reference.Table().empty()) {
            for (std::size_t row = 0; row < before.size(); ++row) {
                const std::string& id = before[row][0];
                if (synced == which ? readSince.count(id) > 0 : reference.Table().count(id) > 0) {
                    changed.insert(row);
                }
            }
        }
        EXPECT_EQ(update.updated, Ranges(changed)) << "round " << round;
        if (!reference.Table().empty()) {
            synced = which;
            readSince.clear();
        }
    }
}

}  // namespace
}  // namespace trelvane
