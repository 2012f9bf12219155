// The History window over real history files: its messages when the history is off, absent,
// locked or damaged (in the program's texts and in Traditional Chinese), the quick ranges, and
// the CSV export: byte for byte what trelvane-history prints for the same query, the rows of
// the moment it started, and a cancel that leaves no file behind.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QProcess>
#include <QTableView>
#include <QTest>
#include <array>
#include <cstdlib>
#include <set>

#include "history/HistoryTestSupport.h"
#include "records/StringTable.h"
#include "shell/HistoryExport.h"
#include "shell/HistoryModel.h"
#include "shell/HistoryWnd.h"
#include "shell/LauguageOp.h"
#include "shell/PresenceVisits.h"
#include "site/Register.h"
#include "support/QtWait.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"
#include "support/TimeZoneScope.h"

namespace trelvane {
namespace {

using history::DeviceEventKind;
using history::PresenceKind;
using test::BatchBuilder;
using test::ReadFile;
using test::TempFolder;
using test::TimeZoneScope;

const std::filesystem::path kBuiltPacks = TRELVANE_LANG_DIR;
constexpr std::int64_t kMorning = 1796691600000;  // 2026-12-08T09:00:00+08:00

void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Readers whose names need CSV quoting and UTF-8, reads with and without reader time, presence
// and device events, and `bulk` plain reads after them (for exports of many steps).
void MakeDatabase(history::Writer& w, int bulk) {
    BatchBuilder b;
    test::AddSampleEvents(b, kMorning);
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    b.Clear();
    b.AddRead(7, kMorning + 3600000, 42, "10.0.0.9:4001", "10.0.0.9:4001");
    b.AddPresence(8, kMorning + 3630000, 3735928559u, PresenceKind::kDepart, test::kSampleOddName,
                  "10.0.0.7:4001");
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    b.Clear();
    for (int i = 0; i < bulk; ++i) {
        b.AddRead(9 + static_cast<std::uint64_t>(i), kMorning + 3700000 + i * 10,
                  static_cast<std::uint32_t>(i % 5), "门禁 北", "10.0.0.8:4001");
        if (b.Reads().size() == 1000 || i + 1 == bulk) {
            ASSERT_TRUE(w.Append(b.Batch()).ok());
            b.Clear();
        }
    }
}

class HistoryWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        history::Result<history::Writer> w = history::Writer::Open({Db()});
        ASSERT_TRUE(w.ok()) << w.error().text;
        writer.emplace(std::move(w.value()));
        MakeDatabase(*writer, 2000);
        window = std::make_unique<HistoryWindow>(
            [this] { return LocateHistory(work.Path(), work.Path() / "SysConf.ini"); }, prompter);
        window->SetNow([] { return kMorning + 30 * 60000; });
    }
    void TearDown() override { SetLanguagePack(nullptr); }

    std::filesystem::path Db() const { return work.Path() / "trelvane.db"; }
    void WriteIni(const std::string& history) {
        WriteText(work.Path() / "SysConf.ini",
                  "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=0\r\n" + history);
    }

    // trelvane-history's output for the same database and options.
    static std::string Tool(const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QStringLiteral("CST-8"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TRELVANE_HISTORY_PATH), args);
        EXPECT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return p.readAllStandardOutput().toStdString();
    }

    TimeZoneScope zone{"CST-8"};
    TempFolder work;
    test::ScriptedPrompter prompter;
    std::optional<history::Writer> writer;
    std::unique_ptr<HistoryWindow> window;
};

