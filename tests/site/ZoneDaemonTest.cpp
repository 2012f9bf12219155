// Zones in the real trelvaned with simulated readers: a zone changed while reads flow applies at
// once, a SIGKILL and restart make no enter for tags still in their zone, and the exits of tags
// that went while the service was down are not lost.
#include <gtest/gtest.h>

#include <QDateTime>
#include <fstream>
#include <map>
#include <set>

#include "hardening/DaemonProcess.h"
#include "history/Reader.h"
#include "site/Register.h"
#include "support/TempFolder.h"

namespace trelvane::test {
namespace {

using events::ZoneEventKind;

constexpr int kTags = 4;

void WriteConfig(const std::filesystem::path& dir, quint16 port, int exitAfter) {
    WriteServiceConfig(dir, port, 0);
    std::ofstream(dir / "SysConf.ini", std::ios::binary | std::ios::app)
        << "[Site]\r\nExitAfter=" << exitAfter << "\r\n";
}

std::vector<history::ZoneRow> ZoneEvents(const std::filesystem::path& db) {
    auto reader = history::Reader::Open(db);
    if (!reader) {
        return {};
    }
    history::Filter all;
    all.limit = 100000;
    auto rows = reader->Zones(all);
    return rows ? rows.value() : std::vector<history::ZoneRow>{};
}

std::size_t Count(const std::vector<history::ZoneRow>& rows, ZoneEventKind kind,
                  const std::string& zone, Sequence afterSeq = 0) {
    std::set<std::uint32_t> tags;
    for (const auto& r : rows) {
        if (r.kind == kind && r.zone == zone && r.seq > afterSeq) {
            tags.insert(r.tag);
        }
    }
    return tags.size();
}

std::int64_t LastReadOf(const std::filesystem::path& db, std::uint32_t tag) {
    auto reader = history::Reader::Open(db);
    history::Filter f;
    f.tag = tag;
    f.limit = 1000;
    std::int64_t last = 0;
    for (;;) {
        auto rows = reader->Reads(f);
        if (!rows || rows->empty()) {
            return last;
        }
        last = std::max(last, rows->back().timeMs);
        f.afterSeq = rows->back().seq;
    }
}

TEST(ZoneDaemonTest, ZonesApplyLiveSurviveAKillAndLoseNoExit) {
    TempFolder dir;
    const quint16 port = FreePort();
    WriteConfig(dir.Path(), port, 40);
    const std::filesystem::path db = dir.Path() / "trelvane.db";
    site::Fault fault;
    const auto site = site::Register::Open(dir.Path() / "site.db", fault);
    ASSERT_TRUE(site) << fault.text;
    ASSERT_FALSE(site->SetZone("Dock A", {"R01", "R02"}));

    const QStringList daemonArgs{QStringLiteral("-C"), QString::fromStdString(dir.Path().string())};
    auto server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->Start(DaemonPath(), daemonArgs));
    ASSERT_TRUE(server->WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(SimPath(), {QStringLiteral("--port"), QString::number(port),
                                      QStringLiteral("--readers"), QStringLiteral("2"),
                                      QStringLiteral("--rate"), QStringLiteral("20"),
                                      QStringLiteral("--tags"), QString::number(kTags),
                                      QStringLiteral("--reconnect"), QStringLiteral("1"),
                                      QStringLiteral("--quiet")}));
    // The start-up dialogue takes about 15 s before the first read.
    ASSERT_TRUE(WaitUntil(
        [&] { return Count(ZoneEvents(db), ZoneEventKind::kEnter, "Dock A") == kTags; }, 40000))
        << server->Out().toStdString();

    // A zone removed and another made while reads flow: the tags exit at once and enter the
    // new zone at their next reads.
    ASSERT_FALSE(site->RemoveZone("Dock A"));
    ASSERT_FALSE(site->SetZone("Dock B", {"R01", "R02"}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto rows = ZoneEvents(db);
            return Count(rows, ZoneEventKind::kExit, "Dock A") == kTags &&
                   Count(rows, ZoneEventKind::kEnter, "Dock B") == kTags;
        },
        3000));

    // Killed and started again while the readers read on: the tags are still in Dock B.
    server->Signal(SIGKILL);
    ASSERT_TRUE(server->WaitForExit(5000));
    Sequence lastBefore = 0;
    for (const auto& r : ZoneEvents(db)) {
        lastBefore = std::max(lastBefore, r.seq);
    }
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->Start(DaemonPath(), daemonArgs));
    ASSERT_TRUE(server->WaitForOutput(QByteArrayLiteral("listening on"), 10000));
    const std::int64_t restartedMs = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (std::uint32_t t = 0; t < kTags; ++t) {
                if (LastReadOf(db, 12345678 + t) < restartedMs + 2000) {
                    return false;
                }
            }
            return true;
        },
        40000))
        << "the readers did not read again after the restart";
    for (const auto& r : ZoneEvents(db)) {
        EXPECT_LE(r.seq, lastBefore) << "a zone event after the restart: tag " << r.tag << " "
                                     << events::Name(r.kind) << " " << r.zone;
    }

    // Killed again; the readers go for good; started with a short ExitAfter: every stay exits,
    // timed from the last read the history had of it.
    server->Signal(SIGKILL);
    ASSERT_TRUE(server->WaitForExit(5000));
    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.WaitForExit(10000));
    WriteConfig(dir.Path(), port, 1);
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->Start(DaemonPath(), daemonArgs));
    ASSERT_TRUE(WaitUntil(
        [&] { return Count(ZoneEvents(db), ZoneEventKind::kExit, "Dock B") == kTags; }, 5000))
        << server->Out().toStdString();
    for (const auto& r : ZoneEvents(db)) {
        if (r.kind != ZoneEventKind::kExit || r.zone != "Dock B") {
            continue;
        }
        const std::int64_t lastRead = LastReadOf(db, r.tag);
        // Recorded every 5 s of reads: at most that stale, never ahead of the last read.
        EXPECT_LE(r.lastSeenMs, lastRead);
        EXPECT_GE(r.lastSeenMs, lastRead - 5100);
        EXPECT_EQ(r.timeMs, r.lastSeenMs + 1000);
    }
}

}  // namespace
}  // namespace trelvane::test
