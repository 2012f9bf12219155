// Where tags were, over a history of zone events: TagsInZoneAt and ZoneOfTagAt at random times
// beside their goal, the history's part of GET where at, and the walk back through a zone's
// events that TagsInZoneAt does not use, for comparison. 10,000 tags move between 20 zones (the
// exit and the next enter at one millisecond, or a pause in no zone), a stay lasting minutes;
// one tag in twenty parks in its first zone for good. With --reads, the reads of the same days
// go into the same database, through the same Writer, interleaved in time and sequence with
// the zone events as the service stores them. Prints figures and SQLite's plans; never fails on
// time.
//
//   bench_history_zones [--events N] [--reads N] [--keep DIR]
//     --events N  zone events of the database (default 1,000,000)
//     --reads N   reads as well (default 0): the 10,000 tags at 10 readers, spread over the
//                 zone events' days
//     --keep DIR  build the database in DIR and leave it there (default: a temporary folder,
//                 removed at the end); when DIR holds one already, it is queried as it is

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "history/Reader.h"
#include "history/Writer.h"

namespace {

using namespace trelvane;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kTags = 10000;
constexpr int kZones = 20;
constexpr int kReadReaders = 10;
constexpr std::int64_t kStart = 1796000000000;
constexpr double kGoalMs = 100;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string ZoneName(int zone) {
    return "Zone " + std::to_string(zone);
}

// The event stream: each step moves one random tag, about 2.5 s apart.
class Moves {
  public:
    Moves() : rng_(4242), zoneOf_(kTags, -1), since_(kTags, 0) {
        for (int z = 0; z < kZones; ++z) {
            zones_.push_back(ZoneName(z));
            readers_.push_back("Reader " + std::to_string(z));
            devices_.push_back("10.0.1." + std::to_string(z) + ":4001");
        }
    }

    void Fill(std::vector<history::ZoneEvent>& batch, std::size_t n) {
        batch.clear();
        while (batch.size() < n) {
            time_ += static_cast<std::int64_t>(rng_() % 5000);
            const std::uint32_t tag = rng_() % kTags;
            const int was = zoneOf_[tag];
            if (was >= 0 && tag % 20 == 0) {
                continue;  // parked
            }
            if (was >= 0) {
                batch.push_back(Event(tag, was, history::ZoneEventKind::kExit));
                zoneOf_[tag] = -1;
                if (rng_() % 4 == 0 || batch.size() == n) {
                    continue;  // a pause in no zone
                }
            }
            const int next = static_cast<int>(rng_() % kZones);
            zoneOf_[tag] = next;
            since_[tag] = time_;
            batch.push_back(Event(tag, next, history::ZoneEventKind::kEnter));
        }
    }

    std::int64_t Time() const { return time_; }
    // Zone events and reads share one sequence, in time order.
    void Renumber(history::ZoneEvent& e) { e.seq = ++seq_; }
    void Renumber(history::Read& r) { r.seq = ++seq_; }

  private:
    history::ZoneEvent Event(std::uint32_t tag, int zone, history::ZoneEventKind kind) {
        const auto z = static_cast<std::size_t>(zone);
        const std::int64_t since = kind == history::ZoneEventKind::kEnter ? time_ : since_[tag];
        return history::ZoneEvent{0,           time_, tag,
                                  zones_[z],   kind,  readers_[z],
                                  devices_[z], since, std::max(since, time_ - 900)};
    }

    std::mt19937 rng_;
    std::vector<int> zoneOf_;
    std::vector<std::int64_t> since_;
    std::vector<std::string> zones_, readers_, devices_;
    std::uint64_t seq_ = 0;
    std::int64_t time_ = kStart;
};

// Reads between two times: tags at random, each mostly at its own reader, in time order.
class Reads {
  public:
    Reads() : rng_(777) {
        for (int r = 0; r < kReadReaders; ++r) {
            readers_.push_back("Reader " + std::to_string(r));
            devices_.push_back("10.0.1." + std::to_string(r) + ":4001");
        }
    }

    void Fill(std::vector<history::Read>& batch, std::size_t n, std::int64_t from,
              std::int64_t to) {
        batch.clear();
        std::vector<std::int64_t> times(n);
        for (std::int64_t& t : times) {
            t = from +
                static_cast<std::int64_t>(rng_() % static_cast<std::uint64_t>(to - from + 1));
        }
        std::sort(times.begin(), times.end());
        for (const std::int64_t t : times) {
            const std::uint32_t tag = rng_() % kTags;
            const std::size_t reader = (tag + (rng_() % 20 == 0 ? 1 : 0)) % kReadReaders;
            const auto second = static_cast<std::uint8_t>(t / 1000 % 60);
            batch.push_back(history::Read{0, t, tag, readers_[reader], devices_[reader],
                                          ReaderTime{26, 11, 30, 8, 0, second}});
        }
    }

