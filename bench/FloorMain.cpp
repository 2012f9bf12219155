// The protocol-cost floor as a program (see ProtocolFloor.h): serves until SIGINT/SIGTERM, then
// prints what it did:
//   floor reports=N chunks=N acks=N frames=N bytes=N recv=N send=N tags=N log_bytes=N
//   bench_floor PORT [--batched] [--keep N] [--log DIR]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ProtocolFloor.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

}  // namespace

int main(int argc, char** argv) {
    trelvane::FloorOptions options;
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_floor PORT [--batched] [--keep N] [--log DIR]\n");
        return 2;
    }
    options.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--batched") {
            options.batched = true;
        } else if (arg == "--keep" && i + 1 < argc) {
            options.keepRecord = std::atoi(argv[++i]);
        } else if (arg == "--log" && i + 1 < argc) {
            options.logFolder = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_floor PORT [--batched] [--keep N] [--log DIR]\n");
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    trelvane::ProtocolFloor floor(options);
    std::string error;
    if (!floor.Listen(error)) {
        std::fprintf(stderr, "bench_floor: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %u\n", floor.Port());
    std::fflush(stdout);
    floor.Run(g_stop);
    const trelvane::FloorStats s = floor.Stats();
    std::printf(
        "floor reports=%llu chunks=%llu acks=%llu frames=%llu bytes=%llu recv=%llu "
        "send=%llu tags=%llu log_bytes=%llu\n",
        static_cast<unsigned long long>(s.reports), static_cast<unsigned long long>(s.chunks),
        static_cast<unsigned long long>(s.acks), static_cast<unsigned long long>(s.frames),
        static_cast<unsigned long long>(s.bytesReceived),
        static_cast<unsigned long long>(s.recvCalls), static_cast<unsigned long long>(s.sendCalls),
        static_cast<unsigned long long>(s.tags), static_cast<unsigned long long>(s.logBytes));
    return 0;
}
