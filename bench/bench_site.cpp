// The site register's figures beside their goals: a CSV import of a million assets into a fresh
// register, the snapshot's bytes per asset, and what a large register costs afterwards: edits of
// an asset and of a zone, made here or by another connection and taken up by Refresh, beside the
// snapshot built whole from the file (what every edit cost before the overlay); a run of edits
// through the overlay's merge; look-ups with the overlay empty and full; an export.
// Prints figures; never fails on time.
//
//   bench_site [--assets N] [--keep DIR]
//     --assets N  assets in the generated file (default 1,000,000)
//     --keep DIR  make the CSV file and the register in DIR and leave them there (default: a
//                 temporary folder, removed at the end)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "site/AssetCsv.h"
#include "site/Register.h"

namespace {

using namespace trelvane;
using Clock = std::chrono::steady_clock;

constexpr double kGoalImportSeconds = 10;
constexpr double kGoalBytesPerAsset = 100;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double PeakMb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

// The tag WriteList gives asset `i`.
std::uint32_t TagOf(std::uint64_t i) {
    return static_cast<std::uint32_t>(i * 2654435761u % 4294967291u);
}

// A site's list: tags spread over the 32-bit range, labels as people number things (some
// repeated), 200 groups, a note on every tenth asset.
bool WriteList(const std::filesystem::path& file, std::uint64_t assets) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string chunk;
    site::AppendAssetCsvHeader(chunk);
    for (std::uint64_t i = 0; i < assets; ++i) {
        site::Asset a;
        a.tag = TagOf(i);
        a.label = "Pallet " + std::to_string(i % 900000) + (i % 3 == 0 ? " (returnable)" : "");
        a.group = "Bay " + std::to_string(i % 200);
        if (i % 10 == 0) {
            a.note = "checked by \"night shift\", row " + std::to_string(i % 40);
        }
        site::AppendAssetCsvLine(chunk, a);
        if (chunk.size() > (1 << 20)) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            chunk.clear();
        }
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    return static_cast<bool>(out.flush());
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Milliseconds of repeated runs of one thing.
struct Times {
    std::vector<double> ms;

    double At(double q) {
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    }
    void Print(const char* what) {
        const double median = At(0.5);
        std::printf("  %-58s median %7.3f ms, p99 %7.3f ms, max %7.3f ms (%zu runs)\n", what,
                    median, At(0.99), ms.back(), ms.size());
    }
};

template <class Fn>
double TimeMs(Fn&& fn) {
    const auto t0 = Clock::now();
    fn();
    return Ms(Clock::now() - t0);
}

// Nanoseconds per AssetOf over `tags` (each looked up `rounds` times); `found` counts hits.
double LookupNs(const site::Snapshot& s, const std::vector<std::uint32_t>& tags, int rounds,
                std::size_t& found) {
    found = 0;
    const auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const std::uint32_t tag : tags) {
            found += s.AssetOf(tag) ? 1 : 0;
        }
    }
    return Ms(Clock::now() - t0) * 1e6 / static_cast<double>(tags.size() * rounds);
}