  private:
    std::mt19937 rng_;
    std::vector<std::string> readers_, devices_;
};

bool Build(const std::filesystem::path& db, std::uint64_t events, std::uint64_t reads) {
    history::Result<history::Writer> w = history::Writer::Open({db, true, 0, 0});
    if (!w.ok()) {
        std::fprintf(stderr, "bench_history_zones: %s\n", w.error().text.c_str());
        return false;
    }
    Moves moves;
    Reads readStream;
    std::vector<history::ZoneEvent> batch;
    std::vector<history::Read> readBatch;
    Clock::duration spent{};
    std::uint64_t readsDone = 0;
    for (std::uint64_t done = 0; done < events; done += batch.size()) {
        const std::int64_t from = moves.Time();
        moves.Fill(batch, std::min<std::uint64_t>(1000, events - done));
        // This batch's share of the reads, over the same span of time.
        const std::uint64_t readsBy = reads * (done + batch.size()) / events;
        readStream.Fill(readBatch, readsBy - readsDone, from, moves.Time());
        readsDone = readsBy;
        std::size_t r = 0;
        for (history::ZoneEvent& e : batch) {
            for (; r < readBatch.size() && readBatch[r].timeMs <= e.timeMs; ++r) {
                moves.Renumber(readBatch[r]);
            }
            moves.Renumber(e);
        }
        for (; r < readBatch.size(); ++r) {
            moves.Renumber(readBatch[r]);
        }
        const auto t0 = Clock::now();
        const history::Status st = w->Append(history::Batch{readBatch, {}, {}, batch});
        spent += Clock::now() - t0;
        if (!st.ok()) {
            std::fprintf(stderr, "bench_history_zones: %s\n", st.error().text.c_str());
            return false;
        }
    }
    { auto closing = std::move(w).value(); }  // checkpoints the WAL into the file
    std::error_code ec;
    const double bytes = static_cast<double>(std::filesystem::file_size(db, ec));
    if (reads == 0) {
        std::printf("append: %.0f zone events/s in batches of 1,000; %.1f bytes per event\n",
                    static_cast<double>(events) / (Ms(spent) / 1000),
                    bytes / static_cast<double>(events));
    } else {
        std::printf(
            "append: %llu zone events and %llu reads in %.1f s (batches of 1,000 zone events and "
            "their reads); %.0f MB\n",
            static_cast<unsigned long long>(events), static_cast<unsigned long long>(reads),
            Ms(spent) / 1000, bytes / 1e6);
    }
    return true;
}

void PrintPlan(sqlite3* db, const char* what, const char* query) {
    std::printf("plan of %s:\n", what);
    sqlite3_stmt* s = nullptr;
    const std::string explain = std::string("EXPLAIN QUERY PLAN ") + query;
    if (sqlite3_prepare_v2(db, explain.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        std::printf("  (%s)\n", sqlite3_errmsg(db));
        return;
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::printf("  %s\n", reinterpret_cast<const char*>(sqlite3_column_text(s, 3)));
    }
    sqlite3_finalize(s);
}

std::int64_t SqlInt(sqlite3* db, const char* query) {
    sqlite3_stmt* s = nullptr;
    std::int64_t value = 0;
    if (sqlite3_prepare_v2(db, query, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        value = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    return value;
}

struct Figures {
    std::vector<double> ms;
    std::size_t rows = 0;

    void Print(const char* what) {
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) {
            return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
        };
        std::printf(
            "%-44s median %8.3f ms  p99 %8.3f ms  max %8.3f ms  (goal %.0f ms)  %.1f rows "
            "each\n",
            what, at(0.5), at(0.99), ms.back(), kGoalMs,
            static_cast<double>(rows) / static_cast<double>(ms.size()));
    }
};

// The alternative: the zone's events back from T, a tag's first one found deciding.
std::size_t WalkBack(sqlite3* db, std::int64_t zoneId, std::int64_t t) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT tag, kind FROM zone_events WHERE zone = ?1 AND time <= ?2 "
                       "ORDER BY time DESC, seq DESC",
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, zoneId);
    sqlite3_bind_int64(s, 2, t);
    std::vector<char> seen(kTags, 0);
    std::size_t in = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        const auto tag = static_cast<std::size_t>(sqlite3_column_int64(s, 0));
        if (tag < seen.size() && seen[tag] == 0) {
            seen[tag] = 1;
            in += sqlite3_column_int64(s, 1) == 0 ? 1 : 0;
        }
    }
    sqlite3_finalize(s);
    return in;
}

