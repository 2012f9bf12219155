// One event, every output: the real trelvaned with MQTT (a real broker), the API and the
// history on, a simulated reader, and a read, a presence event and a device event taken from
// MQTT, the WebSocket feed, GET /api/v1/reads|presence and trelvane-history --format jsonl.
// Every output must give the same JSON object, key for key and value for value.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <fstream>

#include "api/ApiClient.h"
#include "hardening/DaemonProcess.h"
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
            ASSERT_FALSE(site->SetAsset({12345678 + i, "Crate \"" + std::to_string(i) + "\"",
                                         "crates", ""}));
        }
    }

    ChildProcess server;
    ASSERT_TRUE(server.Start(DaemonPath(),
                             {QStringLiteral("-C"), QString::fromStdString(dir.Path().string())}));
    ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    ASSERT_TRUE(WaitUntil([&] { return Listening(apiPort); }, 10000));
    FeedReader feed(apiPort, "/api/v1/stream?kinds=reads,presence,devices,zones");
    ASSERT_TRUE(WaitUntil([&] { return feed.Open(); }, 10000));

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

    sim.Signal(SIGTERM);
    server.Signal(SIGTERM);
    EXPECT_TRUE(server.WaitForExit(10000));
}

}  // namespace
}  // namespace trelvane::test
