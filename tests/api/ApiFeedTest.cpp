// The live feed (every read of a burst once, resume by after_seq from the history, a client
// that stops reading is closed while the readers lose nothing, alerts to the clients whose
// filters take them) and /metrics against what the readers sent.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <set>

#include "api/ApiFixture.h"
#include "api/LiveFeed.h"
#include "history/Reader.h"

namespace trelvane::test {
namespace {

using ApiFeedTest = ApiFixture;

struct Seen {
    std::vector<std::uint64_t> readSeqs;  // in arrival order
    std::size_t readMessages = 0;
    std::size_t replayMessages = 0;
    std::vector<std::string> deviceEvents;
};

Seen Parse(const std::vector<std::string>& messages) {
    Seen seen;
    for (const std::string& text : messages) {
        const J m = ParseJson(text);
        const std::string type = m["type"].str();
        if (type == "reads") {
            ++(m["replay"].toBool() ? seen.replayMessages : seen.readMessages);
            for (const J& r : m["reads"].toArray()) {
                seen.readSeqs.push_back(static_cast<std::uint64_t>(r["seq"].toInteger()));
            }
        } else if (type == "devices") {
            for (const J& d : m["devices"].toArray()) {
                seen.deviceEvents.push_back(d["event"].str());
            }
        }
    }
    return seen;
}

// Every read's seq in the history, in order.
std::vector<std::uint64_t> HistoryReadSeqs(const std::filesystem::path& db, std::uint64_t after) {
    auto reader = history::Reader::Open(db);
    EXPECT_TRUE(reader);
    std::vector<std::uint64_t> seqs;
    history::Filter filter;
    filter.afterSeq = after;
    filter.limit = 10000;
    for (int page = 0; page < 100; ++page) {
        auto rows = reader->Reads(filter);
        EXPECT_TRUE(rows);
        if (!rows || rows->empty()) {
            break;
        }
        for (const auto& row : *rows) {
            seqs.push_back(row.seq);
        }
        filter.afterSeq = rows->back().seq;
    }
    return seqs;
}

bool IsSortedUnique(const std::vector<std::uint64_t>& seqs) {
    for (std::size_t i = 1; i < seqs.size(); ++i) {
        if (seqs[i] <= seqs[i - 1]) {
            return false;
        }
    }
    return true;
}

// Alerts name their reader by name only and may concern no tag: each client whose kinds, tag
// and reader take one gets the encoder's object, in number order with the batch's other events.
TEST(LiveFeedAlertTest, AlertsReachTheClientsWhoseFiltersTakeThem) {
    api::LiveFeed feed;
    feed.SetCodePage(65001);
    const auto add = [&](std::optional<events::Kind> kind, std::optional<std::uint32_t> tag,
                         std::optional<std::string> reader) {
        api::FeedFilter f;
        if (kind) {
            f.kinds = 0;
            f.Want(*kind);
        }
        f.tag = tag;
        f.reader = std::move(reader);
        return feed.Add(f, 100);
    };
    const auto every = add(std::nullopt, std::nullopt, std::nullopt);
    const auto alerts = add(events::Kind::kAlerts, std::nullopt, std::nullopt);
    const auto zones = add(events::Kind::kZones, std::nullopt, std::nullopt);
    const auto tag7 = add(std::nullopt, 7, std::nullopt);
    const auto gate = add(std::nullopt, std::nullopt, "Gate");
    const auto byKey = add(std::nullopt, std::nullopt, "10.0.0.5:4001");

    EventBatch batch;
    batch.firstSeq = batch.nextSeq = 1;
    const std::uint32_t device = batch.AddDevice("10.0.0.5:4001", "Gate");
    const events::AlertRow offline{batch.TakeSeq(),
                                   1'796'691'601'000,
                                   events::AlertEventKind::kRaised,
                                   0,
                                   "gate",
                                   events::RuleKind::kReaderSilent,
                                   std::nullopt,
                                   "",
                                   "Gate",
                                   1'796'691'500'000,
                                   "no read for 100 s",
                                   ""};
    batch.reads.push_back(ReadEvent{batch.TakeSeq(), 1'796'691'601'000, TagReport{7, {}}, device});
    const events::AlertRow dwell{batch.TakeSeq(),
                                 1'796'691'601'000,
                                 events::AlertEventKind::kRaised,
                                 0,
                                 "dock",
                                 events::RuleKind::kDwell,
                                 7u,
                                 "Dock",
                                 "",
                                 1'796'691'001'000,
                                 "7 in Dock for 600 s",
                                 ""};
    // The batch's order is not the numbers' order.
    batch.alerts = {dwell, offline};
    feed.Consume(batch);

    const auto seqs = [](const std::shared_ptr<api::FeedClient>& client) {
        std::vector<std::pair<Sequence, events::Kind>> got;
        for (const api::FeedEvent& e : client->Take()) {
            got.emplace_back(e.seq, e.kind);
        }
        return got;
    };
    using K = events::Kind;
    const std::deque<api::FeedEvent> all = every->Take();
    ASSERT_EQ(all.size(), 3u);
    events::EventJson json;
    EXPECT_EQ(all[0].json, json.Text(events::View(offline)));
    EXPECT_EQ(all[2].json, json.Text(events::View(dwell)));
    EXPECT_EQ(all[1].kind, K::kReads);
    using Got = std::vector<std::pair<Sequence, events::Kind>>;
    EXPECT_EQ(seqs(alerts), (Got{{1, K::kAlerts}, {3, K::kAlerts}}));
    EXPECT_EQ(seqs(zones), Got{});
    EXPECT_EQ(seqs(tag7), (Got{{2, K::kReads}, {3, K::kAlerts}}));
    EXPECT_EQ(seqs(gate), (Got{{1, K::kAlerts}, {2, K::kReads}}));
    EXPECT_EQ(seqs(byKey), (Got{{2, K::kReads}}));
}

TEST_F(ApiFeedTest, EveryReadOfABurstOnceThenResumeByAfterSeq) {
    StartAll();
    FeedReader live(Port(), "/api/v1/stream?kinds=reads,devices");
    ASSERT_TRUE(WaitUntil([&] { return live.Open(); }));
    // Let the server register the client before anything happens.
    ASSERT_TRUE(WaitUntil([&] {
        return Json(Get("/api/v1/status"))["api"].toObject()["feed_clients"].toInt() == 1;
    }));
    SimReaderOptions fast;
    fast.rate = 5000;  // a burst: 50 reads per reader in every 10 ms
    fast.tagCount = 300;
    SimReader& a = Connect(fast);
    fast.firstTag = 7'000'000;
    SimReader& b = Connect(fast);
    Handshake({&a, &b});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 20'000; }, 20000));
    Quiesce();
    const std::uint64_t total = Engine().Tags().TotalReads();
    ASSERT_TRUE(WaitUntil([&] { return Parse(live.Messages()).readSeqs.size() >= total; }, 10000))
        << Parse(live.Messages()).readSeqs.size() << " of " << total;
    const Seen seen = Parse(live.Messages());
    EXPECT_EQ(seen.readSeqs.size(), total);
    EXPECT_TRUE(IsSortedUnique(seen.readSeqs));
    const auto db = Engine().History()->path;
    ASSERT_TRUE(WaitUntil([&] { return HistoryReadSeqs(db, 0).size() == total; }));
    EXPECT_EQ(seen.readSeqs, HistoryReadSeqs(db, 0));
    // Batched: a burst of many seconds' worth arrives in few messages, none with a replay.
    EXPECT_LT(seen.readMessages, total / 50);
    EXPECT_EQ(seen.replayMessages, 0u);
    EXPECT_EQ(std::count(seen.deviceEvents.begin(), seen.deviceEvents.end(), "named"), 2);

    // Resuming from the middle: the rest from the history, then live, nothing twice.
    const std::uint64_t middle = seen.readSeqs[seen.readSeqs.size() / 2];
    FeedReader resumed(Port(), "/api/v1/stream?kinds=reads&after_seq=" + std::to_string(middle));
    const std::vector<std::uint64_t> rest = HistoryReadSeqs(db, middle);
    ASSERT_TRUE(
        WaitUntil([&] { return Parse(resumed.Messages()).readSeqs.size() >= rest.size(); }));
    EXPECT_EQ(Parse(resumed.Messages()).readSeqs, rest);
    EXPECT_GT(Parse(resumed.Messages()).replayMessages, 0u);
    // New reads follow the replay on both clients.
    a.SetRate(200);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= total + 50; }));
    Quiesce();
    const std::uint64_t after = Engine().Tags().TotalReads();
    ASSERT_TRUE(WaitUntil([&] {
        return Parse(resumed.Messages()).readSeqs.size() == rest.size() + (after - total) &&
               Parse(live.Messages()).readSeqs.size() == after;
    }));
    const auto resumedSeqs = Parse(resumed.Messages()).readSeqs;
    EXPECT_TRUE(IsSortedUnique(resumedSeqs));
    EXPECT_EQ(resumedSeqs, HistoryReadSeqs(db, middle));
}

