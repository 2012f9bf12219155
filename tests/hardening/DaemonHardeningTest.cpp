// trelvaned as a site runs it, against what a site's network and disk do to it: a descriptor
// limit with more readers than it allows, SIGTERM in the middle of a flood, a day log that is
// a FIFO, and reader names made to attack the operator's terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <map>
#include <vector>

#include "hardening/DaemonProcess.h"
#include "history/Reader.h"
#include "records/TagId.h"
#include "service/RawPeer.h"
#include "support/TempFolder.h"

namespace trelvane::test {
namespace {

// A connection that never says anything: it waits in the listen queue or as a silent device.
int ConnectIdle(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

int CountLines(const QByteArray& text, const QByteArray& mark) {
    int count = 0;
    for (const QByteArray& line : text.split('\n')) {
        count += line.contains(mark) ? 1 : 0;
    }
    return count;
}

// Read counts per tag: from the export (column 4 of rows "No\tID\tDevice\tCount\tTime\t") and
// from the lines of a day log.
std::map<std::uint32_t, long> ExportCounts(const std::string& text) {
    std::map<std::uint32_t, long> counts;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) {
            fields.push_back(cell);
        }
        if (fields.size() >= 4) {
            if (const auto id = ParseTagIdText(fields[1])) {
                counts[*id] = std::stol(fields[3]);
            }
        }
    }
    return counts;
}

std::map<std::uint32_t, long> DayLogCounts(const std::string& log) {
    std::map<std::uint32_t, long> counts;
    const std::string idMark = "ID\xA3\xBA";
    for (std::size_t at = log.find(idMark); at != std::string::npos;
         at = log.find(idMark, at + 1)) {
        const std::size_t begin = at + idMark.size();
        if (const auto id = ParseTagIdText(log.substr(begin, log.find('\t', begin) - begin))) {
            ++counts[*id];
        }
    }
    return counts;
}

// Every read the history holds, per tag, and checks on its numbers on the way.
std::map<std::uint32_t, long> HistoryCounts(const std::filesystem::path& db,
                                            std::uint64_t* lastSeq = nullptr) {
    std::map<std::uint32_t, long> counts;
    auto reader = history::Reader::Open(db);
    EXPECT_TRUE(reader.ok()) << (reader.ok() ? "" : reader.error().text);
    if (!reader.ok()) {
        return counts;
    }
    history::Filter filter;
    filter.limit = 100'000;
    for (int page = 0; page < 1000; ++page) {
        auto rows = reader->Reads(filter);
        EXPECT_TRUE(rows.ok());
        if (!rows.ok() || rows->empty()) {
            break;
        }
        for (const history::ReadRow& row : *rows) {
            EXPECT_GT(row.seq, filter.afterSeq) << "numbers only grow";
            filter.afterSeq = row.seq;
            ++counts[row.tag];
        }
    }
    if (lastSeq != nullptr) {
        auto last = reader->LastSequence();
        *lastSeq = last.ok() ? *last : 0;
    }
    return counts;
}

std::string DayLogName(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy-MM-dd")).toStdString() + " ReadIdRec.txt";
}

class DaemonHardeningTest : public ::testing::Test {
  protected:
    void SetUp() override { RaiseOwnDescriptorLimit(); }
    void TearDown() override {
        for (const int fd : idle_) {
            ::close(fd);
        }
    }
    bool StartDaemon(const QStringList& prefix, QStringList extra = {}) {
        QStringList arguments = prefix;
        QString program = DaemonPath();
        if (!prefix.isEmpty()) {
            program = prefix.front();
            arguments = prefix.mid(1);
            arguments << DaemonPath();
        }
        arguments << QStringLiteral("-C") << QString::fromStdString(dir.Path().string()) << extra;
        return daemon.Start(program, arguments) &&
               daemon.WaitForOutput(QByteArrayLiteral("listening on"), 10000);
    }

