#pragma once

// The reader side of the protocol without any I/O: bytes from the host go in, the reader's
// answers come out as escaped frames appended to a caller's vector. SimReader puts a socket
// around it; the fuzz target drives it directly. Pure C++ so that it builds without Qt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"

namespace trelvane {

// Everything that shapes one simulated reader. Defaults describe a well-behaved reader.
struct SimReaderOptions {
    // Identity texts, sent byte for byte (no terminator). Each must leave its reply frame within
    // kMaxSimIdentityText bytes; a longer one is answered with status 1.
    std::string deviceName = "R01";
    std::string productType = "K314";
    std::string serialNo = "SN00000001";
    std::string softwareVer = "V2.1.0";
    std::string hardwareVer = "HW1.0";

    // Radio settings as list indexes; the host reads and changes them.
    std::uint8_t atten = 0;
    std::uint8_t carrier = 0;

    // Tag reports: L = 17 carries the reader's clock, L = 14 carries four zero bytes instead.
    int reportLength = 17;
    // Reports per second while reporting; 0 = as fast as the host takes them.
    double rate = 10.0;
    // Tag numbers run firstTag, firstTag + 1, ... firstTag + tagCount - 1, then wrap. A fleet
    // shares one cursor (see SimPacer::NextTag). firstTag + tagCount - 1 must fit 32 bits.
    std::uint32_t firstTag = 12345678;
    std::uint32_t tagCount = 1000;
    // Reports are written only while the socket's unsent bytes stay at or below this bound.
    std::size_t unsentBound = 64 * 1024;

    // Misbehaviour for the server's tests.
    bool silent = false;     // answers nothing at all (and so never starts reporting)
    int identityAfter = 1;   // answer identity queries from the Nth on; 0 = never
    int clockAfter = 1;      // same for set-clock commands
    int startAfter = 1;      // same for start-read commands
    bool failClock = false;  // clock replies carry status 1
    bool failSet = false;    // ATTEN / carrier set replies carry status 1
    bool failQuery = false;  // ATTEN / carrier query replies carry status 1

    // Keep every received frame (tests assert on them); a load run turns this off.
    bool keepFrames = true;
};

// The longest identity text whose reply frame fits the frame builder's output even when every
// byte needs escaping: 1 + 2 * (6 + 2 + 120 - 1) = 255.
inline constexpr std::size_t kMaxSimIdentityText = 120;

// What a reader has done, for tests and the program's summary. Byte counts are bytes handed to
// the socket (escaped, as on the wire).
struct SimReaderStats {
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesDropped = 0;  // received bytes thrown away as undecodable
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReporting = 0;  // bytes sent while reporting, replies included
    std::uint64_t bytesAcked = 0;      // sum of the host's data-acknowledgement counts
    std::uint64_t reportsSent = 0;
    std::uint64_t reportsSkipped = 0;  // reports due while the unsent bound was reached
    std::uint64_t framesReceived = 0;
    std::array<std::uint64_t, 256> framesByCommand{};
    // The seven clock bytes of the last set-clock command the reader answered, as received
    // (valid or not). Commands it ignored (silent, clockAfter) are only in the frame log.
    std::optional<std::array<std::uint8_t, 7>> lastClock;
    std::uint32_t lastTag = 0;
    std::int64_t maxUnsentBytes = 0;
    std::uint64_t connects = 0;
};

class SimReaderCore {
  public:
    // `clock` gives the local time before the host sets the reader's clock and the elapsed
    // time after it; it must outlive the core.
    SimReaderCore(SimReaderOptions options, const Clock& clock);

    // Takes bytes the host sent, in any pieces, and appends every answer to `out`. Called once
    // per socket read.
    void Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);

    // Appends one escaped tag report for `tag` and counts it. Returns the bytes appended.
    std::size_t AppendReport(std::uint32_t tag, std::vector<std::uint8_t>& out);

    // The clock bytes the next report carries: the clock the host set plus the time elapsed
    // since, or the local time while the host has not set a valid clock.
    std::array<std::uint8_t, 7> ReportClock() const;

    // Counts bytes handed to the socket besides the core's own frames (raw test bytes); those
    // sent while reporting also count as reporting.
    void NoteSent(std::size_t bytes);

    // A new connection: clears the receive buffer, the request counters and reporting. The
    // clock, the radio settings and every statistic carry over.
    void ResetConnection();
    void StopReporting() { reporting_ = false; }

    bool Reporting() const { return reporting_; }
    const SimReaderOptions& Options() const { return options_; }
    SimReaderOptions& MutableOptions() { return options_; }
    SimReaderStats& Stats() { return stats_; }
    const SimReaderStats& Stats() const { return stats_; }
    // Unescaped frames received, in order (only with keepFrames).
    const std::vector<std::vector<std::uint8_t>>& ReceivedFrames() const { return frames_; }
    void ClearReceivedFrames() { frames_.clear(); }

    // Called for every received frame, unescaped, before the reader answers it.
    std::function<void(std::span<const std::uint8_t>)> onFrame;

  private:
    void Handle(const FrameRecord& record, std::vector<std::uint8_t>& out);
    bool Admit(int& seen, int after);
    // Appends one escaped frame and counts it as sent in the current reporting state.
    std::size_t Append(std::uint8_t command, unsigned parameter, std::span<const std::uint8_t> data,
                       std::vector<std::uint8_t>& out);
    void ReplyStatus(std::uint8_t command, std::uint8_t status, std::vector<std::uint8_t>& out);
    void ReplyIdentity(std::uint8_t item, std::vector<std::uint8_t>& out);
    // Records the clock bytes and adopts them when they are a valid date; false otherwise.
    bool SetClock(const FrameRecord& record);

    SimReaderOptions options_;
    const Clock& clock_;
    SimReaderStats stats_;
    std::vector<std::vector<std::uint8_t>> frames_;

    // The reader's own receive buffer, the same size and rules as a device buffer on the host.
    std::array<std::uint8_t, kReceiveBufferSize> buffer_{};
    std::size_t buffered_ = 0;
    std::mutex bufferLock_;  // ExtractFrames wants one; never contended here

    bool reporting_ = false;
    int identitySeen_ = 0;
    int clockSeen_ = 0;
    int startSeen_ = 0;

    // The host-set clock, once a valid one arrived, and the tick it arrived at.
    std::optional<LocalDateTime> clockBase_;
    std::uint32_t clockBaseTick_ = 0;
};

// Decodes seven packed-BCD clock bytes (second, minute, hour, weekday, day, month, year - 2000)
// into a date, or nothing when a field is not valid BCD or not a real date. The weekday byte
// is not trusted; the result's day of week is computed.
std::optional<LocalDateTime> DecodeBcdClock(std::span<const std::uint8_t, 7> bytes);

}  // namespace trelvane
