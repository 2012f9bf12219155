// The History window's table model and presence pairing against a real history file: every
// filter and kind compared row by row with a brute-force selection, pages of 97 rows so the
// boundaries fall mid-minute, descending order, rows the writer adds behind, bounded caching.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <optional>
#include <set>

#include "base/IsoTime.h"
#include "history/HistoryTestSupport.h"
#include "shell/HistoryModel.h"
#include "shell/PresenceVisits.h"

namespace trelvane {
namespace {

using history::DeviceEventKind;
using history::Filter;
using history::PresenceKind;
using test::BatchBuilder;
using test::HistoryDir;

constexpr std::int64_t kStart = 1796000000000;  // 2026-11-30, a whole minute
constexpr std::size_t kPage = 97;

// 3,000 events: reads of eight tags at three readers 250 ms apart, a presence event every 7th
// number (arrive and depart in turn per tag and reader) and a device event every 50th, in batches
// of 200 (the writer's rollup sees many minutes).
void Fill(history::Writer& w, test::Model& model, std::uint64_t first, std::uint64_t last) {
    BatchBuilder b;
    for (std::uint64_t seq = first; seq <= last; ++seq) {
        const std::int64_t t = kStart + static_cast<std::int64_t>(seq) * 250;
        const int r = static_cast<int>(seq % 3);
        const std::string name = "Gate " + std::to_string(r);
        const std::string device = "10.0.0." + std::to_string(r) + ":4001";
        if (seq % 50 == 0) {
            b.AddDevice(seq, t, DeviceEventKind::kNamed, name, device);
        } else if (seq % 7 == 0) {
            b.AddPresence(seq, t, static_cast<std::uint32_t>(seq % 8),
                          (seq / 56) % 2 == 1 ? PresenceKind::kDepart : PresenceKind::kArrive, name,
                          device);
        } else {
            b.AddRead(seq, t, static_cast<std::uint32_t>(seq % 8), name, device);
        }
        if (seq % 200 == 0 || seq == last) {
            ASSERT_TRUE(w.Append(b.Batch()).ok());
            model.Take(b);
            b.Clear();
        }
    }
}

class HistoryModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        history::Result<history::Writer> w = history::Writer::Open({dir.Db()});
        ASSERT_TRUE(w.ok()) << w.error().text;
        writer.emplace(std::move(w.value()));
        Fill(*writer, rows, 1, 3000);
    }

    history::Reader Open() {
        history::Result<history::Reader> r = history::Reader::Open(dir.Db());
        EXPECT_TRUE(r.ok());
        return std::move(r.value());
    }

    template <class Row>
    void ExpectRows(HistoryModel& model, const std::vector<Row>& expected, bool descending) {
        ASSERT_EQ(model.rowCount(), static_cast<int>(expected.size()));
        for (int row = 0; row < model.rowCount(); ++row) {
            const Row& want =
                expected[static_cast<std::size_t>(descending ? model.rowCount() - 1 - row : row)];
            ASSERT_EQ(model.SeqOfRow(row), want.seq) << "row " << row;
            ASSERT_EQ(model.index(row, 0).data().toString().toULongLong(), want.seq);
        }
    }

    HistoryDir dir;
    std::optional<history::Writer> writer;
    test::Model rows;
};