TEST_F(ApiFeedTest, FiltersByReaderAndTag) {
    StartAll();
    FeedReader byReader(Port(), "/api/v1/stream?kinds=reads&reader=Dock+B");
    FeedReader byTag(Port(), "/api/v1/stream?kinds=reads&tag=4242");
    ASSERT_TRUE(WaitUntil([&] { return byReader.Open() && byTag.Open(); }));
    SimReaderOptions o;
    o.rate = 300;
    o.deviceName = "Dock A";
    o.firstTag = 4240;
    o.tagCount = 5;
    SimReader& a = Connect(o);
    o.deviceName = "Dock B";
    o.firstTag = 100;
    SimReader& b = Connect(o);
    Handshake({&a, &b});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 400; }, 10000));
    Quiesce();
    const auto db = Engine().History()->path;
    auto history = history::Reader::Open(db);
    ASSERT_TRUE(history);
    history::Filter f;
    f.limit = 10000;
    f.reader = "Dock B";
    ASSERT_TRUE(
        WaitUntil([&] { return history->LastSequence().value() + 1 >= Engine().NextSequence(); }));
    const auto fromB = history->Reads(f).value();
    f.reader.reset();
    f.tag = 4242;
    const auto tag4242 = history->Reads(f).value();
    ASSERT_FALSE(fromB.empty());
    ASSERT_FALSE(tag4242.empty());
    ASSERT_TRUE(WaitUntil([&] {
        return Parse(byReader.Messages()).readSeqs.size() >= fromB.size() &&
               Parse(byTag.Messages()).readSeqs.size() >= tag4242.size();
    }));
    std::vector<std::uint64_t> expectB;
    for (const auto& r : fromB) {
        expectB.push_back(r.seq);
    }
    std::vector<std::uint64_t> expectTag;
    for (const auto& r : tag4242) {
        expectTag.push_back(r.seq);
    }
    EXPECT_EQ(Parse(byReader.Messages()).readSeqs, expectB);
    EXPECT_EQ(Parse(byTag.Messages()).readSeqs, expectTag);
}

