// The history's figures: append rate in batches of 1,000 and 10,000 reads, bytes on disk per
// read, and one-tag queries over a 10-million-read database, beside their goals. A realistic
// mix: 100 readers, 10,000 tags, each tag read ten times a minute (100,000 reads a minute),
// mostly at its own reader. Prints figures; never fails on time.
//
//   bench_history [--reads N] [--keep DIR]
//     --reads N   reads of the large database (default 10,000,000)
//     --arrivals  only the arrival burst
//     --keep DIR  build the large database in DIR and leave it there (default: a temporary
//                 folder, removed at the end); when DIR holds one already, it is opened for
//                 writing (which upgrades a file of an older release, timed) and queried

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "history/Reader.h"
#include "history/Writer.h"

namespace {

using namespace trelvane;
using Clock = std::chrono::steady_clock;

constexpr int kReaders = 100;
constexpr std::uint32_t kTags = 10000;
constexpr int kReadsPerTagPerMinute = 10;
constexpr std::int64_t kStart = 1796000000000;
constexpr double kGoalReadsPerSecond = 500000;
constexpr double kGoalQueryMs = 50;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Generates the stream: round after round, every tag once in a shuffled order, 0.6 ms apart.
class Stream {
  public:
    Stream() : rng_(12345), order_(kTags) {
        for (int r = 0; r < kReaders; ++r) {
            names_.push_back("Reader " + std::to_string(r));
            devices_.push_back("10.0." + std::to_string(r / 250) + "." + std::to_string(r % 250) +
                               ":4001");
        }
        std::iota(order_.begin(), order_.end(), 0u);
    }

    void Fill(std::vector<history::Read>& batch, std::size_t n) {
        batch.clear();
        for (std::size_t i = 0; i < n; ++i) {
            if (pos_ == order_.size()) {
                std::shuffle(order_.begin(), order_.end(), rng_);
                pos_ = 0;
            }
            const std::uint32_t tag = order_[pos_++] * 7919u + 100000u;
            // One read in twenty at a neighbouring reader.
            const int reader = static_cast<int>((tag + (rng_() % 20 == 0 ? 1 : 0)) % kReaders);
            ++seq_;
            const std::int64_t time =
                kStart + static_cast<std::int64_t>(seq_) * 60000 / (kTags * kReadsPerTagPerMinute);
            const auto second = static_cast<std::uint8_t>(time / 1000 % 60);
            batch.push_back(history::Read{seq_, time, tag, names_[reader], devices_[reader],
                                          ReaderTime{26, 11, 30, 8, 0, second}});
        }
    }

    std::uint64_t Seq() const { return seq_; }
    static std::uint32_t TagOf(std::uint32_t index) { return index * 7919u + 100000u; }

