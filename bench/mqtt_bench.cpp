// The MQTT publisher's figures against a local mosquitto broker that the benchmark starts on a
// free loopback port: reads published per second live with 10 readers flooding (every number
// must arrive at a subscriber with a persistent session), and the drain rate of the backlog an
// outage left in the history. Prints figures beside the goals; never fails on time.
//
//   bench_mqtt [--rate N] [--seconds S] [--outage-seconds S] [--outage-rate N]
//     --rate N            live reads per second offered, paced (default 300000)
//     --seconds S         how long the live flood lasts (default 5)
//     --outage-seconds S  how long the broker is away (default 60) ...
//     --outage-rate N     ... while readers flood at this rate (default 50000): the backlog is
//                         S * N reads, stored as fast as the history takes them
//
// The history is written on a thread of its own, as the service's history sink does; the
// publisher is fed as the stream feeds it.

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/Writer.h"
#include "mqtt/Broker.h"
#include "mqtt/Publisher.h"
#include "support/TempFolder.h"

namespace {

using namespace trelvane;
using Steady = std::chrono::steady_clock;

constexpr double kGoalLive = 300000;
constexpr double kGoalDrain = 200000;
constexpr int kReaders = 10;
constexpr std::size_t kBatchReads = 500;  // a parse pass's reads under a flood

double Seconds(Steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Counts distinct read numbers arriving on the reads topic (a bitmap, not a set: millions).
class CountingSubscriber {
  public:
    explicit CountingSubscriber(int port) : port_(port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("bench-subscriber", false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, "bench/+/reads", 1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<CountingSubscriber*>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<CountingSubscriber*>(self)->Take(m);
                                       });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    }
    ~CountingSubscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);  // not cancelled: it may hold a lock
        mosquitto_destroy(mosq_);
    }
    bool Start() {
        if (mosquitto_connect(mosq_, "127.0.0.1", port_, 30) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        mosquitto_loop_start(mosq_);
        return test::WaitFor([&] { return subscribed_.load(); }, std::chrono::seconds(10));
    }
    void Expect(std::uint64_t last) {
        std::lock_guard lock(mutex_);
        seen_.resize(last + 1, 0);
    }
    std::uint64_t Distinct() const { return distinct_.load(); }

  private:
    void Take(const mosquitto_message* m) {
        const char* p = static_cast<const char*>(m->payload);
        const char* end = p + m->payloadlen;
        static const char kMark[] = "{\"seq\":";
        std::lock_guard lock(mutex_);
        for (const char* at = p; at < end;) {
            const void* found = std::memchr(at, '{', static_cast<std::size_t>(end - at));
            if (found == nullptr) {
                break;
            }
            at = static_cast<const char*>(found);
            if (static_cast<std::size_t>(end - at) > sizeof kMark &&
                std::memcmp(at, kMark, sizeof kMark - 1) == 0) {
                const std::uint64_t seq = std::strtoull(at + sizeof kMark - 1, nullptr, 10);
                if (seq < seen_.size() && seen_[seq] == 0) {
                    seen_[seq] = 1;
                    distinct_.fetch_add(1, std::memory_order_relaxed);
                }
            }
            ++at;
        }
    }

    int port_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    std::vector<std::uint8_t> seen_;
    std::atomic<std::uint64_t> distinct_{0};
};

