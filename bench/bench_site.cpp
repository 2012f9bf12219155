// The site register's figures beside their goals: a CSV import of a million assets into a fresh
// register, the snapshot's bytes per asset, and what a large register costs afterwards (one
// edit, which rebuilds the snapshot; a Refresh after another connection's edit; an export).
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
#include <string>

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

// A site's list: tags spread over the 32-bit range, labels as people number things (some
// repeated), 200 groups, a note on every tenth asset.
bool WriteList(const std::filesystem::path& file, std::uint64_t assets) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string chunk;
    site::AppendAssetCsvHeader(chunk);
    for (std::uint64_t i = 0; i < assets; ++i) {
        site::Asset a;
        a.tag = static_cast<std::uint32_t>(i * 2654435761u % 4294967291u);
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

    t0 = Clock::now();
    if (const site::Outcome f = reg->SetAsset({7, "One more", "Bay 7", ""})) {
        return Fail(*f);
    }
    std::printf("  one edit (its transaction and the new snapshot): %6.3f s\n",
                Seconds(Clock::now() - t0));

    std::unique_ptr<site::Register> tool = site::Register::Open(db, fault);
    if (!tool) {
        return Fail(fault);
    }
    if (const site::Outcome f = tool->RemoveAsset(7)) {
        return Fail(*f);
    }
    t0 = Clock::now();
    const bool refreshed = reg->Refresh();
    std::printf("  Refresh after another connection's edit: %6.3f s (%s)\n",
                Seconds(Clock::now() - t0), refreshed ? "rebuilt" : "NOT SEEN");
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