  private:
    std::mt19937 rng_;
    std::vector<std::uint32_t> order_;
    std::size_t pos_ = kTags;
    std::uint64_t seq_ = 0;
    std::vector<std::string> names_;
    std::vector<std::string> devices_;
};

struct AppendFigures {
    double readsPerSecond = 0;
    double bytesPerRead = 0;
    bool ok = false;
};

AppendFigures Append(const std::filesystem::path& db, std::uint64_t reads, std::size_t batchSize) {
    AppendFigures f;
    history::Result<history::Writer> w = history::Writer::Open({db});
    if (!w.ok()) {
        std::fprintf(stderr, "bench_history: %s\n", w.error().text.c_str());
        return f;
    }
    Stream stream;
    std::vector<history::Read> batch;
    batch.reserve(batchSize);
    Clock::duration spent{};
    std::uint64_t done = 0;
    while (done < reads) {
        stream.Fill(batch, std::min<std::uint64_t>(batchSize, reads - done));
        const auto t0 = Clock::now();
        const history::Status st = w->Append(history::Batch{batch, {}, {}, {}});
        spent += Clock::now() - t0;
        if (!st.ok()) {
            std::fprintf(stderr, "bench_history: %s\n", st.error().text.c_str());
            return f;
        }
        done += batch.size();
    }
    { auto closing = std::move(w).value(); }  // checkpoints the WAL into the file
    std::error_code ec;
    f.readsPerSecond = static_cast<double>(done) / Seconds(spent);
    f.bytesPerRead =
        static_cast<double>(std::filesystem::file_size(db, ec)) / static_cast<double>(done);
    f.ok = true;
    return f;
}

// The first minutes of a site coming up: every tag is new at every reader, so each read comes
// with its presence arrival (the server's worst case: 100 readers x 10,000 tags = 1,000,000
// pairs). Batches of `batchSize` events, half reads and half arrivals, as a parse pass hands
// them over. Figures: events and reads per second.
AppendFigures ArrivalBurst(const std::filesystem::path& db, std::size_t batchSize) {
    AppendFigures f;
    history::Result<history::Writer> w = history::Writer::Open({db});
    if (!w.ok()) {
        std::fprintf(stderr, "bench_history: %s\n", w.error().text.c_str());
        return f;
    }
    std::vector<std::string> names, devices;
    for (int r = 0; r < kReaders; ++r) {
        names.push_back("Reader " + std::to_string(r));
        devices.push_back("10.0.0." + std::to_string(r) + ":4001");
    }
    // Readers send in turn, each a run of its own tags, as passes over many devices do.
    std::vector<history::Read> reads;
    std::vector<history::PresenceEvent> arrivals;
    std::uint64_t seq = 0;
    Clock::duration spent{};
    std::uint64_t events = 0;
    constexpr std::size_t kRun = 250;
    const std::size_t pairs = std::size_t{kReaders} * kTags;
    std::size_t next = 0;
    std::mt19937 rng(99);
    std::vector<std::uint32_t> order(kTags);
    std::iota(order.begin(), order.end(), 0u);
    std::vector<std::vector<std::uint32_t>> tagsOf(kReaders, order);
    for (auto& tags : tagsOf) {
        std::shuffle(tags.begin(), tags.end(), rng);
    }
    while (next < pairs) {
        reads.clear();
        arrivals.clear();
        while (reads.size() * 2 < batchSize && next < pairs) {
            const std::size_t round = next / (std::size_t{kReaders} * kRun);
            const int reader = static_cast<int>(next / kRun % kReaders);
            for (std::size_t k = 0; k < kRun && next < pairs; ++k, ++next) {
                const std::uint32_t tag =
                    Stream::TagOf(tagsOf[static_cast<std::size_t>(reader)][round * kRun + k]);
                const std::int64_t time = kStart + static_cast<std::int64_t>(seq / 1000);
                reads.push_back(
                    history::Read{++seq, time, tag, names[reader], devices[reader], std::nullopt});
                arrivals.push_back(history::PresenceEvent{++seq, time, tag, names[reader],
                                                          devices[reader],
                                                          history::PresenceKind::kArrive});
            }
        }
        const auto t0 = Clock::now();
        const history::Status st = w->Append(history::Batch{reads, {}, arrivals, {}});
        spent += Clock::now() - t0;
        if (!st.ok()) {
            std::fprintf(stderr, "bench_history: %s\n", st.error().text.c_str());
            return f;
        }
        events += reads.size() + arrivals.size();
    }
    { auto closing = std::move(w).value(); }
    f.readsPerSecond = static_cast<double>(events) / 2 / Seconds(spent);
    f.ok = true;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t bigReads = 10'000'000;
    std::filesystem::path keep;
    bool arrivalsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reads" && i + 1 < argc) {
            bigReads = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--arrivals") {
            arrivalsOnly = true;
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_history [--reads N] [--keep DIR] [--arrivals]\n");
            return 2;
        }
    }
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                          ("trelvane-history-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch);

    std::printf("history append, %d readers, %u tags, %d reads per tag per minute\n", kReaders,
                kTags, kReadsPerTagPerMinute);
    for (const std::size_t batch : {std::size_t{1000}, std::size_t{10000}}) {
        if (arrivalsOnly) {
            break;
        }
        const std::filesystem::path db = scratch / ("append-" + std::to_string(batch) + ".db");
        const AppendFigures f = Append(db, 2'000'000, batch);
        if (f.ok) {
            std::printf(
                "  batches of %6zu: %9.0f reads/s (goal >= %.0f)  %5.1f bytes/read on disk\n",
                batch, f.readsPerSecond, kGoalReadsPerSecond, f.bytesPerRead);
        }
        std::filesystem::remove(db);
    }

    std::printf("arrival burst: every read the first of its tag at its reader (%d x %u pairs)\n",
                kReaders, kTags);
    {
        const std::filesystem::path db = scratch / "arrivals.db";
        const AppendFigures f = ArrivalBurst(db, 100000);
        if (f.ok) {
            std::printf(
                "  batches of 100000: %9.0f reads/s, each with its arrival (goal >= %.0f)\n",
                f.readsPerSecond, kGoalReadsPerSecond);
            // The presence of one tag among the burst's arrivals: its 100, one per reader.
            history::Result<history::Reader> r = history::Reader::Open(db);
            std::vector<double> ms;
            std::size_t rows = 0;
            for (int i = 0; r.ok() && i < 7; ++i) {
                history::Filter q;
                q.tag = Stream::TagOf(static_cast<std::uint32_t>(i * 997 % kTags));
                q.limit = SIZE_MAX;
                const auto t0 = Clock::now();
                const auto found = r->Presence(q);
                ms.push_back(Seconds(Clock::now() - t0) * 1000);
                rows = found.ok() ? found->size() : 0;
            }
            if (!ms.empty()) {
                std::sort(ms.begin(), ms.end());
                std::printf("  presence of one tag: %zu events in %.2f ms (median of %zu)\n", rows,
                            ms[ms.size() / 2], ms.size());
            }
            // What a start after a kill reads to depart them all: every arrival is open.
            if (r.ok()) {
                const auto t0 = Clock::now();
                const auto open = r->OpenArrivals();
                std::printf(
                    "  open arrivals with their last reads (a start after a kill): %zu in "
                    "%.2f s\n",
                    open.ok() ? open->size() : 0, Seconds(Clock::now() - t0));
            }
        }
        std::filesystem::remove(db);
    }
    if (arrivalsOnly) {
        std::filesystem::remove_all(scratch);
        return 0;
    }

    const std::filesystem::path bigDir = keep.empty() ? scratch : keep;
    std::filesystem::create_directories(bigDir);
    const std::filesystem::path big = bigDir / "bench-big.db";
    std::error_code ec;
    if (!std::filesystem::exists(big, ec)) {
        std::printf("building %llu reads in %s ...\n", static_cast<unsigned long long>(bigReads),
                    big.c_str());
        std::fflush(stdout);
        const AppendFigures f = Append(big, bigReads, 10000);
        if (!f.ok) {
            return 1;
        }
        std::printf(
            "  batches of  10000: %9.0f reads/s over %llu reads, %5.1f bytes/read on disk "
            "(%.0f MB)\n",
            f.readsPerSecond, static_cast<unsigned long long>(bigReads), f.bytesPerRead,
            f.bytesPerRead * static_cast<double>(bigReads) / 1e6);
    } else {
        // A database of an older release is upgraded here: the time is the upgrade's.
        std::printf("using the database already in %s\n", big.c_str());
        const auto t0 = Clock::now();
        history::Result<history::Writer> w = history::Writer::Open({big});
        if (!w.ok()) {
            std::fprintf(stderr, "bench_history: %s\n", w.error().text.c_str());
            return 1;
        }
        { auto closing = std::move(w).value(); }
        std::printf("  opened for writing (and upgraded if older) in %.2f s\n",
                    Seconds(Clock::now() - t0));
    }

    history::Result<history::Reader> reader = history::Reader::Open(big);
    if (!reader.ok()) {
        std::fprintf(stderr, "bench_history: %s\n", reader.error().text.c_str());
        return 1;
    }
    // One tag, all of it; then one tag over one hour; then the first page of 1,000.
    struct Query {
        const char* what;
        bool hour;
        std::size_t limit;
    };
    for (const Query& q :
         {Query{"one tag, all reads", false, SIZE_MAX}, Query{"one tag, one hour", true, SIZE_MAX},
          Query{"one tag, first 1000", false, 1000}}) {
        std::vector<double> ms;
        std::size_t rows = 0;
        for (std::uint32_t i = 0; i < 21; ++i) {
            history::Filter f;
            f.tag = Stream::TagOf(i * 457 % kTags);
            f.limit = q.limit;
            if (q.hour) {
                f.sinceMs = kStart + 30 * 60000;
                f.untilMs = kStart + 90 * 60000;
            }
            const auto t0 = Clock::now();
            const auto result = reader->Reads(f);
            ms.push_back(Seconds(Clock::now() - t0) * 1000);
            if (!result.ok()) {
                std::fprintf(stderr, "bench_history: %s\n", result.error().text.c_str());
                return 1;
            }
            rows = result->size();
        }
        const double first = ms.front();
        std::sort(ms.begin(), ms.end());
        std::printf(
            "  %-22s %6zu rows: median %7.2f ms, max %7.2f ms, first %7.2f ms "
            "(goal < %.0f ms)\n",
            q.what, rows, ms[ms.size() / 2], ms.back(), first, kGoalQueryMs);
    }
    if (keep.empty()) {
        std::filesystem::remove_all(scratch, ec);
    } else {
        std::filesystem::remove_all(scratch, ec);
    }
    return 0;
}
