#include "ProtocolFloor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "protocol/TagReport.h"
#include "records/StringTable.h"
#include "records/TextCodec.h"

namespace trelvane {
namespace {

constexpr std::size_t kChunk = 256;
constexpr std::size_t kBatchedReceive = 64 * 1024;
constexpr std::size_t kRecordsPerPass = 16;
constexpr int kReceivesPerEvent = 16;

struct TagEntry {
    std::uint64_t count = 0;
    std::uint64_t readerTime = 0;  // PackReaderTime of the last report that carried one
    std::int64_t lastPcMs = 0;
    std::uint32_t reader = 0;
};

struct Device {
    int fd = -1;
    std::uint32_t id = 0;
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex bufferLock;  // ExtractFrames wants one; this server has one thread
    bool reading = false;
    std::string name;
    std::vector<std::uint8_t> out;      // acknowledgements of this event (batched)
    std::vector<std::uint8_t> backlog;  // what the socket did not take; reading waits for it
};

// One day's log file, kept open while the day lasts.
struct LogFile {
    explicit LogFile(std::string nameSuffix) : suffix(std::move(nameSuffix)) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    std::string suffix;
    std::FILE* file = nullptr;
    std::string pending;
    int day = -1;

    ~LogFile() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

}  // namespace

struct ProtocolFloor::State {
    FloorOptions options;
    int listener = -1;
    int epoll = -1;
    std::uint16_t port = 0;
    std::unordered_map<int, std::unique_ptr<Device>> devices;
    std::uint32_t nextDevice = 1;
    std::unordered_map<std::uint32_t, TagEntry> tags;
    // Acknowledgement frames by chunk size, built once with the server's own builder.
    std::array<std::vector<std::uint8_t>, kChunk + 1> acks;
    std::vector<std::uint8_t> greeting;  // name query, set clock, start reading
    std::array<LogFile, 2> logs{LogFile(" ReadIdRec.txt"), LogFile(" ReadIdRec.xls")};
    // The PC time of the current event, read once per event.
    LocalDateTime now;
    std::int64_t nowMs = 0;
    std::string nowText;
    // The server's log line (its string, in its default code page) cut at each "%s": the floor
    // writes the same bytes per read, not a shorter line of its own.
    const std::vector<FormatPiece> lineFormat =
        CompileFormat(TextCodec::Usable(936).FromUtf8(LoadText(ids::kReadLogLine)));
    std::string line;

    std::atomic<std::uint64_t> connections{0}, bytesReceived{0}, chunks{0}, ackCount{0}, frames{0},
        reports{0}, tagCount{0}, logBytes{0}, recvCalls{0}, sendCalls{0};

    void Close(Device& d) {
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, d.fd, nullptr);
        ::close(d.fd);
        devices.erase(d.fd);
    }

    // Sends what the socket takes and keeps the rest; while anything is kept the device is not
    // read (its reader is held back through TCP, as trelvaned holds back a reader that does not
    // take its acknowledgements), and it is watched for room instead.
    void Send(Device& d, const std::uint8_t* bytes, std::size_t length) {
        if (!d.backlog.empty()) {
            d.backlog.insert(d.backlog.end(), bytes, bytes + length);
            return;
        }
        while (length > 0) {
            sendCalls.fetch_add(1, std::memory_order_relaxed);
            const ssize_t n = ::send(d.fd, bytes, length, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    d.backlog.assign(bytes, bytes + length);
                    Watch(d, EPOLLOUT);
                }
                return;
            }
            bytes += n;
            length -= static_cast<std::size_t>(n);
        }
    }

