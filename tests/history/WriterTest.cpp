#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "history/HistoryTestSupport.h"
#include "history/Reader.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using test::AllPages;
using test::BatchBuilder;
using test::HistoryDir;
using test::Model;
using test::OpenReader;
using test::OpenWriter;

constexpr std::int64_t kT0 = 1796000000000;  // 2026-11-30, a whole minute

std::vector<ReadRow> AllReads(Reader& reader, Filter f = {}) {
    return AllPages([&](const Filter& g) { return reader.Reads(g); }, f, 1000);
}

TEST(HistoryWriterTest, BatchesAppendAndLastSequenceSurvivesReopen) {
    HistoryDir dir;
    Model model;
    std::string id;
    {
        Writer w = OpenWriter({dir.Db()});
        EXPECT_EQ(w.LastSequence(), 0u);
        id = w.HistoryId();
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);

        BatchBuilder b;
        b.AddDevice(1, kT0, DeviceEventKind::kConnected, "10.0.0.5:4001", "10.0.0.5:4001");
        b.AddDevice(2, kT0 + 5, DeviceEventKind::kNamed, "Gate 1", "10.0.0.5:4001");
        b.AddRead(3, kT0 + 10, 0xDEADBEEF, "Gate 1", "10.0.0.5:4001",
                  ReaderTime{26, 11, 30, 8, 0, 1});
        b.AddPresence(4, kT0 + 10, 0xDEADBEEF, PresenceKind::kArrive, "Gate 1", "10.0.0.5:4001");
        b.AddRead(5, kT0 + 20, 7, "Gate 1", "10.0.0.5:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
        EXPECT_EQ(w.LastSequence(), 5u);

        // Kinds may interleave their numbers across the spans of one batch.
        b.Clear();
        b.AddRead(6, kT0 + 30, 7, "Gate 1", "10.0.0.5:4001");
        b.AddRead(8, kT0 + 40, 7, "Gate 1", "10.0.0.5:4001");
        b.AddDevice(7, kT0 + 35, DeviceEventKind::kReadingStarted, "Gate 1", "10.0.0.5:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
        EXPECT_EQ(w.LastSequence(), 8u);
        const WriterCounters c = w.Counters();
        EXPECT_EQ(c.reads, 4u);
        EXPECT_EQ(c.deviceEvents, 3u);
        EXPECT_EQ(c.presenceEvents, 1u);
        EXPECT_EQ(c.duplicates, 0u);
        EXPECT_GT(c.bytesOnDisk, 0);
    }
    Writer w = OpenWriter({dir.Db()});
    EXPECT_EQ(w.LastSequence(), 8u);
    EXPECT_EQ(w.HistoryId(), id);

    // A resend after a restart: what is stored already is skipped, the rest is taken.
    BatchBuilder again;
    again.AddRead(8, kT0 + 40, 7, "Gate 1", "10.0.0.5:4001");
    again.AddRead(9, kT0 + 50, 7, "Gate 1", "10.0.0.5:4001");
    ASSERT_TRUE(w.Append(again.Batch()).ok());
    EXPECT_EQ(w.Counters().duplicates, 1u);
    EXPECT_EQ(w.Counters().reads, 1u);
    EXPECT_EQ(w.LastSequence(), 9u);
    model.reads.push_back(model.reads.back());
    model.reads.back().seq = 9;
    model.reads.back().timeMs = kT0 + 50;

    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.HistoryId(), id);
    EXPECT_EQ(r.LastSequence().value(), 9u);
    EXPECT_EQ(AllReads(r), Model::Select(model.reads, test::Unlimited()));
    EXPECT_EQ(r.Devices(Filter{}).value(), Model::Select(model.devices, Filter{}));
    EXPECT_EQ(r.Presence(Filter{}).value(), Model::Select(model.presence, Filter{}));
    ASSERT_EQ(AllReads(r).front().readerTime, (ReaderTime{26, 11, 30, 8, 0, 1}));
}