TEST_F(ApiFeedTest, AClientThatStopsReadingIsClosedAndReadersLoseNothing) {
    ApiServer::Options options;
    options.maxClientEvents = 2000;
    StartAll(options);
    FeedReader slow(Port(), "/api/v1/stream?kinds=reads", {}, 4096);
    FeedReader healthy(Port(), "/api/v1/stream?kinds=reads");
    ASSERT_TRUE(WaitUntil([&] { return slow.Open() && healthy.Open(); }));
    slow.Pause(true);
    // Fast, but within what the bound lets a client that keeps up take: 500 reads a flush.
    SimReaderOptions fast;
    fast.rate = 2500;
    SimReader& a = Connect(fast);
    SimReader& b = Connect(fast);
    Handshake({&a, &b});
    // The server gives up on the slow client while the readers flood on. The close frame
    // waits behind the data already on its way, so the client reads again now: a client that
    // never does is dropped without one a few seconds later.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Get("/metrics").body.find("\ntrelvane_api_slow_clients_closed_total 1\n") !=
                   std::string::npos;
        },
        30000));
    slow.Pause(false);
    ASSERT_TRUE(WaitUntil([&] { return slow.Finished(); }, 10000));
    EXPECT_EQ(slow.CloseCode(), 1013);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 20'000; }, 30000));
    Quiesce();
    const std::uint64_t total = Engine().Tags().TotalReads();
    EXPECT_EQ(total, ReportsSent());
    EXPECT_LT(Parse(slow.Messages()).readSeqs.size(), total);
    // The other client and the history have all of it.
    ASSERT_TRUE(
        WaitUntil([&] { return Parse(healthy.Messages()).readSeqs.size() >= total; }, 10000));
    EXPECT_EQ(Parse(healthy.Messages()).readSeqs.size(), total);
    EXPECT_TRUE(IsSortedUnique(Parse(healthy.Messages()).readSeqs));
    EXPECT_EQ(HistoryReadSeqs(Engine().History()->path, 0).size(), total);
    const std::string metrics = Get("/metrics").body;
    EXPECT_NE(metrics.find("\ntrelvane_api_slow_clients_closed_total 1\n"), std::string::npos);
}