    void Watch(Device& d, std::uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = d.fd;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, d.fd, &event);
    }

    // EPOLLOUT on a held-back device: send what was kept, then read again.
    void Writable(Device& d) {
        std::vector<std::uint8_t> kept;
        kept.swap(d.backlog);
        Send(d, kept.data(), kept.size());
        if (d.backlog.empty()) {
            Watch(d, EPOLLIN);
            Receive(d);
        }
    }

    void Accept() {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            auto device = std::make_unique<Device>();
            device->fd = fd;
            device->id = nextDevice++;
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
            connections.fetch_add(1, std::memory_order_relaxed);
            Device& d = *device;
            devices.emplace(fd, std::move(device));
            Send(d, greeting.data(), greeting.size());
        }
    }

    void ReadClock() {
        now = SystemClock().LocalNow();
        nowMs = LocalToUnixMillis(now);
        nowText = FormatDateTime(now);
    }

    // Appends one chunk to the device buffer, deframing first when it does not fit.
    void Append(Device& d, const std::uint8_t* bytes, std::size_t length) {
        if (d.reading) {
            const auto& ack = acks[length];
            if (options.batched) {
                d.out.insert(d.out.end(), ack.begin(), ack.end());
            } else {
                Send(d, ack.data(), ack.size());
            }
            ackCount.fetch_add(1, std::memory_order_relaxed);
        }
        chunks.fetch_add(1, std::memory_order_relaxed);
        std::memcpy(d.buffer.data() + d.buffered, bytes, length);
        d.buffered += length;
        if (d.buffered == d.buffer.size()) {
            Deframe(d);
        }
    }

    void Deframe(Device& d) {
        std::array<FrameRecord, kRecordsPerPass> records;
        for (;;) {
            const std::size_t n = ExtractFrames(d.buffer, d.buffered, records, d.bufferLock);
            if (n == 0) {
                break;
            }
            frames.fetch_add(n, std::memory_order_relaxed);
            for (std::size_t i = 0; i < n; ++i) {
                Handle(d, records[i]);
            }
        }
        if (IsUndecodableFullBuffer(std::span(d.buffer.data(), d.buffered))) {
            d.buffered = 0;
        }
    }

    void Handle(Device& d, const FrameRecord& frame) {
        const std::uint8_t length = frame[frame::kLength];
        const std::size_t size = std::size_t{length} + 6;
        if (Crc16(frame, size - 3) != (frame[size - 2] << 8 | frame[size - 1])) {
            return;
        }
        if (frame[frame::kStatus] != 0) {
            return;
        }
        switch (frame[frame::kCommand]) {
            case commandbyte::kQueryInfo:
                if (frame[frame::kParameter] == kItemDeviceName && length >= 2) {
                    d.name.assign(reinterpret_cast<const char*>(frame.data()) + 6, length - 2u);
                }
                return;
            case commandbyte::kStartRead:
                break;
            default:
                return;
        }
        if (length == 2) {
            d.reading = true;
            return;
        }
        if (!d.reading || length < kMinTagReportLength) {
            return;
        }
        const TagReport report = DecodeTagReport(frame);
        TagEntry& entry = tags[report.tag];
        ++entry.count;
        if (report.readerTime) {
            entry.readerTime = PackReaderTime(*report.readerTime);
        }
        entry.lastPcMs = nowMs;
        entry.reader = d.id;
        reports.fetch_add(1, std::memory_order_relaxed);
        if ((options.keepRecord & 3) != 0) {
            LogLine(d, report);
        }
    }

    void LogLine(const Device& d, const TagReport& report) {
        std::array<char, 16> id{};
        const auto end = std::to_chars(id.data(), id.data() + id.size(), report.tag).ptr;
        ReaderTimeChars readerTime;
        std::string_view time = nowText;
        if (report.readerTime) {
            readerTime = FormatReaderTime(*report.readerTime);
            time = readerTime.View();
        }
        const std::array<std::string_view, 3> args{
            std::string_view(id.data(), static_cast<std::size_t>(end - id.data())), d.name, time};
        line.clear();
        for (const FormatPiece& piece : lineFormat) {
            line += piece.literal;
            if (piece.arg >= 0 && piece.arg < 3) {
                line += args[static_cast<std::size_t>(piece.arg)];
            }
        }
        for (int i = 0; i < 2; ++i) {
            if ((options.keepRecord & (1 << i)) != 0) {
                logs[static_cast<std::size_t>(i)].pending += line;
            }
        }
    }

    void FlushLogs() {
        for (LogFile& log : logs) {
            if (log.pending.empty()) {
                continue;
            }
            if (log.file == nullptr || log.day != now.day) {
                if (log.file != nullptr) {
                    std::fclose(log.file);
                }
                std::array<char, 16> date{};
                std::snprintf(date.data(), date.size(), "%04d-%02d-%02d", now.year, now.month,
                              now.day);
                const auto path = options.logFolder / (std::string(date.data()) + log.suffix);
                log.file = std::fopen(path.c_str(), "ab");
                log.day = now.day;
            }
            if (log.file != nullptr) {
                std::fwrite(log.pending.data(), 1, log.pending.size(), log.file);
                std::fflush(log.file);  // nothing acknowledged stays only in memory
            }
            logBytes.fetch_add(log.pending.size(), std::memory_order_relaxed);
            log.pending.clear();
        }
    }

    void Receive(Device& d) {
        std::array<std::uint8_t, kBatchedReceive> bytes{};
        bool closed = false;
        int receives = 0;
        while (d.backlog.empty()) {
            const std::size_t want = options.batched ? bytes.size() : kChunk;
            recvCalls.fetch_add(1, std::memory_order_relaxed);
            const ssize_t n = ::recv(d.fd, bytes.data(), want, 0);
            if (n <= 0) {
                closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
                break;
            }
            bytesReceived.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
            // The same cut as trelvaned: no chunk larger than 256 bytes or than the room left.
            std::size_t at = 0;
            while (at < static_cast<std::size_t>(n)) {
                const std::size_t room = d.buffer.size() - d.buffered;
                const std::size_t take = std::min({kChunk, room, static_cast<std::size_t>(n) - at});
                Append(d, bytes.data() + at, take);
                at += take;
            }
            if (!d.out.empty()) {
                Send(d, d.out.data(), d.out.size());  // one send for the receive's chunks
                d.out.clear();
            }
            if (static_cast<std::size_t>(n) < want || ++receives == kReceivesPerEvent) {
                break;  // drained for now, or the other readers' turn (epoll reports the rest)
            }
        }
        Deframe(d);
        FlushLogs();
        tagCount.store(tags.size(), std::memory_order_relaxed);
        if (closed) {
            Close(d);
        }
    }
};

