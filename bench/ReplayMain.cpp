// The load generator: readers that answer the start-up dialogue, then stream precomputed tag
// reports as fast as the host takes them (see sim/ReplayLoad.h). Prints one summary line:
//   summary readers=N connected=N reporting=N reports=N bytes=N acked=N seconds=S rate=R
//   drained=0|1
// `rate` is whole reports per second from the first report to the last acknowledgement (to the
// end of streaming with --no-dialogue, where nothing is acknowledged).
//   bench_replay --port P [--readers N] [--tags N] [--seconds S] [--drain S] [--start-timeout S]
//                [--sources N] [--length 14|17] [--no-dialogue] [--hold] [--connect-window N]
//                [--progress]
// --hold: the readers go through the dialogue and then only keep their connections until the
// stream would end (or SIGTERM): a fleet at rest, for scale runs.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/ReplayLoad.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: bench_replay --port P [--readers N] [--tags N] [--seconds S] [--drain S]\n"
        "                    [--start-timeout S] [--sources N] [--length 14|17]\n"
        "                    [--no-dialogue] [--hold] [--connect-window N] [--progress]\n");
    return 2;
}

bool Number(const char* text, double low, double high, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0' && out >= low && out <= high;
}

}  // namespace

int main(int argc, char** argv) {
    trelvane::ReplayOptions options;
    bool havePort = false;
    bool progress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double value = 0;
        const auto next = [&](double low, double high) {
            return i + 1 < argc && Number(argv[++i], low, high, value);
        };
        if (arg == "--port" && next(1, 65535)) {
            options.port = static_cast<std::uint16_t>(value);
            havePort = true;
        } else if (arg == "--readers" && next(1, 1000000)) {
            options.readers = static_cast<int>(value);
        } else if (arg == "--tags" && next(1, 100000000)) {
            options.tagCount = static_cast<std::uint32_t>(value);
        } else if (arg == "--seconds" && next(0.1, 86400)) {
            options.streamSeconds = value;
        } else if (arg == "--drain" && next(0, 3600)) {
            options.drainSeconds = value;
        } else if (arg == "--start-timeout" && next(0.1, 3600)) {
            options.startTimeoutSeconds = value;
        } else if (arg == "--sources" && next(0, 8)) {
            options.sourceAddresses = static_cast<int>(value);
        } else if (arg == "--length" && next(14, 17) && (value == 14 || value == 17)) {
            options.reportLength = static_cast<int>(value);
        } else if (arg == "--hold") {
            options.hold = true;
        } else if (arg == "--connect-window" && next(1, 100000)) {
            options.connectWindow = static_cast<int>(value);
        } else if (arg == "--no-dialogue") {
            options.dialogue = false;
        } else if (arg == "--progress") {
            progress = true;
        } else {
            return Usage();
        }
    }
    if (!havePort) {
        return Usage();
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const trelvane::ReplayBuffer buffer =
        trelvane::BuildReplayBuffer(options.firstTag, options.tagCount, options.reportLength);
    std::function<void(const trelvane::ReplayResult&)> report;
    if (progress) {
        report = [](const trelvane::ReplayResult& r) {
            std::fprintf(stderr, "progress connected=%d reporting=%d reports=%llu acked=%llu\n",
                         r.connected, r.reporting, static_cast<unsigned long long>(r.reports),
                         static_cast<unsigned long long>(r.bytesAcked));
        };
    }
    const trelvane::ReplayResult r = trelvane::RunReplay(options, buffer, &g_stop, report);
    const double seconds = options.dialogue && r.ackSeconds > 0 ? r.ackSeconds : r.streamSeconds;
    std::printf(
        "summary readers=%d connected=%d reporting=%d failed=%d closed=%d reports=%llu bytes=%llu "
        "acked=%llu seconds=%.3f rate=%.0f drained=%d\n",
        r.readers, r.connected, r.reporting, r.connectFailures, r.closedByPeer,
        static_cast<unsigned long long>(r.reports),
        static_cast<unsigned long long>(r.bytesStreamed),
        static_cast<unsigned long long>(r.bytesAcked), seconds,
        seconds > 0 ? static_cast<double>(r.reports) / seconds : 0.0, r.drained ? 1 : 0);
    return r.reporting > 0 ? 0 : 1;
}
