// The trelvane-sim program: option parsing and validation, the summary line, and the program
// itself run against a loopback host (exit codes, signals, ending on its own).

#include "sim/SimCommandLine.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <map>

#include "sim/SimHost.h"

namespace trelvane {
namespace {

using test::HostCommand;
using test::SimHost;
using test::WaitUntil;

SimParseResult Parse(std::initializer_list<const char*> args) {
    QStringList list{QStringLiteral("trelvane-sim")};
    for (const char* arg : args) {
        list << QString::fromUtf8(arg);
    }
    return ParseSimArguments(list);
}

TEST(SimCommandLine, Defaults) {
    const SimParseResult r = Parse({});
    ASSERT_TRUE(r.error.isEmpty()) << r.error.toStdString();
    ASSERT_TRUE(r.options.has_value());
    const SimProgramOptions& o = *r.options;
    EXPECT_EQ(o.fleet.host.toString().toStdString(), "127.0.0.1");
    EXPECT_EQ(o.fleet.port, 7088);
    EXPECT_EQ(o.fleet.readers, 1);
    EXPECT_EQ(o.fleet.namePrefix, "R");
    EXPECT_EQ(o.fleet.reconnectMs, 0);
    EXPECT_EQ(o.fleet.reader.rate, 10.0);
    EXPECT_EQ(o.fleet.reader.tagCount, 1000u);
    EXPECT_EQ(o.fleet.reader.productType, "K314");
    EXPECT_EQ(o.fleet.reader.reportLength, 17);
    EXPECT_EQ(o.fleet.reader.identityAfter, 1);
    EXPECT_EQ(o.fleet.reader.clockAfter, 1);
    EXPECT_EQ(o.fleet.reader.startAfter, 1);
    EXPECT_FALSE(o.fleet.reader.silent || o.fleet.reader.failClock || o.fleet.reader.failSet ||
                 o.fleet.reader.failQuery);
    EXPECT_FALSE(o.fleet.reader.keepFrames);  // a program run keeps counts only
    EXPECT_EQ(o.durationSeconds, 0.0);
    EXPECT_FALSE(o.quiet);
}

TEST(SimCommandLine, EveryOptionReachesItsField) {
    const SimParseResult r = Parse({"--host",
                                    "10.1.2.3",
                                    "--port",
                                    "9000",
                                    "--readers",
                                    "250",
                                    "--rate",
                                    "0",
                                    "--tags",
                                    "7",
                                    "--duration",
                                    "1.5",
                                    "--name-prefix",
                                    "DTU",
                                    "--product-type",
                                    "K314B",
                                    "--report-length",
                                    "14",
                                    "--silent",
                                    "--fail-clock",
                                    "--fail-set",
                                    "--fail-query",
                                    "--identity-after",
                                    "3",
                                    "--clock-after",
                                    "0",
                                    "--start-after",
                                    "2",
                                    "--quiet",
                                    "--reconnect",
                                    "0.25",
                                    "--connect-window",
                                    "8"});
    ASSERT_TRUE(r.error.isEmpty()) << r.error.toStdString();
    const SimProgramOptions& o = *r.options;
    EXPECT_EQ(o.fleet.host.toString().toStdString(), "10.1.2.3");
    EXPECT_EQ(o.fleet.port, 9000);
    EXPECT_EQ(o.fleet.readers, 250);
    EXPECT_EQ(o.fleet.reader.rate, 0.0);
    EXPECT_EQ(o.fleet.reader.tagCount, 7u);
    EXPECT_EQ(o.durationSeconds, 1.5);
    EXPECT_EQ(o.fleet.namePrefix, "DTU");
    EXPECT_EQ(o.fleet.reader.productType, "K314B");
    EXPECT_EQ(o.fleet.reader.reportLength, 14);
    EXPECT_TRUE(o.fleet.reader.silent);
    EXPECT_TRUE(o.fleet.reader.failClock);
    EXPECT_TRUE(o.fleet.reader.failSet);
    EXPECT_TRUE(o.fleet.reader.failQuery);
    EXPECT_EQ(o.fleet.reader.identityAfter, 3);
    EXPECT_EQ(o.fleet.reader.clockAfter, 0);
    EXPECT_EQ(o.fleet.reader.startAfter, 2);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.fleet.reconnectMs, 250);
    EXPECT_EQ(o.fleet.connectWindow, 8);
}

TEST(SimCommandLine, BadValuesAreRefusedNamingTheOption) {
    const std::string longPrefix(33, 'x');
    const std::string longProduct(65, 'x');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port", "0"}, "--port"},
        {{"--port", "65536"}, "--port"},
        {{"--port", "70x"}, "--port"},
        {{"--readers", "0"}, "--readers"},
        {{"--readers", "100001"}, "--readers"},
        {{"--rate", "-1"}, "--rate"},
        {{"--rate", "nan"}, "--rate"},
        {{"--rate", "inf"}, "--rate"},
        {{"--tags", "0"}, "--tags"},
        {{"--tags", "4282621619"}, "--tags"},  // the last ID would not fit 32 bits
        {{"--duration", "-0.5"}, "--duration"},
        {{"--duration", "3000000"}, "--duration"},
        {{"--report-length", "15"}, "--report-length"},
        {{"--report-length", "20"}, "--report-length"},
        {{"--identity-after", "-1"}, "--identity-after"},
        {{"--clock-after", "x"}, "--clock-after"},
        {{"--start-after", ""}, "--start-after"},
        {{"--host", "not-an-address"}, "--host"},
        {{"--name-prefix", longPrefix}, "--name-prefix"},
        {{"--product-type", longProduct}, "--product-type"},
        {{"--reconnect", "-1"}, "--reconnect"},
        {{"--connect-window", "0"}, "--connect-window"},
        {{"--bogus"}, "bogus"},
        {{"--port"}, "port"},
        {{"extra"}, "extra"},
    };
    for (const auto& [args, named] : cases) {
        QStringList list{QStringLiteral("trelvane-sim")};
        for (const std::string& arg : args) {
            list << QString::fromStdString(arg);
        }
        const SimParseResult r = ParseSimArguments(list);
        const std::string shown = list.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(r.options.has_value()) << shown;
        EXPECT_NE(r.error.toStdString().find(named), std::string::npos)
            << shown << " -> " << r.error.toStdString();
    }
    // Limits themselves are accepted.
    EXPECT_TRUE(Parse({"--tags", "4282621618", "--port", "65535", "--readers", "100000"}).options);
}