TEST_F(HistoryWindowTest, MessagesSayWhyThereIsNothingToShow) {
    // No settings file at all.
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().contains(QStringLiteral("No settings file")));
    EXPECT_TRUE(window->Message().contains(QString::fromStdString(work.Path().string())));

    WriteIni("[History]\r\nEnabled=0\r\n");
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().startsWith(QStringLiteral("The history is off")))
        << window->Message().toStdString();
    EXPECT_TRUE(window->Message().contains(QStringLiteral("SysConf.ini")));
    EXPECT_EQ(window->Model()->rowCount(), 0);

    WriteIni("[History]\r\nEnabled=1\r\nPath=elsewhere.db\r\n");
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().startsWith(QStringLiteral("There is no history yet")));
    EXPECT_TRUE(window->Message().contains(QStringLiteral("elsewhere.db")));

    WriteText(work.Path() / "elsewhere.db", std::string(8192, 'x'));
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().startsWith(QStringLiteral("The history cannot be read")))
        << window->Message().toStdString();

    // The same in Traditional Chinese.
    const auto pack = LoadLanguagePackFile(kBuiltPacks / "zh_TW.qm");
    ASSERT_TRUE(pack.has_value());
    SetLanguagePack(std::make_shared<LanguagePack>(*pack));
    window->Retext();
    WriteIni("[History]\r\nEnabled=0\r\n");
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().startsWith(QString::fromUtf8("歷史記錄已關閉")))
        << window->Message().toStdString();
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("歷史記錄"));

    // And once the history is there, the tables come back.
    WriteIni("[History]\r\nEnabled=1\r\n");
    window->SetRange(HistoryWindow::Range::kEverything);
    EXPECT_TRUE(window->Search());
    EXPECT_TRUE(window->Message().isEmpty());
    window->Model()->IndexAll();
    EXPECT_EQ(window->Model()->rowCount(), 2003);
}

TEST_F(HistoryWindowTest, ADatabaseLockedByAnotherConnectionSaysLocked) {
    WriteIni("");
    writer.reset();
    // A connection in exclusive locking mode keeps every other one out (the reader gives up
    // after its busy timeout of five seconds).
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(Db().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(window->Search());
    EXPECT_TRUE(window->Message().startsWith(QStringLiteral("The history is locked")))
        << window->Message().toStdString();
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
}

TEST_F(HistoryWindowTest, QuickRangesAreLocalDaysAndTheLastHour) {
    WriteIni("");
    window->SetRange(HistoryWindow::Range::kToday);
    auto f = window->CurrentFilter();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->sinceMs, kMorning - 9 * 3600000);  // local midnight of 2026-12-08
    EXPECT_EQ(f->untilMs, kMorning + 15 * 3600000);
    window->SetRange(HistoryWindow::Range::kYesterday);
    f = window->CurrentFilter();
    EXPECT_EQ(f->sinceMs, kMorning - 33 * 3600000);
    EXPECT_EQ(f->untilMs, kMorning - 9 * 3600000);
    window->SetRange(HistoryWindow::Range::kLastHour);
    f = window->CurrentFilter();
    EXPECT_EQ(f->sinceMs, kMorning - 30 * 60000);
    window->SetRange(HistoryWindow::Range::kEverything);
    f = window->CurrentFilter();
    EXPECT_FALSE(f->sinceMs.has_value());
    EXPECT_FALSE(f->untilMs.has_value());

    // Bad values are refused with a message, not queried.
    window->SetTagText(QStringLiteral("4294967296"));
    EXPECT_FALSE(window->CurrentFilter().has_value());
    EXPECT_EQ(prompter.Last().text.toStdString(), LoadText(ids::kBadTag));
    window->SetTagText(QStringLiteral("12a"));
    EXPECT_FALSE(window->Search());
    window->SetTagText(QStringLiteral(" 42 "));
    EXPECT_EQ(window->CurrentFilter()->tag, 42u);
    window->SetCustomRange(kMorning, kMorning);
    EXPECT_FALSE(window->CurrentFilter().has_value());
}