// The history sink: stores batches on its own thread, in order.
class HistoryThread {
  public:
    explicit HistoryThread(const std::filesystem::path& db) {
        history::Options options;
        options.path = db;
        options.guardedOutput = "mqtt";
        options.retentionDays = 0;
        options.maxSizeBytes = 0;
        writer_.emplace(std::move(history::Writer::Open(options)).value());
        thread_ = std::thread([this] { Run(); });
    }
    ~HistoryThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Push(std::shared_ptr<const EventBatch> batch) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(batch));
        }
        wake_.notify_one();
    }
    std::uint64_t Stored() const { return writer_->LastSequence(); }
    std::uint64_t StoredAtomic() const { return stored_.load(); }

  private:
    void Run() {
        std::vector<history::Read> reads;
        for (;;) {
            std::deque<std::shared_ptr<const EventBatch>> taken;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (queue_.empty()) {
                    return;
                }
                taken.swap(queue_);
            }
            reads.clear();
            Sequence last = 0;
            for (const auto& batch : taken) {
                for (const ReadEvent& r : batch->reads) {
                    const EventDevice& d = batch->devices[r.device];
                    reads.push_back(history::Read{r.seq, r.timeMs, r.report.tag, d.name, d.key,
                                                  r.report.readerTime});
                }
                last = batch->nextSeq - 1;
            }
            (void)writer_->Append(history::Batch{reads, {}, {}});
            stored_ = last;
        }
    }
    std::optional<history::Writer> writer_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<const EventBatch>> queue_;
    bool stop_ = false;
    std::atomic<std::uint64_t> stored_{0};
};

// Batches of 10 readers' reads, numbered from one sequence.
class Flood {
  public:
    std::shared_ptr<const EventBatch> Next(std::int64_t timeMs) {
        auto batch = std::make_shared<EventBatch>();
        batch->firstSeq = batch->nextSeq = next_;
        const int reader = round_++ % kReaders;
        const std::uint32_t d = batch->AddDevice("10.0.0." + std::to_string(reader + 1) + ":4001",
                                                 "R" + std::to_string(reader + 1));
        for (std::size_t i = 0; i < kBatchReads; ++i) {
            ReadEvent read;
            read.seq = batch->TakeSeq();
            read.timeMs = timeMs;
            read.report.tag = 20'000'000u + static_cast<std::uint32_t>(read.seq % 5000);
            read.report.readerTime = ReaderTime{26, 12, 8, 9, 0, 1};
            read.device = d;
            batch->reads.push_back(read);
        }
        next_ = batch->nextSeq;
        return batch;
    }
    Sequence Last() const { return next_ - 1; }

  private:
    Sequence next_ = 1;
    int round_ = 0;
};

