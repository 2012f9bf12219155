// Deframing throughput: ExtractFrames over a long stream of tag reports (L = 17) fed through a
// device receive buffer the way the receive path fills it, beside a plain memcpy of the same
// bytes through the same buffer (the ceiling).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "protocol/FrameCodec.h"

namespace {

using trelvane::FrameRecord;
using trelvane::kReceiveBufferSize;

std::vector<std::uint8_t> TagReportStream(std::size_t frames) {
    std::vector<std::uint8_t> stream;
    std::array<std::uint8_t, 264> out{};
    for (std::size_t i = 0; i < frames; ++i) {
        const auto id = static_cast<std::uint32_t>(i * 2654435761u);
        const std::uint8_t data[16] = {0x00,
                                       0,
                                       0,
                                       0,
                                       0,
                                       static_cast<std::uint8_t>(id >> 24),
                                       static_cast<std::uint8_t>(id >> 16),
                                       static_cast<std::uint8_t>(id >> 8),
                                       static_cast<std::uint8_t>(id),
                                       0x03,
                                       0x05,
                                       0x09,
                                       0x07,
                                       0x08,
                                       0x03,
                                       0x26};
        const auto n = trelvane::BuildFrame(0x62, data, 0, out);
        stream.insert(stream.end(), out.begin(), out.begin() + static_cast<long>(*n));
    }
    return stream;
}

const std::vector<std::uint8_t>& Stream() {
    static const auto stream = TagReportStream(100'000);
    return stream;
}

// Moves the stream through the 1024-byte buffer in 256-byte receives, deframing whenever the
// next receive would not fit, exactly as the receive path and the parse thread share it.
void BM_ExtractFrames(benchmark::State& state) {
    const auto& stream = Stream();
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
    std::vector<FrameRecord> records(50);
    std::size_t frames = 0;
    for (auto _ : state) {
        std::size_t pos = 0;
        while (pos < stream.size()) {
            const std::size_t chunk = std::min<std::size_t>(256, stream.size() - pos);
            if (buffered + chunk > kReceiveBufferSize) {
                frames += trelvane::ExtractFrames(buffer, buffered, records, lock);
                continue;
            }
            {
                std::lock_guard guard(lock);
                std::memcpy(buffer.data() + buffered, stream.data() + pos, chunk);
                buffered += chunk;
            }
            pos += chunk;
        }
        while (std::size_t n = trelvane::ExtractFrames(buffer, buffered, records, lock)) {
            frames += n;
        }
        benchmark::DoNotOptimize(records.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExtractFrames)->Unit(benchmark::kMillisecond);

// The ceiling: the same receives into the same buffer, emptied by a memmove instead of deframing.
void BM_MemcpyCeiling(benchmark::State& state) {
    const auto& stream = Stream();
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
    for (auto _ : state) {
        std::size_t pos = 0;
        while (pos < stream.size()) {
            const std::size_t chunk = std::min<std::size_t>(256, stream.size() - pos);
            if (buffered + chunk > kReceiveBufferSize) {
                std::lock_guard guard(lock);
                std::memmove(buffer.data(), buffer.data() + 256, buffered - 256);
                buffered -= 256;
                continue;
            }
            {
                std::lock_guard guard(lock);
                std::memcpy(buffer.data() + buffered, stream.data() + pos, chunk);
                buffered += chunk;
            }
            pos += chunk;
        }
        buffered = 0;
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyCeiling)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
