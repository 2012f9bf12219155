#pragma once

#include <atomic>
#include <cstdint>

namespace trelvane {

// Counters of the receive pipeline since the engine was made (any thread may read them).
struct PipelineStats {
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<std::uint64_t> chunksReceived{0};
    std::atomic<std::uint64_t> readPauses{0};      // a full buffer held a socket back
    std::atomic<std::uint64_t> sendPauses{0};      // unsent frames held a socket back
    std::atomic<std::uint64_t> bytesDiscarded{0};  // full buffers without a start byte
    std::atomic<std::uint64_t> framesDispatched{0};
    std::atomic<std::uint64_t> eventsEmitted{0};  // reads, device and presence events
    // The MQTT publisher's, written by its thread: 0 off, 1 connecting, 2 connected, 3 down,
    // 4 enabled but unavailable (no history); events not acknowledged yet; reads and presence
    // events handed on since the start.
    std::atomic<std::uint8_t> mqttState{0};
    std::atomic<std::uint64_t> mqttBacklog{0};
    std::atomic<std::uint64_t> mqttPublished{0};
};

}  // namespace trelvane