TEST(HistoryWriterTest, SecondWriterIsLockedReadersAreNot) {
    HistoryDir dir;
    std::optional<Writer> first = OpenWriter({dir.Db()});
    BatchBuilder b;
    b.AddRead(1, kT0, 1, "r", "d");
    ASSERT_TRUE(first->Append(b.Batch()).ok());

    Result<Writer> second = Writer::Open({dir.Db()});
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().code, ErrorCode::kLocked);
    EXPECT_NE(second.error().text.find("locked by another process"), std::string::npos)
        << second.error().text;

    // A reader opened and closed meanwhile must not drop the writer's locks.
    {
        Reader r = OpenReader(dir.Db());
        EXPECT_EQ(AllReads(r).size(), 1u);
    }
    b.Clear();
    b.AddRead(2, kT0 + 1, 1, "r", "d");
    ASSERT_TRUE(first->Append(b.Batch()).ok());
    EXPECT_EQ(Writer::Open({dir.Db()}).error().code, ErrorCode::kLocked);

    // A writer in another process fails the same way.
    const pid_t child = ::fork();
    if (child == 0) {
        Result<Writer> other = Writer::Open({dir.Db()});
        ::_exit(!other.ok() && other.error().code == ErrorCode::kLocked ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    first.reset();
    Result<Writer> after = Writer::Open({dir.Db()});
    ASSERT_TRUE(after.ok()) << after.error().text;
    EXPECT_EQ(after->LastSequence(), 2u);
}

TEST(HistoryWriterTest, OpenFailuresSayWhy) {
    HistoryDir dir;
    // A folder that cannot exist: its parent is a file.
    std::ofstream(dir.Path() / "file") << "x";
    Result<Writer> w = Writer::Open({dir.Path() / "file" / "trelvane.db"});
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().code, ErrorCode::kUnwritable) << w.error().text;

    std::ofstream(dir.Path() / "junk.db", std::ios::binary) << std::string(8192, 'j');
    w = Writer::Open({dir.Path() / "junk.db"});
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().code, ErrorCode::kCorrupt) << w.error().text;
    Result<Reader> r = Reader::Open(dir.Path() / "junk.db");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::kCorrupt) << r.error().text;

    // Some other program's SQLite database.
    sqlite3* h = nullptr;
    sqlite3_open((dir.Path() / "other.db").c_str(), &h);
    sqlite3_exec(h, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(h);
    w = Writer::Open({dir.Path() / "other.db"});
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().code, ErrorCode::kCorrupt);
    EXPECT_NE(w.error().text.find("not a Trelvane history"), std::string::npos) << w.error().text;
    EXPECT_EQ(Reader::Open(dir.Path() / "other.db").error().code, ErrorCode::kCorrupt);

    // A reader never creates a database.
    r = Reader::Open(dir.Path() / "missing.db");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::kNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing.db"));
}

TEST(HistoryWriterTest, FailedBatchStoresNothingAndWriterGoesOn) {
    HistoryDir dir;
    Writer w = OpenWriter({dir.Db()});
    BatchBuilder b;
    b.AddRead(1, kT0, 5, "new reader", "10.0.0.9:1");
    ASSERT_TRUE(w.Append(b.Batch()).ok());

    b.Clear();
    b.AddRead(2, kT0 + 1, 5, "another new reader", "10.0.0.9:2");
    b.AddRead(3, kT0 + 2, 5, "new reader", "10.0.0.9:1");
    b.AddRead(3, kT0 + 3, 6, "new reader", "10.0.0.9:1");  // used twice
    const Status st = w.Append(b.Batch());
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, ErrorCode::kBadInput);
    EXPECT_NE(st.error().text.find("sequence number 3 is used twice"), std::string::npos)
        << st.error().text;
    EXPECT_EQ(w.LastSequence(), 1u);

    // The reader inserted by the failed batch was rolled back: the writer must not reuse its id.
    b.Clear();
    b.AddRead(2, kT0 + 4, 8, "another new reader", "10.0.0.9:2");
    b.AddDevice(3, kT0 + 5, DeviceEventKind::kRemoved, "another new reader", "10.0.0.9:2");
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    Reader r = OpenReader(dir.Db());
    const std::vector<ReadRow> rows = AllReads(r);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].reader, "another new reader");
    EXPECT_EQ(rows[1].tag, 8u);
    ASSERT_EQ(r.Devices({}).value().size(), 1u);
    EXPECT_EQ(r.Devices({}).value()[0].reader, "another new reader");
}