TEST_F(HistoryModelTest, EveryKindAndFilterShowsExactlyTheMatchingRowsAcrossPages) {
    struct Case {
        const char* what;
        Filter filter;
    };
    std::vector<Case> cases;
    cases.push_back({"everything", {}});
    Filter tag;
    tag.tag = 5;
    cases.push_back({"one tag", tag});
    Filter reader;
    reader.reader = "Gate 1";
    cases.push_back({"a reader by name", reader});
    Filter device;
    device.reader = "10.0.0.2:4001";
    cases.push_back({"a reader by device key", device});
    Filter range;
    range.sinceMs = kStart + 100 * 250 + 1;  // just after seq 100: it is out
    range.untilMs = kStart + 2100 * 250;     // seq 2100 is out (until is exclusive)
    cases.push_back({"a time range", range});
    Filter all = range;
    all.tag = 3;
    all.reader = "Gate 0";
    cases.push_back({"range, tag and reader", all});
    Filter none;
    none.tag = 99;
    cases.push_back({"a tag never read", none});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HistoryModel model(nullptr, kPage);
        model.SetQuery(Open(), events::Kind::kReads, c.filter, false);
        model.IndexAll();
        ASSERT_TRUE(model.AtEnd());
        ASSERT_FALSE(model.HasFailed());
        auto unlimited = c.filter;
        unlimited.limit = SIZE_MAX;
        ExpectRows(model, test::Model::Select(rows.reads, unlimited), false);

        model.SetQuery(Open(), events::Kind::kPresence, c.filter, false);
        model.IndexAll();
        ExpectRows(model, test::Model::Select(rows.presence, unlimited), false);

        model.SetQuery(Open(), events::Kind::kDevices, c.filter, false);
        model.IndexAll();
        ExpectRows(model, test::Model::Select(rows.devices, unlimited), false);
    }
}

TEST_F(HistoryModelTest, CellsAreTheCsvFieldsOfEachKind) {
    HistoryModel model(nullptr, kPage);
    Filter f;
    f.reader = "Gate 1";
    model.SetQuery(Open(), events::Kind::kDevices, f, false);
    model.IndexAll();
    ASSERT_GT(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 5);
    // seq 100 is the first device event at Gate 1 (100 % 3 == 1).
    EXPECT_EQ(model.index(0, 0).data().toString(), QStringLiteral("100"));
    EXPECT_EQ(model.index(0, 1).data().toString().toStdString(), FormatIsoTime(kStart + 100 * 250));
    EXPECT_EQ(model.index(0, 2).data().toString(), QStringLiteral("10.0.0.1:4001"));
    EXPECT_EQ(model.index(0, 3).data().toString(), QStringLiteral("Gate 1"));
    EXPECT_EQ(model.index(0, 4).data().toString(), QStringLiteral("named"));
    EXPECT_EQ(model.headerData(4, Qt::Horizontal).toString(), QStringLiteral("event"));

    model.SetQuery(Open(), events::Kind::kReads, {}, false);
    model.IndexAll();
    EXPECT_EQ(model.columnCount(), 6);
    EXPECT_EQ(model.headerData(5, Qt::Horizontal).toString(), QStringLiteral("reader_time"));
    EXPECT_EQ(model.index(0, 2).data().toString(), QStringLiteral("1"));  // seq 1, tag 1
    EXPECT_EQ(model.index(0, 5).data().toString(), QString());            // no reader time
}

TEST_F(HistoryModelTest, DescendingTimeReversesWithoutFetchingAgainAndOtherColumnsDoNotSort) {
    HistoryModel model(nullptr, kPage);
    model.SetQuery(Open(), events::Kind::kReads, {}, false);
    model.IndexAll();
    auto expected = test::Model::Select(rows.reads, test::Unlimited());
    const std::size_t fetches = model.PageFetches();
    model.sort(1, Qt::DescendingOrder);
    EXPECT_EQ(model.PageFetches(), fetches) << "turning the order round reads nothing";
    ExpectRows(model, expected, true);
    model.sort(3, Qt::AscendingOrder);  // reader: not sortable, the order stays
    EXPECT_EQ(model.Order(), Qt::DescendingOrder);
    model.sort(0, Qt::AscendingOrder);
    ExpectRows(model, expected, false);
}

TEST_F(HistoryModelTest, RowsTheWriterAddsBehindAppearAtTheEndOrAtTheTopWhenDescending) {
    for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        SCOPED_TRACE(order == Qt::AscendingOrder ? "ascending" : "descending");
        HistoryModel model(nullptr, kPage);
        model.SetQuery(Open(), events::Kind::kReads, {}, false);
        model.sort(1, order);
        model.IndexAll();
        const int before = model.rowCount();
        // Scroll through once: the partial last page is in the cache and must grow too.
        for (int row = 0; row < before; ++row) {
            model.SeqOfRow(row);
        }
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        const std::uint64_t first = order == Qt::AscendingOrder ? 3001 : 4001;
        Fill(*writer, rows, first, first + 999);
        model.Follow();
        model.IndexAll();
        const auto expected = test::Model::Select(rows.reads, test::Unlimited());
        ExpectRows(model, expected, order == Qt::DescendingOrder);
        ASSERT_FALSE(inserted.isEmpty());
        EXPECT_EQ(inserted.first().at(1).toInt(), order == Qt::AscendingOrder ? before : 0);
    }
}

