// The load generator and the protocol-cost floor against each other and against plain sockets:
// what they send is whole, decodable reports; what the floor acknowledges is exactly what it
// received, in trelvaned's own frames; nothing sent goes unrecorded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "ProtocolFloor.h"
#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "protocol/TagReport.h"
#include "sim/ReplayLoad.h"
#include "sim/SimReaderCore.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

// Every frame of the bytes, deframed with the server's own rules.
std::vector<FrameRecord> Deframe(std::span<const std::uint8_t> bytes) {
    std::vector<FrameRecord> frames;
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
    std::array<FrameRecord, 16> records;
    // A trailing start byte lets the last frame out (a frame ends where the next starts).
    std::vector<std::uint8_t> all(bytes.begin(), bytes.end());
    all.push_back(kStartByte);
    std::size_t at = 0;
    while (at < all.size()) {
        const std::size_t take = std::min(buffer.size() - buffered, all.size() - at);
        std::memcpy(buffer.data() + buffered, all.data() + at, take);
        buffered += take;
        at += take;
        while (const std::size_t n = ExtractFrames(buffer, buffered, records, lock)) {
            frames.insert(frames.end(), records.begin(), records.begin() + static_cast<long>(n));
        }
    }
    return frames;
}

std::vector<std::uint8_t> AckFrame(unsigned bytes) {
    std::array<std::uint8_t, kCommandBufferSize> frame{};
    const auto length = BuildCommandFrame(CMD_DATA_ACK, bytes, SystemClock(), frame);
    return {frame.begin(), frame.begin() + static_cast<long>(*length)};
}

TEST(ReplayBufferTest, HoldsWholeReportsOfEveryTagInOrderAndCountsAcrossTheWrap) {
    // 0x55 and 0x56 inside the tag numbers force escapes, so reports differ in length.
    const std::uint32_t first = 0x55565500;
    const ReplayBuffer buffer = BuildReplayBuffer(first, 300, 17, 16 * 1024);
    ASSERT_GE(buffer.bytes.size(), 16u * 1024);
    ASSERT_EQ(buffer.ends.size() % 300, 0u) << "whole cycles of the tags";
    ASSERT_EQ(buffer.ends.back(), buffer.bytes.size());

    const auto frames = Deframe(buffer.bytes);
    ASSERT_EQ(frames.size(), buffer.ends.size());
    std::set<std::size_t> lengths;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameRecord& f = frames[i];
        ASSERT_EQ(f[frame::kCommand], commandbyte::kStartRead);
        ASSERT_EQ(f[frame::kLength], 17);
        const std::size_t size = 17 + 6;
        ASSERT_EQ(Crc16(f, size - 3), f[size - 2] << 8 | f[size - 1]) << "report " << i;
        const TagReport report = DecodeTagReport(f);
        EXPECT_EQ(report.tag, first + i % 300);
        EXPECT_TRUE(report.readerTime.has_value());
        lengths.insert(buffer.ends[i] - (i == 0 ? 0 : buffer.ends[i - 1]));
    }
    EXPECT_GT(lengths.size(), 1u) << "escaping should vary the report lengths";

    const std::uint64_t size = buffer.bytes.size();
    const std::uint64_t n = buffer.ends.size();
    EXPECT_EQ(buffer.ReportsBefore(0), 0u);
    EXPECT_EQ(buffer.ReportsBefore(buffer.ends[0] - 1), 0u);
    EXPECT_EQ(buffer.ReportsBefore(buffer.ends[0]), 1u);
    EXPECT_EQ(buffer.ReportsBefore(size), n);
    EXPECT_EQ(buffer.ReportsBefore(3 * size + buffer.ends[4]), 3 * n + 5);
    EXPECT_EQ(buffer.BoundaryAtOrAfter(1), buffer.ends[0]);
    EXPECT_EQ(buffer.BoundaryAtOrAfter(buffer.ends[0]), buffer.ends[0]);
    EXPECT_EQ(buffer.BoundaryAtOrAfter(size - 1), size);
    EXPECT_EQ(buffer.BoundaryAtOrAfter(2 * size), 2 * size);
    EXPECT_EQ(buffer.BoundaryAtOrAfter(2 * size + 1), 2 * size + buffer.ends[0]);

    const ReplayBuffer shortReports = BuildReplayBuffer(7, 3, 14, 1);
    ASSERT_EQ(shortReports.ends.size(), 3u) << "one cycle is enough when it reaches the minimum";
    for (const FrameRecord& f : Deframe(shortReports.bytes)) {
        EXPECT_EQ(f[frame::kLength], 14);
        EXPECT_FALSE(DecodeTagReport(f).readerTime.has_value());
    }
}

// A floor serving on its own thread for the length of a test.
class FloorThread {
  public:
    explicit FloorThread(FloorOptions options) : floor_(std::move(options)) {
        std::string error;
        if (!floor_.Listen(error)) {
            ADD_FAILURE() << error;
            return;
        }
        thread_ = std::thread([this] { floor_.Run(stop_); });
    }
    ~FloorThread() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::uint16_t Port() const { return floor_.Port(); }
    FloorStats Stats() const { return floor_.Stats(); }