std::uint64_t Sample(const std::string& metrics, const std::string& series) {
    const std::string needle = "\n" + series + " ";
    const std::size_t at = metrics.find(needle);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no sample " << series;
        return UINT64_MAX;
    }
    return std::stoull(metrics.substr(at + needle.size()));
}

TEST_F(ApiFeedTest, MetricsEqualWhatTheReadersSent) {
    StartAll();
    SimReaderOptions o;
    o.rate = 400;
    o.deviceName = "D\"7\"\\B";  // under 9 bytes: longer names are never listed or counted
    o.tagCount = 30;
    SimReader& a = Connect(o);
    o.deviceName = "Gate";
    o.firstTag = 800;
    o.tagCount = 20;
    SimReader& b = Connect(o);
    Handshake({&a, &b});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 1000; }, 10000));
    Quiesce();
    Engine().RefreshTagList();
    // The feed counts from the sink's thread: wait until it has seen every read.
    const Reply reply = [&] {
        Reply r;
        WaitUntil([&] {
            r = Get("/metrics");
            return r.body.find("trelvane_reads_by_reader_total{reader=\"Gate\"} " +
                               std::to_string(b.Stats().reportsSent) + "\n") != std::string::npos;
        });
        return r;
    }();
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers.at("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string& m = reply.body;
    EXPECT_EQ(Sample(m, "trelvane_reads_total"), a.Stats().reportsSent + b.Stats().reportsSent);
    EXPECT_EQ(Sample(m, "trelvane_reads_by_reader_total{reader=\"D\\\"7\\\"\\\\B\"}"),
              a.Stats().reportsSent);
    EXPECT_EQ(Sample(m, "trelvane_reads_by_reader_total{reader=\"Gate\"}"), b.Stats().reportsSent);
    EXPECT_EQ(Sample(m, "trelvane_readers_connected"), 2u);
    EXPECT_EQ(Sample(m, "trelvane_readers_reading"), 2u);
    EXPECT_EQ(Sample(m, "trelvane_tags_distinct"), 50u);
    EXPECT_EQ(Sample(m, "trelvane_bytes_received_total"),
              a.Stats().bytesSent + b.Stats().bytesSent);
    EXPECT_EQ(Sample(m, "trelvane_bytes_discarded_total"), 0u);
    EXPECT_EQ(Sample(m, "trelvane_read_pauses_total"), Engine().PipelineStats().readPauses.load());
    EXPECT_EQ(Sample(m, "trelvane_up"), 1u);
    EXPECT_LE(Sample(m, "trelvane_history_rows_total"), Engine().NextSequence());
    // Every sample line belongs to a family declared before it.
    std::set<std::string> families;
    for (const QString& line :
         QString::fromStdString(m).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QStringLiteral("# TYPE "))) {
            families.insert(line.section(QLatin1Char(' '), 2, 2).toStdString());
        } else if (!line.startsWith(QLatin1Char('#'))) {
            const std::string name =
                line.section(QRegularExpression(QStringLiteral("[{ ]")), 0, 0).toStdString();
            EXPECT_TRUE(families.count(name)) << line.toStdString();
        }
    }
}

}  // namespace
}  // namespace trelvane::test