TEST_F(HistoryModelTest, ScrollingEverythingKeepsOnlyAFewPagesAndFetchesEachPageOnce) {
    HistoryModel model(nullptr, kPage);
    model.SetQuery(Open(), events::Kind::kReads, {}, false);
    model.IndexAll();
    const std::size_t indexFetches = model.PageFetches();
    const auto pages = (static_cast<std::size_t>(model.rowCount()) + kPage - 1) / kPage;
    // One fetch a page; one more that finds the end only when the last page is full.
    EXPECT_EQ(indexFetches, pages + (model.rowCount() % kPage == 0 ? 1 : 0));
    for (int row = 0; row < model.rowCount(); ++row) {
        model.index(row, 1).data();
        model.index(row, 3).data();
    }
    EXPECT_LE(model.PagesCached(), HistoryModel::kCachedPages);
    EXPECT_LE(model.PageFetches() - indexFetches, pages);
    // Back to the top: served again by keyset, the same rows.
    EXPECT_EQ(model.SeqOfRow(0), 1u);
    EXPECT_EQ(model.SeqOfRow(static_cast<int>(kPage)),
              test::Model::Select(rows.reads, test::Unlimited())[kPage].seq);
}

TEST_F(HistoryModelTest, AnIndexSliceStopsAtItsBudgetAndResumes) {
    HistoryModel model(nullptr, 10);
    model.SetQuery(Open(), events::Kind::kReads, {}, false);
    EXPECT_FALSE(model.Index(std::chrono::milliseconds(0))) << "one page, then the budget";
    EXPECT_EQ(model.rowCount(), 10);
    model.IndexAll();
    EXPECT_EQ(model.rowCount(), static_cast<int>(rows.reads.size()));
}