  private:
    ProtocolFloor floor_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void ExpectNothingLost(const ReplayResult& r, const FloorStats& s, int readers) {
    EXPECT_EQ(r.connected, readers);
    EXPECT_EQ(r.reporting, readers);
    EXPECT_TRUE(r.drained);
    EXPECT_GT(r.reports, 1000u);
    EXPECT_EQ(s.reports, r.reports) << "every streamed report recorded, no more";
    EXPECT_EQ(s.acks, r.acks) << "every acknowledgement sent was read";
    EXPECT_GE(s.chunks * 256, s.bytesReceived) << "no chunk above 256 bytes";
    // Received: the streamed reports and each reader's three dialogue replies.
    EXPECT_GT(s.bytesReceived, r.bytesStreamed);
    EXPECT_LT(s.bytesReceived, r.bytesStreamed + 100u * static_cast<unsigned>(readers));
    // Acknowledged: what arrived after the floor saw reading start, so all but what shared the
    // start-read reply's receive (at most the device buffer and one chunk per reader).
    EXPECT_LE(r.bytesAcked, s.bytesReceived);
    EXPECT_GE(r.bytesAcked + 1280u * static_cast<unsigned>(readers), r.bytesStreamed);
}

TEST(ReplayFloorTest, NothingIsLostPerChunkOrBatched) {
    for (const bool batched : {false, true}) {
        SCOPED_TRACE(batched ? "batched" : "per chunk");
        FloorThread floor(FloorOptions{.batched = batched});
        ReplayOptions options;
        options.port = floor.Port();
        options.readers = 3;
        options.tagCount = 5000;
        options.streamSeconds = 0.4;
        options.startTimeoutSeconds = 5;
        options.drainSeconds = 10;
        const ReplayBuffer buffer = BuildReplayBuffer(options.firstTag, options.tagCount, 17);
        const ReplayResult r = RunReplay(options, buffer);
        std::this_thread::sleep_for(50ms);  // the floor's last event after the last ack
        floor.Stop();
        const FloorStats s = floor.Stats();
        ExpectNothingLost(r, s, 3);
        EXPECT_EQ(s.tags, 5000u);
        EXPECT_EQ(s.connections, 3u);
        if (batched) {
            EXPECT_LT(s.sendCalls * 4, s.acks) << "acknowledgements should share sends";
        } else {
            EXPECT_GE(s.sendCalls, s.acks) << "one send per acknowledgement";
        }
    }
}

TEST(ReplayFloorTest, LogLinesAreWrittenForEveryReportWhenKeepRecordIsSet) {
    test::TempFolder dir;
    FloorThread floor(FloorOptions{.batched = true, .keepRecord = 3, .logFolder = dir.Path()});
    ReplayOptions options;
    options.port = floor.Port();
    options.readers = 2;
    options.tagCount = 1000;
    options.streamSeconds = 0.2;
    options.startTimeoutSeconds = 5;
    const ReplayResult r = RunReplay(options, BuildReplayBuffer(options.firstTag, 1000, 17));
    std::this_thread::sleep_for(50ms);
    floor.Stop();
    ASSERT_GT(r.reports, 0u);
    EXPECT_EQ(floor.Stats().reports, r.reports);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        std::uint64_t lines = 0;
        while (std::getline(in, line)) {
            ASSERT_FALSE(line.empty());
            ASSERT_EQ(line.back(), '\r');
            // The server's own line in its default code page (GBK: "：" is A3 BA), with the
            // reader's time of the report: the floor writes what trelvaned writes.
            ASSERT_EQ(line.rfind("ID\xA3\xBA", 0), 0u) << line;
            const std::size_t time = line.find("\tRead Time\xA3\xBA");
            ASSERT_NE(line.find("\tFrom Device\xA3\xBA"), std::string::npos) << line;
            ASSERT_NE(time, std::string::npos) << line;
            ASSERT_EQ(line.size() - (time + 12), 20u) << "a 19-byte time and the CR: " << line;
            ++lines;
        }
        EXPECT_EQ(lines, r.reports) << entry.path();
    }
    EXPECT_EQ(files, 2);
}

