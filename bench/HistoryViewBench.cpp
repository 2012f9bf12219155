// The History window's table over a large history: opening it (time to the first rows),
// indexing to the end in the window's time-bounded slices (the longest slice is what the
// event loop waits for at worst), scrolling the real table view to its last row and back,
// turning the order round, and the memory it holds meanwhile; the same with the Asset and Group
// filters' tag sets. Prints figures; never fails on time.
//
//   bench_history_view [--rows N] [--db FILE]
//     --rows N    reads of the database made for the run (default 10,000,000), in a temporary
//                 folder removed at the end
//     --db FILE   an existing history instead (e.g. one bench_history --keep left)

#include <unistd.h>

#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "history/Reader.h"
#include "history/Writer.h"
#include "shell/HistoryModel.h"

namespace {

using namespace trelvane;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// 100 readers, 10,000 tags, 1,000 reads a second, in batches of 10,000 (the writer's rollup
// as the service makes it).
bool Make(const std::filesystem::path& db, std::uint64_t rows) {
    history::Result<history::Writer> w = history::Writer::Open({db});
    if (!w.ok()) {
        std::fprintf(stderr, "bench_history_view: %s\n", w.error().text.c_str());
        return false;
    }
    std::vector<std::string> names, devices;
    for (int r = 0; r < 100; ++r) {
        names.push_back("Gate " + std::to_string(r));
        devices.push_back("10.0.0." + std::to_string(r) + ":4001");
    }
    std::vector<history::Read> batch;
    batch.reserve(10000);
    const std::int64_t start = 1796000000000;
    for (std::uint64_t seq = 1; seq <= rows; ++seq) {
        const auto tag = static_cast<std::uint32_t>(seq * 7919 % 10000 + 100000);
        const int r = static_cast<int>(tag % 100);
        batch.push_back(history::Read{seq, start + static_cast<std::int64_t>(seq), tag, names[r],
                                      devices[r], std::nullopt});
        if (batch.size() == batch.capacity() || seq == rows) {
            if (!w->Append(history::Batch{batch, {}, {}}).ok()) {
                std::fprintf(stderr, "bench_history_view: append failed\n");
                return false;
            }
            batch.clear();
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    std::uint64_t rows = 10'000'000;
    std::filesystem::path db;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rows" && i + 1 < argc) {
            rows = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--db" && i + 1 < argc) {
            db = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_history_view [--rows N] [--db FILE]\n");
            return 2;
        }
    }
    std::filesystem::path scratch;
    if (db.empty()) {
        scratch = std::filesystem::temp_directory_path() /
                  ("trelvane-view-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(scratch);
        db = scratch / "trelvane.db";
        const auto t0 = Clock::now();
        if (!Make(db, rows)) {
            return 1;
        }
        std::printf("made a history of %llu reads in %.1f s (%.0f MB)\n",
                    static_cast<unsigned long long>(rows), Ms(Clock::now() - t0) / 1000,
                    static_cast<double>(std::filesystem::file_size(db)) / 1e6);
    }
    const long rssBefore = RssKiB();

    QTableView view;
    HistoryModel model;
    view.setModel(&model);
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 6);
    view.resize(900, 500);
    view.show();

    // Open: the reader, the query, the first slice, the first rows painted.
    const auto t0 = Clock::now();
    history::Result<history::Reader> reader = history::Reader::Open(db);
    if (!reader.ok()) {
        std::fprintf(stderr, "bench_history_view: %s\n", reader.error().text.c_str());
        return 1;
    }
    model.SetQuery(std::move(reader.value()), events::Kind::kReads, {}, false);
    model.Index(std::chrono::milliseconds(15));
    (void)view.grab();
    const double openMs = Ms(Clock::now() - t0);
    std::printf("open to first rows shown: %.1f ms (%d rows known)\n", openMs, model.rowCount());

    // Index to the end as the window does: 15 ms slices with the event loop between.
    const auto t1 = Clock::now();
    double longest = 0;
    int slices = 0;
    bool end = false;
    while (!end && !model.HasFailed()) {
        const auto s = Clock::now();
        end = model.Index(std::chrono::milliseconds(15));
        longest = std::max(longest, Ms(Clock::now() - s));
        ++slices;
        QCoreApplication::processEvents();
    }
    const double indexMs = Ms(Clock::now() - t1);
    std::printf("indexed %d rows in %.2f s: %d slices, longest %.1f ms (%.0f rows/s)\n",
                model.rowCount(), indexMs / 1000, slices, longest,
                model.rowCount() / (indexMs / 1000));

    // Scroll to the end and show it.
    const std::size_t fetchesBefore = model.PageFetches();
    const auto t2 = Clock::now();
    view.scrollToBottom();
    QCoreApplication::processEvents();
    (void)view.grab();
    const double endMs = Ms(Clock::now() - t2);
    const int last = model.rowCount() - 1;
    std::printf("scroll to the end and paint: %.1f ms, %zu page fetches; last row seq %s\n", endMs,
                model.PageFetches() - fetchesBefore,
                model.index(last, 0).data().toString().toUtf8().constData());

    // Drag the scroll bar through the list in 50 jumps, painting each.
    const auto t3 = Clock::now();
    QScrollBar* bar = view.verticalScrollBar();
    double worst = 0;
    for (int i = 0; i <= 50; ++i) {
        const auto s = Clock::now();
        bar->setValue(bar->maximum() / 50 * i);
        (void)view.grab();
        worst = std::max(worst, Ms(Clock::now() - s));
    }
    std::printf("50 scroll-bar jumps across the list, painted: %.1f ms in all, worst %.1f ms\n",
                Ms(Clock::now() - t3), worst);

    const auto t4 = Clock::now();
    model.sort(1, Qt::DescendingOrder);
    view.scrollToTop();
    (void)view.grab();
    std::printf("newest first and paint: %.1f ms; top row seq %s\n", Ms(Clock::now() - t4),
                model.index(0, 0).data().toString().toUtf8().constData());
    std::printf(
        "memory: %ld KiB resident before opening, %ld KiB after (%zu pages cached of "
        "%d rows)\n",
        rssBefore, RssKiB(), model.PagesCached(), model.rowCount());

    // The Asset and Group filters: the tags of a label (a few, asked tag by tag) and of a group
    // (more than 64, scanned), indexed in the window's slices, then 50 scroll-bar jumps.
    for (const std::uint32_t count : {2u, 200u}) {
        std::vector<std::uint32_t> tags;
        for (std::uint32_t i = 0; i < count; ++i) {
            tags.push_back(100000 + i * 37);
        }
        history::Result<history::Reader> opened = history::Reader::Open(db);
        if (!opened.ok()) {
            return 1;
        }
        HistoryModel assets;
        view.setModel(&assets);
        const auto a0 = Clock::now();
        assets.SetQuery(std::move(opened.value()), events::Kind::kReads, {},
                        history::TagSet::Only(tags), false);
        assets.Index(std::chrono::milliseconds(15));
        (void)view.grab();
        const double firstMs = Ms(Clock::now() - a0);
        double longestSlice = 0;
        int assetSlices = 1;
        bool done = false;
        while (!done && !assets.HasFailed()) {
            const auto s = Clock::now();
            done = assets.Index(std::chrono::milliseconds(15));
            longestSlice = std::max(longestSlice, Ms(Clock::now() - s));
            ++assetSlices;
            QCoreApplication::processEvents();
        }
        const double allMs = Ms(Clock::now() - a0);
        double worstJump = 0;
        for (int i = 0; i <= 50; ++i) {
            const auto s = Clock::now();
            bar->setValue(bar->maximum() / 50 * i);
            (void)view.grab();
            worstJump = std::max(worstJump, Ms(Clock::now() - s));
        }
        std::printf(
            "asset filter of %u tags: first rows %.1f ms, %d rows indexed in %.2f s (%d slices, "
            "longest %.1f ms), 50 scroll-bar jumps worst %.1f ms\n",
            count, firstMs, assets.rowCount(), allMs / 1000, assetSlices, longestSlice, worstJump);
        view.setModel(&model);
    }

    if (!scratch.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
    }
    return 0;
}