// A filter that matches a few rows far apart in 24,000 numbers (the rest are events of another
// tag at another reader): indexed one fetch a slice, each slice scans a bounded window. A tag
// is found through the database's own indexes (the rollup, presence by tag); those cases check
// only that windows lose and repeat nothing.
TEST(HistoryModelScanTest, ASelectiveFilterIsIndexedInBoundedSlicesWithEveryRowOnce) {
    HistoryDir dir;
    test::Model rows;
    {
        history::Result<history::Writer> w = history::Writer::Open({dir.Db()});
        ASSERT_TRUE(w.ok()) << w.error().text;
        const std::set<std::uint64_t> rare = {3, 4, 5, 6, 9000, 9001, 15000, 23990, 24000};
        BatchBuilder b;
        for (std::uint64_t seq = 1; seq <= 24000; ++seq) {
            const std::int64_t t = kStart + static_cast<std::int64_t>(seq) * 250;
            if (!rare.contains(seq)) {
                // The bulk, of every kind: scanning a table for "Gate" walks all of them.
                if (seq % 4 == 0) {
                    b.AddPresence(seq, t, 1, PresenceKind::kArrive, "Dock", "10.0.0.1:4001");
                } else if (seq % 4 == 1) {
                    b.AddDevice(seq, t, DeviceEventKind::kConnected, "Dock", "10.0.0.1:4001");
                } else {
                    b.AddRead(seq, t, 1, "Dock", "10.0.0.1:4001");
                }
            } else if (seq % 3 == 0) {
                b.AddRead(seq, t, 77, "Gate", "10.0.0.2:4001");
            } else if (seq % 3 == 1) {
                b.AddPresence(seq, t, 77, PresenceKind::kArrive, "Gate", "10.0.0.2:4001");
            } else {
                b.AddDevice(seq, t, DeviceEventKind::kNamed, "Gate", "10.0.0.2:4001");
            }
            if (seq % 1000 == 0) {
                ASSERT_TRUE(w->Append(b.Batch()).ok());
                rows.Take(b);
                b.Clear();
            }
        }
    }
    const auto open = [&] {
        history::Result<history::Reader> r = history::Reader::Open(dir.Db());
        EXPECT_TRUE(r.ok());
        return std::move(r.value());
    };
    struct Case {
        const char* what;
        events::Kind kind;
        Filter filter;
        bool scans;  // the query walks the table without the window
    };
    Filter byReader;
    byReader.reader = "Gate";
    Filter byTag;
    byTag.tag = 77;
    Filter range;  // 6 is out (since), 23990 is the last in (until is exclusive)
    range.sinceMs = kStart + 6 * 250 + 1;
    range.untilMs = kStart + 23991 * 250;
    range.reader = "10.0.0.2:4001";
    std::vector<Case> cases = {
        {"reads at a reader", events::Kind::kReads, byReader, true},
        {"presence at a reader", events::Kind::kPresence, byReader, true},
        {"device events of a reader", events::Kind::kDevices, byReader, true},
        {"reads in a time range at a reader", events::Kind::kReads, range, true},
        {"presence in a time range at a reader", events::Kind::kPresence, range, true},
        {"reads of a tag (rollup)", events::Kind::kReads, byTag, false},
        {"presence of a tag", events::Kind::kPresence, byTag, false},
    };
    auto unlimited = [](Filter f) {
        f.limit = SIZE_MAX;
        return f;
    };
    const auto expected = [&](const Case& c) {
        std::vector<std::uint64_t> seqs;
        const auto take = [&](const auto& all) {
            for (const auto& r : test::Model::Select(all, unlimited(c.filter))) {
                seqs.push_back(r.seq);
            }
        };
        c.kind == events::Kind::kReads      ? take(rows.reads)
        : c.kind == events::Kind::kPresence ? take(rows.presence)
                                            : take(rows.devices);
        return seqs;
    };
    constexpr std::uint64_t kWindow = 600;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint64_t> want = expected(c);
        ASSERT_FALSE(want.empty());
        // The work of one query that scans everything, for scale.
        history::Reader whole = open();
        const std::uint64_t before = whole.Work();
        ASSERT_TRUE(history::FetchPage(whole, c.kind, unlimited(c.filter)).ok());
        const std::uint64_t wholeWork = whole.Work() - before;

        for (const bool windowed : {true, false}) {
            SCOPED_TRACE(windowed ? "windowed" : "one window over everything");
            HistoryModel model(nullptr, 2, windowed ? kWindow : UINT64_MAX);
            model.SetQuery(open(), c.kind, c.filter, false);
            std::uint64_t maxSlice = 0;
            std::uint64_t lastScanned = 0;
            int slices = 0;
            for (bool end = false; !end; ++slices) {
                ASSERT_LT(slices, 1000);
                const std::uint64_t work = model.QueryWork();
                end = model.Index(std::chrono::milliseconds(0));
                maxSlice = std::max(maxSlice, model.QueryWork() - work);
                ASSERT_GE(model.ScannedThrough(), lastScanned);
                lastScanned = model.ScannedThrough();
            }
            ASSERT_FALSE(model.HasFailed());
            std::vector<std::uint64_t> got;
            for (int row = 0; row < model.rowCount(); ++row) {
                got.push_back(model.SeqOfRow(row));
            }
            EXPECT_EQ(got, want);
            if (!c.scans) {
                continue;
            }
            if (windowed) {
                // 24,000 numbers in windows of 600: a slice does a small part of the whole.
                EXPECT_GE(slices, 40);
                EXPECT_LT(maxSlice * 8, wholeWork)
                    << "slice " << maxSlice << " whole " << wholeWork;
            } else {
                EXPECT_GT(maxSlice * 2, wholeWork) << "the measure sees an unbounded scan";
            }
        }
    }
}

// ---- presence pairing ----

history::PresenceRow P(std::uint64_t seq, std::int64_t t, std::uint32_t tag, PresenceKind kind,
                       std::string reader, std::string device) {
    return {seq, t, tag, std::move(reader), std::move(device), kind};
}

