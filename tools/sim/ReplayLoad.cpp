#include "sim/ReplayLoad.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>

#include "base/Clock.h"
#include "sim/SimReaderCore.h"

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace trelvane {
namespace {

using Steady = std::chrono::steady_clock;

double SecondsBetween(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

enum class Phase { kConnecting, kDialogue, kStreaming, kFinishing, kDone };

struct Connection {
    int fd = -1;
    int index = 0;
    Phase phase = Phase::kConnecting;
    std::unique_ptr<SimReaderCore> core;  // from the connection on (holds a mutex: not movable)
    // Replies of the dialogue still to send; they go out only between whole reports.
    std::vector<std::uint8_t> control;
    std::size_t controlSent = 0;
    // Position in the endless repetition of the buffer: where streaming began and how far it got.
    std::uint64_t start = 0;
    std::uint64_t position = 0;
    std::uint64_t stopAt = 0;  // kFinishing: the boundary to stop at
    bool writable = false;     // the socket took the last send whole (edge-triggered epoll)
    bool scheduled = false;    // in the run's list of connections to write to
};

class ReplayRun {
  public:
    ReplayRun(const ReplayOptions& options, const ReplayBuffer& buffer)
        : options_(options), buffer_(buffer), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (epoll_ < 0) {
            throw std::runtime_error("epoll_create1 failed");
        }
        result_.readers = options.readers;
        connections_.resize(static_cast<std::size_t>(std::max(options.readers, 0)));
        for (int i = 0; i < options.readers; ++i) {
            connections_[static_cast<std::size_t>(i)].index = i;
            waiting_.push_back(i);
        }
    }

    ~ReplayRun() {
        for (Connection& c : connections_) {
            CloseFd(c);
        }
        ::close(epoll_);
    }

    ReplayResult Run(const std::atomic<bool>* stop,
                     const std::function<void(const ReplayResult&)>& progress) {
        began_ = Steady::now();
        auto nextProgress = began_ + std::chrono::seconds(1);
        std::array<epoll_event, 256> events{};
        for (;;) {
            const auto now = Steady::now();
            const bool stopped = stop != nullptr && stop->load(std::memory_order_relaxed);
            if (stopped && !stopping_) {
                stopping_ = true;
                BeginFinishing(/*drain=*/false);
            }
            Advance(now);
            if (phase_ == RunPhase::kEnd) {
                break;
            }
            if (progress && now >= nextProgress) {
                nextProgress += std::chrono::seconds(1);
                progress(Totals());
            }
            OpenMore();
            // No waiting while a connection has more to write.
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                                       scheduled_.empty() ? 20 : 0);
            for (int i = 0; i < n; ++i) {
                Connection& c = connections_[events[static_cast<std::size_t>(i)].data.u32];
                const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
                if (c.fd < 0) {
                    continue;
                }
                if (c.phase == Phase::kConnecting) {
                    FinishConnect(c);
                    if (c.fd < 0) {
                        continue;
                    }
                }
                if ((what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    ReadFrom(c);
                }
                if ((what & EPOLLOUT) != 0) {
                    c.writable = true;
                    Schedule(c);
                }
            }
            // Writers after readers: the replies a read produced go out in the same turn.
            visiting_.swap(scheduled_);
            for (const int index : visiting_) {
                Connection& c = connections_[static_cast<std::size_t>(index)];
                c.scheduled = false;
                if (c.fd >= 0 && c.writable) {
                    WriteTo(c);
                }
            }
            visiting_.clear();
        }
        return Totals();
    }

  private:
    enum class RunPhase { kStarting, kStreaming, kDraining, kEnd };

    ReplayResult Totals() const {
        ReplayResult r = result_;
        for (const Connection& c : connections_) {
            if (c.core) {
                r.bytesAcked += c.core->Stats().bytesAcked;
                r.acks += c.core->Stats().framesByCommand[0xD0];
                r.bytesReceived += c.core->Stats().bytesReceived;
            }
            r.bytesStreamed += c.position - c.start;
            r.reports += buffer_.ReportsBefore(c.position) - buffer_.ReportsBefore(c.start);
        }
        if (firstReport_) {
            r.streamSeconds = SecondsBetween(*firstReport_, streamEnd_.value_or(Steady::now()));
            if (lastAck_) {
                r.ackSeconds = SecondsBetween(*firstReport_, *lastAck_);
            }
        }
        return r;
    }

    std::uint64_t Acked() const {
        std::uint64_t acked = 0;
        for (const Connection& c : connections_) {
            if (c.core) {
                acked += c.core->Stats().bytesAcked;
            }
        }
        return acked;
    }

    // Bytes handed to the kernel that the host has not taken yet.
    std::uint64_t Unsent() const {
        std::uint64_t unsent = 0;
        for (const Connection& c : connections_) {
            int queued = 0;
            if (c.fd >= 0 && ::ioctl(c.fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
                unsent += static_cast<std::uint64_t>(queued);
            }
        }
        return unsent;
    }

    std::uint64_t Streamed() const {
        std::uint64_t streamed = 0;
        for (const Connection& c : connections_) {
            streamed += c.position - c.start;
        }
        return streamed;
    }

    void Advance(Steady::time_point now) {
        switch (phase_) {
            case RunPhase::kStarting: {
                const bool everyone =
                    result_.reporting + result_.connectFailures + result_.closedByPeer >=
                    options_.readers;
                if (firstReport_ &&
                    (everyone || SecondsBetween(began_, now) >= options_.startTimeoutSeconds)) {
                    phase_ = RunPhase::kStreaming;
                } else if (!firstReport_ && (everyone || SecondsBetween(began_, now) >=
                                                             options_.startTimeoutSeconds)) {
                    // Nobody streams: nothing to measure.
                    phase_ = RunPhase::kEnd;
                    return;
                }
                [[fallthrough]];
            }
            case RunPhase::kStreaming:
                if (firstReport_ && SecondsBetween(*firstReport_, now) >= options_.streamSeconds) {
                    BeginFinishing(/*drain=*/true);
                }
                return;
            case RunPhase::kDraining: {
                const bool finishing =
                    std::any_of(connections_.begin(), connections_.end(),
                                [](const Connection& c) { return c.phase == Phase::kFinishing; });
                // A connection still writing up to its boundary is waited for, but not for longer
                // than the drain: a host that stopped reading never takes the rest.
                const double finishLimit = drain_ ? options_.drainSeconds : 1.0;
                if (finishing && SecondsBetween(finishBegan_, now) < finishLimit) {
                    return;
                }
                if (!streamEnd_) {
                    streamEnd_ = now;
                    drainEnd_ =
                        now +
                        std::chrono::duration_cast<Steady::duration>(
                            std::chrono::duration<double>(drain_ ? options_.drainSeconds : 0.0));
                }
                if (!options_.dialogue || !drain_) {
                    phase_ =
                        RunPhase::kEnd;  // a sink acknowledges nothing; a stop waits for nothing
                    return;
                }
                // What the host read before it saw reading start is never acknowledged: at most
                // its 1 KiB receive buffer and one 256-byte receive per reader. So the drain ends
                // when everything is acknowledged, or nearly everything and the count has settled;
                // a host that holds its readers back may acknowledge nothing for a while.
                constexpr std::uint64_t kUnackedSlackPerReader = 4 * 1024;
                constexpr auto kSettled = std::chrono::milliseconds(500);
                const std::uint64_t acked = Acked();
                const std::uint64_t streamed = Streamed();
                if (acked != lastAckedSeen_ || Unsent() > 0) {
                    lastAckedSeen_ = acked;
                    settledSince_ = now;
                }
                const bool nearlyAll = acked + kUnackedSlackPerReader *
                                                   static_cast<std::uint64_t>(result_.reporting) >=
                                       streamed;
                if (acked >= streamed || (nearlyAll && now - settledSince_ >= kSettled)) {
                    result_.drained = true;
                    phase_ = RunPhase::kEnd;
                } else if (now >= drainEnd_) {
                    phase_ = RunPhase::kEnd;
                }
                return;
            }
            case RunPhase::kEnd:
                return;
        }
    }

    // Puts `c` on the list to write to in this turn (once).
    void Schedule(Connection& c) {
        if (!c.scheduled) {
            c.scheduled = true;
            scheduled_.push_back(c.index);
        }
    }

    void BeginFinishing(bool drain) {
        if (phase_ == RunPhase::kDraining || phase_ == RunPhase::kEnd) {
            return;
        }
        drain_ = drain;
        phase_ = RunPhase::kDraining;
        finishBegan_ = Steady::now();
        waiting_.clear();  // no new connections
        for (Connection& c : connections_) {
            if (c.phase == Phase::kStreaming) {
                c.stopAt = buffer_.BoundaryAtOrAfter(c.position);
                c.phase = c.stopAt == c.position ? Phase::kDone : Phase::kFinishing;
                Schedule(c);
            } else if (c.phase == Phase::kConnecting || c.phase == Phase::kDialogue) {
                c.phase = Phase::kDone;  // never streamed: out of the measurement
            }
        }
    }

    void OpenMore() {
        while (!waiting_.empty() && inFlight_ < options_.connectWindow) {
            Connection& c = connections_[static_cast<std::size_t>(waiting_.front())];
            waiting_.pop_front();
            Open(c);
        }
    }

    void Open(Connection& c) {
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            ++result_.connectFailures;
            return;
        }
        const int one = 1;
        ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (options_.sourceAddresses > 0) {
            // Without a port yet: the kernel picks it at connect, per destination, so each source
            // address has its own ephemeral range.
            ::setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr =
                htonl(0x7F000002u + static_cast<std::uint32_t>(c.index % options_.sourceAddresses));
            if (::bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                Fail(c);
                return;
            }
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(options_.port);
        address.sin_addr.s_addr = htonl(options_.host);
        if (::connect(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            Fail(c);
            return;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
        event.data.u32 = static_cast<std::uint32_t>(c.index);
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &event) != 0) {
            Fail(c);
            return;
        }
        ++inFlight_;
    }

    void FinishConnect(Connection& c) {
        int error = 0;
        socklen_t length = sizeof error;
        --inFlight_;
        if (::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            Fail(c);
            return;
        }
        ++result_.connected;
        SimReaderOptions reader;
        std::array<char, 16> number{};
        std::snprintf(number.data(), number.size(), "%02d", c.index + 1);
        reader.deviceName = options_.namePrefix + number.data();
        std::snprintf(number.data(), number.size(), "%08d", c.index + 1);
        reader.serialNo = std::string("SN") + number.data();
        reader.reportLength = options_.reportLength;
        reader.keepFrames = false;
        c.core = std::make_unique<SimReaderCore>(std::move(reader), SystemClock());
        // Readers start at different tags, as a fleet sharing one tag cursor does.
        const std::uint64_t reports = buffer_.ends.size();
        const std::uint64_t first = reports * static_cast<std::uint64_t>(c.index) /
                                    static_cast<std::uint64_t>(std::max(options_.readers, 1));
        c.start = c.position = first == 0 ? 0 : buffer_.ends[first - 1];
        c.phase = Phase::kDialogue;
        if (!options_.dialogue) {
            StartStreaming(c);
        }
    }

    void StartStreaming(Connection& c) {
        if (phase_ == RunPhase::kDraining || phase_ == RunPhase::kEnd) {
            c.phase = Phase::kDone;
            return;
        }
        c.phase = Phase::kStreaming;
        Schedule(c);
        ++result_.reporting;
        if (!firstReport_) {
            firstReport_ = Steady::now();
        }
    }

    void Fail(Connection& c) {
        if (c.phase == Phase::kConnecting) {
            ++result_.connectFailures;
        } else if (c.phase != Phase::kDone) {
            ++result_.closedByPeer;
        }
        CloseFd(c);
        c.phase = Phase::kDone;
    }

    void CloseFd(Connection& c) {
        if (c.fd >= 0) {
            ::close(c.fd);
            c.fd = -1;
        }
    }

    void ReadFrom(Connection& c) {
        std::array<std::uint8_t, 64 * 1024> bytes{};
        for (;;) {
            const ssize_t n = ::recv(c.fd, bytes.data(), bytes.size(), 0);
            if (n > 0) {
                const std::uint64_t ackedBefore = c.core->Stats().bytesAcked;
                c.core->Receive(std::span(bytes.data(), static_cast<std::size_t>(n)), c.control);
                if (c.core->Stats().bytesAcked != ackedBefore) {
                    lastAck_ = Steady::now();
                }
                if (c.phase == Phase::kDialogue && c.core->Reporting()) {
                    StartStreaming(c);
                }
                if (c.controlSent < c.control.size()) {
                    Schedule(c);
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            Fail(c);  // closed by the host, or reset
            return;
        }
    }

    // Sends control bytes at report boundaries and otherwise the buffer, until the socket takes
    // no more or this connection has nothing more to send.
    void WriteTo(Connection& c) {
        // At most this much per turn: a host that takes everything at once must not keep the
        // loop from reading its acknowledgements (or serving the other connections).
        constexpr std::uint64_t kBytesPerTurn = 1 << 20;
        const std::uint64_t began = c.position;
        while (c.fd >= 0) {
            if (c.position - began >= kBytesPerTurn) {
                Schedule(c);  // the socket still takes more: go on next turn
                return;
            }
            const std::uint64_t size = buffer_.bytes.size();
            const bool atBoundary = buffer_.BoundaryAtOrAfter(c.position) == c.position;
            const std::uint8_t* from = nullptr;
            std::size_t length = 0;
            bool isControl = false;
            if (c.controlSent < c.control.size() &&
                (atBoundary || (c.phase != Phase::kStreaming && c.phase != Phase::kFinishing))) {
                from = c.control.data() + c.controlSent;
                length = c.control.size() - c.controlSent;
                isControl = true;
            } else if ((c.phase == Phase::kStreaming || c.phase == Phase::kFinishing) &&
                       !options_.hold) {
                std::uint64_t limit = c.position + options_.maxWrite;
                if (c.controlSent < c.control.size() || c.phase == Phase::kFinishing) {
                    // Up to the next whole report only: a reply, or the end, comes next.
                    limit = std::min(limit, c.phase == Phase::kFinishing
                                                ? c.stopAt
                                                : buffer_.BoundaryAtOrAfter(c.position));
                }
                const std::uint64_t offset = c.position % size;
                limit = std::min(limit, c.position + (size - offset));  // not past the wrap
                from = buffer_.bytes.data() + offset;
                length = static_cast<std::size_t>(limit - c.position);
            }
            if (length == 0) {
                // Nothing to send now; the socket stays writable for when there is.
                if (c.phase == Phase::kFinishing && c.position == c.stopAt) {
                    c.phase = Phase::kDone;
                }
                return;
            }
            const ssize_t n = ::send(c.fd, from, length, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    c.writable = false;
                    return;
                }
                if (errno == EINTR) {
                    continue;
                }
                Fail(c);
                return;
            }
            if (isControl) {
                c.controlSent += static_cast<std::size_t>(n);
                if (c.controlSent == c.control.size()) {
                    c.control.clear();
                    c.controlSent = 0;
                }
            } else {
                c.position += static_cast<std::uint64_t>(n);
            }
        }
    }

    const ReplayOptions& options_;
    const ReplayBuffer& buffer_;
    const int epoll_;
    std::vector<Connection> connections_;
    std::deque<int> waiting_;
    std::vector<int> scheduled_;
    std::vector<int> visiting_;
    int inFlight_ = 0;
    RunPhase phase_ = RunPhase::kStarting;
    bool drain_ = true;
    bool stopping_ = false;
    Steady::time_point began_;
    std::optional<Steady::time_point> firstReport_;
    std::optional<Steady::time_point> streamEnd_;
    std::optional<Steady::time_point> lastAck_;
    Steady::time_point drainEnd_;
    Steady::time_point finishBegan_;
    Steady::time_point settledSince_;
    std::uint64_t lastAckedSeen_ = 0;
    ReplayResult result_;
};

}  // namespace

std::uint64_t ReplayBuffer::ReportsBefore(std::uint64_t offset) const {
    const std::uint64_t size = bytes.size();
    const std::uint64_t cycles = offset / size;
    const auto within = static_cast<std::uint32_t>(offset % size);
    const auto whole = std::upper_bound(ends.begin(), ends.end(), within) - ends.begin();
    return cycles * ends.size() + static_cast<std::uint64_t>(whole);
}

std::uint64_t ReplayBuffer::BoundaryAtOrAfter(std::uint64_t offset) const {
    const std::uint64_t size = bytes.size();
    const std::uint64_t base = offset - offset % size;
    const auto within = static_cast<std::uint32_t>(offset % size);
    if (within == 0) {
        return offset;
    }
    return base + *std::lower_bound(ends.begin(), ends.end(), within);
}

ReplayBuffer BuildReplayBuffer(std::uint32_t firstTag, std::uint32_t tagCount, int reportLength,
                               std::size_t minBytes) {
    if (tagCount == 0) {
        throw std::invalid_argument("a replay buffer needs at least one tag");
    }
    SimReaderOptions options;
    options.reportLength = reportLength;
    options.keepFrames = false;
    SimReaderCore core(options, SystemClock());
    ReplayBuffer buffer;
    do {
        for (std::uint32_t i = 0; i < tagCount; ++i) {
            core.AppendReport(firstTag + i, buffer.bytes);
            buffer.ends.push_back(static_cast<std::uint32_t>(buffer.bytes.size()));
        }
    } while (buffer.bytes.size() < minBytes);
    return buffer;
}

ReplayResult RunReplay(const ReplayOptions& options, const ReplayBuffer& buffer,
                       const std::atomic<bool>* stop,
                       const std::function<void(const ReplayResult&)>& progress) {
    ReplayRun run(options, buffer);
    return run.Run(stop, progress);
}

}  // namespace trelvane