int Fail(const site::Fault& fault) {
    std::fprintf(stderr, "bench_site: %s\n", fault.text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t assets = 1'000'000;
    std::filesystem::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--assets" && i + 1 < argc) {
            assets = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_site [--assets N] [--keep DIR]\n");
            return 2;
        }
    }
    const std::filesystem::path dir =
        keep.empty() ? std::filesystem::temp_directory_path() /
                           ("trelvane-site-bench-" + std::to_string(::getpid()))
                     : keep;
    std::filesystem::create_directories(dir);
    const std::filesystem::path csv = dir / "assets.csv";
    const std::filesystem::path db = dir / "site.db";
    std::filesystem::remove(db);
    std::filesystem::remove(db.string() + "-wal");
    std::filesystem::remove(db.string() + "-shm");
    if (!WriteList(csv, assets)) {
        std::fprintf(stderr, "bench_site: cannot write %s\n", csv.c_str());
        return 1;
    }
    std::printf("site register, %llu assets from a %.1f MB CSV file\n",
                static_cast<unsigned long long>(assets),
                static_cast<double>(std::filesystem::file_size(csv)) / 1e6);

    site::Fault fault;
    std::unique_ptr<site::Register> reg = site::Register::Open(db, fault);
    if (!reg) {
        return Fail(fault);
    }
    std::ifstream in(csv, std::ios::binary);
    auto t0 = Clock::now();
    const std::optional<site::ImportSummary> done = reg->ImportCsv(in, false, fault);
    const double importSeconds = Seconds(Clock::now() - t0);
    if (!done) {
        return Fail(fault);
    }
    const std::shared_ptr<const site::Snapshot> snapshot = reg->Current();
    const double perAsset = static_cast<double>(snapshot->MemoryBytes()) /
                            static_cast<double>(std::max<std::size_t>(snapshot->AssetCount(), 1));
    std::printf("  import into a fresh register: %6.2f s (goal < %.0f s), %llu added\n",
                importSeconds, kGoalImportSeconds, static_cast<unsigned long long>(done->added));
    std::printf("  snapshot: %6.1f bytes/asset (goal <= %.0f), %.1f MB\n", perAsset,
                kGoalBytesPerAsset, static_cast<double>(snapshot->MemoryBytes()) / 1e6);
    std::printf("  register file: %.1f MB; peak memory of this process: %.0f MB\n",
                static_cast<double>(std::filesystem::file_size(db)) / 1e6, PeakMb());

    in.clear();
    in.seekg(0);
    t0 = Clock::now();
    const std::optional<site::ImportSummary> again = reg->ImportCsv(in, true, fault);
    if (!again) {
        return Fail(fault);
    }
    std::printf("  the same file again, replacing: %6.2f s, %llu updated\n",
                Seconds(Clock::now() - t0), static_cast<unsigned long long>(again->updated));

    std::unique_ptr<site::Register> tool = site::Register::Open(db, fault);
    if (!tool) {
        return Fail(fault);
    }
    std::mt19937 rng(11);
    const auto someTag = [&] { return TagOf(rng() % assets); };
    constexpr int kRuns = 100;
    Times assetHere, zoneHere, assetTool, assetRefresh, zoneTool, zoneRefresh;
    const std::vector<std::string> readers[2] = {{"R01", "R02"}, {"R02", "R03", "R04"}};
    bool missed = false;
    for (int i = 0; i < kRuns; ++i) {
        const site::Asset edited{someTag(), "Edited " + std::to_string(i),
                                 "Bay " + std::to_string(i % 7), ""};
        site::Outcome f;
        assetHere.ms.push_back(TimeMs([&] { f = reg->SetAsset(edited); }));
        if (f) {
            return Fail(*f);
        }
        zoneHere.ms.push_back(TimeMs([&] { f = reg->SetZone("Dock", readers[i % 2]); }));
        if (f) {
            return Fail(*f);
        }
        const site::Asset byTool{someTag(), "From the tool " + std::to_string(i), "", ""};
        assetTool.ms.push_back(TimeMs([&] { f = tool->SetAsset(byTool); }));
        if (f) {
            return Fail(*f);
        }
        assetRefresh.ms.push_back(TimeMs([&] { missed |= !reg->Refresh(); }));
        const std::optional<site::Label> got = reg->Current()->AssetOf(byTool.tag);
        missed |= !got || got->label != byTool.label;
        zoneTool.ms.push_back(
            TimeMs([&] { f = tool->SetZone("Gate", {"G" + std::to_string(i % 2)}); }));
        if (f) {
            return Fail(*f);
        }
        zoneRefresh.ms.push_back(TimeMs([&] { missed |= !reg->Refresh(); }));
        const std::shared_ptr<const site::Snapshot> now = reg->Current();
        missed |= now->ZoneOfReader("G" + std::to_string(i % 2)) != now->ZoneNamed("Gate");
    }
    std::printf("with %llu assets (an overlay of up to %zu edited tags on a shared base):\n",
                static_cast<unsigned long long>(assets), site::Snapshot::kMaxOverlay);
    assetHere.Print("one edit of an asset (transaction and new snapshot)");
    zoneHere.Print("one edit of a zone");
    assetTool.Print("another connection's edit of an asset");
    assetRefresh.Print("... then Refresh (this register up to date)");
    zoneTool.Print("another connection's edit of a zone");
    zoneRefresh.Print("... then Refresh");
    if (missed) {
        std::printf("  A REFRESH MISSED AN EDIT\n");
    }
    std::unique_ptr<site::Register> whole;
    const double wholeMs = TimeMs([&] { whole = site::Register::Open(db, fault); });
    if (!whole) {
        return Fail(fault);
    }
    whole.reset();
    std::printf("  %-58s %7.3f ms\n", "the snapshot built whole from the file (opening)", wholeMs);

    // Edits until the overlay is merged into the base, twice over.
    Times run;
    double mergeMs = 0;
    std::size_t merges = 0;
    std::size_t fullOverlayBytes = 0;
    std::vector<std::uint32_t> lookups(100000);
    for (std::uint32_t& tag : lookups) {
        tag = rng() % 2 == 0 ? someTag() : static_cast<std::uint32_t>(rng());
    }
    std::size_t found = 0;
    const double emptyNs = LookupNs(*reg->Current(), lookups, 20, found);
    double fullNs = 0;
    for (int i = 0; merges < 2 && i < 20000; ++i) {
        const std::size_t before = reg->Current()->OverlaySize();
        site::Outcome f;
        const double ms = TimeMs([&] {
            f = reg->SetAsset({someTag(), "Run " + std::to_string(i), "Run", ""});
        });
        if (f) {
            return Fail(*f);
        }
        if (reg->Current()->OverlaySize() < before) {
            mergeMs = std::max(mergeMs, ms);
            ++merges;
        } else {
            run.ms.push_back(ms);
        }
        if (reg->Current()->OverlaySize() == site::Snapshot::kMaxOverlay && fullNs == 0) {
            const std::shared_ptr<const site::Snapshot> full = reg->Current();
            fullOverlayBytes = full->MemoryBytes();
            fullNs = LookupNs(*full, lookups, 20, found);
        }
    }
    run.Print("edits of assets, overlay filling");
    std::printf("  %-58s %7.3f ms (the slower of %zu)\n", "the edit that merges the overlay",
                mergeMs, merges);
    std::printf(
        "  AssetOf: %.1f ns with the overlay empty, %.1f ns with it full (%zu hits of %zu)\n",
        emptyNs, fullNs, found / 20, lookups.size());
    std::printf("  snapshot with a full overlay: %.1f bytes/asset\n",
                static_cast<double>(fullOverlayBytes) / static_cast<double>(assets));

    if (const site::Outcome f = tool->RemoveAsset(TagOf(7))) {
        return Fail(*f);
    }
    t0 = Clock::now();
    const bool refreshed = reg->Refresh();
    std::printf("  Refresh after another connection's edit: %6.3f s (%s)\n",
                Seconds(Clock::now() - t0), refreshed ? "taken up" : "NOT SEEN");
    t0 = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        reg->Refresh();
    }
    std::printf("  Refresh with nothing changed: %6.2f us\n",
                Seconds(Clock::now() - t0) * 1e6 / 1000);

    std::ofstream sink(dir / "export.csv", std::ios::binary | std::ios::trunc);
    t0 = Clock::now();
    if (const site::Outcome f = reg->ExportCsv(sink)) {
        return Fail(*f);
    }
    std::printf("  export: %6.2f s\n", Seconds(Clock::now() - t0));

    tool.reset();
    reg.reset();
    if (keep.empty()) {
        std::filesystem::remove_all(dir);
    }
    return 0;
}
