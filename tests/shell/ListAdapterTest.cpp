#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <map>

#include "records/TagStore.h"
#include "shell/DeviceListAdapter.h"
#include "shell/TagListAdapter.h"
#include "support/QtPrinters.h"
#include "support/TagFrames.h"

namespace trelvane {
namespace {

using namespace Qt::Literals::StringLiterals;

using test::TagFrame;

const LocalDateTime kNow{2026, 3, 8, 9, 5, 3};

// The rows of one rowsInserted or dataChanged signal, as [first, last].
std::vector<std::pair<int, int>> RowSpans(const QSignalSpy& spy) {
    std::vector<std::pair<int, int>> spans;
    for (const QList<QVariant>& args : spy) {
        if (args.at(0).canConvert<QModelIndex>() && args.at(0).value<QModelIndex>().isValid()) {
            spans.emplace_back(args.at(0).value<QModelIndex>().row(),
                               args.at(1).value<QModelIndex>().row());
        } else {
            spans.emplace_back(args.at(1).toInt(), args.at(2).toInt());
        }
    }
    return spans;
}

class TagListAdapterTest : public ::testing::Test {
  protected:
    TagListAdapterTest()
        : adapter(list),
          tester(&adapter, QAbstractItemModelTester::FailureReportingMode::Fatal),
          inserted(&adapter, &QAbstractItemModel::rowsInserted),
          changed(&adapter, &QAbstractItemModel::dataChanged),
          reset(&adapter, &QAbstractItemModel::modelReset) {}

    void Read(std::uint32_t id, std::string_view device = "R01") {
        store.RecordRead(device, test::TagReportFor(id, 14), kNow);
    }
    void Refresh() { adapter.ApplyUpdate(store.RefreshTagList(list)); }
    void ClearSpies() {
        inserted.clear();
        changed.clear();
        reset.clear();
    }