// The floor speaks first: name query, clock, start reading. Then every receive is acknowledged
// in chunks of at most 256 bytes, with exactly the frames the server builds.
TEST(ReplayFloorTest, AcknowledgesEachChunkWithTheServersOwnFrames) {
    FloorThread floor(FloorOptions{.batched = true});
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(floor.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const auto readFor = [fd](std::size_t want) {
        std::vector<std::uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                std::array<std::uint8_t, 4096> bytes{};
                const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), 0);
                if (n <= 0) {
                    break;
                }
                got.insert(got.end(), bytes.begin(), bytes.begin() + n);
            }
        }
        return got;
    };
    const auto greeting = Deframe(readFor(1));
    // Wait for all three (they arrive in one send, but read what is there).
    std::vector<std::uint8_t> more;
    std::vector<FrameRecord> commands = greeting;
    for (int i = 0; i < 10 && commands.size() < 3; ++i) {
        auto extra = readFor(1);
        more.insert(more.end(), extra.begin(), extra.end());
        commands = greeting;
        const auto tail = Deframe(more);
        commands.insert(commands.end(), tail.begin(), tail.end());
    }
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][frame::kCommand], commandbyte::kQueryInfo);
    EXPECT_EQ(commands[1][frame::kCommand], commandbyte::kSetTime);
    EXPECT_EQ(commands[2][frame::kCommand], commandbyte::kStartRead);

    // Before the start-read reply nothing is acknowledged; after it, everything.
    SimReaderOptions readerOptions;
    readerOptions.keepFrames = false;
    SimReaderCore reader(readerOptions, SystemClock());
    std::vector<std::uint8_t> out;
    const std::array<std::uint8_t, 1> startReply{0x00};  // status OK: L = 2
    {
        std::array<std::uint8_t, kMaxBuiltFrameSize> frame{};
        const auto n = BuildFrame(commandbyte::kStartRead, startReply, 0, frame);
        out.assign(frame.begin(), frame.begin() + static_cast<long>(*n));
    }
    ASSERT_EQ(::send(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    std::this_thread::sleep_for(100ms);  // its own event: the floor sees reading start first
    std::vector<std::uint8_t> reports;
    while (reports.size() < 300) {
        reader.AppendReport(0x01020304, reports);
    }
    reports.resize(300);  // cut mid-report: the cut must not matter to the count
    ASSERT_EQ(::send(fd, reports.data(), reports.size(), 0), 300);
    std::vector<std::uint8_t> expected = AckFrame(256);
    const auto rest = AckFrame(44);
    expected.insert(expected.end(), rest.begin(), rest.end());
    const auto acks = readFor(expected.size());
    EXPECT_EQ(acks, expected);
    ::close(fd);
}

TEST(ReplayLoadTest, SpreadsConnectionsOverSourceAddressesAndStreamsWithoutDialogue) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 64), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    std::set<std::uint32_t> peers;
    std::uint64_t received = 0;
    std::atomic<bool> done{false};
    std::thread sink([&] {
        std::vector<int> fds;
        std::array<std::uint8_t, 65536> bytes{};
        while (!done) {
            std::vector<pollfd> polls{{listener, POLLIN, 0}};
            for (const int fd : fds) {
                polls.push_back({fd, POLLIN, 0});
            }
            if (::poll(polls.data(), polls.size(), 20) <= 0) {
                continue;
            }
            if ((polls[0].revents & POLLIN) != 0) {
                sockaddr_in peer{};
                socklen_t peerLength = sizeof peer;
                const int fd = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
                peers.insert(ntohl(peer.sin_addr.s_addr));
                fds.push_back(fd);
            }
            for (std::size_t i = 1; i < polls.size(); ++i) {
                if ((polls[i].revents & (POLLIN | POLLHUP)) != 0) {
                    const ssize_t n = ::recv(polls[i].fd, bytes.data(), bytes.size(), 0);
                    received += n > 0 ? static_cast<std::uint64_t>(n) : 0;
                }
            }
        }
        for (const int fd : fds) {
            ::close(fd);
        }
    });
    ReplayOptions options;
    options.port = ntohs(address.sin_port);
    options.readers = 6;
    options.sourceAddresses = 3;
    options.dialogue = false;
    options.streamSeconds = 0.3;
    const ReplayBuffer buffer = BuildReplayBuffer(1, 1000, 17);
    const ReplayResult r = RunReplay(options, buffer);
    std::this_thread::sleep_for(100ms);
    done = true;
    sink.join();
    ::close(listener);
    EXPECT_EQ(r.reporting, 6);
    EXPECT_EQ(r.bytesAcked, 0u);
    EXPECT_FALSE(r.drained);
    EXPECT_EQ(peers, (std::set<std::uint32_t>{0x7F000002, 0x7F000003, 0x7F000004}));
    EXPECT_EQ(received, r.bytesStreamed) << "everything streamed reached the sink";
    // Each reader starts on a boundary and stops on one: the frames received decode whole.
    EXPECT_GT(r.reports, 6u);
}

TEST(ReplayLoadTest, AStopEndsTheRunAtOnceAndAnAbsentHostEndsItAfterTheStartTimeout) {
    // Nobody listens on this port (bound, not listening): every connection fails.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    ReplayOptions options;
    options.port = ntohs(address.sin_port);
    options.readers = 4;
    options.startTimeoutSeconds = 2;
    const ReplayBuffer buffer = BuildReplayBuffer(1, 10, 17);
    auto began = std::chrono::steady_clock::now();
    ReplayResult r = RunReplay(options, buffer);
    EXPECT_EQ(r.connectFailures, 4);
    EXPECT_EQ(r.reporting, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1500ms) << "all failed: no need to wait";
    ::close(holder);

    FloorThread floor(FloorOptions{.batched = true});
    options.port = floor.Port();
    options.streamSeconds = 3600;
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stop = true;
    });
    began = std::chrono::steady_clock::now();
    r = RunReplay(options, BuildReplayBuffer(1, 1000, 17), &stop);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_EQ(r.reporting, 4);
    EXPECT_GT(r.reports, 0u);
}

}  // namespace
}  // namespace trelvane
