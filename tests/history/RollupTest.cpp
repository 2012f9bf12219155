// The rollup of version 3 (a row per tag and minute over all its readers): its reader lists,
// the rows one flush writes, tag queries with reader filters when several readers share a
// tag's minute, open arrivals after a kill, and the upgrade of version 1, 2, 3 and 4 files.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <variant>

#include "history/HistoryTestSupport.h"
#include "history/Reader.h"
#include "history/Schema.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using schema::MinuteOf;
using schema::ReaderLast;
using test::AllPages;
using test::BatchBuilder;
using test::HistoryDir;
using test::Model;
using test::OpenReader;
using test::OpenWriter;

constexpr std::int64_t kMinute0 = 29933334;  // 2026-11-30
constexpr std::int64_t kM0 = kMinute0 * schema::kMinuteMs;

std::vector<ReadRow> AllReads(Reader& reader, Filter f, std::size_t page = 1000) {
    return AllPages([&](const Filter& g) { return reader.Reads(g); }, f, page);
}

// A read-write connection of the test's own, for what the library does not show.
class Sql {
  public:
    explicit Sql(const std::filesystem::path& db) {
        EXPECT_EQ(sqlite3_open(db.c_str(), &db_), SQLITE_OK);
    }
    ~Sql() { sqlite3_close(db_); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;

    void Exec(const std::string& text) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error ? error : "") << "\n"
            << text;
    }
    // Runs `text` with ?1.. bound to `args`.
    using Arg = std::variant<std::int64_t, std::vector<std::uint8_t>, std::nullptr_t>;
    void Run(const char* text, const std::vector<Arg>& args) {
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db_, text, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        for (std::size_t i = 0; i < args.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            if (const auto* v = std::get_if<std::int64_t>(&args[i])) {
                sqlite3_bind_int64(s, at, *v);
            } else if (const auto* b = std::get_if<std::vector<std::uint8_t>>(&args[i])) {
                // An empty list is still a blob, not NULL (which a null pointer would bind).
                static const std::uint8_t kNothing = 0;
                sqlite3_bind_blob(s, at, b->empty() ? &kNothing : b->data(),
                                  static_cast<int>(b->size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(s, at);
            }
        }
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(db_);
        sqlite3_finalize(s);
    }
    // Every row of a query, its columns as integers or blobs.
    std::vector<std::vector<Arg>> Rows(const std::string& text) {
        std::vector<std::vector<Arg>> rows;
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, text.c_str(), -1, &s, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db_);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
            auto& row = rows.emplace_back();
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                if (sqlite3_column_type(s, c) == SQLITE_BLOB) {
                    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, c));
                    row.emplace_back(std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(s, c)));
                } else if (sqlite3_column_type(s, c) == SQLITE_NULL) {
                    row.emplace_back(nullptr);
                } else {
                    row.emplace_back(std::int64_t{sqlite3_column_int64(s, c)});
                }
            }
        }
        sqlite3_finalize(s);
        return rows;
    }

  private:
    sqlite3* db_ = nullptr;
};

struct Place {
    std::string name;
    std::string device;
};

// Two readers share a name on different devices; one is known by its device key only.
const std::vector<Place> kPlaces = {
    {"Gate 1", "10.0.0.1:4001"},  {"Gate 1", "10.0.0.2:4001"},        {"Dock", "10.0.0.3:4001"},
    {"门禁 北", "10.0.0.4:4001"}, {"10.0.0.5:4001", "10.0.0.5:4001"},
};
const std::vector<std::string> kReaderFilters = {
    "Gate 1", "10.0.0.2:4001", "Dock", "门禁 北", "10.0.0.5:4001", "nobody",
};

// What OpenArrivals must return for what was appended: per undeparted arrival, the last read
// of its tag at its reader in the arrival's minute or later.
std::vector<OpenArrival> ExpectedOpen(const Model& model) {
    std::map<std::tuple<std::uint32_t, std::string, std::string>, PresenceRow> last;
    for (const PresenceRow& p : model.presence) {
        auto& slot = last[{p.tag, p.reader, p.device}];
        if (slot.seq < p.seq) {
            slot = p;
        }
    }
    std::vector<OpenArrival> expected;
    for (const auto& [key, p] : last) {
        if (p.kind != PresenceKind::kArrive) {
            continue;
        }
        OpenArrival a{p.tag, p.reader, p.device, p.seq, p.timeMs, std::nullopt};
        for (const ReadRow& r : model.reads) {
            if (r.tag == p.tag && r.reader == p.reader && r.device == p.device &&
                MinuteOf(r.timeMs) >= MinuteOf(p.timeMs)) {
                a.lastReadMs = std::max(a.lastReadMs.value_or(INT64_MIN), r.timeMs);
            }
        }
        expected.push_back(a);
    }
    std::sort(expected.begin(), expected.end(),
              [](const OpenArrival& a, const OpenArrival& b) { return a.seq < b.seq; });
    return expected;
}