TEST_F(HistoryWindowTest, ThePresenceTabPairsTheRangesArrivalsAndDepartures) {
    WriteIni("");
    window->SetRange(HistoryWindow::Range::kToday);
    ASSERT_TRUE(window->Search());
    ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }));
    ASSERT_EQ(window->Visits()->rowCount(), 1);
    const Visit& v = window->Visits()->Visits()[0];
    EXPECT_EQ(v.tag, 3735928559u);
    EXPECT_EQ(v.DwellMs(), 3630000 - 1250);
    EXPECT_EQ(window->Visits()->index(0, VisitModel::kDwell).data().toString(),
              QStringLiteral("1:00:28"));
    // A range that starts after the arrival: the depart alone, no dwell.
    window->SetCustomRange(kMorning + 2000, kMorning + 4 * 3600000);
    ASSERT_TRUE(window->Search());
    ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }));
    ASSERT_EQ(window->Visits()->rowCount(), 1);
    EXPECT_FALSE(window->Visits()->Visits()[0].arriveMs.has_value());
    EXPECT_EQ(window->Visits()->index(0, VisitModel::kDwell).data().toString(), QString());
}

// The presence view loads in slices of a few events on the event loop: 600 events at two
// readers, pages of 7, windows of 40 numbers. It fills completely, says "so far" meanwhile,
// drops a load whose filters were replaced, and cuts at its cap with the cut message.
TEST_F(HistoryWindowTest, ThePresenceViewLoadsInSlicesAndASearchReplacesTheLoadInFlight) {
    WriteIni("");
    BatchBuilder b;
    for (std::uint64_t i = 0; i < 600; ++i) {
        const bool east = i % 3 == 0;
        b.AddPresence(3000 + i, kMorning + 3800000 + static_cast<std::int64_t>(i) * 100,
                      static_cast<std::uint32_t>(100 + i % 11),
                      (i / 11) % 2 == 0 ? PresenceKind::kArrive : PresenceKind::kDepart,
                      east ? "East" : "West", east ? "10.0.1.1:4001" : "10.0.1.2:4001");
    }
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    const auto expected = [&](const history::Filter& f, std::size_t cap) {
        history::Result<history::Reader> r = history::Reader::Open(Db());
        EXPECT_TRUE(r.ok());
        history::Filter all = f;
        all.limit = cap;
        VisitBuilder builder;
        history::Result<std::vector<history::PresenceRow>> rows = r->Presence(all);
        EXPECT_TRUE(rows.ok());
        if (rows.ok()) {
            for (const history::PresenceRow& row : rows.value()) {
                builder.Add(row);
            }
        }
        return builder.Finish();
    };
    window->SetVisitLimits(7, SIZE_MAX, 40, std::chrono::milliseconds(0));
    window->SetRange(HistoryWindow::Range::kEverything);
    window->SetReaderText(QStringLiteral("West"));
    ASSERT_TRUE(window->Search());
    ASSERT_TRUE(window->VisitsLoading());
    const std::optional<history::Filter> west = window->CurrentFilter();
    // A few slices of the first load, then other filters.
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(window->CountText().contains(
        QString::fromStdString(FormatText(LoadText(ids::kVisitsCounting), {""}).substr(1))))
        << window->CountText().toStdString();
    window->SetReaderText(QStringLiteral("10.0.1.1:4001"));
    ASSERT_TRUE(window->Search());
    const std::optional<history::Filter> east = window->CurrentFilter();
    ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }, 20000));
    const std::vector<Visit> eastVisits = expected(*east, SIZE_MAX);
    ASSERT_GT(eastVisits.size(), 7u);
    EXPECT_EQ(window->Visits()->Visits(), eastVisits);
    for (const Visit& v : window->Visits()->Visits()) {
        EXPECT_EQ(v.device, "10.0.1.1:4001");
    }
    EXPECT_TRUE(window->CountText().endsWith(QString::fromStdString(
        FormatText(LoadText(ids::kVisitsTotal), {std::to_string(eastVisits.size())}))))
        << window->CountText().toStdString();

    window->SetReaderText(QStringLiteral("West"));
    ASSERT_TRUE(window->Search());
    ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }, 20000));
    EXPECT_EQ(window->Visits()->Visits(), expected(*west, SIZE_MAX));

    // The cap: the first 50 events of the range, and the message that says so.
    window->SetVisitLimits(7, 50, 40, std::chrono::milliseconds(0));
    ASSERT_TRUE(window->Search());
    ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }, 20000));
    const std::vector<Visit> capped = expected(*west, 50);
    EXPECT_EQ(window->Visits()->Visits(), capped);
    EXPECT_TRUE(window->CountText().endsWith(QString::fromStdString(
        FormatText(LoadText(ids::kVisitsCut), {std::to_string(capped.size())}))))
        << window->CountText().toStdString();
}

