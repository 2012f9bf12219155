// trelvaned with [Mqtt] on, as a site runs it: readers flood, the broker goes away, the server
// is stopped with a backlog and started again, then killed. Every read the history holds
// reaches a subscriber, the status line says where MQTT stands, and the will says the server
// died. With the history off, MQTT does not start and says so while the service runs.

#include <gtest/gtest.h>

#include <fstream>

#include "hardening/DaemonProcess.h"
#include "history/Reader.h"
#include "mqtt/Broker.h"
#include "support/TempFolder.h"

namespace trelvane::test {
namespace {

std::set<std::uint64_t> HistoryReads(const std::filesystem::path& db) {
    std::set<std::uint64_t> seqs;
    auto reader = history::Reader::Open(db);
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) {
        return seqs;
    }
    history::Filter filter;
    filter.limit = 100'000;
    for (int page = 0; page < 1000; ++page) {
        auto rows = reader->Reads(filter);
        if (!rows.ok() || rows->empty()) {
            break;
        }
        for (const history::ReadRow& row : *rows) {
            seqs.insert(row.seq);
            filter.afterSeq = row.seq;
        }
    }
    return seqs;
}

void WriteConfig(const std::filesystem::path& dir, quint16 port, int brokerPort, bool history) {
    WriteServiceConfig(dir, port, 0);
    std::ofstream(dir / "SysConf.ini", std::ios::binary | std::ios::app)
        << "[Mqtt]\r\nEnabled=1\r\nPort=" << brokerPort << "\r\nClientId=gate\r\nKeepAlive=5\r\n"
        << (history ? "" : "[History]\r\nEnabled=0\r\n");
}

QStringList Args(const TempFolder& dir) {
    return {QStringLiteral("-C"), QString::fromStdString(dir.Path().string())};
}

// The last status line's value of `field` ("" when none yet).
std::string LastField(ChildProcess& daemon, const std::string& field) {
    const std::string out = daemon.Out().toStdString();
    const std::size_t at = out.rfind(" " + field + "=");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t begin = at + field.size() + 2;
    return out.substr(begin, out.find_first_of(" \n", begin) - begin);
}

TEST(DaemonMqttTest, AStoppedServerWithABacklogPublishesEveryReadAndItsWillSaysItDied) {
    RaiseOwnDescriptorLimit();
    TempFolder dir;
    Broker broker(dir.Path() / "broker");
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-daemon", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    const quint16 port = FreePort();
    WriteConfig(dir.Path(), port, broker.Port(), true);
    {
        ChildProcess server;
        ASSERT_TRUE(server.Start(DaemonPath(), Args(dir)));
        ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
        ASSERT_TRUE(WaitUntil([&] { return LastField(server, "mqtt") == "connected"; }, 10000))
            << server.Out().toStdString() << server.Err().toStdString();
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(
            SimPath(), {QStringLiteral("--port"), QString::number(port),
                        QStringLiteral("--readers"), QStringLiteral("3"), QStringLiteral("--rate"),
                        QStringLiteral("0"), QStringLiteral("--tags"), QStringLiteral("300")}));
        // The start-up dialogue takes 15 s; then the readers flood.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const std::string reads = LastField(server, "reads");
                return !reads.empty() && reads != "0";
            },
            30000));
        WaitUntil([] { return false; }, 500);
        broker.Stop();  // the broker goes in the middle of the flood
        WaitUntil([] { return false; }, 800);
        EXPECT_TRUE(WaitUntil([&] { return LastField(server, "mqtt") == "down"; }, 5000));
        server.Signal(SIGTERM);  // stopped with a backlog
        ASSERT_TRUE(server.WaitForExit(10000));
        EXPECT_EQ(server.ExitCode(), 0) << server.Err().toStdString();
        sim.Signal(SIGTERM);
        sim.WaitForExit(5000);
    }
    const std::set<std::uint64_t> stored = HistoryReads(dir.Path() / "trelvane.db");
    ASSERT_GT(stored.size(), 1000u);
    EXPECT_LT(subscriber.Reads().size(), stored.size()) << "there was a backlog";

    ASSERT_TRUE(broker.Start());
    ChildProcess server;
    ASSERT_TRUE(server.Start(DaemonPath(), Args(dir)));
    EXPECT_TRUE(subscriber.WaitForReads(stored, std::chrono::seconds(30)))
        << subscriber.Reads().size() << " of " << stored.size();
    EXPECT_TRUE(WaitUntil([&] { return LastField(server, "mqtt_backlog") == "0"; }, 10000))
        << server.Out().right(600).toStdString();
    EXPECT_EQ(subscriber.Last("trelvane/gate/status"), "online");
    server.Signal(SIGKILL);
    ASSERT_TRUE(server.WaitForExit(5000));
    EXPECT_TRUE(WaitFor([&] { return subscriber.Last("trelvane/gate/status") == "offline"; },
                        std::chrono::seconds(10)))
        << "the will";
}

TEST(DaemonMqttTest, WithTheHistoryOffMqttDoesNotStartAndSaysSo) {
    TempFolder dir;
    const quint16 port = FreePort();
    WriteConfig(dir.Path(), port, FreeLoopbackPort(), false);
    ChildProcess server;
    ASSERT_TRUE(server.Start(DaemonPath(), Args(dir)));
    ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    EXPECT_TRUE(WaitUntil([&] { return !LastField(server, "mqtt").empty(); }, 5000));
    EXPECT_EQ(LastField(server, "mqtt"), "unavailable");
    EXPECT_EQ(LastField(server, "history"), "off");
    const QByteArray said = server.Out() + server.Err();
    EXPECT_TRUE(said.contains("MQTT needs the history")) << said.toStdString();
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitForExit(10000));
    EXPECT_EQ(server.ExitCode(), 0);
}

}  // namespace
}  // namespace trelvane::test