// Tag queries, alone and with each reader filter, whole and in pages, over all time and over
// windows whose edges fall inside minutes; every answer against the model.
void ExpectTagQueriesMatch(Reader& r, const Model& model, const std::set<std::uint32_t>& tags) {
    std::vector<std::optional<std::string>> readers{std::nullopt};
    readers.insert(readers.end(), kReaderFilters.begin(), kReaderFilters.end());
    const std::vector<std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>> windows =
        {{std::nullopt, std::nullopt},
         {kM0 + 61'500, std::nullopt},
         {kM0 + 30'000, kM0 + 150'250},
         {std::nullopt, kM0 + 119'999}};
    for (const std::uint32_t tag : tags) {
        for (const auto& reader : readers) {
            for (const auto& [since, until] : windows) {
                Filter f = test::TagFilter(tag);
                f.reader = reader;
                f.sinceMs = since;
                f.untilMs = until;
                SCOPED_TRACE(testing::Message()
                             << "tag " << tag << " reader " << reader.value_or("-") << " since "
                             << since.value_or(-1) << " until " << until.value_or(-1));
                const std::vector<ReadRow> expected = Model::Select(model.reads, test::Unlimited());
                std::vector<ReadRow> want;
                for (const ReadRow& row : expected) {
                    if (Model::Matches(row, f)) {
                        want.push_back(row);
                    }
                }
                ASSERT_EQ(AllReads(r, f, SIZE_MAX), want);
                ASSERT_EQ(AllReads(r, f, 3), want);
                for (const std::size_t limit : {SIZE_MAX, std::size_t{1}}) {
                    f.limit = limit;
                    const Result<std::vector<PresenceRow>> presence = r.Presence(f);
                    ASSERT_TRUE(presence.ok()) << presence.error().text;
                    ASSERT_EQ(presence.value(), Model::Select(model.presence, f));
                }
                f.limit = 1;
                const Result<std::vector<ReadRow>> first = r.Reads(f);
                ASSERT_TRUE(first.ok()) << first.error().text;
                ASSERT_EQ(first->size(), want.empty() ? 0u : 1u);
                if (!want.empty()) {
                    ASSERT_EQ(first->front(), want.front());
                }
            }
        }
    }
}

std::map<std::string, std::int64_t> ReaderIdsByDevice(const std::filesystem::path& db) {
    std::map<std::string, std::int64_t> ids;
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "SELECT id, device FROM readers", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        ids[reinterpret_cast<const char*>(sqlite3_column_text(s, 1))] = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    sqlite3_close(h);
    return ids;
}

TEST(HistoryRollupTest, ReaderListBytesAndDamage) {
    const std::int64_t minute = kMinute0;
    // Reader 1 at the minute's first millisecond, reader 130 (gap 129) 200 ms in.
    const std::vector<ReaderLast> two = {{1, kM0}, {130, kM0 + 200}};
    std::vector<std::uint8_t> bytes;
    schema::EncodeReaderList(minute, two, bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x01, 0x00, 0x81, 0x01, 0xC8, 0x01}));
    std::vector<ReaderLast> decoded{{9, 9}};
    ASSERT_TRUE(schema::DecodeReaderList(minute, bytes, decoded));
    EXPECT_EQ(decoded, two);

    const std::vector<ReaderLast> wide = {
        {1, kM0 + 59'999}, {2, kM0}, {300, kM0 + 12'345}, {std::int64_t{1} << 40, kM0 + 7}};
    schema::EncodeReaderList(minute, wide, bytes);
    ASSERT_TRUE(schema::DecodeReaderList(minute, bytes, decoded));
    EXPECT_EQ(decoded, wide);

    ASSERT_TRUE(schema::DecodeReaderList(minute, {}, decoded));
    EXPECT_TRUE(decoded.empty());

    const std::vector<std::vector<std::uint8_t>> damaged = {
        {0x01},                    // a reader without its time
        {0x01, 0x80},              // a time cut inside its varint
        {0x01, 0xE0, 0xD4, 0x03},  // 60,000 ms: outside the minute
        {0x01, 0x00, 0x00, 0x05},  // the same reader twice
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00},  // too long
    };
    for (const auto& d : damaged) {
        EXPECT_FALSE(schema::DecodeReaderList(minute, d, decoded)) << d.size();
    }
    // A damaged row's minute so far out that its times would overflow.
    const std::vector<std::uint8_t> one = {0x01, 0x0A};
    EXPECT_FALSE(schema::DecodeReaderList(INT64_MAX / 60000, one, decoded));
    EXPECT_FALSE(schema::DecodeReaderList(-0x00FEFFFFFFFFFFFF, one, decoded));
}

