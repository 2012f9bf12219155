// Tag list refresh with 1,000,000 IDs in the table and the list: the incremental refresh after
// 1,000 reads (half of known IDs, half new) beside what a full walk of the table costs (the
// obvious implementation, and our own refresh with every record changed), plus RecordRead
// throughput on one thread and the memory a million IDs take.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "records/TagStore.h"
#include "support/ReferenceTagTable.h"
#include "support/TagFrames.h"

namespace {

using trelvane::FrameRecord;
using trelvane::LocalDateTime;
using trelvane::TagListModel;
using trelvane::TagStore;

constexpr std::uint32_t kIds = 1'000'000;
const LocalDateTime kNow{2026, 3, 8, 9, 5, 3};
const std::string kDevices[] = {"192.168.1.20:4001", "Gate-A", "Gate-B", "Dock 3 reader"};

constexpr auto IdAt = trelvane::test::ScatteredTagId;
constexpr auto SetId = trelvane::test::SetTagId;

long ResidentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

struct Filled {
    TagStore store;
    TagListModel list;
    std::uint64_t nextNew = kIds;  // index of the next never-read ID
};

Filled& Million() {
    static Filled* filled = [] {
        auto* f = new Filled;
        FrameRecord frame = trelvane::test::TagFrame(0);
        for (std::uint32_t i = 0; i < kIds; ++i) {
            SetId(frame, IdAt(i));
            f->store.RecordRead(kDevices[i % 4], trelvane::DecodeTagReport(frame), kNow);
        }
        f->store.RefreshTagList(f->list);
        return f;
    }();
    return *filled;
}

// 1,000 reads, 500 of known IDs and 500 new, then the refresh (only the refresh is timed).
void BM_IncrementalRefresh(benchmark::State& state) {
    Filled& f = Million();
    std::mt19937 random(7);
    FrameRecord frame = trelvane::test::TagFrame(0);
    std::size_t appended = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            SetId(frame, i % 2 ? IdAt(random() % kIds) : IdAt(f.nextNew++));
            f.store.RecordRead(kDevices[i % 4], trelvane::DecodeTagReport(frame), kNow);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto update = f.store.RefreshTagList(f.list);
        const auto stop = std::chrono::steady_clock::now();
        appended += update.appendedCount;
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.counters["rows"] = static_cast<double>(f.list.RowCount());
    state.counters["appended/refresh"] =
        static_cast<double>(appended) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IncrementalRefresh)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

// Our refresh when every one of the million records changed since the last one.
void BM_RefreshAllChanged(benchmark::State& state) {
    Filled& f = Million();
    FrameRecord frame = trelvane::test::TagFrame(0);
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < kIds; ++i) {
            SetId(frame, IdAt(i));
            f.store.RecordRead(kDevices[(i + 1) % 4], trelvane::DecodeTagReport(frame), kNow);
        }
        const auto start = std::chrono::steady_clock::now();
        f.store.RefreshTagList(f.list);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
}
BENCHMARK(BM_RefreshAllChanged)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The obvious refresh: walk the whole ordered table, find each ID's row, rewrite or append it.
void BM_FullWalkRefresh(benchmark::State& state) {
    trelvane::test::ReferenceTagTable table;
    trelvane::test::ReferenceTagTable::List list;
    for (std::uint32_t i = 0; i < kIds; ++i) {
        table.Record(std::to_string(IdAt(i)), kDevices[i % 4], "2026-03-08 09:05:03");
    }
    table.Refresh(list);
    for (auto _ : state) {
        table.Refresh(list);
        benchmark::DoNotOptimize(list.rows.data());
    }
}
BENCHMARK(BM_FullWalkRefresh)->Iterations(3)->Unit(benchmark::kMillisecond);

// RecordRead on one thread: re-reads of the million known IDs in random order.
void BM_RecordReadKnown(benchmark::State& state) {
    Filled& f = Million();
    std::mt19937 random(11);
    FrameRecord frame = trelvane::test::TagFrame(0);
    std::uint32_t i = 0;
    for (auto _ : state) {
        SetId(frame, IdAt(random() % kIds));
        f.store.RecordRead(kDevices[++i % 4], trelvane::DecodeTagReport(frame), kNow);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordReadKnown);

// RecordRead on one thread: every read a new ID (table growing from empty).
void BM_RecordReadNew(benchmark::State& state) {
    TagStore store;
    FrameRecord frame = trelvane::test::TagFrame(0, 14);
    std::uint64_t i = 0;
    for (auto _ : state) {
        SetId(frame, IdAt(i++));
        store.RecordRead("Gate-A", trelvane::DecodeTagReport(frame), kNow);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordReadNew);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const long before = ResidentBytes();
    const Filled& f = Million();
    malloc_trim(0);  // count what the table and list hold, not what the allocator kept
    const long after = ResidentBytes();
    std::printf(
        "1,000,000 IDs in table and list: resident +%.1f MiB (%.0f bytes/ID); "
        "table %.1f MiB, list %.1f MiB by their own count\n",
        static_cast<double>(after - before) / (1 << 20), static_cast<double>(after - before) / kIds,
        static_cast<double>(f.store.MemoryBytes()) / (1 << 20),
        static_cast<double>(f.list.MemoryBytes()) / (1 << 20));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
