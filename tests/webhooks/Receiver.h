#pragma once

// The tests' webhook receiver (receiver.py, a real HTTP server in a child process) on a loopback
// port: started and stopped by the test (and killed with it if the test dies), told what to
// answer through its control file, and read back through its log of every request.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/TempFolder.h"

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

struct ReceivedRequest {
    std::string path;
    std::string delivery;  // X-Trelvane-Delivery
    bool signatureOk = false;
    bool deliveryOk = false;  // the header names the body's first and last numbers
    bool parsed = false;      // {"history_id":"…","events":[{"type":…,"event":{"seq":…}}…]}
    std::string contentType;
    int status = 0;  // what the receiver answered (or would have, had the sender waited)
    std::vector<std::uint64_t> seqs;
    std::vector<std::string> types;
    std::size_t bytes = 0;
    std::string body;
    bool Accepted() const { return status >= 200 && status <= 299; }
};

class Receiver {
  public:
    struct Options {
        std::string secret = "test secret";
        std::filesystem::path cert, key;  // set: HTTPS
        bool keepBodies = true;
    };

    explicit Receiver(std::filesystem::path folder) : Receiver(std::move(folder), Options{}) {}
    Receiver(std::filesystem::path folder, Options options)
        : folder_(std::move(folder)), options_(std::move(options)) {
        std::filesystem::create_directories(folder_);
    }
    ~Receiver() { Stop(); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // The first start takes a free port; a start after a stop listens on the same one.
    bool Start() {
        const std::filesystem::path ready = folder_ / "ready";
        std::filesystem::remove(ready);
        std::vector<std::string> args = {
            "python3",  RECEIVER_PY,     "--port",    std::to_string(port_),
            "--secret", options_.secret, "--log",     (folder_ / "requests.jsonl").string(),
            "--ready",  ready.string(),  "--control", (folder_ / "control.json").string()};
        if (!options_.cert.empty()) {
            args.insert(args.end(),
                        {"--cert", options_.cert.string(), "--key", options_.key.string()});
        }
        if (!options_.keepBodies) {
            args.emplace_back("--no-bodies");
        }
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that died
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        if (pid_ < 0 ||
            !WaitFor([&] { return std::filesystem::exists(ready); }, std::chrono::seconds(20))) {
            return false;
        }
        port_ = std::stoi(ReadFile(ready));
        return port_ > 0;
    }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    int Port() const { return port_; }
    std::string Url(const std::string& path = "/hook") const {
        return std::string(options_.cert.empty() ? "http" : "https") +
               "://127.0.0.1:" + std::to_string(port_) + path;
    }

    // What the following requests are answered (the receiver reads it at each request).
    void Answer(int status, double delaySeconds = 0) {
        const std::filesystem::path file = folder_ / "control.json";
        WriteFile(folder_ / "control.tmp", "{\"status\":" + std::to_string(status) +
                                               ",\"delay\":" + std::to_string(delaySeconds) + "}");
        std::filesystem::rename(folder_ / "control.tmp", file);
    }

    // Every request so far, in the order the receiver took them in.
    std::vector<ReceivedRequest> Requests() const {
        std::vector<ReceivedRequest> requests;
        std::ifstream in(folder_ / "requests.jsonl");
        std::string line;
        while (std::getline(in, line)) {
            const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
            if (j.is_discarded()) {
                continue;  // a line being written right now
            }
            ReceivedRequest r;
            r.path = j.value("path", "");
            r.delivery = j.value("delivery", "");
            r.signatureOk = j.value("signature_ok", false);
            r.deliveryOk = j.value("delivery_ok", false);
            r.parsed = j.value("parsed", false);
            r.contentType = j.value("content_type", "");
            r.status = j.value("status", 0);
            r.seqs = j.value("seqs", std::vector<std::uint64_t>{});
            r.types = j.value("types", std::vector<std::string>{});
            r.bytes = j.value("bytes", std::size_t{0});
            r.body = j.value("body", "");
            requests.push_back(std::move(r));
        }
        return requests;
    }

  private:
    std::filesystem::path folder_;
    Options options_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace trelvane::test
