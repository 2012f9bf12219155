#pragma once

// A load generator that is not the bottleneck of what it measures: N readers that answer the
// host's start-up dialogue through SimReaderCore and then stream one precomputed buffer of tag
// reports as fast as each socket takes them, reading and counting the host's acknowledgements.
// One thread, one epoll set, no Qt, no per-report work: a run into a plain sink shows what it
// can push, so a run into the server shows the server.
//
// Linux only (epoll). Every loop is bounded by the run's deadlines.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace trelvane {

// Whole escaped tag reports back to back, and the offset just past each one. Built once and
// shared, read-only, by every connection of a run.
struct ReplayBuffer {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> ends;  // ascending; ends.back() == bytes.size()

    // Reports wholly inside the first `offset` bytes of an endless repetition of the buffer.
    std::uint64_t ReportsBefore(std::uint64_t offset) const;
    // The smallest report boundary at or after `offset` (an offset into the repetition).
    std::uint64_t BoundaryAtOrAfter(std::uint64_t offset) const;
};

// Reports for tags firstTag, firstTag + 1, ... (wrapping after tagCount) with the given length
// byte (17 carries `readerTime`, 14 four zero bytes), repeated in whole cycles of the tags until
// the buffer holds at least `minBytes`. firstTag + tagCount - 1 must fit 32 bits; tagCount > 0.
ReplayBuffer BuildReplayBuffer(std::uint32_t firstTag, std::uint32_t tagCount, int reportLength,
                               std::size_t minBytes = std::size_t{1} << 20);

struct ReplayOptions {
    std::uint32_t host = 0x7F000001;  // IPv4, host byte order
    std::uint16_t port = 7088;
    int readers = 1;
    // Connections take their source address in turn from 127.0.0.2 .. 127.0.0.(1 + n), each
    // address pair giving its own ~28,000 ephemeral ports; 0 = the kernel's choice.
    int sourceAddresses = 0;
    // Reader k (0-based) names itself namePrefix + k + 1 in at least two digits, as a fleet does.
    std::string namePrefix = "R";
    // false: stream from the moment a connection is up, without waiting for a start-read command
    // (for a sink that runs no dialogue).
    bool dialogue = true;
    // true: readers go through the dialogue and then only hold their connections (answering
    // what the host sends) until the stream would end: a fleet at rest, for scale runs.
    bool hold = false;
    std::uint32_t firstTag = 12345678;
    std::uint32_t tagCount = 1000;
    int reportLength = 17;
    // Streaming lasts this long from the first report on; readers that start later stop at the
    // same moment.
    double streamSeconds = 10;
    // Readers not reporting this long after the run began are left out of the stream.
    double startTimeoutSeconds = 30;
    // After streaming, how long to wait for the acknowledgements of everything streamed.
    double drainSeconds = 30;
    // Connection attempts in flight at once.
    int connectWindow = 256;
    // Bytes handed to one send() at most.
    std::size_t maxWrite = 256 * 1024;
};

struct ReplayResult {
    int readers = 0;
    int connected = 0;  // connections that came up
    int reporting = 0;  // readers that streamed
    int connectFailures = 0;
    int closedByPeer = 0;             // connections the host closed before the end
    std::uint64_t reports = 0;        // whole reports streamed
    std::uint64_t bytesStreamed = 0;  // their bytes
    std::uint64_t bytesAcked = 0;     // the sum of the host's acknowledgement counts
    std::uint64_t acks = 0;           // acknowledgement frames received
    std::uint64_t bytesReceived = 0;
    double streamSeconds = 0;  // first report to the end of streaming
    double ackSeconds = 0;     // first report to the last acknowledgement
    bool drained = false;      // every streamed byte was acknowledged within drainSeconds
};

// Runs one load to its end (or until `stop` turns true; the stream then ends at once and the
// drain is skipped). `progress`, when given, is called about once a second with the totals so
// far.
ReplayResult RunReplay(const ReplayOptions& options, const ReplayBuffer& buffer,
                       const std::atomic<bool>* stop = nullptr,
                       const std::function<void(const ReplayResult&)>& progress = {});

}  // namespace trelvane