    TempFolder dir;
    quint16 port = FreePort();
    ChildProcess daemon;
    std::vector<int> idle_;
};

// More idle readers than descriptors: the daemon takes what its budget allows, leaves the rest
// in the listen queue without spinning on accept, and serves a new reader once room returns.
TEST_F(DaemonHardeningTest, IdleReadersBeyondTheDescriptorLimitCostNoCpu) {
    WriteServiceConfig(dir.Path(), port, 0);
    ASSERT_TRUE(StartDaemon(
        {QStringLiteral("prlimit"), QStringLiteral("--nofile=256:256"), QStringLiteral("--")}));
    for (int i = 0; i < 400; ++i) {
        idle_.push_back(ConnectIdle(port));
    }
    ASSERT_TRUE(WaitUntil([&] { return daemon.Err().contains("connection limit"); }, 10000))
        << daemon.Err().toStdString();
    const QByteArray err = daemon.Err();
    const qsizetype at = err.indexOf("connection limit ") + 17;
    const int budget = err.mid(at, err.indexOf(' ', at) - at).toInt();
    ASSERT_GT(budget, 0);
    // Let accepting settle, then measure two seconds of an idle daemon.
    WaitUntil([] { return false; }, 500);
    const long before = daemon.CpuTicks();
    QElapsedTimer elapsed;
    elapsed.start();
    WaitUntil([] { return false; }, 2000);
    const double cpuShare = static_cast<double>(daemon.CpuTicks() - before) /
                            static_cast<double>(::sysconf(_SC_CLK_TCK)) /
                            (static_cast<double>(elapsed.elapsed()) / 1000.0);
    EXPECT_LT(cpuShare, 0.2) << "a core spinning on accept would be 1.0";
    EXPECT_LE(CountLines(daemon.Out(), "connected "), budget);
    EXPECT_EQ(CountLines(daemon.Err(), "connection limit"), 1) << "logged once, not per accept";

    // Room returns: every idle reader goes; a new one is greeted with the identity query.
    for (const int fd : idle_) {
        ::close(fd);
    }
    idle_.clear();
    RawPeer late(port);
    ASSERT_TRUE(late.Connected());
    EXPECT_TRUE(late.WaitForCommand(0x01, 5000)) << "the new reader was not served";
    daemon.Signal(SIGTERM);
    ASSERT_TRUE(daemon.WaitForExit(5000));
    EXPECT_EQ(daemon.ExitCode(), 0);
}

// Names are the reader's bytes: on stdout they are escaped, so they cannot drive the terminal
// or forge a line that something parsing the output would take for an event.
TEST_F(DaemonHardeningTest, HostileReaderNamesCannotForgeOutput) {
    WriteServiceConfig(dir.Path(), port, 0);
    ASSERT_TRUE(StartDaemon({}));
    RawPeer peer(port);
    ASSERT_TRUE(peer.WaitForCommand(0x01, 5000));
    ASSERT_TRUE(peer.SendAll(RawPeer::NameReply("\x1B[2J\r\nremoved 10.9.8.7:6\\")));
    ASSERT_TRUE(daemon.WaitForOutput(QByteArrayLiteral("named "), 5000));
    daemon.Signal(SIGTERM);
    ASSERT_TRUE(daemon.WaitForExit(5000));
    const QByteArray out = daemon.Out();
    EXPECT_TRUE(out.contains(QByteArray("named ") + QByteArray::fromStdString(peer.Key()) +
                             " \\x1B[2J\\x0D\\x0Aremoved 10.9.8.7:6\\\\\n"))
        << out.toStdString();
    EXPECT_FALSE(out.contains("\x1B"));
    EXPECT_FALSE(out.contains("\nremoved 10.9.8.7:6")) << "no forged line";
}

// SIGTERM while readers flood: every read the day log holds is counted in the export, ID by ID.
TEST_F(DaemonHardeningTest, SigtermDuringAFloodExportsEveryLoggedRead) {
    const QDateTime started = QDateTime::currentDateTime();
    for (const int floodMs : {200, 1500}) {
        SCOPED_TRACE(floodMs);
        TempFolder run;
        WriteServiceConfig(run.Path(), port, 1);
        const std::filesystem::path exportFile = run.Path() / "export.txt";
        ChildProcess server;
        ASSERT_TRUE(server.Start(
            DaemonPath(),
            {QStringLiteral("-C"), QString::fromStdString(run.Path().string()),
             QStringLiteral("--export-on-exit"), QString::fromStdString(exportFile.string())}));
        ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(
            SimPath(), {QStringLiteral("--port"), QString::number(port),
                        QStringLiteral("--readers"), QStringLiteral("4"), QStringLiteral("--rate"),
                        QStringLiteral("0"), QStringLiteral("--tags"), QStringLiteral("300")}));
        // The start-up dialogue takes 15 s; the status line (every second) shows reads after it.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const QByteArray out = server.Out();
                const qsizetype at = out.lastIndexOf(" reads=");
                return at >= 0 && out.mid(at + 7, 2) != "0 ";
            },
            30000));
        WaitUntil([] { return false; }, floodMs);
        server.Signal(SIGTERM);
        ASSERT_TRUE(server.WaitForExit(10000));
        EXPECT_EQ(server.ExitCode(), 0) << server.Err().toStdString();
        sim.Signal(SIGTERM);
        sim.WaitForExit(5000);

        std::string log;
        for (const QDateTime& day : {started, QDateTime::currentDateTime()}) {
            const std::filesystem::path file = run.Path() / DayLogName(day);
            if (std::filesystem::exists(file) && log.empty()) {
                log = ReadFile(file);
            }
        }
        const auto logged = DayLogCounts(log);
        const auto exported = ExportCounts(ReadFile(exportFile));
        EXPECT_FALSE(logged.empty());
        EXPECT_EQ(exported, logged);
        // The history (on by default) holds the same reads, and the stop departed every tag.
        EXPECT_EQ(HistoryCounts(run.Path() / "trelvane.db"), logged);
        auto reader = history::Reader::Open(run.Path() / "trelvane.db");
        ASSERT_TRUE(reader.ok());
        auto open = reader->OpenArrivals();
        ASSERT_TRUE(open.ok());
        EXPECT_TRUE(open->empty()) << open->size() << " arrivals never departed";
        port = FreePort();
    }
}