    TagStore store;
    TagListModel list;
    TagListAdapter adapter;
    QAbstractItemModelTester tester;
    QSignalSpy inserted;
    QSignalSpy changed;
    QSignalSpy reset;
};

TEST_F(TagListAdapterTest, RefreshSignalsExactlyTheAppendedAndRewrittenRows) {
    for (std::uint32_t id : {30, 10, 40, 20}) {
        Read(id);
    }
    Refresh();  // rows: 10, 20, 30, 40
    EXPECT_EQ(RowSpans(inserted), (std::vector<std::pair<int, int>>{{0, 3}}));
    EXPECT_TRUE(changed.isEmpty());
    EXPECT_EQ(adapter.rowCount(), 4);
    ClearSpies();

    // Rows 0, 1 and 3 read again, a new ID appended behind them.
    Read(10);
    Read(20);
    Read(40, "R02");
    Read(5);
    Refresh();
    EXPECT_EQ(RowSpans(inserted), (std::vector<std::pair<int, int>>{{4, 4}}));
    EXPECT_EQ(RowSpans(changed), (std::vector<std::pair<int, int>>{{0, 1}, {3, 3}}));
    for (const QList<QVariant>& args : changed) {
        EXPECT_EQ(args.at(0).value<QModelIndex>().column(), TagListModel::kColumnDevice);
        EXPECT_EQ(args.at(1).value<QModelIndex>().column(), TagListModel::kColumnLastReadTime);
    }
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(adapter.data(adapter.index(3, TagListModel::kColumnDevice)).toString(), u"R02"_s);
    EXPECT_EQ(adapter.data(adapter.index(1, TagListModel::kColumnReadCount)).toString(), u"2"_s);
    EXPECT_EQ(adapter.data(adapter.index(4, TagListModel::kColumnId)).toString(), u"5"_s);
    ClearSpies();

    Refresh();  // nothing read since
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_TRUE(changed.isEmpty());
    EXPECT_EQ(reset.count(), 0);
}

TEST_F(TagListAdapterTest, RowCountDoesNotRunAheadOfTheSignals) {
    std::vector<int> countsBefore;
    QObject::connect(&adapter, &QAbstractItemModel::rowsAboutToBeInserted,
                     [&] { countsBefore.push_back(adapter.rowCount()); });
    for (std::uint32_t id = 1; id <= 5; ++id) {
        Read(id);
    }
    store.RefreshTagList(list);
    EXPECT_EQ(adapter.rowCount(), 0) << "the list grew, but views have not been told yet";
    EXPECT_FALSE(adapter.data(adapter.index(0, 2)).isValid());
    adapter.ApplyUpdate(TagListUpdate{{}, 0, 5});
    EXPECT_EQ(countsBefore, std::vector<int>{0});
    EXPECT_EQ(adapter.rowCount(), 5);
}

TEST_F(TagListAdapterTest, ManyScatteredRewritesBecomeOneCoveringSignal) {
    const int rows = 2 * static_cast<int>(TagListAdapter::kMaxRangesSignalled) + 10;
    for (int id = 0; id < rows; ++id) {
        Read(static_cast<std::uint32_t>(1000 + id));
    }
    Refresh();
    ClearSpies();
    // Every other row: one range each, more ranges than are signalled one by one.
    for (int row = 1; row < rows; row += 2) {
        Read(static_cast<std::uint32_t>(1000 + row));
    }
    Refresh();
    EXPECT_EQ(RowSpans(changed), (std::vector<std::pair<int, int>>{{1, rows - 1}}));
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_EQ(reset.count(), 0);
}

TEST_F(TagListAdapterTest, ClearResetsAndNumberingStartsAgain) {
    Read(7);
    Read(8);
    Refresh();
    ClearSpies();
    store.ClearAllRecords(list);
    adapter.ApplyClear();
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(adapter.rowCount(), 0);
    Read(8);
    Refresh();
    EXPECT_EQ(RowSpans(inserted), (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(adapter.data(adapter.index(0, TagListModel::kColumnNo)).toString(), u"1"_s);
}

TEST_F(TagListAdapterTest, UpdateOutOfStepWithTheViewResyncsInsteadOfLying) {
    Read(1);
    Read(2);
    store.RefreshTagList(list);  // the view was never told about these rows
    Read(3);
    Refresh();  // says: one row appended at 2
    EXPECT_EQ(reset.count(), 1);
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_EQ(adapter.rowCount(), 3);
}

TEST_F(TagListAdapterTest, CellsHeadersAndNamesInTheCodePage) {
    adapter.SetCodec(TextCodec::ForCodePage(936).value());
    adapter.SetHeaders({u"ID"_s, u"No."_s, u"ID"_s, u"Device"_s, u"Count"_s, u"Last Read Time"_s});
    Read(4294967295u,
         "\xC9\xE8\xB1\xB8"
         "01");  // "设备01" in GBK
    Refresh();
    EXPECT_EQ(adapter.data(adapter.index(0, 0)).toString(), u"4294967295"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 1)).toString(), u"1"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 2)).toString(), u"4294967295"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 3)).toString(), QStringLiteral("设备01"));
    EXPECT_EQ(adapter.data(adapter.index(0, 4)).toString(), u"1"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 5)).toString(), u"2026-03-08 09:05:03"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 3), Qt::TextAlignmentRole).value<Qt::Alignment>(),
              Qt::AlignCenter);
    EXPECT_EQ(adapter.headerData(5, Qt::Horizontal).toString(), u"Last Read Time"_s);
    EXPECT_FALSE(adapter.headerData(0, Qt::Vertical).isValid());
}

