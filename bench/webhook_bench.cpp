// The webhook output's figures on this machine: the delivery rate in bodies of 1,000 events to a
// local receiver, and the catch-up time of a backlog an outage left in the history. Prints the
// figures beside the goals; never fails on time.
//
//   bench_webhooks [--events N] [--python-events N] [--backlog N]
//     --events N         events delivered for the rate to the C++ receiver (default 1000000)
//     --python-events N  ... and to tests/webhooks/receiver.py (default 200000; 0: skip)
//     --backlog N        events stored while the receiver is down (default 3600000: an hour at
//                        1,000 reads a second)
//
// Two receivers on loopback: a minimal one here (raw sockets, HTTP/1.1 keep-alive, every
// signature checked, order checked), so the figure is the sender's; and the tests' Python one
// (http.server, signatures checked, a JSON parse and a log line per body), a receiver written
// the quick way. Each event is a read (every 17th a presence event) from one of 100 readers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/Outbox.h"
#include "history/Writer.h"
#include "support/TempFolder.h"
#include "webhooks/Signature.h"
#include "webhooks/WebhookOutput.h"

namespace {

using namespace trelvane;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kGoalRate = 100'000;
constexpr double kGoalCatchUpSeconds = 120;
constexpr const char* kSecret = "bench secret";

double Seconds(Steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = Steady::now() + timeout;
    while (!done()) {
        if (Steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Appends `count` events numbered on from `next` in appends of 10,000.
void WriteEvents(history::Writer& writer, Sequence& next, std::size_t count) {
    std::vector<std::string> readers, devices;
    for (int i = 0; i < 100; ++i) {
        readers.push_back("Dock door " + std::to_string(i));
        devices.push_back("10.0.1." + std::to_string(i) + ":4001");
    }
    std::vector<history::Read> reads;
    std::vector<history::PresenceEvent> presence;
    const std::int64_t base = 1'796'691'600'000;
    for (std::size_t i = 0; i < count; ++i) {
        const Sequence seq = next++;
        const std::size_t r = seq % 100;
        const auto tag = static_cast<std::uint32_t>(1'000'000 + seq % 10'000);
        const std::int64_t time = base + static_cast<std::int64_t>(seq);
        if (seq % 17 == 0) {
            presence.push_back(
                {seq, time, tag, readers[r], devices[r], history::PresenceKind::kArrive});
        } else {
            reads.push_back({seq, time, tag, readers[r], devices[r], std::nullopt});
        }
        if ((i + 1) % 10'000 == 0 || i + 1 == count) {
            const history::Status st = writer.Append(history::Batch{reads, {}, presence});
            if (!st) {
                std::fprintf(stderr, "bench_webhooks: %s\n", st.error().text.c_str());
                std::exit(1);
            }
            reads.clear();
            presence.clear();
        }
    }
}

std::size_t HeaderEnd(const std::string& buffer) {
    const std::size_t end = buffer.find("\r\n\r\n");
    return end == std::string::npos ? end : end + 4;
}

// The value of header `name` (lower case) in `head`, "" when absent.
std::string Header(const std::string& head, const std::string& name) {
    std::string lower = head;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) {
        return {};
    }
    std::size_t from = at + 3 + name.size();
    while (from < head.size() && head[from] == ' ') {
        ++from;
    }
    return head.substr(from, head.find("\r\n", from) - from);
}

// A minimal HTTP/1.1 receiver: a thread per connection, keep-alive, 200 for a body whose
// signature holds, 401 otherwise; counts events and checks that bodies come in order.
class FastReceiver {
  public:
    FastReceiver() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        // Bound but not listening: a sender is refused, as by a receiver that is down.
    }
    ~FastReceiver() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        std::lock_guard lock(mutex_);
        for (const int fd : connections_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        for (std::thread& t : workers_) {
            t.join();
        }
        ::close(listener_);
    }

    int Port() const { return port_; }
    void Listen() {
        ::listen(listener_, 16);
        acceptor_ = std::thread([this] { Accept(); });
    }

    std::atomic<std::uint64_t> events{0}, bodies{0}, badSignatures{0}, outOfOrder{0};
    std::atomic<std::uint64_t> lastSeq{0};
    std::atomic<std::int64_t> firstAcceptedNs{0};

  private:
    void Accept() {
        while (!stop_) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            std::lock_guard lock(mutex_);
            connections_.push_back(fd);
            workers_.emplace_back([this, fd] { Serve(fd); });
        }
    }

    void Serve(int fd) {
        std::string buffer;
        char chunk[1 << 16];
        while (!stop_) {
            const std::size_t headEnd = HeaderEnd(buffer);
            if (headEnd != std::string::npos) {
                const std::string head = buffer.substr(0, headEnd);
                const std::size_t length =
                    std::strtoull(Header(head, "content-length").c_str(), nullptr, 10);
                if (buffer.size() >= headEnd + length) {
                    const std::string body = buffer.substr(headEnd, length);
                    buffer.erase(0, headEnd + length);
                    const bool signed_ =
                        Header(head, "x-trelvane-signature") == webhooks::Signature(kSecret, body);
                    Take(head, body, signed_);
                    const char* answer =
                        signed_ ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
                                : "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
                    if (::send(fd, answer, std::strlen(answer), MSG_NOSIGNAL) < 0) {
                        break;
                    }
                    continue;
                }
            }
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }

    void Take(const std::string& head, const std::string& body, bool signedOk) {
        if (!signedOk) {
            ++badSignatures;
            return;
        }
        const std::string delivery = Header(head, "x-trelvane-delivery");
        const std::uint64_t first = std::strtoull(delivery.c_str(), nullptr, 10);
        const std::uint64_t last =
            std::strtoull(delivery.substr(delivery.find('-') + 1).c_str(), nullptr, 10);
        if (first <= lastSeq.load()) {
            ++outOfOrder;  // a repeat would be one; none is expected here
        }
        lastSeq = last;
        std::uint64_t n = 0;
        for (std::size_t at = body.find("{\"type\":"); at != std::string::npos;
             at = body.find("{\"type\":", at + 1)) {
            ++n;
        }
        events += n;
        if (bodies++ == 0) {
            firstAcceptedNs = Steady::now().time_since_epoch().count();
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> workers_;
};

// tests/webhooks/receiver.py as a child process.
class PythonReceiver {
  public:
    explicit PythonReceiver(const std::filesystem::path& folder) : folder_(folder) {
        const std::string ready = (folder / "ready").string();
        const std::string log = (folder / "requests.jsonl").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::execlp("python3", "python3", RECEIVER_PY, "--secret", kSecret, "--log", log.c_str(),
                     "--ready", ready.c_str(), "--no-bodies", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        WaitFor([&] { return std::filesystem::exists(folder / "ready"); }, 20s);
        port_ = std::atoi(test::ReadFile(folder / "ready").c_str());
    }
    ~PythonReceiver() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    int Port() const { return port_; }

  private:
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    int port_ = 0;
};

struct Run {
    test::TempFolder folder;
    std::filesystem::path db = folder / "trelvane.db";
    history::Writer writer;
    Sequence next = 1;

    Run() : writer(Open(db)) {
        if (!history::Outbox::Open(db, webhooks::OutboxName("bench")).ok()) {
            std::fprintf(stderr, "bench_webhooks: cannot make the cursor\n");
            std::exit(1);
        }
    }
    static history::Writer Open(const std::filesystem::path& db) {
        history::Options options;
        options.path = db;
        auto writer = history::Writer::Open(options);
        if (!writer) {
            std::fprintf(stderr, "bench_webhooks: %s\n", writer.error().text.c_str());
            std::exit(1);
        }
        return std::move(writer).value();
    }

    std::unique_ptr<webhooks::WebhookOutput> Output(int port) {
        webhooks::Options options;
        options.log = [](webhooks::LogLevel, const std::string& line) {
            std::printf("  log: %s\n", line.c_str());
        };
        std::string error;
        auto output = webhooks::WebhookOutput::Start(db, {}, options, error);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/hook";
        if (!output || !output->Apply({{"bench", url, kSecret, webhooks::kAllKindBits}}).empty()) {
            std::fprintf(stderr, "bench_webhooks: cannot start: %s\n", error.c_str());
            std::exit(1);
        }
        return output;
    }
};

webhooks::EndpointStatus Status(const webhooks::WebhookOutput& output) {
    const auto statuses = output.Statuses();
    return statuses.empty() ? webhooks::EndpointStatus{} : statuses.front();
}

// Writes `count` events, then delivers them from the history: events per second.
double RateTo(bool python, std::size_t count) {
    Run run;
    WriteEvents(run.writer, run.next, count);
    const Sequence last = run.next - 1;
    std::unique_ptr<FastReceiver> fast;
    std::unique_ptr<PythonReceiver> slow;
    int port = 0;
    if (python) {
        slow = std::make_unique<PythonReceiver>(run.folder.Path());
        port = slow->Port();
    } else {
        fast = std::make_unique<FastReceiver>();
        fast->Listen();
        port = fast->Port();
    }
    const auto start = Steady::now();
    auto output = run.Output(port);
    const bool done = WaitFor([&] { return Status(*output).cursor >= last; }, 600s);
    const double seconds = Seconds(Steady::now() - start);
    const webhooks::EndpointStatus status = Status(*output);
    std::printf(
        "  %s receiver: %zu events in %.2f s, %llu bodies, failures %llu%s",
        python ? "Python" : "C++", count, seconds, static_cast<unsigned long long>(status.batches),
        static_cast<unsigned long long>(status.failures), done ? "" : " (NOT ALL DELIVERED)");
    if (fast) {
        std::printf(", received %llu, bad signatures %llu, out of order %llu",
                    static_cast<unsigned long long>(fast->events.load()),
                    static_cast<unsigned long long>(fast->badSignatures.load()),
                    static_cast<unsigned long long>(fast->outOfOrder.load()));
    }
    std::printf("\n");
    return static_cast<double>(count) / seconds;
}

// An idle endpoint, told of each append as the stream tells it: from the append's commit to the
// receiver's acknowledgement, over `rounds` appends of 100 events.
void Latency(int rounds) {
    Run run;
    FastReceiver receiver;
    receiver.Listen();
    auto output = run.Output(receiver.Port());
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        WaitFor([&] { return Status(*output).state == webhooks::EndpointState::kIdle; }, 10s);
        std::this_thread::sleep_for(20ms);
        const auto start = Steady::now();
        WriteEvents(run.writer, run.next, 100);
        output->Notify(run.next - 1);
        WaitFor([&] { return Status(*output).cursor >= run.next - 1; }, 10s);
        ms.push_back(Seconds(Steady::now() - start) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "  %d appends of 100 events: median %.1f ms, worst %.1f ms from the append to the "
        "receiver's answer\n",
        rounds, ms[ms.size() / 2], ms.back());
}

void CatchUp(std::size_t backlog) {
    Run run;
    FastReceiver receiver;  // bound, not listening: refused
    auto output = run.Output(receiver.Port());
    const auto writeStart = Steady::now();
    WriteEvents(run.writer, run.next, backlog);
    const Sequence last = run.next - 1;
    output->Notify(last);
    const double writeSeconds = Seconds(Steady::now() - writeStart);
    WaitFor([&] { return Status(*output).failures >= 1; }, 30s);
    const auto back = Steady::now();
    receiver.Listen();
    const bool done = WaitFor([&] { return Status(*output).cursor >= last; }, 900s);
    const auto end = Steady::now();
    const double total = Seconds(end - back);
    const double waited =
        Seconds(Steady::time_point(Steady::duration(receiver.firstAcceptedNs.load())) - back);
    std::printf(
        "  backlog %zu events (stored in %.1f s while the receiver was down, %llu failed "
        "attempts)\n  caught up %.1f s after the receiver was back%s: %.1f s waiting for the "
        "next retry (back-off 1 s doubling), %.1f s delivering (%.0f events/s); received %llu, "
        "bad signatures %llu, out of order %llu\n",
        backlog, writeSeconds, static_cast<unsigned long long>(Status(*output).failures), total,
        done ? "" : " (NOT ALL DELIVERED)", waited, total - waited,
        static_cast<double>(backlog) / (total - waited),
        static_cast<unsigned long long>(receiver.events.load()),
        static_cast<unsigned long long>(receiver.badSignatures.load()),
        static_cast<unsigned long long>(receiver.outOfOrder.load()));
    std::printf("  goal: caught up within %.0f s: %s\n", kGoalCatchUpSeconds,
                done && total <= kGoalCatchUpSeconds ? "met" : "NOT MET");
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t events = 1'000'000, pythonEvents = 200'000, backlog = 3'600'000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::size_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (flag == "--events") {
            events = value;
        } else if (flag == "--python-events") {
            pythonEvents = value;
        } else if (flag == "--backlog") {
            backlog = value;
        } else {
            std::fprintf(stderr,
                         "usage: bench_webhooks [--events N] [--python-events N] [--backlog N]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("Delivery rate, bodies of 1,000 events from the history (goal >= %.0f events/s)\n",
                kGoalRate);
    const double fast = RateTo(false, events);
    std::printf("  C++ receiver: %.0f events/s: %s\n", fast, fast >= kGoalRate ? "met" : "NOT MET");
    if (pythonEvents > 0) {
        const double slow = RateTo(true, pythonEvents);
        std::printf("  Python receiver: %.0f events/s (the receiver's own limit)\n", slow);
    }
    std::printf("Latency of an idle endpoint (C++ receiver)\n");
    Latency(50);
    if (backlog > 0) {
        std::printf("Catch-up after an outage (C++ receiver)\n");
        CatchUp(backlog);
    }
    return 0;
}