// Large batches go in statements of many rows: a failure inside such a group still names the
// number and stores nothing of the batch, and every field of every row comes back.
TEST(HistoryWriterTest, LargeBatchesStoreEveryRowExactlyOrNothing) {
    HistoryDir dir;
    Writer w = OpenWriter({dir.Db()});
    const std::string names[] = {"Dock A", "Dock B", "门 3"};
    const auto build = [&](BatchBuilder& b, std::uint64_t dupAt) {
        b.Clear();
        for (std::uint64_t seq = 1; seq <= 300; ++seq) {
            std::optional<ReaderTime> at;
            if (seq % 4 == 0) {
                at = ReaderTime{26, 12, 8, 9, static_cast<std::uint8_t>(seq % 60), 1};
            }
            // Three minutes of reads, ten tags, three readers: rollup rows of many sizes.
            b.AddRead(seq == dupAt ? seq - 1 : seq, kT0 + static_cast<std::int64_t>(seq) * 600,
                      static_cast<std::uint32_t>(seq % 10), names[seq % 3],
                      "10.1.1." + std::to_string(seq % 3) + ":4001", at);
        }
    };
    BatchBuilder b;
    build(b, 130);  // inside the third group of rows
    const Status st = w.Append(b.Batch());
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.error().text.find("sequence number 129 is used twice"), std::string::npos)
        << st.error().text;
    EXPECT_EQ(w.LastSequence(), 0u);
    {
        Reader before = OpenReader(dir.Db());
        EXPECT_TRUE(AllReads(before).empty());
    }

    build(b, 0);
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    Reader r = OpenReader(dir.Db());
    const std::vector<ReadRow> rows = AllReads(r);
    ASSERT_EQ(rows.size(), 300u);
    for (std::uint64_t seq = 1; seq <= 300; ++seq) {
        const ReadRow& row = rows[seq - 1];
        ASSERT_EQ(row.seq, seq);
        EXPECT_EQ(row.timeMs, kT0 + static_cast<std::int64_t>(seq) * 600);
        EXPECT_EQ(row.tag, seq % 10);
        EXPECT_EQ(row.reader, names[seq % 3]);
        EXPECT_EQ(row.readerTime.has_value(), seq % 4 == 0) << seq;
    }
    // Tag queries go through the rollup, which was written in the same kind of statements.
    Filter oneTag;
    oneTag.tag = 7;
    oneTag.limit = 1000;
    const std::vector<ReadRow> tagRows = r.Reads(oneTag).value();
    ASSERT_EQ(tagRows.size(), 30u);
    for (const ReadRow& row : tagRows) {
        EXPECT_EQ(row.tag, 7u);
        EXPECT_EQ(row, rows[row.seq - 1]);
    }
}

// The child appends batches of kBatchReads reads and one device event, and after each commit
// writes the batch's last number to the pipe; it is killed mid-stream.
constexpr int kBatchReads = 400;