TEST(SimCommandLine, HelpDocumentsEveryOption) {
    const SimParseResult r = Parse({"--help"});
    EXPECT_TRUE(r.showHelp);
    EXPECT_FALSE(r.options.has_value());
    EXPECT_TRUE(r.error.isEmpty());
    for (const char* option :
         {"--host", "--port", "--readers", "--rate", "--tags", "--duration", "--name-prefix",
          "--product-type", "--report-length", "--silent", "--fail-clock", "--fail-set",
          "--fail-query", "--identity-after", "--clock-after", "--start-after", "--quiet",
          "--reconnect", "--connect-window"}) {
        EXPECT_TRUE(r.helpText.contains(QString::fromLatin1(option))) << option;
    }
}

TEST(SimCommandLine, SummaryLine) {
    SimFleetTotals t;
    t.readers = 5;
    t.everConnected = 4;
    t.connected = 3;
    t.reports = 12345;
    t.bytesReporting = 283935;
    t.bytesAcked = 283900;
    t.reportsSkipped = 2;
    t.bytesSent = 290000;
    t.bytesReceived = 4096;
    EXPECT_EQ(FormatSimSummary(t).toStdString(),
              "summary readers=5 connected=4 reports=12345 bytes_reporting=283935 "
              "bytes_acked=283900 reports_skipped=2 connected_at_exit=3 bytes_sent=290000 "
              "bytes_received=4096");
}

// The program itself. The host shares this thread's event loop with the QProcess, so the
// waits run the loop rather than blocking in waitForFinished.
class SimProgramTest : public ::testing::Test {
  protected:
    bool Run(QProcess& process, const QStringList& args) {
        process.start(QStringLiteral(TRELVANE_SIM_PROGRAM), args);
        return process.waitForStarted(5000);
    }
    static bool Finished(QProcess& process, int timeoutMs = 10000) {
        return WaitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    static std::map<std::string, std::uint64_t> Summary(const QString& output) {
        std::map<std::string, std::uint64_t> fields;
        const QRegularExpression line(QStringLiteral("^summary (.*)$"),
                                      QRegularExpression::MultilineOption);
        const QRegularExpressionMatch m = line.match(output);
        if (!m.hasMatch()) {
            return fields;
        }
        for (const QString& pair : m.captured(1).split(QLatin1Char(' '))) {
            const auto parts = pair.split(QLatin1Char('='));
            if (parts.size() == 2) {
                fields[parts[0].toStdString()] = parts[1].toULongLong();
            }
        }
        return fields;
    }
    QStringList HostArgs() const {
        return {QStringLiteral("--port"), QString::number(host_.Port())};
    }

    SimHost host_;
};

TEST_F(SimProgramTest, BadOptionExitsOneWithAMessage) {
    QProcess process;
    ASSERT_TRUE(Run(process, {QStringLiteral("--rate"), QStringLiteral("fast")}));
    ASSERT_TRUE(Finished(process));
    EXPECT_EQ(process.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("--rate"))) << err.toStdString();
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
}

