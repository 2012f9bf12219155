// One event, every output: the real trelvaned with MQTT (a real broker), the API and the
// history on, a simulated reader, and a read, a presence event and a device event taken from
// MQTT, the WebSocket feed, GET /api/v1/reads|presence and trelvane-history --format jsonl.
// Every output must give the same JSON object, key for key and value for value. Alerts, which
// only the rule engine makes, are stored before the service starts and come from MQTT's
// backlog, the feed's replay, GET /api/v1/alerts/events and the tool.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <fstream>

#include "api/ApiClient.h"
#include "hardening/DaemonProcess.h"
#include "history/Outbox.h"
#include "history/Writer.h"
#include "mqtt/Broker.h"
#include "site/Register.h"
#include "support/TempFolder.h"
#include "support/TimeZoneScope.h"

namespace trelvane::test {
namespace {

QJsonObject Object(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

// The objects of a list member ("reads", "events", …) of every message.
std::vector<QJsonObject> ListItems(const std::vector<std::string>& messages, const QString& list) {
    std::vector<QJsonObject> items;
    for (const std::string& message : messages) {
        for (const QJsonValue& item : Object(message)[list].toArray()) {
            items.push_back(item.toObject());
        }
    }
    return items;
}

std::optional<QJsonObject> FirstWhere(const std::vector<QJsonObject>& items,
                                      const std::function<bool(const QJsonObject&)>& take) {
    for (const QJsonObject& item : items) {
        if (take(item)) {
            return item;
        }
    }
    return std::nullopt;
}

QStringList Names(std::initializer_list<const char*> names) {
    QStringList list;
    for (const char* name : names) {
        list.append(QString::fromLatin1(name));
    }
    return list;
}

qint64 SeqOf(const QJsonObject& o) {
    return o[QStringLiteral("seq")].toInteger();
}

// The object with number `seq` among trelvane-history's JSON Lines of `kind`, run as an
// operator would in the service's folder (so it labels tags from the site register there).
std::optional<QJsonObject> FromHistoryTool(const std::filesystem::path& folder, const char* kind,
                                           qint64 seq) {
    QProcess tool;
    tool.start(
        QStringLiteral(TRELVANE_HISTORY_PATH),
        {QStringLiteral("-C"), QString::fromStdString(folder.string()), QStringLiteral("--format"),
         QStringLiteral("jsonl"), QStringLiteral("--kind"), QString::fromLatin1(kind)});
    if (!tool.waitForFinished(10000) || tool.exitCode() != 0) {
        return std::nullopt;
    }
    for (const QByteArray& line : tool.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.isEmpty() && SeqOf(o) == seq) {
            return o;
        }
    }
    return std::nullopt;
}

// The object with number `seq` from GET /api/v1/{path}, in the list `list` (the path's name).
std::optional<QJsonObject> FromApi(std::uint16_t port, const char* path, qint64 seq,
                                   const char* list = nullptr) {
    RequestParts get;
    get.target =
        std::string("/api/v1/") + path + "?after_seq=" + std::to_string(seq - 1) + "&limit=1";
    const Reply reply = Fetch(port, get);
    const QJsonArray items = Object(reply.body)[QString::fromLatin1(list ? list : path)].toArray();
    if (reply.status != 200 || items.isEmpty() || SeqOf(items[0].toObject()) != seq) {
        return std::nullopt;
    }
    return items[0].toObject();
}

// The numbers GET /api/v1/alerts/events?{query} answers with.
std::vector<qint64> AlertSeqs(std::uint16_t port, const std::string& query) {
    RequestParts get;
    get.target = "/api/v1/alerts/events?" + query;
    std::vector<qint64> seqs;
    for (const QJsonValue& item :
         Object(Fetch(port, get).body)[QStringLiteral("alerts")].toArray()) {
        seqs.push_back(SeqOf(item.toObject()));
    }
    return seqs;
}

// Alerts 1-4 in a new history whose MQTT cursor is made before them, so the publisher hands
// them on from the history: a dwell alert of a registered tag raised, acknowledged and
// cleared, and a reader's alert that concerns no tag.
void StoreAlerts(const std::filesystem::path& db) {
    auto writer = history::Writer::Open({db});
    ASSERT_TRUE(writer.ok()) << writer.error().text;
    ASSERT_TRUE(history::Outbox::Open(db, "mqtt").ok());
    using events::AlertEventKind;
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch() - 60'000;
    const events::AlertRow raised{1,
                                  now,
                                  AlertEventKind::kRaised,
                                  0,
                                  "dwell-at-gate",
                                  events::RuleKind::kDwell,
                                  12345678u,
                                  "Gate",
                                  "R01",
                                  now - 60'000,
                                  "Crate \"0\" at Gate for 60 s",
                                  ""};
    events::AlertRow ack = raised;
    ack.seq = 2;
    ack.timeMs = now + 1000;
    ack.kind = AlertEventKind::kAcknowledged;
    ack.raised = 1;
    ack.text = "seen, moving it";
    ack.by = "夜班";
    const events::AlertRow offline{3,
                                   now + 2000,
                                   AlertEventKind::kRaised,
                                   0,
                                   "gate-readers",
                                   events::RuleKind::kReaderOffline,
                                   {},
                                   "",
                                   "R02",
                                   now - 5000,
                                   "R02 offline",
                                   ""};
    events::AlertRow cleared = raised;
    cleared.seq = 4;
    cleared.timeMs = now + 3000;
    cleared.kind = AlertEventKind::kCleared;
    cleared.raised = 1;
    cleared.text.clear();
    const std::vector<events::Alert> alerts = {events::View(raised), events::View(ack),
                                               events::View(offline), events::View(cleared)};
    ASSERT_TRUE(writer->Append(history::Batch{{}, {}, {}, {}, {}, alerts}).ok());
}

// A value as compact JSON, for readable failures.
std::string Text(const QJsonValue& value) {
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
}

void ExpectSame(const char* what, const QJsonObject& expected,
                const std::vector<std::pair<const char*, std::optional<QJsonObject>>>& outputs) {
    for (const auto& [output, object] : outputs) {
        ASSERT_TRUE(object.has_value()) << what << " is missing from " << output;
        EXPECT_EQ(object->keys(), expected.keys()) << what << " from " << output;
        for (const QString& key : expected.keys()) {
            EXPECT_EQ(Text((*object)[key]), Text(expected[key]))
                << what << " from " << output << ": " << key.toStdString();
        }
    }
}

TEST(OutputsTest, AnEventIsTheSameObjectFromEveryOutput) {
    RaiseOwnDescriptorLimit();
    TimeZoneScope timeZone("Asia/Shanghai");  // the children inherit it: one offset in every text
    TempFolder dir;
    Broker broker(dir.Path() / "broker");
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-outputs", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    const quint16 port = FreePort();
    const auto apiPort = static_cast<std::uint16_t>(FreeLoopbackPort());
    std::ofstream(dir.Path() / "SysConf.ini", std::ios::binary)
        << "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=" << port
        << "\r\nLogin_Time=1\r\nUSER_Refresh_Time=1\r\nKeepRecord=0\r\nCalibrateTime=0\r\n"
        << "[Api]\r\nEnabled=1\r\nAddress=127.0.0.1\r\nPort=" << apiPort << "\r\n"
        << "[Mqtt]\r\nEnabled=1\r\nPort=" << broker.Port() << "\r\nClientId=gate\r\n";
    // The reader is the zone "Gate", and its tags are registered: every kind carries labels.
    {
        site::Fault fault;
        const auto site = site::Register::Open(dir.Path() / "site.db", fault);
        ASSERT_TRUE(site) << fault.text;
        ASSERT_FALSE(site->SetZone("Gate", {"R01"}));
        for (std::uint32_t i = 0; i < 5; ++i) {
            ASSERT_FALSE(site->SetAsset(
                {12345678 + i, "Crate \"" + std::to_string(i) + "\"", "crates", ""}));
        }
    }
    StoreAlerts(dir.Path() / "trelvane.db");

    ChildProcess server;
    ASSERT_TRUE(server.Start(DaemonPath(),
                             {QStringLiteral("-C"), QString::fromStdString(dir.Path().string())}));
    ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    ASSERT_TRUE(WaitUntil([&] { return Listening(apiPort); }, 10000));
    FeedReader feed(apiPort, "/api/v1/stream?kinds=reads,presence,devices,zones");
    ASSERT_TRUE(WaitUntil([&] { return feed.Open(); }, 10000));
    FeedReader alertFeed(apiPort, "/api/v1/stream?kinds=alerts&after_seq=0");
    ASSERT_TRUE(WaitUntil([&] { return alertFeed.Open(); }, 10000));

    ChildProcess sim;
    ASSERT_TRUE(sim.Start(
        SimPath(), {QStringLiteral("--port"), QString::number(port), QStringLiteral("--rate"),
                    QStringLiteral("20"), QStringLiteral("--tags"), QStringLiteral("5"),
                    QStringLiteral("--report-length"), QStringLiteral("17")}));
    // The start-up dialogue takes about 15 s before the first read.
    std::optional<QJsonObject> read, presence, zone;
    // The daemon's output is read while waiting (QProcess needs the event loop), so it never
    // blocks on a full pipe.
    ASSERT_TRUE(WaitUntil(
        [&] {
            read = FirstWhere(
                ListItems({subscriber.Last("trelvane/gate/reads").value_or("")},
                          QStringLiteral("reads")),
                [](const QJsonObject& o) { return o.contains(QStringLiteral("reader_time")); });
            presence =
                FirstWhere(ListItems({subscriber.Last("trelvane/gate/presence").value_or("")},
                                     QStringLiteral("events")),
                           [](const QJsonObject&) { return true; });
            zone = FirstWhere(ListItems({subscriber.Last("trelvane/gate/zones").value_or("")},
                                        QStringLiteral("events")),
                              [](const QJsonObject&) { return true; });
            return read && presence && zone;
        },
        40000))
        << server.Out().toStdString() << server.Err().toStdString() << sim.Out().toStdString()
        << sim.Err().toStdString();
    // The reader's connection and its name, from the feed.
    const std::vector<QJsonObject> feedDevices =
        ListItems(feed.Messages(), QStringLiteral("devices"));
    const auto device = FirstWhere(feedDevices, [](const QJsonObject& o) {
        return o[QStringLiteral("event")].toString() == QStringLiteral("named");
    });
    ASSERT_TRUE(device.has_value());

    const auto bySeq = [](qint64 seq) {
        return [seq](const QJsonObject& o) { return SeqOf(o) == seq; };
    };
    std::optional<QJsonObject> feedRead, feedPresence, apiRead, apiPresence, toolRead, toolPresence,
        toolDevice, feedZone, apiZone, toolZone;
    // The feed sends at most ten messages a second, and the history stores a batch shortly
    // after the outputs see it.
    EXPECT_TRUE(WaitUntil(
        [&] {
            feedRead = FirstWhere(ListItems(feed.Messages(), QStringLiteral("reads")),
                                  bySeq(SeqOf(*read)));
            feedPresence = FirstWhere(ListItems(feed.Messages(), QStringLiteral("presence")),
                                      bySeq(SeqOf(*presence)));
            apiRead = FromApi(apiPort, "reads", SeqOf(*read));
            apiPresence = FromApi(apiPort, "presence", SeqOf(*presence));
            toolRead = FromHistoryTool(dir.Path(), "reads", SeqOf(*read));
            toolPresence = FromHistoryTool(dir.Path(), "presence", SeqOf(*presence));
            toolDevice = FromHistoryTool(dir.Path(), "devices", SeqOf(*device));
            feedZone = FirstWhere(ListItems(feed.Messages(), QStringLiteral("zones")),
                                  bySeq(SeqOf(*zone)));
            apiZone = FromApi(apiPort, "zones/events", SeqOf(*zone), "zones");
            toolZone = FromHistoryTool(dir.Path(), "zones", SeqOf(*zone));
            return feedRead && feedPresence && apiRead && apiPresence && toolRead && toolPresence &&
                   toolDevice && feedZone && apiZone && toolZone;
        },
        10000));
    ExpectSame("the read", *read,
               {{"the WebSocket", feedRead},
                {"GET /api/v1/reads", apiRead},
                {"trelvane-history", toolRead}});
    ExpectSame("the presence event", *presence,
               {{"the WebSocket", feedPresence},
                {"GET /api/v1/presence", apiPresence},
                {"trelvane-history", toolPresence}});
    ExpectSame("the device event", *device, {{"trelvane-history", toolDevice}});
    ExpectSame("the zone event", *zone,
               {{"the WebSocket", feedZone},
                {"GET /api/v1/zones/events", apiZone},
                {"trelvane-history", toolZone}});

    // What each kind holds, so that a key lost in every output alike is caught here too.
    EXPECT_EQ(read->keys(), Names({"device", "group", "label", "reader", "reader_time", "seq",
                                   "tag", "time", "time_ms"}));
    EXPECT_EQ(presence->keys(), Names({"device", "event", "group", "label", "reader", "seq", "tag",
                                       "time", "time_ms"}));
    EXPECT_EQ(zone->keys(), Names({"device", "event", "group", "label", "reader", "seq", "tag",
                                   "time", "time_ms", "zone"}));
    EXPECT_EQ((*zone)[QStringLiteral("zone")].toString(), QStringLiteral("Gate"));
    EXPECT_EQ((*zone)[QStringLiteral("event")].toString(), QStringLiteral("enter"));
    EXPECT_EQ((*read)[QStringLiteral("group")].toString(), QStringLiteral("crates"));
    EXPECT_EQ((*read)[QStringLiteral("label")].toString(),
              QStringLiteral("Crate \"%1\"")
                  .arg((*read)[QStringLiteral("tag")].toString().toUInt() - 12345678));
    EXPECT_EQ(device->keys(), Names({"device", "event", "reader", "seq", "time", "time_ms"}));
    EXPECT_EQ((*read)[QStringLiteral("reader")].toString(), QStringLiteral("R01"));

    // The alerts: MQTT's backlog gave them.
    std::vector<QJsonObject> mqttAlerts;
    EXPECT_TRUE(WaitUntil(
        [&] {
            mqttAlerts =
                ListItems(subscriber.Payloads("trelvane/gate/alerts"), QStringLiteral("events"));
            return FirstWhere(mqttAlerts, bySeq(4)).has_value();
        },
        10000));
    const std::vector<QJsonObject> feedAlerts =
        ListItems(alertFeed.Messages(), QStringLiteral("alerts"));
    const std::vector<QStringList> keys = {
        Names({"event", "group", "kind", "label", "reader", "rule", "seq", "since", "since_ms",
               "tag", "text", "time", "time_ms", "zone"}),
        Names({"by", "event", "group", "kind", "label", "note", "raised", "reader", "rule", "seq",
               "since", "since_ms", "tag", "time", "time_ms", "zone"}),
        Names({"event", "kind", "reader", "rule", "seq", "since", "since_ms", "text", "time",
               "time_ms"}),
        Names({"event", "group", "kind", "label", "raised", "reader", "rule", "seq", "since",
               "since_ms", "tag", "time", "time_ms", "zone"}),
    };
    for (qint64 seq = 1; seq <= 4; ++seq) {
        SCOPED_TRACE("alert " + std::to_string(seq));
        const std::optional<QJsonObject> alert = FirstWhere(mqttAlerts, bySeq(seq));
        ASSERT_TRUE(alert.has_value()) << "MQTT";
        ExpectSame("the alert", *alert,
                   {{"the WebSocket", FirstWhere(feedAlerts, bySeq(seq))},
                    {"GET /api/v1/alerts/events", FromApi(apiPort, "alerts/events", seq, "alerts")},
                    {"trelvane-history", FromHistoryTool(dir.Path(), "alerts", seq)}});
        EXPECT_EQ(alert->keys(), keys[static_cast<std::size_t>(seq - 1)]);
    }
    const QJsonObject ack = *FirstWhere(mqttAlerts, bySeq(2));
    EXPECT_EQ(ack[QStringLiteral("by")].toString(), QStringLiteral("夜班"));
    EXPECT_EQ(ack[QStringLiteral("label")].toString(), QStringLiteral("Crate \"0\""));
    EXPECT_EQ(ack[QStringLiteral("raised")].toInteger(), 1);
    // The register has no rule "gate-readers": the service cleared its open alert at the start,
    // numbered next after the history's last.
    EXPECT_EQ(AlertSeqs(apiPort, "rule=gate-readers"), (std::vector<qint64>{3, 5}));
    EXPECT_EQ(AlertSeqs(apiPort, "zone=Gate&after_seq=1"), (std::vector<qint64>{2, 4}));
    EXPECT_EQ(AlertSeqs(apiPort, "tag=12345678&limit=2"), (std::vector<qint64>{1, 2}));

    sim.Signal(SIGTERM);
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitForExit(10000));
}

}  // namespace
}  // namespace trelvane::test