// A FIFO named like the day's log must not stop the parse thread: reads go on being recorded
// (in the tables, so in the export) and the daemon stops promptly on SIGTERM.
// A server killed during a flood leaves a history that opens with what it had committed; the
// next run numbers on without reusing a number and departs the arrivals left open.
TEST_F(DaemonHardeningTest, SigkillDuringAFloodLeavesAHistoryTheNextRunContinues) {
    TempFolder run;
    WriteServiceConfig(run.Path(), port, 0);
    const std::filesystem::path db = run.Path() / "trelvane.db";
    const auto flood = [&](ChildProcess& server, ChildProcess& sim) {
        EXPECT_TRUE(sim.Start(
            SimPath(), {QStringLiteral("--port"), QString::number(port),
                        QStringLiteral("--readers"), QStringLiteral("3"), QStringLiteral("--rate"),
                        QStringLiteral("0"), QStringLiteral("--tags"), QStringLiteral("500")}));
        EXPECT_TRUE(WaitUntil(
            [&] {
                const QByteArray out = server.Out();
                const qsizetype at = out.lastIndexOf(" reads=");
                return at >= 0 && out.mid(at + 7, 2) != "0 ";
            },
            30000))
            << server.Out().right(400).toStdString();
        WaitUntil([] { return false; }, 700);
    };
    const QStringList args{QStringLiteral("-C"), QString::fromStdString(run.Path().string())};

    std::uint64_t killedAt = 0;
    std::map<std::uint32_t, long> first;
    {
        ChildProcess server;
        ASSERT_TRUE(server.Start(DaemonPath(), args));
        ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
        ChildProcess sim;
        flood(server, sim);
        server.Signal(SIGKILL);
        ASSERT_TRUE(server.WaitForExit(5000));
        sim.Signal(SIGTERM);
        sim.WaitForExit(5000);
        first = HistoryCounts(db, &killedAt);
        ASSERT_FALSE(first.empty()) << "the batches committed before the kill are there";
        ASSERT_GT(killedAt, 0u);
    }
    port = FreePort();
    WriteServiceConfig(run.Path(), port, 0);
    ChildProcess server;
    ASSERT_TRUE(server.Start(DaemonPath(), args));
    ASSERT_TRUE(server.WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    ChildProcess sim;
    flood(server, sim);
    server.Signal(SIGTERM);
    ASSERT_TRUE(server.WaitForExit(10000));
    EXPECT_EQ(server.ExitCode(), 0) << server.Err().toStdString();
    sim.Signal(SIGTERM);
    sim.WaitForExit(5000);
    EXPECT_TRUE(server.Err().contains("arrivals left open by an earlier run departed") ||
                server.Out().contains("arrivals left open by an earlier run departed"))
        << server.Err().toStdString();

    std::uint64_t last = 0;
    const auto both = HistoryCounts(db, &last);  // checks that numbers only grow
    EXPECT_GT(last, killedAt);
    long before = 0;
    long after = 0;
    for (const auto& [tag, count] : first) {
        before += count;
    }
    for (const auto& [tag, count] : both) {
        after += count;
    }
    EXPECT_GT(after, before) << "the second run's reads came on top of the first's";
    auto reader = history::Reader::Open(db);
    ASSERT_TRUE(reader.ok());
    history::Filter fromSecondRun;
    fromSecondRun.afterSeq = killedAt;
    fromSecondRun.limit = 10;
    auto newer = reader->Reads(fromSecondRun);
    ASSERT_TRUE(newer.ok());
    EXPECT_FALSE(newer->empty()) << "the second run numbered on from the first's last number";
    auto open = reader->OpenArrivals();
    ASSERT_TRUE(open.ok());
    EXPECT_TRUE(open->empty()) << open->size() << " arrivals never departed";
}

TEST_F(DaemonHardeningTest, AFifoForADayLogBlocksNothing) {
    for (const QDateTime& day :
         {QDateTime::currentDateTime(), QDateTime::currentDateTime().addDays(1)}) {
        ASSERT_EQ(::mkfifo((dir.Path() / DayLogName(day)).c_str(), 0644), 0);
    }
    WriteServiceConfig(dir.Path(), port, 1);
    const std::filesystem::path exportFile = dir.Path() / "export.txt";
    ASSERT_TRUE(StartDaemon(
        {}, {QStringLiteral("--export-on-exit"), QString::fromStdString(exportFile.string())}));
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(
        SimPath(), {QStringLiteral("--port"), QString::number(port), QStringLiteral("--readers"),
                    QStringLiteral("2"), QStringLiteral("--rate"), QStringLiteral("200")}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const QByteArray out = daemon.Out();
            const qsizetype at = out.lastIndexOf(" reads=");
            return at >= 0 && out.mid(at + 7, 2) != "0 ";
        },
        30000))
        << daemon.Out().toStdString();
    QElapsedTimer stopping;
    stopping.start();
    daemon.Signal(SIGTERM);
    ASSERT_TRUE(daemon.WaitForExit(5000));
    EXPECT_LT(stopping.elapsed(), 2000);
    EXPECT_EQ(daemon.ExitCode(), 0);
    EXPECT_TRUE(daemon.Err().contains("Open file failed")) << daemon.Err().toStdString();
    EXPECT_FALSE(ExportCounts(ReadFile(exportFile)).empty()) << "reads were still recorded";
    sim.Signal(SIGTERM);
    sim.WaitForExit(5000);
}

}  // namespace
}  // namespace trelvane::test