TEST_F(HistoryWindowTest, ExportIsByteForByteWhatTheToolPrints) {
    WriteIni("");
    const QString db = QString::fromStdString(Db().string());
    struct Case {
        const char* what;
        events::Kind kind;
        QStringList args;
        std::function<void()> set;
    };
    const std::vector<Case> cases = {
        {"all reads",
         events::Kind::kReads,
         {},
         [&] { window->SetRange(HistoryWindow::Range::kEverything); }},
        {"reads of a tag in a range",
         events::Kind::kReads,
         {QStringLiteral("--tag"), QStringLiteral("42"), QStringLiteral("--since"),
          QStringLiteral("2026-12-08T09:00:30+08:00"), QStringLiteral("--until"),
          QStringLiteral("2026-12-08T11:00:00+08:00")},
         [&] {
             window->SetTagText(QStringLiteral("42"));
             window->SetCustomRange(kMorning + 30000, kMorning + 2 * 3600000);
         }},
        {"presence",
         events::Kind::kPresence,
         {QStringLiteral("--kind"), QStringLiteral("presence")},
         [&] { window->SetRange(HistoryWindow::Range::kEverything); }},
        {"device events of one reader",
         events::Kind::kDevices,
         {QStringLiteral("--kind"), QStringLiteral("devices"), QStringLiteral("--reader"),
          QStringLiteral("10.0.0.7:4001")},
         [&] {
             window->SetRange(HistoryWindow::Range::kEverything);
             window->SetReaderText(QStringLiteral("10.0.0.7:4001"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window->SetTagText({});
        window->SetReaderText({});
        c.set();
        window->SetKind(c.kind);
        ASSERT_TRUE(window->Search());
        const auto file = work.Path() / "out.csv";
        ASSERT_TRUE(window->ExportTo(file));
        QStringList args = {QStringLiteral("--db"), db};
        args += c.args;
        const std::string expected = Tool(args);
        EXPECT_GT(expected.size(), 40u);
        EXPECT_EQ(ReadFile(file), expected);
        EXPECT_FALSE(std::filesystem::exists(work.Path() / "out.csv.part"));
    }
}

TEST_F(HistoryWindowTest, ZoneEventsHaveTheirColumnsAndExportAsTheToolPrintsThem) {
    WriteIni("");
    BatchBuilder b;
    b.AddEnter(9000, kMorning + 4000000, 42, "Dock \"B\", east", "门禁 北", "10.0.0.8:4001");
    b.AddExit(9001, kMorning + 4060000, 42, "Dock \"B\", east", "门禁 北", "10.0.0.8:4001",
              kMorning + 4000000, kMorning + 4050500);
    b.AddEnter(9002, kMorning + 4060000, 42, "Yard", "10.0.0.9:4001", "10.0.0.9:4001");
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    window->SetRange(HistoryWindow::Range::kEverything);
    window->SetKind(events::Kind::kZones);
    ASSERT_TRUE(window->Search());
    window->Model()->IndexAll();
    ASSERT_EQ(window->Model()->rowCount(), 3);
    const std::vector<std::string> csv = history::ColumnNames(events::Kind::kZones);
    ASSERT_EQ(window->Model()->columnCount(), static_cast<int>(csv.size()));
    EXPECT_EQ(window->Model()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Zone"));
    EXPECT_EQ(window->Model()->headerData(9, Qt::Horizontal).toString(), QStringLiteral("Dwell"));
    EXPECT_EQ(window->Model()->index(1, 9).data().toString(), QStringLiteral("60.000"));
    const auto file = work.Path() / "zones.csv";
    ASSERT_TRUE(window->ExportTo(file));
    const QString db = QString::fromStdString(Db().string());
    const std::string expected =
        Tool({QStringLiteral("--db"), db, QStringLiteral("--kind"), QStringLiteral("zones")});
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 4);
    EXPECT_EQ(ReadFile(file), expected);
}

// The asset filter over a register where "Forklift 12" labels two tags in two groups: in each
// of the three kinds with a tag, the window shows exactly the rows of the tags the label and
// group name (the reader's rows picked by tag, not through the filter), its presence view only
// their visits, and its export is what trelvane-history --asset prints. A label or group that
// names nothing shows a message and no rows, never every row.
TEST_F(HistoryWindowTest, TheAssetFilterShowsExactlyTheAssetsRowsInEveryKind) {
    WriteIni("");
    site::Fault fault;
    const std::unique_ptr<site::Register> site =
        site::Register::Open(work.Path() / "site.db", fault);
    ASSERT_NE(site, nullptr) << fault.text;
    ASSERT_FALSE(site->SetAsset({3, "Forklift 12", "forklifts", ""}));
    ASSERT_FALSE(site->SetAsset({42, "Forklift 12", "spares", ""}));
    ASSERT_FALSE(site->SetAsset({4, "Pallet", "forklifts", ""}));
    // Presence and zone events of the asset's tags and of others, interleaved.
    BatchBuilder b;
    std::uint64_t seq = 9000;
    for (int i = 0; i < 60; ++i) {
        const std::uint32_t tag = std::array<std::uint32_t, 4>{3, 42, 4, 1}[i % 4];
        const std::int64_t t = kMorning + 4000000 + i * 1000;
        const char* place = i % 3 == 0 ? "Yard" : "Dock \"B\", east";
        b.AddPresence(++seq, t, tag, i % 8 < 4 ? PresenceKind::kArrive : PresenceKind::kDepart,
                      "门禁 北", "10.0.0.8:4001");
        if (i % 8 < 4) {
            b.AddEnter(++seq, t, tag, place, "门禁 北", "10.0.0.8:4001");
        } else {
            b.AddExit(++seq, t, tag, place, "门禁 北", "10.0.0.8:4001", t - 4000, t - 500);
        }
    }
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    window->SetSite([&] { return ReadSiteLabels(work.Path(), work.Path() / "SysConf.ini"); });
    window->SetRange(HistoryWindow::Range::kEverything);

    // The seqs of the rows of `kind` whose tag is one of `tags`, from every row of the kind.
    const auto expected = [&](events::Kind kind, const std::set<std::uint32_t>& tags) {
        history::Result<history::Reader> r = history::Reader::Open(Db());
        const history::Page page = history::FetchPage(*r, kind, test::Unlimited()).value();
        std::vector<QString> seqs;
        for (std::size_t i = 0; i < page.Size(); ++i) {
            if (tags.contains(static_cast<std::uint32_t>(std::stoul(page.Cell(i, 2))))) {
                seqs.push_back(QString::fromStdString(page.Cell(i, 0)));
            }
        }
        return seqs;
    };
    const auto shown = [&] {
        window->Model()->IndexAll();
        std::vector<QString> seqs;
        for (int row = 0; row < window->Model()->rowCount(); ++row) {
            seqs.push_back(window->Model()->index(row, 0).data().toString());
        }
        return seqs;
    };
    struct Case {
        const char* asset;
        const char* group;
        std::set<std::uint32_t> tags;
    };
    const Case cases[] = {
        {"Forklift 12", "", {3, 42}},
        {"", "forklifts", {3, 4}},
        {" Forklift 12 ", "spares", {42}},
    };
    for (const Case& c : cases) {
        window->SetAssetText(QString::fromUtf8(c.asset));
        window->SetGroupText(QString::fromUtf8(c.group));
        for (const events::Kind kind :
             {events::Kind::kReads, events::Kind::kPresence, events::Kind::kZones}) {
            SCOPED_TRACE(testing::Message()
                         << c.asset << "/" << c.group << " kind " << static_cast<int>(kind));
            window->SetKind(kind);
            ASSERT_TRUE(window->Search()) << window->Message().toStdString();
            const std::vector<QString> want = expected(kind, c.tags);
            ASSERT_FALSE(want.empty());
            EXPECT_EQ(shown(), want);
        }
        ASSERT_TRUE(test::WaitUntil([&] { return !window->VisitsLoading(); }));
        ASSERT_FALSE(window->Visits()->Visits().empty());
        for (const Visit& v : window->Visits()->Visits()) {
            EXPECT_TRUE(c.tags.contains(v.tag)) << v.tag;
        }
    }

    // The export of a label naming two tags is the tool's, byte for byte.
    window->SetAssetText(QStringLiteral("Forklift 12"));
    window->SetGroupText({});
    window->SetKind(events::Kind::kZones);
    ASSERT_TRUE(window->Search());
    const auto file = work.Path() / "forklift.csv";
    ASSERT_TRUE(window->ExportTo(file));
    const std::string tool =
        Tool({QStringLiteral("-C"), QString::fromStdString(work.Path().string()),
              QStringLiteral("--kind"), QStringLiteral("zones"), QStringLiteral("--asset"),
              QStringLiteral("Forklift 12")});
    EXPECT_EQ(std::count(tool.begin(), tool.end(), '\n'), 30 + 1);
    EXPECT_EQ(ReadFile(file), tool);

    // Names that match nothing: a message in place of the tables, and no rows.
    const auto nothing = [&](const char* asset, const char* group, int id,
                             std::vector<std::string> args) {
        SCOPED_TRACE(testing::Message() << asset << "/" << group);
        window->SetAssetText(QString::fromUtf8(asset));
        window->SetGroupText(QString::fromUtf8(group));
        EXPECT_FALSE(window->Search());
        EXPECT_EQ(window->Message().toStdString(), FormatText(LoadText(id), args));
        EXPECT_EQ(window->Model()->rowCount(), 0);
        EXPECT_EQ(window->Visits()->rowCount(), 0);
    };
    nothing("Forklift 13", "", ids::kAssetUnknown, {"Forklift 13"});
    nothing("Pallet", "spares", ids::kAssetNotInGroup, {"Pallet", "spares"});
    nothing("", "trucks", ids::kGroupUnknown, {"trucks"});
    window->SetKind(events::Kind::kDevices);
    nothing("Pallet", "", ids::kAssetNotForDevices, {});
    window->SetKind(events::Kind::kReads);
    window->SetSite([] { return HistorySite{}; });
    nothing("Pallet", "", ids::kAssetNeedsSite, {});
    window->SetSite([] { return HistorySite{nullptr, "disk I/O error"}; });
    nothing("Pallet", "", ids::kSiteUnavailable, {"disk I/O error"});

    // Without the fields, every row again.
    window->SetAssetText({});
    window->SetGroupText({});
    ASSERT_TRUE(window->Search());
    window->Model()->IndexAll();
    EXPECT_EQ(window->Model()->rowCount(), 2003);
}

TEST_F(HistoryWindowTest, AlertsHaveTheirColumnsAndExportAsTheToolPrintsThem) {
    WriteIni("");
    using events::AlertEventKind;
    const events::AlertRow raised{9000,
                                  kMorning + 4000000,
                                  AlertEventKind::kRaised,
                                  0,
                                  "cold",
                                  events::RuleKind::kDwell,
                                  42u,
                                  "冷库",
                                  "",
                                  kMorning,
                                  "42 in 冷库 for 4000 s",
                                  ""};
    events::AlertRow ack = raised;
    ack.seq = 9001;
    ack.timeMs += 60000;
    ack.kind = AlertEventKind::kAcknowledged;
    ack.raised = raised.seq;
    ack.text = "moving it, \"now\"";
    ack.by = "ops";
    BatchBuilder b;
    b.AddAlert(raised);
    b.AddAlert(ack);
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    window->SetRange(HistoryWindow::Range::kEverything);
    window->SetKind(events::Kind::kAlerts);
    ASSERT_TRUE(window->Search());
    window->Model()->IndexAll();
    ASSERT_EQ(window->Model()->rowCount(), 2);
    ASSERT_EQ(window->Model()->columnCount(),
              static_cast<int>(history::ColumnNames(events::Kind::kAlerts).size()));
    EXPECT_EQ(window->Model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Rule"));
    EXPECT_EQ(window->Model()->headerData(11, Qt::Horizontal).toString(), QStringLiteral("By"));
    EXPECT_EQ(window->Model()->index(1, 10).data().toString(),
              QStringLiteral("moving it, \"now\""));
    const auto file = work.Path() / "alerts.csv";
    ASSERT_TRUE(window->ExportTo(file));
    const std::string expected =
        Tool({QStringLiteral("--db"), QString::fromStdString(Db().string()),
              QStringLiteral("--kind"), QStringLiteral("alerts")});
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 3);
    EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(HistoryWindowTest, ExportOfTheFixedRowsIsExactlyThis) {
    history::Result<history::Reader> reader = history::Reader::Open(Db());
    ASSERT_TRUE(reader.ok());
    history::Filter f;
    f.untilMs = kMorning + 3700000;  // not the bulk
    const auto file = work.Path() / "reads.csv";
    HistoryExport job(*reader, events::Kind::kReads, f, file, 2);  // two rows a step
    int steps = 0;
    while (job.Step()) {
        ++steps;
    }
    ASSERT_TRUE(job.Done()) << job.Error().value_or("");
    EXPECT_EQ(steps, 1);  // three rows: a full step, then the short last one
    EXPECT_EQ(ReadFile(file),
              "seq,time,tag,reader,device,reader_time\r\n"
              "3,2026-12-08T09:00:01.250+08:00,3735928559,\"Dock \"\"B\"\", east\nside\","
              "10.0.0.7:4001,2026-12-08 09:00:01\r\n"
              "5,2026-12-08T09:01:01.000+08:00,42,门禁 北,10.0.0.8:4001,\r\n"
              "7,2026-12-08T10:00:00.000+08:00,42,10.0.0.9:4001,10.0.0.9:4001,\r\n");
}

TEST_F(HistoryWindowTest, ExportCoversTheRowsOfItsStartWhileTheServiceWritesOn) {
    history::Result<history::Reader> reader = history::Reader::Open(Db());
    ASSERT_TRUE(reader.ok());
    const auto file = work.Path() / "all.csv";
    HistoryExport job(*reader, events::Kind::kReads, {}, file, 500);
    ASSERT_TRUE(job.Step());
    EXPECT_GT(job.Permille(), 0);
    EXPECT_LT(job.Permille(), 1000);
    // 1,000 more reads arrive mid-export.
    BatchBuilder b;
    for (int i = 0; i < 1000; ++i) {
        b.AddRead(3000 + static_cast<std::uint64_t>(i), kMorning + 7200000 + i, 9, "late", "x:1");
    }
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    while (job.Step()) {
    }
    ASSERT_TRUE(job.Done());
    EXPECT_EQ(job.RowsWritten(), 2003u);
    EXPECT_EQ(job.Permille(), 1000);
    const std::string text = ReadFile(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2003 + 1);
    EXPECT_EQ(text.find("late"), std::string::npos);
}

TEST_F(HistoryWindowTest, ACancelledExportLeavesNoFileAndKeepsAnOlderOne) {
    history::Result<history::Reader> reader = history::Reader::Open(Db());
    ASSERT_TRUE(reader.ok());
    const auto file = work.Path() / "keep.csv";
    WriteText(file, "older export\r\n");
    {
        HistoryExport job(*reader, events::Kind::kReads, {}, file, 100);
        ASSERT_TRUE(job.Step());
        ASSERT_TRUE(job.Step());
        EXPECT_TRUE(std::filesystem::exists(work.Path() / "keep.csv.part"));
        job.Cancel();
        EXPECT_FALSE(job.Step()) << "a cancelled export stays stopped";
        EXPECT_FALSE(job.Done());
    }
    EXPECT_FALSE(std::filesystem::exists(work.Path() / "keep.csv.part"));
    EXPECT_EQ(ReadFile(file), "older export\r\n");
    {
        // Dropped half-way (the window closed): the same.
        HistoryExport job(*reader, events::Kind::kReads, {}, file, 100);
        ASSERT_TRUE(job.Step());
    }
    EXPECT_FALSE(std::filesystem::exists(work.Path() / "keep.csv.part"));
    EXPECT_EQ(ReadFile(file), "older export\r\n");

    // From the window: the progress dialog's cancel on the third step.
    WriteIni("");
    window->SetRange(HistoryWindow::Range::kEverything);
    ASSERT_TRUE(window->Search());
    int progressSteps = 0;
    QObject::connect(window.get(), &HistoryWindow::ExportProgress, window.get(), [&](int) {
        if (++progressSteps == 3) {
            window->RequestCancel();
        }
    });
    // 2,003 rows at 5,000 a step would finish in one: use a larger database for the window.
    BatchBuilder b;
    for (int i = 0; i < 20000; ++i) {
        b.AddRead(5000 + static_cast<std::uint64_t>(i), kMorning + 7200000 + i, 9, "bulk", "x:1");
    }
    ASSERT_TRUE(writer->Append(b.Batch()).ok());
    EXPECT_FALSE(window->ExportTo(file));
    EXPECT_EQ(progressSteps, 3);
    EXPECT_FALSE(std::filesystem::exists(work.Path() / "keep.csv.part"));
    EXPECT_EQ(ReadFile(file), "older export\r\n");
}

TEST_F(HistoryWindowTest, AnUnwritableTargetFailsWithAMessageAndNoFile) {
    WriteIni("");
    ASSERT_TRUE(window->Search());
    EXPECT_FALSE(window->ExportTo(work.Path() / "no-such-folder" / "out.csv"));
    EXPECT_EQ(prompter.Last().kind, test::ScriptedPrompter::Kind::kInform);
    EXPECT_TRUE(prompter.Last().text.startsWith(QStringLiteral("The export failed")));
}

TEST_F(HistoryWindowTest, TheTableShowsTheQueryAndSortsByTimeBothWays) {
    WriteIni("");
    window->SetRange(HistoryWindow::Range::kEverything);
    window->SetKind(events::Kind::kDevices);
    ASSERT_TRUE(window->Search());
    window->Model()->IndexAll();
    ASSERT_EQ(window->Model()->rowCount(), 3);
    EXPECT_EQ(window->Model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Device"));
    window->EventView()->sortByColumn(1, Qt::DescendingOrder);
    EXPECT_EQ(window->Model()->index(0, 0).data().toString(), QStringLiteral("6"));
    EXPECT_EQ(window->Model()->index(2, 4).data().toString(), QStringLiteral("connected"));
    // A new search keeps the order the operator chose.
    window->SetKind(events::Kind::kReads);
    ASSERT_TRUE(window->Search());
    window->Model()->IndexAll();
    EXPECT_EQ(window->Model()->index(0, 0).data().toString(), QStringLiteral("2008"));
    EXPECT_TRUE(window->CountText().contains(QStringLiteral("2003")));
}

}  // namespace
}  // namespace trelvane