mqtt::PublisherOptions Options(int port, const std::filesystem::path& db) {
    mqtt::PublisherOptions options;
    options.config.enabled = true;
    options.config.port = port;
    options.config.clientId = "bench";
    options.config.topicPrefix = "bench";
    options.historyPath = db;
    options.codePage = 65001;
    options.firstRetry = std::chrono::milliseconds(200);
    options.lastRetry = std::chrono::milliseconds(1000);
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    double rate = 300000;
    double seconds = 5;
    double outageSeconds = 60;
    double outageRate = 50000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (flag == "--rate") {
            rate = value;
        } else if (flag == "--seconds") {
            seconds = value;
        } else if (flag == "--outage-seconds") {
            outageSeconds = value;
        } else if (flag == "--outage-rate") {
            outageRate = value;
        }
    }
    test::TempFolder dir;
    const std::filesystem::path db = dir.Path() / "trelvane.db";
    test::Broker broker(dir.Path() / "broker");
    if (!broker.Start()) {
        std::fprintf(stderr, "cannot start /usr/sbin/mosquitto\n");
        return 1;
    }
    CountingSubscriber subscriber(broker.Port());
    if (!subscriber.Start()) {
        std::fprintf(stderr, "the subscriber cannot connect\n");
        return 1;
    }
    Flood flood;
    std::string error;

    // ---- live: paced at `rate` for `seconds` ----
    {
        HistoryThread history(db);
        const std::string historyId = "bench";
        mqtt::PublisherOptions options = Options(broker.Port(), db);
        options.historyId = historyId;
        auto publisher = mqtt::Publisher::Start(options, error);
        if (!publisher ||
            !test::WaitFor(
                [&] { return publisher->CurrentStatus().state == mqtt::LinkState::kConnected; },
                std::chrono::seconds(10))) {
            std::fprintf(stderr, "publisher: %s\n", error.c_str());
            return 1;
        }
        const auto total = static_cast<std::uint64_t>(rate * seconds);
        subscriber.Expect(total + kBatchReads);
        const auto start = Steady::now();
        std::uint64_t offered = 0;
        while (offered < total) {
            // Pace: no further ahead of the clock than one batch.
            const double due = Seconds(Steady::now() - start) * rate;
            if (static_cast<double>(offered) > due) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            auto batch = flood.Next(1796000000000 + static_cast<std::int64_t>(offered / 1000));
            history.Push(batch);
            publisher->Offer(*batch);
            offered += batch->reads.size();
        }
        const double offerSeconds = Seconds(Steady::now() - start);
        const bool all = test::WaitFor([&] { return subscriber.Distinct() >= offered; },
                                       std::chrono::seconds(120));
        const double arrived = Seconds(Steady::now() - start);
        const mqtt::PublisherStatus status = publisher->CurrentStatus();
        std::printf(
            "live: %llu reads offered in %.2f s (%.0f reads/s, 10 readers, batches of %zu)\n",
            static_cast<unsigned long long>(offered), offerSeconds, offered / offerSeconds,
            kBatchReads);
        std::printf(
            "live: %s every number at the subscriber after %.2f s: %.0f reads/s published"
            " (goal >= %.0f); %llu read back from the history, %llu dropped from the live"
            " queue\n",
            all ? "" : "NOT", arrived, subscriber.Distinct() / arrived, kGoalLive,
            static_cast<unsigned long long>(status.fromHistory),
            static_cast<unsigned long long>(status.liveDropped));
        test::WaitFor([&] { return publisher->CurrentStatus().cursor >= flood.Last(); },
                      std::chrono::seconds(30));
    }

    // ---- backlog: the broker away while readers flood, then the drain ----
    {
        HistoryThread history(db);
        mqtt::PublisherOptions options = Options(broker.Port(), db);
        options.historyId = "bench";
        broker.Stop();
        auto publisher = mqtt::Publisher::Start(options, error);
        const auto backlog = static_cast<std::uint64_t>(outageSeconds * outageRate);
        const Sequence first = flood.Last() + 1;
        subscriber.Expect(first + backlog + kBatchReads);
        const std::uint64_t before = subscriber.Distinct();
        const auto fill = Steady::now();
        std::uint64_t stored = 0;
        while (stored < backlog) {
            auto batch = flood.Next(1796000100000 + static_cast<std::int64_t>(stored / 1000));
            history.Push(batch);
            publisher->Offer(*batch);
            stored += batch->reads.size();
        }
        test::WaitFor([&] { return history.StoredAtomic() >= flood.Last(); },
                      std::chrono::seconds(600));
        std::printf("backlog: %llu reads (%.0f s of an outage at %.0f reads/s) stored in %.2f s\n",
                    static_cast<unsigned long long>(stored), outageSeconds, outageRate,
                    Seconds(Steady::now() - fill));
        if (!broker.Start()) {
            std::fprintf(stderr, "cannot restart the broker\n");
            return 1;
        }
        test::WaitFor(
            [&] { return publisher->CurrentStatus().state == mqtt::LinkState::kConnected; },
            std::chrono::seconds(10));
        const auto drain = Steady::now();
        const bool all = test::WaitFor([&] { return subscriber.Distinct() >= before + stored; },
                                       std::chrono::seconds(600));
        const double drained = Seconds(Steady::now() - drain);
        std::printf(
            "backlog: %s every number at the subscriber %.2f s after the reconnection: "
            "%.0f reads/s drained (goal >= %.0f)\n",
            all ? "" : "NOT", drained, (subscriber.Distinct() - before) / drained, kGoalDrain);
    }
    return 0;
}