int Query(const std::filesystem::path& path) {
    history::Result<history::Reader> r = history::Reader::Open(path);
    if (!r.ok()) {
        std::fprintf(stderr, "bench_history_zones: %s\n", r.error().text.c_str());
        return 1;
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    // The statements as ZoneQuery.cpp runs them.
    PrintPlan(db, "TagsInZoneAt (ended stays)",
              "SELECT e.tag, e.since FROM zone_stays s CROSS JOIN zone_events e ON e.seq = s.seq "
              "WHERE s.since <= ?2 AND s.until > ?2 AND s.zone_lo <= ?1 AND s.zone_hi >= ?1 "
              "AND e.since <= ?2 AND e.time > ?2");
    PrintPlan(db, "TagsInZoneAt (open stays)",
              "SELECT tag, since FROM zone_open WHERE zone = ?1 AND since <= ?2");
    PrintPlan(db, "ZoneOfTagAt",
              "SELECT seq, time, zone, kind, reader, since, last_seen FROM zone_events WHERE tag "
              "= ?1 AND time <= ?2 ORDER BY time DESC, seq DESC LIMIT 1");
    const std::int64_t first = SqlInt(db, "SELECT min(time) FROM zone_events");
    const std::int64_t last = SqlInt(db, "SELECT max(time) FROM zone_events");
    std::printf("history: %.1f days of zone events (%lld), %lld reads, %.0f MB\n",
                static_cast<double>(last - first) / 86'400'000,
                static_cast<long long>(SqlInt(db, "SELECT count(*) FROM zone_events")),
                static_cast<long long>(SqlInt(db, "SELECT count(*) FROM reads")),
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    std::mt19937 rng(77);
    const auto someTime = [&] {
        return first + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(last - first));
    };
    Figures inZone, ofTag, where, firstRead, walk;
    for (int i = 0; i < 300; ++i) {
        const std::string zone = ZoneName(static_cast<int>(rng() % kZones));
        const std::int64_t t = someTime();
        const auto t0 = Clock::now();
        const auto tags = r->TagsInZoneAt(zone, t);
        inZone.ms.push_back(Ms(Clock::now() - t0));
        inZone.rows += tags.ok() ? tags->size() : 0;
    }
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t tag = rng() % kTags;
        const std::int64_t t = someTime();
        const auto t0 = Clock::now();
        const auto at = r->ZoneOfTagAt(tag, t);
        ofTag.ms.push_back(Ms(Clock::now() - t0));
        ofTag.rows += at.ok() && at.value() ? 1 : 0;
    }
    // GET where at for a tag the service does not know now: is it in the history at all (a read,
    // or a zone event), then its zone at the time; the route's history part, as it runs it.
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t tag = rng() % kTags;
        const std::int64_t t = someTime();
        const auto t0 = Clock::now();
        history::Filter one;
        one.tag = tag;
        one.limit = 1;
        const auto reads = r->Reads(one);
        firstRead.ms.push_back(Ms(Clock::now() - t0));
        firstRead.rows += reads.ok() ? reads->size() : 0;
        const auto ever = r->ZoneOfTagAt(tag, INT64_MAX);
        const auto at = r->ZoneOfTagAt(tag, t);
        where.ms.push_back(Ms(Clock::now() - t0));
        where.rows += reads.ok() && !reads->empty() && ever.ok() && at.ok() && at.value() ? 1 : 0;
    }
    int agree = 0;
    for (int i = 0; i < 20; ++i) {
        const int zone = static_cast<int>(rng() % kZones);
        const std::string idOf = "SELECT id FROM zone_names WHERE name = '" + ZoneName(zone) + "'";
        const std::int64_t t = someTime();
        const auto t0 = Clock::now();
        const std::size_t in = WalkBack(db, SqlInt(db, idOf.c_str()), t);
        walk.ms.push_back(Ms(Clock::now() - t0));
        walk.rows += in;
        const auto tags = r->TagsInZoneAt(ZoneName(zone), t);
        agree += tags.ok() && tags->size() == in ? 1 : 0;
    }
    inZone.Print("TagsInZoneAt (R*Tree of stays + zone_open)");
    ofTag.Print("ZoneOfTagAt (zone_events_tag, one seek)");
    where.Print("GET where at, a tag unknown to the service");
    firstRead.Print("  of which its first read (Reads, limit 1)");
    walk.Print("for comparison: walking a zone's events back");
    std::printf("the walk and TagsInZoneAt found as many tags in %d of 20 cases\n", agree);
    sqlite3_close(db);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t events = 1'000'000;
    std::uint64_t reads = 0;
    std::filesystem::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--events" && i + 1 < argc) {
            events = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--reads" && i + 1 < argc) {
            reads = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: bench_history_zones [--events N] [--reads N] [--keep DIR]\n");
            return 2;
        }
    }
    if (events == 0) {
        std::fprintf(stderr, "bench_history_zones: --events must be at least 1\n");
        return 2;
    }
    const std::filesystem::path dir =
        keep.empty() ? std::filesystem::temp_directory_path() /
                           ("bench_history_zones." + std::to_string(::getpid()))
                     : keep;
    std::filesystem::create_directories(dir);
    const std::filesystem::path db = dir / "trelvane.db";
    int rc = 0;
    if (!std::filesystem::exists(db) && !Build(db, events, reads)) {
        rc = 1;
    }
    if (rc == 0) {
        rc = Query(db);
    }
    if (keep.empty()) {
        std::filesystem::remove_all(dir);
    }
    return rc;
}