[[noreturn]] void AppendForever(const std::filesystem::path& db, int out) {
    Result<Writer> opened = Writer::Open({db});
    if (!opened.ok()) {
        ::_exit(3);
    }
    Writer& w = opened.value();
    std::uint64_t seq = w.LastSequence();
    const std::string names[] = {"Dock A", "Dock B", "门 3"};
    for (std::uint64_t batch = 0;; ++batch) {
        BatchBuilder b;
        for (int i = 0; i < kBatchReads; ++i) {
            ++seq;
            // ~20 s of read time per batch: the rollup flushes at minute ends and in between.
            b.AddRead(seq, kT0 + static_cast<std::int64_t>(seq) * 50,
                      static_cast<std::uint32_t>(seq * 7919 % 97), names[seq % 3],
                      "10.1.1." + std::to_string(seq % 3) + ":4001");
        }
        ++seq;
        b.AddDevice(seq, kT0 + static_cast<std::int64_t>(seq) * 50,
                    DeviceEventKind::kReadingStarted, names[0], "10.1.1.0:4001");
        if (!w.Append(b.Batch()).ok()) {
            ::_exit(4);
        }
        const std::uint64_t done = seq;
        if (::write(out, &done, sizeof done) != sizeof done) {
            ::_exit(5);
        }
    }
}

TEST(HistoryWriterTest, KilledWriterLeavesWholeBatchesAndContinues) {
    HistoryDir dir;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        AppendForever(dir.Db(), fds[1]);
    }
    ::close(fds[1]);
    // Wait (bounded) for a number of commits, then kill without warning.
    std::uint64_t reported = 0;
    int commits = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (commits < 25 && std::chrono::steady_clock::now() < deadline) {
        std::uint64_t v = 0;
        if (::read(fds[0], &v, sizeof v) != sizeof v) {
            break;
        }
        reported = v;
        ++commits;
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(fds[0]);
    ASSERT_EQ(commits, 25);
    ASSERT_TRUE(WIFSIGNALED(status));

    constexpr std::uint64_t kPerBatch = kBatchReads + 1;
    std::uint64_t last = 0;
    {
        Writer w = OpenWriter({dir.Db()});
        last = w.LastSequence();
        // Batches committed after the last report may be there, never a part of one.
        EXPECT_GE(last, reported);
        EXPECT_EQ(last % kPerBatch, 0u) << last;
    }
    Reader r = OpenReader(dir.Db());
    const std::vector<ReadRow> reads = AllReads(r);
    const std::vector<DeviceRow> devices =
        AllPages([&](const Filter& f) { return r.Devices(f); }, Filter{}, 1000);
    ASSERT_EQ(reads.size(), last / kPerBatch * kBatchReads);
    ASSERT_EQ(devices.size(), last / kPerBatch);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        ASSERT_EQ(reads[i].seq, i + 1 + i / kBatchReads);
    }
    // Tag queries see the reads whose rollup only the killed process held.
    for (const std::uint32_t tag : {0u, 13u, 96u}) {
        std::vector<ReadRow> expected;
        for (const ReadRow& row : reads) {
            if (row.tag == tag) {
                expected.push_back(row);
            }
        }
        EXPECT_EQ(AllReads(r, test::TagFilter(tag)), expected) << tag;
    }
    // The next writer continues after the last committed number.
    Writer w = OpenWriter({dir.Db()});
    BatchBuilder b;
    b.AddRead(last + 1, kT0 + 1'000'000'000, 1, "Dock A", "10.1.1.0:4001");
    ASSERT_TRUE(w.Append(b.Batch()).ok());
    EXPECT_EQ(w.LastSequence(), last + 1);
}

