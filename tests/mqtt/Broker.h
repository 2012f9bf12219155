#pragma once

// A real mosquitto broker for one test: its own configuration and folder, a free loopback port,
// started and stopped by the test (never the system's service), and a subscriber on
// libmosquitto with a persistent session that records what arrives.

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace trelvane::test {

// Waits (bounded) until `done` holds; checks every few milliseconds.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A loopback port that was free a moment ago.
inline int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool Listening(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

class Broker {
  public:
    // `extra` lines go into the listener's configuration (TLS, passwords).
    Broker(std::filesystem::path folder, std::string extra = {})
        : folder_(std::move(folder)), extra_(std::move(extra)), port_(FreeLoopbackPort()) {
        std::filesystem::create_directories(folder_);
    }
    ~Broker() { Stop(); }

    int Port() const { return port_; }

    bool Start() {
        {
            std::ofstream conf(folder_ / "mosquitto.conf");
            conf << "listener " << port_ << " 127.0.0.1\n"
                 << "persistence true\npersistence_location " << folder_.string() << "/\n"
                 << "max_queued_messages 0\nmax_inflight_messages 0\n"
                 << "log_dest file " << (folder_ / "broker.log").string()
                 << "\n"
                 // Run as root, the broker would switch to its own user, which cannot read
                 // this folder: it stays who we are.
                 << "user " << UserName() << "\n"
                 << (extra_.find("password_file") == std::string::npos ? "allow_anonymous true\n"
                                                                       : "allow_anonymous false\n")
                 << extra_;
        }
        std::fflush(stdout);  // the child must not print what the parent buffered
        std::fflush(stderr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string conf = (folder_ / "mosquitto.conf").string();
            const std::string out = (folder_ / "broker.out").string();
            [[maybe_unused]] FILE* o = std::freopen(out.c_str(), "a", stdout);
            [[maybe_unused]] FILE* e = std::freopen(out.c_str(), "a", stderr);
            ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid_ > 0 && WaitFor([&] { return Listening(port_); }, std::chrono::seconds(10));
    }

    // SIGTERM: the broker saves its sessions and queued messages, as at an orderly restart.
    void Stop(int signal = SIGTERM) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    std::string Log() const {
        std::ifstream in(folder_ / "broker.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    static std::string UserName() {
        const passwd* entry = ::getpwuid(::getuid());
        return entry != nullptr ? entry->pw_name : "root";
    }

    std::filesystem::path folder_;
    std::string extra_;
    int port_;
    pid_t pid_ = -1;
};

// The sequence numbers of a payload's list ("seq":N of each item), in payload order.
inline std::vector<std::uint64_t> SeqsOf(const std::string& payload) {
    std::vector<std::uint64_t> seqs;
    const std::string mark = "{\"seq\":";
    for (std::size_t at = payload.find(mark); at != std::string::npos;
         at = payload.find(mark, at + 1)) {
        seqs.push_back(std::stoull(payload.substr(at + mark.size(), 20)));
    }
    return seqs;
}

// A subscriber with a persistent session (clean session off, QoS 1): what the broker queued
// for it while it, or the broker, was away arrives when it is back.
class Subscriber {
  public:
    struct Options {
        int port = 0;
        std::string clientId = "test-subscriber";
        std::string topic = "#";
        std::string username, password, caFile;
    };

    Subscriber(int port, std::string clientId, std::string topic, std::string username = {},
               std::string password = {}, std::string caFile = {})
        : options_{port,
                   std::move(clientId),
                   std::move(topic),
                   std::move(username),
                   std::move(password),
                   std::move(caFile)} {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(options_.clientId.c_str(), false, this);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (!options_.username.empty()) {
            mosquitto_username_pw_set(mosq_, options_.username.c_str(), options_.password.c_str());
        }
        if (!options_.caFile.empty()) {
            mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<Subscriber*>(self);
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, s->options_.topic.c_str(), 1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex_);
            s->subscribed_ = true;
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<Subscriber*>(self)->Take(message);
            });
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);  // not cancelled: it may hold a lock
        mosquitto_destroy(mosq_);
    }

    // Connects and waits until the subscription is granted.
    bool Start() {
        if (mosquitto_connect(mosq_, "127.0.0.1", options_.port, 30) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        mosquitto_loop_start(mosq_);
        return WaitFor(
            [&] {
                std::lock_guard lock(mutex_);
                return subscribed_;
            },
            std::chrono::seconds(10));
    }

    // Every read number that arrived, and how many arrived more than once.
    std::set<std::uint64_t> Reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    std::set<std::uint64_t> Presence() const {
        std::lock_guard lock(mutex_);
        return presence_;
    }
    // The numbers of every event that came on a topic ending in `/{kind}` ("zones", "alerts").
    std::set<std::uint64_t> EventsOf(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        std::set<std::uint64_t> seqs;
        for (const auto& [topic, payloads] : all_) {
            if (topic.size() > kind.size() && topic.ends_with("/" + kind)) {
                for (const std::string& payload : payloads) {
                    const std::vector<std::uint64_t> some = SeqsOf(payload);
                    seqs.insert(some.begin(), some.end());
                }
            }
        }
        return seqs;
    }
    std::uint64_t Duplicates() const {
        std::lock_guard lock(mutex_);
        return duplicates_;
    }
    // Reads whose numbers came out of order within one topic (a later number before an
    // earlier one that had not been seen yet).
    std::uint64_t OutOfOrder() const {
        std::lock_guard lock(mutex_);
        return outOfOrder_;
    }
    // The last payload of each topic ("" for a deleted retained message).
    std::optional<std::string> Last(const std::string& topic) const {
        std::lock_guard lock(mutex_);
        const auto found = last_.find(topic);
        return found == last_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    std::vector<std::string> Payloads(const std::string& topic) const {
        std::lock_guard lock(mutex_);
        const auto found = all_.find(topic);
        return found == all_.end() ? std::vector<std::string>() : found->second;
    }

    bool WaitForReads(const std::set<std::uint64_t>& expected, std::chrono::milliseconds timeout) {
        return WaitFor(
            [&] {
                std::lock_guard lock(mutex_);
                return std::includes(reads_.begin(), reads_.end(), expected.begin(),
                                     expected.end());
            },
            timeout);
    }

  private:
    void Take(const mosquitto_message* message) {
        const std::string topic = message->topic;
        const std::string payload(static_cast<const char*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen));
        std::lock_guard lock(mutex_);
        last_[topic] = payload;
        if (topic.size() > 6 && topic.compare(topic.size() - 6, 6, "/reads") == 0) {
            for (const std::uint64_t seq : SeqsOf(payload)) {
                if (!reads_.insert(seq).second) {
                    ++duplicates_;
                } else if (!reads_.empty() && seq < *reads_.rbegin()) {
                    ++outOfOrder_;
                }
            }
        } else if (topic.size() > 9 && topic.compare(topic.size() - 9, 9, "/presence") == 0) {
            for (const std::uint64_t seq : SeqsOf(payload)) {
                presence_.insert(seq);
            }
        } else {
            all_[topic].push_back(payload);
        }
    }

    Options options_;
    mosquitto* mosq_ = nullptr;
    mutable std::mutex mutex_;
    bool subscribed_ = false;
    std::set<std::uint64_t> reads_, presence_;
    std::uint64_t duplicates_ = 0;
    std::uint64_t outOfOrder_ = 0;
    std::map<std::string, std::string> last_;
    std::map<std::string, std::vector<std::string>> all_;
};

}  // namespace trelvane::test