ProtocolFloor::ProtocolFloor(FloorOptions options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
    state_->tags.reserve(1 << 20);
    std::array<std::uint8_t, kCommandBufferSize> frame{};
    for (unsigned n = 1; n <= kChunk; ++n) {
        const auto length = BuildCommandFrame(CMD_DATA_ACK, n, SystemClock(), frame);
        state_->acks[n].assign(frame.begin(),
                               frame.begin() + static_cast<long>(length.value_or(0)));
    }
    for (const auto& [type, parameter] :
         {std::pair{CMD_QUERY_INFO, unsigned{kItemDeviceName}}, std::pair{CMD_SET_TIME, 0u},
          std::pair{CMD_START_READ, 0u}}) {
        const auto length = BuildCommandFrame(type, parameter, SystemClock(), frame);
        state_->greeting.insert(state_->greeting.end(), frame.begin(),
                                frame.begin() + static_cast<long>(length.value_or(0)));
    }
}

ProtocolFloor::~ProtocolFloor() {
    for (auto& [fd, device] : state_->devices) {
        ::close(fd);
    }
    if (state_->listener >= 0) {
        ::close(state_->listener);
    }
    if (state_->epoll >= 0) {
        ::close(state_->epoll);
    }
}

bool ProtocolFloor::Listen(std::string& error) {
    State& s = *state_;
    s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(s.listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(s.options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s.listener < 0 ||
        ::bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s.listener, 4096) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length);
    s.port = ntohs(address.sin_port);
    s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = s.listener;
    ::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.listener, &event);
    return true;
}

std::uint16_t ProtocolFloor::Port() const {
    return state_->port;
}

void ProtocolFloor::Run(const std::atomic<bool>& stop) {
    State& s = *state_;
    std::array<epoll_event, 256> events{};
    while (!stop.load(std::memory_order_relaxed)) {
        const int n = ::epoll_wait(s.epoll, events.data(), static_cast<int>(events.size()), 50);
        if (n > 0) {
            s.ReadClock();
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == s.listener) {
                s.Accept();
                continue;
            }
            const auto it = s.devices.find(fd);
            if (it == s.devices.end()) {
                continue;
            }
            if (!it->second->backlog.empty()) {
                if ((events[static_cast<std::size_t>(i)].events &
                     (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                    s.Writable(*it->second);
                }
            } else {
                s.Receive(*it->second);
            }
        }
    }
    for (auto& [fd, device] : s.devices) {
        ::close(fd);
    }
    s.devices.clear();
}

FloorStats ProtocolFloor::Stats() const {
    const State& s = *state_;
    FloorStats f;
    f.connections = s.connections.load();
    f.bytesReceived = s.bytesReceived.load();
    f.chunks = s.chunks.load();
    f.acks = s.ackCount.load();
    f.frames = s.frames.load();
    f.reports = s.reports.load();
    f.tags = s.tagCount.load();
    f.logBytes = s.logBytes.load();
    f.recvCalls = s.recvCalls.load();
    f.sendCalls = s.sendCalls.load();
    return f;
}

}  // namespace trelvane