TEST_F(TagListAdapterTest, RefreshKeepsTheViewsSelectionAndScrollPosition) {
    for (std::uint32_t id = 0; id < 2000; ++id) {
        Read(100000 + id);
    }
    Refresh();
    QTableView view;
    view.resize(400, 200);
    view.setModel(&adapter);
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.show();
    view.selectRow(1200);
    view.scrollTo(adapter.index(1200, 1), QAbstractItemView::PositionAtTop);
    const int scroll = view.verticalScrollBar()->value();
    ASSERT_GT(scroll, 0);
    for (int refresh = 0; refresh < 5; ++refresh) {
        Read(100000 + 1200);  // the selected row changes
        Read(100000 + 7 * static_cast<std::uint32_t>(refresh));
        Read(500000 + static_cast<std::uint32_t>(refresh));  // a row appended
        Refresh();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(adapter.rowCount(), 2005);
    ASSERT_EQ(view.selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(view.selectionModel()->selectedRows().front().row(), 1200);
    EXPECT_EQ(view.verticalScrollBar()->value(), scroll);
    EXPECT_EQ(adapter.data(adapter.index(1200, TagListModel::kColumnReadCount)).toString(), u"6"_s);
}

// The register's columns come with its first asset or zone and go with its last; in between
// a refresh signals them changed and nothing else about the columns.
TEST_F(TagListAdapterTest, SiteColumnsComeAndGoWithWhatTheRegisterNames) {
    for (std::uint32_t id : {10, 20, 30}) {
        Read(id);
    }
    Refresh();
    std::map<std::uint32_t, std::string> zones = {{10, "Dock A"}, {30, "Gate"}};
    adapter.SetZoneSource([&zones](std::uint32_t tag) {
        const auto it = zones.find(tag);
        return it == zones.end() ? std::string() : it->second;
    });
    adapter.SetHeaders({u"ID"_s, u"No."_s, u"ID"_s, u"Device"_s, u"Count"_s, u"Last Read Time"_s,
                        u"Asset"_s, u"Zone"_s});
    QSignalSpy added(&adapter, &QAbstractItemModel::columnsInserted);
    QSignalSpy removed(&adapter, &QAbstractItemModel::columnsRemoved);
    const auto cell = [&](int row, int column) {
        return adapter.data(adapter.index(row, column)).toString().toStdString();
    };

    adapter.SetSite(nullptr);
    adapter.SetSite(site::Snapshot::EmptyRegister());
    EXPECT_EQ(adapter.columnCount(), 6);
    EXPECT_TRUE(added.isEmpty());

    adapter.SetSite(site::Snapshot::Make(
        {{10, "Forklift 12", "forklifts", "note"}, {20, "Pallet 7", "", ""}}, {}, 1));
    ASSERT_EQ(added.size(), 1);
    EXPECT_EQ(added[0].at(1).toInt(), 6);
    EXPECT_EQ(added[0].at(2).toInt(), 7);
    EXPECT_EQ(adapter.columnCount(), 8);
    EXPECT_EQ(adapter.headerData(7, Qt::Horizontal).toString(), u"Zone"_s);
    EXPECT_EQ(cell(0, 6), "Forklift 12 (forklifts)");
    EXPECT_EQ(cell(1, 6), "Pallet 7");
    EXPECT_EQ(cell(2, 6), "");
    EXPECT_EQ(cell(0, 7), "Dock A");
    EXPECT_EQ(cell(1, 7), "");
    EXPECT_EQ(cell(2, 7), "Gate");

    // A tag leaves its zone without a read: the next look signals both columns of every row.
    zones.erase(30);
    ClearSpies();
    adapter.SetSite(site::Snapshot::Make({{20, "Pallet 8", "", ""}}, {}, 2));
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0].at(0).value<QModelIndex>(), adapter.index(0, 6));
    EXPECT_EQ(changed[0].at(1).value<QModelIndex>(), adapter.index(2, 7));
    EXPECT_EQ(cell(2, 7), "");
    EXPECT_EQ(cell(0, 6), "") << "no longer an asset";
    EXPECT_EQ(cell(1, 6), "Pallet 8");
    EXPECT_EQ(added.size(), 1);

    // A read may move a tag: its row's signal reaches the zone column.
    ClearSpies();
    Read(20, "R02");
    Refresh();
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0].at(1).value<QModelIndex>(), adapter.index(1, 7));

    adapter.SetSite(site::Snapshot::Make({}, {}, 3));
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed[0].at(1).toInt(), 6);
    EXPECT_EQ(adapter.columnCount(), 6);
    EXPECT_EQ(adapter.headerData(5, Qt::Horizontal).toString(), u"Last Read Time"_s);
}