TEST(HistoryRollupTest, OneFlushWritesARowPerTagNotPerReader) {
    HistoryDir dir;
    constexpr int kReaders = 50;
    constexpr std::uint32_t kTagCount = 40;
    std::vector<Place> places;
    for (int i = 0; i < kReaders; ++i) {
        places.push_back({"R" + std::to_string(i), "10.2.0." + std::to_string(i) + ":4001"});
    }
    // Every reader reads every tag three times in one minute, in a shuffled order.
    std::vector<std::tuple<int, std::uint32_t, std::int64_t>> plan;
    for (int p = 0; p < kReaders; ++p) {
        for (std::uint32_t t = 0; t < kTagCount; ++t) {
            for (int k = 0; k < 3; ++k) {
                plan.emplace_back(p, 1000 + t,
                                  kM0 + 100 + (p * 977 + t * 131 + k * 17'003) % 59'800);
            }
        }
    }
    std::mt19937 rng(99);
    std::shuffle(plan.begin(), plan.end(), rng);
    // (tag, device) -> its last read time.
    std::map<std::pair<std::uint32_t, std::string>, std::int64_t> lastAt;
    Model model;
    Writer w = OpenWriter({dir.Db()});
    std::uint64_t seq = 0;
    for (std::size_t at = 0; at < plan.size();) {
        BatchBuilder b;
        for (std::size_t i = 0; i < 1000 && at < plan.size(); ++i, ++at) {
            const auto& [p, tag, time] = plan[at];
            b.AddRead(++seq, time, tag, places[p].name, places[p].device);
            auto& last = lastAt[{tag, places[p].device}];
            last = std::max(last, time);
        }
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
    }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes"), 0);  // all open
    BatchBuilder next;
    next.AddRead(++seq, kM0 + 60'000, 1000, places[0].name, places[0].device);
    ASSERT_TRUE(w.Append(next.Batch()).ok());
    model.Take(next);

    const std::string minute = std::to_string(kMinute0);
    EXPECT_EQ(test::SqlInt(dir.Db(),
                           ("SELECT count(*) FROM tag_minutes WHERE minute = " + minute).c_str()),
              kTagCount);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT sum(count) FROM tag_minutes"),
              static_cast<std::int64_t>(plan.size()));
    // Each row lists every reader once with its own last read.
    const std::map<std::string, std::int64_t> ids = ReaderIdsByDevice(dir.Db());
    Sql sql(dir.Db());
    const auto rows =
        sql.Rows("SELECT tag, readers, count FROM tag_minutes WHERE minute = " + minute);
    ASSERT_EQ(rows.size(), kTagCount);
    for (const auto& row : rows) {
        const auto tag = static_cast<std::uint32_t>(std::get<std::int64_t>(row[0]));
        std::vector<ReaderLast> readers;
        ASSERT_TRUE(schema::DecodeReaderList(kMinute0, std::get<std::vector<std::uint8_t>>(row[1]),
                                             readers));
        std::vector<ReaderLast> expected;
        for (const Place& p : places) {
            expected.push_back({ids.at(p.device), lastAt.at({tag, p.device})});
        }
        std::sort(expected.begin(), expected.end(),
                  [](const ReaderLast& a, const ReaderLast& b) { return a.reader < b.reader; });
        EXPECT_EQ(readers, expected) << tag;
        EXPECT_EQ(std::get<std::int64_t>(row[2]), kReaders * 3);
    }
    Reader r = OpenReader(dir.Db());
    for (const std::uint32_t tag : {1000u, 1017u, 1039u}) {
        for (const char* reader : {"R0", "10.2.0.33:4001"}) {
            Filter f = test::TagFilter(tag);
            f.reader = reader;
            EXPECT_EQ(AllReads(r, f), Model::Select(model.reads,
                                                    [&] {
                                                        Filter g = f;
                                                        g.limit = SIZE_MAX;
                                                        return g;
                                                    }()))
                << tag << " " << reader;
        }
    }
}

TEST(HistoryRollupTest, ReadBoundFlushesStayBoundedByTags) {
    // 100 readers x 500 tags are 50,000 pairs: a rollup keyed by reader would write a row for
    // nearly every read; by tag, each of the minute's flushes writes at most 500.
    HistoryDir dir;
    constexpr int kReaders = 100;
    constexpr std::uint32_t kTagCount = 500;
    const std::size_t total = schema::kMaxOpenReads + 20'000;
    Writer w = OpenWriter({dir.Db()});
    Model model;
    std::uint64_t seq = 0;
    std::vector<std::string> names, devices;
    for (int i = 0; i < kReaders; ++i) {
        names.push_back("R" + std::to_string(i));
        devices.push_back("10.3.0." + std::to_string(i) + ":4001");
    }
    while (seq < total) {
        BatchBuilder b;
        for (int i = 0; i < 10'000 && seq < total; ++i) {
            ++seq;
            const auto tag = static_cast<std::uint32_t>(seq * 7919 % kTagCount);
            const auto reader = static_cast<std::size_t>(seq * 104729 % kReaders);
            b.AddRead(seq, kM0 + static_cast<std::int64_t>(seq * 59'000 / total), tag,
                      names[reader], devices[reader]);
        }
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
    }
    // The read bound flushed once mid-minute; the next minute flushes the rest.
    const std::int64_t midMinute = test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes");
    EXPECT_GT(midMinute, 0);
    EXPECT_LE(midMinute, kTagCount);
    BatchBuilder next;
    next.AddRead(++seq, kM0 + 60'000, 1, names[0], devices[0]);
    ASSERT_TRUE(w.Append(next.Batch()).ok());
    model.Take(next);
    const std::int64_t rows = test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes");
    EXPECT_LE(rows, 2 * kTagCount);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT sum(count) FROM tag_minutes"),
              static_cast<std::int64_t>(total));
    Reader r = OpenReader(dir.Db());
    for (const std::uint32_t tag : {0u, 1u, 499u}) {
        Filter f = test::TagFilter(tag);
        Filter g = f;
        g.limit = SIZE_MAX;
        EXPECT_EQ(AllReads(r, f), Model::Select(model.reads, g)) << tag;
        f.reader = g.reader = "R7";
        EXPECT_EQ(AllReads(r, f), Model::Select(model.reads, g)) << tag;
    }
}

// Reads of few tags by every reader within each minute, time jittered across minute edges,
// flushed by minutes and by a restart, the last ones left in the tail.
Model WriteSharedMinutes(const std::filesystem::path& db, bool restart) {
    Model model;
    std::mt19937 rng(4242);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::optional<Writer> w;
    w.emplace(OpenWriter({db}));
    std::uint64_t seq = 0;
    constexpr int kReads = 3000;
    for (int read = 0; read < kReads;) {
        BatchBuilder b;
        const int size = 1 + pick(300);
        for (int i = 0; i < size && read < kReads; ++i, ++read) {
            const std::int64_t time = kM0 + read * 80 + pick(4001) - 2000;
            const Place& p =
                kPlaces[static_cast<std::size_t>(pick(static_cast<int>(kPlaces.size())))];
            b.AddRead(++seq, time, static_cast<std::uint32_t>(7 + pick(4)), p.name, p.device);
        }
        EXPECT_TRUE(w->Append(b.Batch()).ok());
        model.Take(b);
        if (restart && read >= kReads / 2 && read - size < kReads / 2) {
            w.reset();
            w.emplace(OpenWriter({db}));
        }
    }
    return model;
}

TEST(HistoryRollupTest, TagAndReaderFiltersWhenReadersShareATagsMinute) {
    HistoryDir dir;
    const Model model = WriteSharedMinutes(dir.Db(), true);
    // Most rows are shared by several readers.
    Sql sql(dir.Db());
    const auto rows = sql.Rows("SELECT minute, readers FROM tag_minutes");
    std::size_t shared = 0;
    for (const auto& row : rows) {
        std::vector<ReaderLast> readers;
        ASSERT_TRUE(schema::DecodeReaderList(std::get<std::int64_t>(row[0]),
                                             std::get<std::vector<std::uint8_t>>(row[1]), readers));
        shared += readers.size() > 1 ? 1 : 0;
    }
    EXPECT_GT(rows.size(), 20u);
    EXPECT_GT(shared * 2, rows.size());
    Reader r = OpenReader(dir.Db());
    ExpectTagQueriesMatch(r, model, {7, 8, 10, 11});
}

// The child appends presence and reads, reports after the last commit and waits to be killed:
// open arrivals of one tag at several readers whose last reads differ, some only in the tail.
[[noreturn]] void AppendArrivalsThenWait(const std::filesystem::path& db, int out,
                                         const Model& model) {
    Result<Writer> opened = Writer::Open({db});
    if (!opened.ok()) {
        ::_exit(3);
    }
    Writer& w = opened.value();
    // One batch per minute of the plan, so that each minute's rows are flushed by the next.
    std::map<std::int64_t, BatchBuilder> byMinute;
    std::vector<std::pair<std::uint64_t, std::int64_t>> order;
    for (const ReadRow& r : model.reads) {
        byMinute[MinuteOf(r.timeMs)].AddRead(r.seq, r.timeMs, r.tag, r.reader, r.device);
    }
    for (const PresenceRow& p : model.presence) {
        byMinute[MinuteOf(p.timeMs)].AddPresence(p.seq, p.timeMs, p.tag, p.kind, p.reader,
                                                 p.device);
    }
    for (const auto& [minute, batch] : byMinute) {
        if (!w.Append(batch.Batch()).ok()) {
            ::_exit(4);
        }
    }
    const char done = 1;
    if (::write(out, &done, 1) != 1) {
        ::_exit(5);
    }
    for (;;) {
        ::pause();
    }
}

TEST(HistoryRollupTest, OpenArrivalsAfterAKillTakeEachReadersOwnLastRead) {
    HistoryDir dir;
    // Numbers in time order; each minute's events in one batch.
    Model model;
    std::uint64_t seq = 0;
    const auto read = [&](std::int64_t ms, std::uint32_t tag, std::size_t place) {
        model.reads.push_back(
            {++seq, kM0 + ms, tag, kPlaces[place].name, kPlaces[place].device, std::nullopt});
    };
    const auto presence = [&](std::int64_t ms, std::uint32_t tag, std::size_t place,
                              PresenceKind kind) {
        model.presence.push_back(
            {++seq, kM0 + ms, tag, kPlaces[place].name, kPlaces[place].device, kind});
    };
    // Minute 0: tag 7 arrives at readers 0, 1, 2 (0 and 1 share a name), tag 8 at 0 and 3.
    presence(1'000, 7, 0, PresenceKind::kArrive);
    read(1'000, 7, 0);
    presence(2'000, 7, 1, PresenceKind::kArrive);
    read(2'000, 7, 1);
    presence(3'000, 7, 2, PresenceKind::kArrive);
    read(3'000, 7, 2);
    read(50'000, 7, 0);
    read(20'000, 7, 1);  // out of time order, still within the minute
    presence(4'000, 8, 0, PresenceKind::kArrive);
    read(4'000, 8, 0);
    presence(5'000, 8, 3, PresenceKind::kArrive);
    read(5'000, 8, 3);
    read(6'000, 9, 4);
    // Minute 1: tag 7 only at reader 0; tag 8 departs at reader 0, is read at 3.
    read(61'000, 7, 0);
    read(70'000, 8, 3);
    presence(71'000, 8, 0, PresenceKind::kDepart);
    read(72'000, 8, 0);  // after its depart: no open arrival left there
    // Minute 2: tag 9 arrives at reader 4 without a read since.
    presence(125'000, 9, 4, PresenceKind::kArrive);
    // Minute 3: tag 7 at reader 2 again, left in the tail (no later minute flushes it).
    read(185'000, 7, 2);
    read(186'000, 8, 1);  // tag 8 at a reader where it never arrived

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        AppendArrivalsThenWait(dir.Db(), fds[1], model);
    }
    ::close(fds[1]);
    char done = 0;
    const bool reported = ::read(fds[0], &done, 1) == 1;
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(fds[0]);
    ASSERT_TRUE(reported);
    ASSERT_TRUE(WIFSIGNALED(status));

    const std::vector<OpenArrival> expected = ExpectedOpen(model);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(expected[0].lastReadMs, kM0 + 61'000);   // tag 7 at reader 0: minute 1
    EXPECT_EQ(expected[1].lastReadMs, kM0 + 20'000);   // at reader 1: not reader 0's later reads
    EXPECT_EQ(expected[2].lastReadMs, kM0 + 185'000);  // at reader 2: from the tail
    EXPECT_EQ(expected[3].lastReadMs, kM0 + 70'000);
    EXPECT_EQ(expected[4].lastReadMs, std::nullopt);  // tag 9 read only before its arrival
    {
        // What the killed process left: the tail is only in the reads table.
        EXPECT_LT(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'rollup_seq'"),
                  static_cast<std::int64_t>(seq));
        Reader r = OpenReader(dir.Db());
        const Result<std::vector<OpenArrival>> open = r.OpenArrivals();
        ASSERT_TRUE(open.ok()) << open.error().text;
        EXPECT_EQ(open.value(), expected);
    }
    // The next writer rolls the tail up; the answer stays.
    Writer w = OpenWriter({dir.Db()});
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'rollup_seq'"),
              static_cast<std::int64_t>(seq));
    Reader r = OpenReader(dir.Db());
    const Result<std::vector<OpenArrival>> open = r.OpenArrivals();
    ASSERT_TRUE(open.ok()) << open.error().text;
    EXPECT_EQ(open.value(), expected);
    ExpectTagQueriesMatch(r, model, {7, 8, 9});
}

TEST(HistoryRollupTest, OpenArrivalsWithoutReadsComeFromTheRollupAlone) {
    HistoryDir dir;
    {
        Writer w = OpenWriter({dir.Db(), /*keepReads=*/false});
        BatchBuilder b;
        b.AddPresence(1, kM0 + 1'000, 42, PresenceKind::kArrive, "Gate 1", "10.0.0.1:4001");
        b.AddPresence(2, kM0 + 1'000, 42, PresenceKind::kArrive, "Gate 1", "10.0.0.2:4001");
        b.AddRead(3, kM0 + 1'000, 42, "Gate 1", "10.0.0.1:4001");
        b.AddRead(4, kM0 + 9'000, 42, "Gate 1", "10.0.0.2:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        b.Clear();
        // Same minute, a later batch: the row is updated, the other reader's time kept.
        b.AddRead(5, kM0 + 30'000, 42, "Gate 1", "10.0.0.1:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        b.Clear();
        b.AddRead(6, kM0 + 65'000, 42, "Gate 1", "10.0.0.1:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes"), 2);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT sum(count) FROM tag_minutes"), 4);
    Reader r = OpenReader(dir.Db());
    const std::vector<OpenArrival> open = r.OpenArrivals().value();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].device, "10.0.0.1:4001");
    EXPECT_EQ(open[0].lastReadMs, kM0 + 65'000);
    EXPECT_EQ(open[1].device, "10.0.0.2:4001");
    EXPECT_EQ(open[1].lastReadMs, kM0 + 9'000);
}

// One batch whose reads scatter over many minutes, in no order, some before 1970 (minute -1's
// bits are all ones): each minute and tag gets its own row, and tag queries answer as the model.
TEST(HistoryRollupTest, ABatchOverManyMinutesRollsUpEachMinuteOnItsOwn) {
    HistoryDir dir;
    std::vector<std::int64_t> times;
    for (const std::int64_t minute : {-2, -1, 0, 1}) {
        times.push_back(minute * 60'000 + 59'999);
        times.push_back(minute * 60'000);
    }
    for (std::int64_t m = 0; m < 300; ++m) {
        times.push_back(kM0 + (m % 7) * 60'000 + m * 37 % 60'000 + (m / 7) * 3'600'000);
    }
    std::mt19937 rng(77);
    std::shuffle(times.begin(), times.end(), rng);
    Model model;
    std::set<std::pair<std::int64_t, std::uint32_t>> rows;
    std::uint64_t seq = 0;
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        for (const std::int64_t time : times) {
            const auto tag = static_cast<std::uint32_t>(7 + rng() % 3);
            const Place& place = kPlaces[rng() % kPlaces.size()];
            b.AddRead(++seq, time, tag, place.name, place.device);
            rows.emplace(MinuteOf(time), tag);
        }
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
        b.Clear();
        // A later minute: the open rollup is flushed before it joins.
        b.AddRead(++seq, kM0 + 100 * 3'600'000, 7, kPlaces[0].name, kPlaces[0].device);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        model.Take(b);
    }
    Sql sql(dir.Db());
    std::set<std::pair<std::int64_t, std::uint32_t>> stored;
    for (const auto& row : sql.Rows("SELECT minute, tag FROM tag_minutes")) {
        stored.emplace(std::get<std::int64_t>(row[0]),
                       static_cast<std::uint32_t>(std::get<std::int64_t>(row[1])));
    }
    EXPECT_EQ(stored, rows);
    Reader r = OpenReader(dir.Db());
    ExpectTagQueriesMatch(r, model, {7, 8, 9});
}

// Without reads a minute's buckets stay open across flushes while the minute may get reads,
// and go once it may not; the buckets left are renumbered and their readers with them. Against
// a model of every (minute, tag): the counts, first and last numbers and times, and each
// reader's last time, through a stream that runs over many minutes in batches of any size,
// with reads late into the minute before.
TEST(HistoryRollupTest, WithoutReadsEachMinuteAndTagKeepsItsOwnCountsAndReaders) {
    HistoryDir dir;
    struct Expected {
        std::int64_t count = 0, firstSeq = INT64_MAX, lastSeq = 0;
        std::int64_t firstTime = INT64_MAX, lastTime = INT64_MIN;
        std::map<std::string, std::int64_t> lastAt;  // by device
    };
    std::map<std::pair<std::int64_t, std::int64_t>, Expected> model;  // (minute, tag)
    std::mt19937 rng(2024);
    {
        Writer w = OpenWriter({dir.Db(), /*keepReads=*/false});
        std::int64_t now = kM0;
        std::uint64_t seq = 0;
        while (now < kM0 + 12 * 60'000) {
            BatchBuilder b;
            const std::size_t size = 1 + rng() % 400;
            for (std::size_t i = 0; i < size; ++i) {
                now += rng() % 500;
                // One read in ten comes up to 40 s late: often in the minute before.
                const std::int64_t time = now - (rng() % 10 == 0 ? rng() % 40'000 : 0);
                const auto tag = static_cast<std::uint32_t>(rng() % 25);
                const Place& place = kPlaces[rng() % kPlaces.size()];
                b.AddRead(++seq, time, tag, place.name, place.device);
                Expected& e = model[{MinuteOf(time), tag}];
                ++e.count;
                e.firstSeq = std::min(e.firstSeq, static_cast<std::int64_t>(seq));
                e.lastSeq = std::max(e.lastSeq, static_cast<std::int64_t>(seq));
                e.firstTime = std::min(e.firstTime, time);
                e.lastTime = std::max(e.lastTime, time);
                auto [at, added] = e.lastAt.try_emplace(place.device, time);
                at->second = std::max(at->second, time);
            }
            ASSERT_TRUE(w.Append(b.Batch()).ok());
        }
    }
    // A minute and tag may have several rows (a late read after its bucket went): merged.
    const std::map<std::string, std::int64_t> ids = ReaderIdsByDevice(dir.Db());
    std::map<std::pair<std::int64_t, std::int64_t>, Expected> stored;
    Sql sql(dir.Db());
    for (const auto& row : sql.Rows("SELECT minute, tag, first_seq, last_seq, first_time, "
                                    "last_time, count, readers FROM tag_minutes")) {
        const std::int64_t minute = std::get<std::int64_t>(row[0]);
        Expected& e = stored[{minute, std::get<std::int64_t>(row[1])}];
        e.firstSeq = std::min(e.firstSeq, std::get<std::int64_t>(row[2]));
        e.lastSeq = std::max(e.lastSeq, std::get<std::int64_t>(row[3]));
        e.firstTime = std::min(e.firstTime, std::get<std::int64_t>(row[4]));
        e.lastTime = std::max(e.lastTime, std::get<std::int64_t>(row[5]));
        e.count += std::get<std::int64_t>(row[6]);
        std::vector<ReaderLast> readers;
        ASSERT_TRUE(
            schema::DecodeReaderList(minute, std::get<std::vector<std::uint8_t>>(row[7]), readers));
        for (const ReaderLast& r : readers) {
            const auto device = std::find_if(ids.begin(), ids.end(), [&](const auto& id) {
                                    return id.second == r.reader;
                                })->first;
            auto [at, added] = e.lastAt.try_emplace(device, r.lastTime);
            at->second = std::max(at->second, r.lastTime);
        }
    }
    ASSERT_EQ(stored.size(), model.size());
    for (const auto& [key, e] : model) {
        const Expected& s = stored[key];
        EXPECT_EQ(std::tie(s.count, s.firstSeq, s.lastSeq, s.firstTime, s.lastTime, s.lastAt),
                  std::tie(e.count, e.firstSeq, e.lastSeq, e.firstTime, e.lastTime, e.lastAt))
            << "minute " << key.first << " tag " << key.second;
    }
}

// ---- Upgrades ----

// The tables of version 2 as its writer made them (version 1: the same without the outbox).
constexpr const char* kCreateV2 = R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL) WITHOUT ROWID;
CREATE TABLE readers(id INTEGER PRIMARY KEY, name TEXT NOT NULL, device TEXT NOT NULL,
                     UNIQUE(name, device));
CREATE TABLE reads(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, tag INTEGER NOT NULL,
                   reader INTEGER NOT NULL, reader_time INTEGER);
CREATE TABLE minutes(minute INTEGER PRIMARY KEY, first_seq INTEGER NOT NULL,
                     last_seq INTEGER NOT NULL, count INTEGER NOT NULL);
CREATE TABLE tag_minutes(minute INTEGER NOT NULL, tag INTEGER NOT NULL, reader INTEGER NOT NULL,
                         first_seq INTEGER NOT NULL, last_seq INTEGER NOT NULL,
                         first_time INTEGER NOT NULL, last_time INTEGER NOT NULL,
                         count INTEGER NOT NULL, seqs BLOB,
                         PRIMARY KEY(minute, tag, reader, first_seq)) WITHOUT ROWID;
CREATE TABLE device_events(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL,
                           kind INTEGER NOT NULL, reader INTEGER NOT NULL);
CREATE INDEX device_events_time ON device_events(time);
CREATE TABLE presence(seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, tag INTEGER NOT NULL,
                      reader INTEGER NOT NULL, kind INTEGER NOT NULL);
CREATE INDEX presence_time ON presence(time);
CREATE INDEX presence_tag ON presence(tag, seq);
CREATE TABLE presence_open(tag INTEGER NOT NULL, reader INTEGER NOT NULL, seq INTEGER NOT NULL,
                           time INTEGER NOT NULL, PRIMARY KEY(tag, reader)) WITHOUT ROWID;
CREATE TABLE outbox(name TEXT PRIMARY KEY, seq INTEGER NOT NULL) WITHOUT ROWID;
)sql";

struct OldFile {
    Model model;
    std::uint64_t lastSeq = 0;
    std::uint64_t rollupSeq = 0;
    std::size_t rollupRows = 0;
    std::set<std::pair<std::int64_t, std::uint32_t>> tagMinutes;  // of the rolled-up reads
};

// A history of `version` (1 or 2) as that release's writer left it after a kill: rollup rows
// per (minute, tag, reader) and flush (every 700 reads, so minutes split), tag 10's rows
// without a SeqList, the last reads only in the tail, arrivals still open.
OldFile WriteOldFile(const std::filesystem::path& db, int version) {
    OldFile file;
    Model& model = file.model;
    std::mt19937 rng(555);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::uint64_t seq = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t time = kM0 + i * 70 + pick(4001) - 2000;
        const std::size_t place = static_cast<std::size_t>(pick(static_cast<int>(kPlaces.size())));
        const auto tag = static_cast<std::uint32_t>(7 + pick(5));
        std::optional<ReaderTime> rt;
        if (pick(3) == 0) {
            rt = ReaderTime{26, 11, 30, 8, 1, static_cast<std::uint8_t>(pick(60))};
        }
        model.reads.push_back({++seq, time, tag, kPlaces[place].name, kPlaces[place].device, rt});
        if (pick(60) == 0) {
            model.presence.push_back(
                {++seq, time, tag, kPlaces[place].name, kPlaces[place].device,
                 pick(3) == 0 ? PresenceKind::kDepart : PresenceKind::kArrive});
        }
    }
    file.lastSeq = seq;
    file.rollupSeq = model.reads[2600].seq;

    Sql sql(db);
    sql.Exec("PRAGMA auto_vacuum=INCREMENTAL");
    sql.Exec(kCreateV2);
    sql.Exec("BEGIN");
    const auto quote = [](const std::string& text) {
        std::string out = "'";
        for (const char c : text) {
            out += c == '\'' ? std::string("''") : std::string(1, c);
        }
        return out + "'";
    };
    std::map<std::string, std::int64_t> ids;
    for (std::size_t i = 0; i < kPlaces.size(); ++i) {
        const auto id = static_cast<std::int64_t>(i + 1);
        sql.Exec("INSERT INTO readers(id, name, device) VALUES (" + std::to_string(id) + ", " +
                 quote(kPlaces[i].name) + ", " + quote(kPlaces[i].device) + ")");
        ids[kPlaces[i].device] = id;
    }
    sql.Exec("INSERT INTO meta(key, value) VALUES ('format', 'trelvane-history'), ('version', " +
             std::to_string(version) +
             "), ('history_id', '0123456789abcdef0123456789abcdef'), ('last_seq', " +
             std::to_string(file.lastSeq) + "), ('rollup_seq', " + std::to_string(file.rollupSeq) +
             ")");
    std::map<std::int64_t, std::tuple<std::int64_t, std::int64_t, std::int64_t>> minutes;
    for (const ReadRow& r : model.reads) {
        sql.Run(
            "INSERT INTO reads(seq, time, tag, reader, reader_time) VALUES (?1, ?2, ?3, ?4, ?5)",
            {static_cast<std::int64_t>(r.seq), r.timeMs, std::int64_t{r.tag}, ids.at(r.device),
             r.readerTime ? Sql::Arg(static_cast<std::int64_t>(PackReaderTime(*r.readerTime)))
                          : Sql::Arg(nullptr)});
        auto [it, fresh] = minutes.try_emplace(MinuteOf(r.timeMs), static_cast<std::int64_t>(r.seq),
                                               static_cast<std::int64_t>(r.seq), 0);
        auto& [first, last, count] = it->second;
        first = std::min(first, static_cast<std::int64_t>(r.seq));
        last = std::max(last, static_cast<std::int64_t>(r.seq));
        ++count;
    }
    for (const auto& [minute, span] : minutes) {
        const auto& [first, last, count] = span;
        sql.Run("INSERT INTO minutes VALUES (?1, ?2, ?3, ?4)", {minute, first, last, count});
    }
    // The rollup of the reads up to rollup_seq, flushed every 700 reads.
    struct Bucket {
        std::vector<std::uint64_t> seqs;
        std::int64_t firstTime = INT64_MAX, lastTime = INT64_MIN;
    };
    std::map<std::tuple<std::int64_t, std::uint32_t, std::int64_t>, Bucket> open;
    const auto flush = [&] {
        for (const auto& [key, b] : open) {
            const auto& [minute, tag, reader] = key;
            std::vector<std::uint8_t> list;
            schema::EncodeSeqList(b.seqs, list);
            sql.Run("INSERT INTO tag_minutes VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                    {minute, std::int64_t{tag}, reader, static_cast<std::int64_t>(b.seqs.front()),
                     static_cast<std::int64_t>(b.seqs.back()), b.firstTime, b.lastTime,
                     static_cast<std::int64_t>(b.seqs.size()),
                     tag == 10 ? Sql::Arg(nullptr) : Sql::Arg(list)});
            ++file.rollupRows;
        }
        open.clear();
    };
    int sinceFlush = 0;
    for (const ReadRow& r : model.reads) {
        if (r.seq > file.rollupSeq) {
            break;
        }
        Bucket& b = open[{MinuteOf(r.timeMs), r.tag, ids.at(r.device)}];
        b.seqs.push_back(r.seq);
        b.firstTime = std::min(b.firstTime, r.timeMs);
        b.lastTime = std::max(b.lastTime, r.timeMs);
        file.tagMinutes.emplace(MinuteOf(r.timeMs), r.tag);
        if (++sinceFlush == 700) {
            flush();
            sinceFlush = 0;
        }
    }
    flush();
    std::map<std::pair<std::uint32_t, std::int64_t>, const PresenceRow*> lastPresence;
    for (const PresenceRow& p : model.presence) {
        sql.Run("INSERT INTO presence VALUES (?1, ?2, ?3, ?4, ?5)",
                {static_cast<std::int64_t>(p.seq), p.timeMs, std::int64_t{p.tag}, ids.at(p.device),
                 static_cast<std::int64_t>(p.kind)});
        lastPresence[{p.tag, ids.at(p.device)}] = &p;
    }
    for (const auto& [key, p] : lastPresence) {
        if (p->kind == PresenceKind::kArrive) {
            sql.Run("INSERT INTO presence_open VALUES (?1, ?2, ?3, ?4)",
                    {std::int64_t{key.first}, key.second, static_cast<std::int64_t>(p->seq),
                     p->timeMs});
        }
    }
    if (version < 2) {
        sql.Exec("DROP TABLE outbox");
    }
    sql.Exec("COMMIT");
    return file;
}

void ExpectAnswers(const std::filesystem::path& db, const OldFile& file) {
    Reader r = OpenReader(db);
    EXPECT_EQ(AllReads(r, {}), Model::Select(file.model.reads, test::Unlimited()));
    const Result<std::vector<OpenArrival>> open = r.OpenArrivals();
    ASSERT_TRUE(open.ok()) << open.error().text;
    const std::vector<OpenArrival> expected = ExpectedOpen(file.model);
    EXPECT_GT(expected.size(), 3u);
    EXPECT_EQ(open.value(), expected);
    ExpectTagQueriesMatch(r, file.model, {7, 9, 10, 11});
}

class HistoryUpgradeTest : public ::testing::TestWithParam<int> {};

TEST_P(HistoryUpgradeTest, OldFileAnswersTheSameBeforeAndAfterItsUpgrade) {
    HistoryDir dir;
    OldFile file = WriteOldFile(dir.Db(), GetParam());
    ASSERT_GT(file.rollupRows, file.tagMinutes.size() * 2);  // rows per reader and per flush
    {
        SCOPED_TRACE("read as it is, by a Reader that may not change it");
        ExpectAnswers(dir.Db(), file);
    }
    {
        Writer w = OpenWriter({dir.Db()});
        EXPECT_EQ(w.LastSequence(), file.lastSeq);
        EXPECT_EQ(w.HistoryId(), "0123456789abcdef0123456789abcdef");
    }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM sqlite_schema WHERE name = 'outbox'"),
              1);
    EXPECT_EQ(
        test::SqlInt(dir.Db(), "SELECT count(*) FROM sqlite_schema WHERE name LIKE 'tag_minutes%'"),
        1);
    // Presence by tag has its per-minute rows instead of an index, the open arrivals their
    // table keyed by number.
    EXPECT_EQ(test::SqlInt(dir.Db(),
                           "SELECT count(*) FROM sqlite_schema WHERE name LIKE "
                           "'presence_tag%' OR name LIKE 'presence_open_%'"),
              0);
    std::set<std::pair<std::int64_t, std::uint32_t>> presenceMinutes;
    for (const PresenceRow& p : file.model.presence) {
        presenceMinutes.emplace(MinuteOf(p.timeMs), p.tag);
    }
    EXPECT_EQ(
        static_cast<std::size_t>(test::SqlInt(dir.Db(), "SELECT count(*) FROM presence_minutes")),
        presenceMinutes.size());
    EXPECT_EQ(test::SqlInt(dir.Db(),
                           "SELECT count(*) FROM pragma_table_info('presence_open') "
                           "WHERE name = 'seq' AND pk = 1"),
              1);
    // The writer rolled the tail up after the upgrade: the old rows became one per minute and
    // tag, plus the tail's.
    const std::int64_t tailStart = test::SqlInt(
        dir.Db(),
        ("SELECT count(*) FROM tag_minutes WHERE first_seq <= " + std::to_string(file.rollupSeq))
            .c_str());
    EXPECT_EQ(static_cast<std::size_t>(tailStart), file.tagMinutes.size());
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT sum(count) FROM tag_minutes"),
              static_cast<std::int64_t>(file.model.reads.size()));
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes WHERE seqs IS NULL"),
              test::SqlInt(dir.Db(), ("SELECT count(*) FROM tag_minutes WHERE tag = 10 AND "
                                      "first_seq <= " +
                                      std::to_string(file.rollupSeq))
                                         .c_str()));
    {
        SCOPED_TRACE("upgraded");
        ExpectAnswers(dir.Db(), file);
    }
    // The upgraded file takes new batches.
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddRead(file.lastSeq + 1, kM0 + 600'000, 9, kPlaces[2].name, kPlaces[2].device);
        // Departs for every open arrival the old file kept: the writer knew them by pair.
        std::uint64_t seq = file.lastSeq + 1;
        for (const OpenArrival& a : ExpectedOpen(file.model)) {
            b.AddPresence(++seq, kM0 + 600'000, a.tag, PresenceKind::kDepart, a.reader, a.device);
        }
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        file.model.Take(b);
    }
    Reader r = OpenReader(dir.Db());
    ExpectTagQueriesMatch(r, file.model, {7, 9});
    EXPECT_TRUE(r.OpenArrivals().value().empty());
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM presence_open"), 0);
}

// Version 3's presence and rollup tables, made from a current file by hand: the rollup
// without `since` (a minute's rows of all flushes side by side), the open arrivals by pair, the
// presence index on tag.
constexpr const char* kBackToV3 = R"sql(
BEGIN;
CREATE TABLE tm3(minute INTEGER NOT NULL, tag INTEGER NOT NULL, first_seq INTEGER NOT NULL,
                 last_seq INTEGER NOT NULL, first_time INTEGER NOT NULL,
                 last_time INTEGER NOT NULL, count INTEGER NOT NULL, seqs BLOB,
                 readers BLOB NOT NULL, PRIMARY KEY(minute, tag, first_seq)) WITHOUT ROWID;
INSERT INTO tm3 SELECT minute, tag, first_seq, last_seq, first_time, last_time, count, seqs,
                       readers FROM tag_minutes;
DROP TABLE tag_minutes;
ALTER TABLE tm3 RENAME TO tag_minutes;
CREATE TABLE po3(tag INTEGER NOT NULL, reader INTEGER NOT NULL, seq INTEGER NOT NULL,
                 time INTEGER NOT NULL, PRIMARY KEY(tag, reader)) WITHOUT ROWID;
INSERT INTO po3 SELECT tag, reader, seq, time FROM presence_open;
DROP TABLE presence_open;
ALTER TABLE po3 RENAME TO presence_open;
DROP TABLE presence_minutes;
CREATE INDEX presence_tag ON presence(tag, seq);
UPDATE meta SET value = 3 WHERE key = 'version';
COMMIT;
)sql";

TEST(HistoryVersion3Test, AnswersTheSameBeforeAndAfterItsUpgrade) {
    HistoryDir dir;
    OldFile file = WriteOldFile(dir.Db(), 2);
    { Writer w = OpenWriter({dir.Db()}); }  // now current, with the tail rolled up
    // Some minute and tag with rows of two flushes, which the rebuild keeps apart.
    {
        Sql sql(dir.Db());
        sql.Exec(kBackToV3);
    }
    ASSERT_GT(test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes"),
              test::SqlInt(dir.Db(),
                           "SELECT count(*) FROM (SELECT DISTINCT minute, tag FROM "
                           "tag_minutes)"));
    const std::int64_t rows = test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes");
    {
        SCOPED_TRACE("version 3, read as it is");
        ExpectAnswers(dir.Db(), file);
    }
    { Writer w = OpenWriter({dir.Db()}); }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM tag_minutes WHERE since = 0"), rows);
    EXPECT_EQ(test::SqlInt(dir.Db(),
                           "SELECT count(*) FROM sqlite_schema WHERE name LIKE "
                           "'%_v4' OR name = 'presence_tag'"),
              0);
    {
        SCOPED_TRACE("upgraded from version 3");
        ExpectAnswers(dir.Db(), file);
    }
}

// Version 4 as its writer left it: a current file without the zone tables.
constexpr const char* kBackToV4 = R"sql(
BEGIN;
DROP TABLE zone_stays;
DROP TABLE zone_open;
DROP TABLE zone_events;
DROP TABLE zone_names;
UPDATE meta SET value = 4 WHERE key = 'version';
COMMIT;
)sql";

// Every row of the tables version 4 had, in key order.
std::vector<std::vector<Sql::Arg>> Version4Rows(const std::filesystem::path& db) {
    Sql sql(db);
    std::vector<std::vector<Sql::Arg>> rows;
    for (const char* table :
         {"readers ORDER BY id", "reads ORDER BY seq", "minutes ORDER BY minute",
          "tag_minutes ORDER BY minute, since, tag, first_seq", "presence ORDER BY seq",
          "presence_minutes ORDER BY minute, since, tag, first_seq", "presence_open ORDER BY seq",
          "device_events ORDER BY seq", "meta WHERE key <> 'version' ORDER BY key"}) {
        const auto some = sql.Rows(std::string("SELECT * FROM ") + table);
        rows.insert(rows.end(), some.begin(), some.end());
    }
    return rows;
}

TEST(HistoryVersion4Test, AnswersTheSameAfterItsUpgradeAndKeepsZoneEventsFromThen) {
    HistoryDir dir;
    OldFile file = WriteOldFile(dir.Db(), 2);
    { Writer w = OpenWriter({dir.Db()}); }
    {
        Sql sql(dir.Db());
        sql.Exec(kBackToV4);
    }
    const auto rows = Version4Rows(dir.Db());
    ASSERT_GT(rows.size(), 3000u);
    {
        SCOPED_TRACE("version 4, read as it is");
        ExpectAnswers(dir.Db(), file);
        // No zone tables yet: no zone events, no error.
        Reader r = OpenReader(dir.Db());
        EXPECT_TRUE(r.Zones({}).value().empty());
        EXPECT_TRUE(r.OpenZones().value().empty());
        EXPECT_EQ(r.ZoneOfTagAt(7, kM0).value(), std::nullopt);
        EXPECT_TRUE(r.TagsInZoneAt("Dock", kM0).value().empty());
    }
    { Writer w = OpenWriter({dir.Db()}); }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    EXPECT_EQ(Version4Rows(dir.Db()), rows);
    {
        SCOPED_TRACE("upgraded from version 4");
        ExpectAnswers(dir.Db(), file);
    }
    // The upgraded file keeps zone events; a file whose version was set back again keeps them
    // through its next upgrade.
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddEnter(file.lastSeq + 1, kM0 + 600'000, 7, "Dock", kPlaces[2].name, kPlaces[2].device);
        b.AddExit(file.lastSeq + 2, kM0 + 660'000, 7, "Dock", kPlaces[2].name, kPlaces[2].device,
                  kM0 + 600'000, kM0 + 650'000);
        b.AddEnter(file.lastSeq + 3, kM0 + 660'000, 7, "Yard", kPlaces[3].name, kPlaces[3].device);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        file.model.Take(b);
    }
    {
        Sql sql(dir.Db());
        sql.Exec("UPDATE meta SET value = 4 WHERE key = 'version'");
    }
    { Writer w = OpenWriter({dir.Db()}); }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.Zones({}).value(), file.model.zones);
    EXPECT_EQ(r.TagsInZoneAt("Dock", kM0 + 659'999).value(),
              (std::vector<TagInZone>{{7, kM0 + 600'000}}));
    EXPECT_EQ(r.ZoneOfTagAt(7, kM0 + 660'000).value()->zone, "Yard");
    ASSERT_EQ(r.OpenZones().value().size(), 1u);
}

// Version 5 as its writer left it: a current file without the alert tables.
constexpr const char* kBackToV5 = R"sql(
BEGIN;
DROP TABLE alert_open;
DROP TABLE alert_events;
UPDATE meta SET value = 5 WHERE key = 'version';
COMMIT;
)sql";

// Every row of the tables version 5 had, in key order (texts as their bytes).
std::vector<std::vector<Sql::Arg>> Version5Rows(const std::filesystem::path& db) {
    std::vector<std::vector<Sql::Arg>> rows = Version4Rows(db);
    Sql sql(db);
    for (const char* query :
         {"SELECT id, CAST(name AS BLOB) FROM zone_names ORDER BY id",
          "SELECT * FROM zone_events ORDER BY seq", "SELECT * FROM zone_open ORDER BY tag",
          "SELECT * FROM zone_stays ORDER BY seq",
          "SELECT CAST(name AS BLOB), CAST(device AS BLOB) FROM readers ORDER BY id"}) {
        const auto some = sql.Rows(query);
        rows.insert(rows.end(), some.begin(), some.end());
    }
    return rows;
}

TEST(HistoryVersion5Test, KeepsEveryRowThroughItsUpgradeAndAlertsFromThen) {
    HistoryDir dir;
    OldFile file = WriteOldFile(dir.Db(), 2);
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddEnter(file.lastSeq + 1, kM0 + 600'000, 7, "Dock", kPlaces[2].name, kPlaces[2].device);
        b.AddExit(file.lastSeq + 2, kM0 + 660'000, 7, "Dock", kPlaces[2].name, kPlaces[2].device,
                  kM0 + 600'000, kM0 + 650'000);
        b.AddEnter(file.lastSeq + 3, kM0 + 660'000, 9, "冷库", kPlaces[3].name, kPlaces[3].device);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
        file.model.Take(b);
        file.lastSeq += 3;
    }
    {
        Sql sql(dir.Db());
        sql.Exec(kBackToV5);
    }
    const auto rows = Version5Rows(dir.Db());
    ASSERT_GT(rows.size(), 3000u);
    {
        SCOPED_TRACE("version 5, read as it is");
        ExpectAnswers(dir.Db(), file);
        // No alert tables yet: no alerts, no error.
        Reader r = OpenReader(dir.Db());
        EXPECT_TRUE(r.Alerts({}).value().empty());
        EXPECT_TRUE(r.OpenAlerts().value().empty());
        EXPECT_EQ(r.Zones({}).value(), file.model.zones);
    }
    { Writer w = OpenWriter({dir.Db()}); }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    EXPECT_EQ(Version5Rows(dir.Db()), rows);
    {
        SCOPED_TRACE("upgraded from version 5");
        ExpectAnswers(dir.Db(), file);
        Reader r = OpenReader(dir.Db());
        EXPECT_EQ(r.Zones({}).value(), file.model.zones);
        EXPECT_EQ(r.OpenZones().value().size(), 1u);
    }
    // The upgraded file keeps alerts; a file whose version was set back again keeps them
    // through its next upgrade.
    const events::AlertRow raised{file.lastSeq + 1,
                                  kM0 + 700'000,
                                  events::AlertEventKind::kRaised,
                                  0,
                                  "cold",
                                  events::RuleKind::kDwell,
                                  9u,
                                  "冷库",
                                  "",
                                  kM0 + 660'000,
                                  "too long",
                                  ""};
    events::AlertRow ack = raised;
    ack.seq = file.lastSeq + 2;
    ack.kind = events::AlertEventKind::kAcknowledged;
    ack.raised = raised.seq;
    ack.text = "on it";
    ack.by = "ops";
    {
        Writer w = OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddAlert(ack);
        b.AddAlert(raised);
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    {
        Sql sql(dir.Db());
        sql.Exec("UPDATE meta SET value = 5 WHERE key = 'version'");
    }
    { Writer w = OpenWriter({dir.Db()}); }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT value FROM meta WHERE key = 'version'"),
              schema::kVersion);
    Reader r = OpenReader(dir.Db());
    EXPECT_EQ(r.Alerts({}).value(), (std::vector<events::AlertRow>{raised, ack}));
    EXPECT_EQ(r.OpenAlerts().value(), (std::vector<OpenAlert>{{raised, ack}}));
}

INSTANTIATE_TEST_SUITE_P(Versions, HistoryUpgradeTest, ::testing::Values(1, 2),
                         [](const auto& p) { return "Version" + std::to_string(p.param); });

}  // namespace
}  // namespace trelvane::history
