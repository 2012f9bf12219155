// The ceiling for the end-to-end benchmark: a plain TCP sink that tells every connecting reader
// to start reading (one CMD_START_READ frame) and then reads and throws away whatever arrives,
// acknowledging nothing. Prints the bytes and connections it saw when SIGINT/SIGTERM arrives.
//   bench_socket_sink PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "protocol/HostCommand.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_socket_sink PORT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0) {
        std::perror("bench_socket_sink: listen");
        return 1;
    }
    std::array<std::uint8_t, trelvane::kCommandBufferSize> start{};
    const auto startLength =
        trelvane::BuildCommandFrame(trelvane::CMD_START_READ, 0, trelvane::SystemClock(), start);

    const int epoll = ::epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);

    std::uint64_t bytes = 0;
    std::uint64_t connections = 0;
    std::array<epoll_event, 256> ready{};
    std::array<char, 64 * 1024> sink{};
    while (!g_stop) {
        const int n = ::epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), 200);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener) {
                for (;;) {
                    const int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                    if (client < 0) {
                        break;
                    }
                    ++connections;
                    [[maybe_unused]] const auto w = ::write(client, start.data(), *startLength);
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = client;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, client, &e);
                }
                continue;
            }
            for (;;) {
                const ssize_t got = ::read(fd, sink.data(), sink.size());
                if (got > 0) {
                    bytes += static_cast<std::uint64_t>(got);
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    ::close(fd);
                }
                break;
            }
        }
    }
    std::printf("sink connections=%llu bytes=%llu\n", static_cast<unsigned long long>(connections),
                static_cast<unsigned long long>(bytes));
    return 0;
}