// Thousands of rows refreshed every second: the zones are looked up for the rows on screen.
TEST_F(TagListAdapterTest, SiteColumnsAreLookedUpOnlyForTheRowsShown) {
    for (std::uint32_t id = 0; id < 5000; ++id) {
        Read(100000 + id);
    }
    Refresh();
    int lookups = 0;
    adapter.SetZoneSource([&lookups](std::uint32_t) {
        ++lookups;
        return std::string("Dock A");
    });
    adapter.SetSite(site::Snapshot::Make({{100001, "Crate", "", ""}}, {}, 1));
    QTableView view;
    view.setModel(&adapter);
    view.resize(view.horizontalHeader()->length() + 40, 300);  // every column in sight
    view.show();
    QCoreApplication::processEvents();
    const int rowsShown = view.rowAt(view.viewport()->height() - 1) - view.rowAt(0) + 1;
    ASSERT_GT(rowsShown, 3);
    for (int second = 0; second < 3; ++second) {
        lookups = 0;
        adapter.SetSite(site::Snapshot::Make({{100001, "Crate", "", ""}}, {}, 2 + second));
        view.viewport()->repaint();
        EXPECT_GE(lookups, rowsShown);
        EXPECT_LE(lookups, 2 * rowsShown);
    }
}

class DeviceListAdapterTest : public ::testing::Test {
  protected:
    DeviceListAdapterTest()
        : adapter(list),
          tester(&adapter, QAbstractItemModelTester::FailureReportingMode::Fatal),
          inserted(&adapter, &QAbstractItemModel::rowsInserted),
          changed(&adapter, &QAbstractItemModel::dataChanged),
          reset(&adapter, &QAbstractItemModel::modelReset) {}

    void Show(const std::string& key, const std::string& name, int tags, const char* regTime) {
        const auto shown = list.ShowDeviceRow(key, name, tags, "2026-03-08 09:00:00", regTime);
        adapter.ApplyRowShown(static_cast<int>(shown.row), shown.appended);
    }

    DeviceListModel list;
    DeviceListAdapter adapter;
    QAbstractItemModelTester tester;
    QSignalSpy inserted;
    QSignalSpy changed;
    QSignalSpy reset;
};

TEST_F(DeviceListAdapterTest, NameReportsInsertOrRefreshOneRow) {
    Show("10.0.0.7:500", "R01", 0, "2026-03-08 09:00:01");
    Show("10.0.0.7:5001", "R02", 0, "2026-03-08 09:00:02");
    EXPECT_EQ(RowSpans(inserted), (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}}));
    Show("10.0.0.7:500", "R01", 12, "2026-03-08 09:00:09");
    EXPECT_EQ(RowSpans(changed), (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(changed.front().at(0).value<QModelIndex>().column(), 4);
    EXPECT_EQ(changed.front().at(1).value<QModelIndex>().column(), 5);
    EXPECT_EQ(adapter.data(adapter.index(0, 5)).toString(), u"12"_s);
    EXPECT_EQ(adapter.data(adapter.index(0, 4)).toString(), u"2026-03-08 09:00:09"_s);
    EXPECT_EQ(adapter.data(adapter.index(1, 2)).toString(), u"R02"_s);
    EXPECT_EQ(adapter.data(adapter.index(1, 1)).toString(), u"2"_s);
    EXPECT_EQ(reset.count(), 0);
}

TEST_F(DeviceListAdapterTest, KeysOfAnnouncedRowsSurviveARebuildUntilTheReset) {
    Show("10.0.0.1:1", "R01", 0, "t");
    Show("10.0.0.2:1", "R02", 0, "t");
    list.Clear();
    list.ShowDeviceRow("10.0.0.2:1", "R02", 0, "t", "t");
    EXPECT_EQ(adapter.KeyAt(0), "10.0.0.1:1") << "views still show the old rows";
    EXPECT_EQ(adapter.KeyAt(1), "10.0.0.2:1");
    EXPECT_EQ(adapter.RowOf("10.0.0.2:1"), 0);
    adapter.ApplyReset();
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(adapter.rowCount(), 1);
    EXPECT_EQ(adapter.KeyAt(0), "10.0.0.2:1");
    EXPECT_EQ(adapter.KeyAt(1), "");
    EXPECT_EQ(adapter.RowOf("10.0.0.1:1"), std::nullopt);
}

}  // namespace
}  // namespace trelvane