TEST(PresenceVisitsTest, PairsPerTagAndDeviceAndKeepsOpenEndsOpen) {
    VisitBuilder b;
    b.Add(P(1, 1000, 7, PresenceKind::kDepart, "A", "a:1"));  // arrived before the range
    b.Add(P(2, 2000, 7, PresenceKind::kArrive, "A", "a:1"));
    b.Add(P(3, 2500, 7, PresenceKind::kArrive, "B", "b:1"));  // same tag, other reader
    b.Add(P(4, 3000, 8, PresenceKind::kArrive, "A", "a:1"));
    b.Add(P(5, 9000, 7, PresenceKind::kDepart, "A renamed", "a:1"));
    b.Add(P(6, 9500, 7, PresenceKind::kArrive, "A renamed", "a:1"));  // back again
    b.Add(P(7, 9900, 7, PresenceKind::kDepart, "B", "b:1"));
    const std::vector<Visit> v = b.Finish();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0], (Visit{7, "A", "a:1", std::nullopt, 1000}));
    EXPECT_EQ(v[1], (Visit{7, "A renamed", "a:1", 2000, 9000}));
    EXPECT_EQ(v[1].DwellMs(), 7000);
    EXPECT_EQ(v[2], (Visit{7, "B", "b:1", 2500, 9900}));
    EXPECT_EQ(v[3], (Visit{8, "A", "a:1", 3000, std::nullopt}));
    EXPECT_FALSE(v[3].DwellMs().has_value());
    EXPECT_EQ(v[4], (Visit{7, "A renamed", "a:1", 9500, std::nullopt}));
}

TEST(PresenceVisitsTest, AnArrivalOverAnOpenOneLeavesTheFirstWithoutDepart) {
    VisitBuilder b;
    b.Add(P(1, 1000, 7, PresenceKind::kArrive, "A", "a:1"));
    b.Add(P(2, 5000, 7, PresenceKind::kArrive, "A", "a:1"));
    b.Add(P(3, 6000, 7, PresenceKind::kDepart, "A", "a:1"));
    const std::vector<Visit> v = b.Finish();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].departMs, std::nullopt);
    EXPECT_EQ(v[1].DwellMs(), 1000);
}

TEST(PresenceVisitsTest, DwellTexts) {
    EXPECT_EQ(DwellText(0), "0:00:00.000");
    EXPECT_EQ(DwellText(250), "0:00:00.250");
    EXPECT_EQ(DwellText(1000), "0:00:01");
    EXPECT_EQ(DwellText(59'999), "0:00:59");
    EXPECT_EQ(DwellText(3'723'000), "1:02:03");
    EXPECT_EQ(DwellText(100LL * 3600 * 1000), "100:00:00");
    EXPECT_EQ(DwellText(-61'000), "-0:01:01");
}

TEST_F(HistoryModelTest, VisitsOfTheFixedDatabaseMatchAHandPairing) {
    // Tag 6 at Gate 2: one presence event every 168 numbers, arrive and depart in turn.
    history::Reader reader = Open();
    Filter f;
    f.tag = 6;
    f.reader = "Gate 2";
    f.limit = SIZE_MAX;
    const auto events = reader.Presence(f);
    ASSERT_TRUE(events.ok());
    VisitBuilder b;
    std::size_t arrivals = 0, departs = 0;
    for (const auto& e : events.value()) {
        b.Add(e);
        (e.kind == PresenceKind::kArrive ? arrivals : departs)++;
    }
    ASSERT_GT(arrivals + departs, 0u);
    const std::vector<Visit> v = b.Finish();
    std::size_t closed = 0;
    for (const Visit& visit : v) {
        EXPECT_EQ(visit.tag, 6u);
        EXPECT_EQ(visit.device, "10.0.0.2:4001");
        if (visit.DwellMs()) {
            EXPECT_GT(*visit.DwellMs(), 0);
            ++closed;
        }
    }
    EXPECT_GT(closed, 0u);
    EXPECT_LE(closed, std::min(arrivals, departs));
    EXPECT_EQ(v.size(), arrivals + departs - closed);
}

}  // namespace
}  // namespace trelvane