TEST(HistoryWriterTest, WithoutReadsEventsAndRollupStay) {
    HistoryDir dir;
    {
        Writer w = OpenWriter({dir.Db(), /*keepReads=*/false});
        BatchBuilder b;
        b.AddPresence(1, kT0, 42, PresenceKind::kArrive, "Gate", "d:1");
        b.AddRead(2, kT0, 42, "Gate", "d:1");
        b.AddRead(3, kT0 + 61'000, 42, "Gate", "d:1");
        b.AddPresence(4, kT0 + 62'000, 43, PresenceKind::kArrive, "Gate", "d:1");
        b.AddRead(5, kT0 + 62'000, 43, "Gate", "d:1");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        b.Clear();
        b.AddRead(6, kT0 + 70'500, 42, "Gate", "d:1");
        b.AddRead(7, kT0 + 71'000, 43, "Gate", "d:1");
        b.AddPresence(8, kT0 + 75'000, 43, PresenceKind::kDepart, "Gate", "d:1");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        EXPECT_EQ(w.Counters().reads, 5u);
        EXPECT_EQ(w.LastSequence(), 8u);
    }
    Reader r = OpenReader(dir.Db());
    EXPECT_TRUE(r.Reads({}).value().empty());
    EXPECT_EQ(r.Presence({}).value().size(), 3u);
    const std::vector<OpenArrival> open = r.OpenArrivals().value();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].tag, 42u);
    EXPECT_EQ(open[0].seq, 1u);
    EXPECT_EQ(open[0].lastReadMs, kT0 + 70'500);  // the rollup's last read, stored per batch
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT sum(count) FROM tag_minutes"), 5);
}

// The open arrivals are brought up to date once per pair and batch, to what the pair's last
// event leaves, whatever order the batch lists them in: arrive-depart, depart-arrive, arrive
// again after a depart, a depart of an arrival of an earlier batch, several readers per tag.
TEST(HistoryWriterTest, OpenArrivalsFollowTheLastEventOfEachPair) {
    HistoryDir dir;
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddPresence(1, kT0, 7, PresenceKind::kArrive, "A", "d:1");
        b.AddPresence(2, kT0, 9, PresenceKind::kArrive, "A", "d:1");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        b.Clear();
        // Listed out of sequence order on purpose: sequence decides.
        b.AddPresence(8, kT0 + 5'000, 7, PresenceKind::kArrive, "A", "d:1");
        b.AddPresence(3, kT0 + 1'000, 7, PresenceKind::kDepart, "A", "d:1");
        b.AddPresence(4, kT0 + 1'000, 9, PresenceKind::kDepart, "A", "d:1");
        b.AddPresence(5, kT0 + 2'000, 11, PresenceKind::kArrive, "A", "d:1");
        b.AddPresence(6, kT0 + 3'000, 11, PresenceKind::kDepart, "A", "d:1");
        b.AddPresence(7, kT0 + 4'000, 11, PresenceKind::kArrive, "B", "d:2");
        b.AddPresence(9, kT0 + 6'000, 12, PresenceKind::kArrive, "A", "d:1");
        b.AddPresence(10, kT0 + 6'500, 12, PresenceKind::kDepart, "A", "d:1");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.Presence({}).value().size(), 10u);
    std::vector<std::tuple<std::uint32_t, std::string, std::uint64_t>> open;
    const Result<std::vector<OpenArrival>> arrivals = r.OpenArrivals();
    ASSERT_TRUE(arrivals.ok());
    for (const OpenArrival& a : arrivals.value()) {
        open.emplace_back(a.tag, a.reader, a.seq);
    }
    std::sort(open.begin(), open.end());
    EXPECT_EQ(open, (std::vector<std::tuple<std::uint32_t, std::string, std::uint64_t>>{
                        {7, "A", 8}, {11, "B", 7}}));
}

TEST(HistoryWriterTest, UsableFromAnotherThread) {
    HistoryDir dir;
    Writer w = OpenWriter({dir.Db()});
    std::thread sink([&] {
        BatchBuilder b;
        for (std::uint64_t s = 1; s <= 100; ++s) {
            b.AddRead(s, kT0 + static_cast<std::int64_t>(s), 3, "r", "d");
        }
        EXPECT_TRUE(w.Append(b.Batch()).ok());
    });
    sink.join();
    EXPECT_EQ(w.LastSequence(), 100u);
}

}  // namespace
}  // namespace trelvane::history