TEST_F(SimProgramTest, NoReaderConnectedExitsOne) {
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.serverPort();
    }
    QProcess process;
    ASSERT_TRUE(Run(process, {QStringLiteral("--port"), QString::number(port),
                              QStringLiteral("--readers"), QStringLiteral("3")}));
    ASSERT_TRUE(Finished(process));
    EXPECT_EQ(process.exitCode(), 1);
    const auto summary = Summary(QString::fromLocal8Bit(process.readAllStandardOutput()));
    EXPECT_EQ(summary.at("readers"), 3u);
    EXPECT_EQ(summary.at("connected"), 0u);
}

TEST_F(SimProgramTest, RunsForItsDurationAndSummarises) {
    // Behave like the server: start reading on every reader, acknowledge every later chunk.
    std::map<const SimHost::Connection*, std::size_t> seen;
    std::uint64_t acked = 0;
    host_.onReceive = [&](SimHost::Connection& c, std::size_t n) {
        const std::size_t before = seen[&c];
        seen[&c] = before + n;
        const std::size_t skip = before >= 8 ? 0 : std::min<std::size_t>(8 - before, n);
        if (n > skip) {
            SimHost::Send(c, HostCommand(CMD_DATA_ACK, static_cast<unsigned>(n - skip)));
            acked += n - skip;
        }
    };
    std::size_t started = 0;
    QProcess process;
    ASSERT_TRUE(Run(process, HostArgs() << QStringLiteral("--readers") << QStringLiteral("2")
                                        << QStringLiteral("--rate") << QStringLiteral("200")
                                        << QStringLiteral("--duration") << QStringLiteral("0.5")));
    ASSERT_TRUE(WaitUntil([&] {
        for (; started < host_.ConnectionCount(); ++started) {
            SimHost::Send(host_.At(started), HostCommand(CMD_START_READ));
        }
        return process.state() == QProcess::NotRunning;
    }));
    EXPECT_EQ(process.exitCode(), 0);
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QStringLiteral("connected R01 127.0.0.1:"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("connected R02 127.0.0.1:"))) << out.toStdString();
    const auto summary = Summary(out);
    ASSERT_FALSE(summary.empty()) << out.toStdString();
    EXPECT_EQ(summary.at("readers"), 2u);
    EXPECT_EQ(summary.at("connected"), 2u);
    EXPECT_GT(summary.at("reports"), 0u);
    EXPECT_GT(summary.at("bytes_acked"), 0u);
    // Acks still in flight at exit are missing, never extra.
    EXPECT_LE(summary.at("bytes_acked"), summary.at("bytes_reporting"));
    EXPECT_LE(summary.at("bytes_acked"), acked);
}

TEST_F(SimProgramTest, InterruptAndTerminateEndWithTheSummary) {
    for (const int signal : {SIGTERM, SIGINT}) {
        QProcess process;
        ASSERT_TRUE(Run(process, HostArgs()));
        ASSERT_TRUE(WaitUntil(
            [&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }));
        const QString first = QString::fromLocal8Bit(process.readLine());
        EXPECT_TRUE(first.startsWith(QStringLiteral("connected R01"))) << first.toStdString();
        ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), signal), 0);
        ASSERT_TRUE(Finished(process)) << signal;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(process.exitCode(), 0) << signal;
        const auto summary = Summary(QString::fromLocal8Bit(process.readAllStandardOutput()));
        ASSERT_FALSE(summary.empty()) << signal;
        EXPECT_EQ(summary.at("connected"), 1u) << signal;
    }
}

TEST_F(SimProgramTest, EndsByItselfWhenTheHostDropsEveryReader) {
    QProcess process;
    ASSERT_TRUE(Run(process, HostArgs() << QStringLiteral("--readers") << QStringLiteral("2")));
    ASSERT_TRUE(WaitUntil([&] { return host_.ConnectionCount() == 2; }));
    host_.At(0).socket->disconnectFromHost();
    host_.At(1).socket->disconnectFromHost();
    ASSERT_TRUE(Finished(process));
    EXPECT_EQ(process.exitCode(), 0);
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QStringLiteral("disconnected R01"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("disconnected R02"))) << out.toStdString();
    EXPECT_EQ(Summary(out).at("connected_at_exit"), 0u);
}

}  // namespace
}  // namespace trelvane
