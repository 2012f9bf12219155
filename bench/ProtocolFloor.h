#pragma once

// The protocol's own cost, as a reference for the server's: a minimal single-threaded server of
// ours that does the protocol work trelvaned does per report and nothing else. Per connection it
// runs a short start-up dialogue (name, clock, start reading, all sent at once), takes what
// arrives in receives of at most 256 bytes, acknowledges each with one CMD_DATA_ACK of that
// count (the same bytes trelvaned sends), appends it to the 1024-byte device buffer, deframes
// and CRC-checks with the same code whenever the buffer is full and at the end of each readiness
// event, and keeps a table of tags (count, last reader time) keyed by the tag number. With a
// KeepRecord bit set it also makes each read's log line (ID text, reader name, PC time) and
// writes them to that day's files, kept open, at the end of each event.
//
// Two ways to move the bytes:
//   per chunk  one recv() and one send() of the acknowledgement per 256-byte chunk, as a plain
//              reading of the protocol does;
//   batched    one recv() of up to 64 KiB, cut into the same chunks, and all their
//              acknowledgements in one send(): the same frames on the wire, the fewest syscalls.
//
// No GUI models, no parse thread, no history. Linux only (epoll).

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace trelvane {

struct FloorOptions {
    std::uint16_t port = 0;  // 0: any free port (see ProtocolFloor::Port)
    bool batched = false;
    int keepRecord = 0;  // bit 0: the text log, bit 1: the sheet log, as KeepRecord
    std::filesystem::path logFolder = ".";
};

struct FloorStats {
    std::uint64_t connections = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t chunks = 0;   // receives of at most 256 bytes; one acknowledgement each
    std::uint64_t acks = 0;     // acknowledgement frames sent
    std::uint64_t frames = 0;   // frames deframed
    std::uint64_t reports = 0;  // tag reports recorded
    std::uint64_t tags = 0;     // distinct tags in the table
    std::uint64_t logBytes = 0;
    std::uint64_t recvCalls = 0;
    std::uint64_t sendCalls = 0;
};

class ProtocolFloor {
  public:
    explicit ProtocolFloor(FloorOptions options);
    ~ProtocolFloor();
    ProtocolFloor(const ProtocolFloor&) = delete;
    ProtocolFloor& operator=(const ProtocolFloor&) = delete;

    // Binds 127.0.0.1 and listens; false with `error` set when it cannot.
    bool Listen(std::string& error);
    std::uint16_t Port() const;

    // Serves until `stop` turns true (checked at least every 50 ms), then closes every
    // connection. Stats() may be read from any thread while it runs.
    void Run(const std::atomic<bool>& stop);
    FloorStats Stats() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace trelvane
