#pragma once

// A reader written by hand on a plain non-blocking socket, for peers that misbehave in ways the
// simulator will not: it answers the start-up dialogue, then sends whatever the test wants and
// reads only when told to. Every wait is bounded and runs the test's event loop, so an engine
// on the same thread keeps working.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "sim/SimHost.h"
#include "support/Bytes.h"
#include "support/QtWait.h"

namespace trelvane::test {

class RawPeer {
  public:
    // `receiveBuffer` > 0 shrinks the kernel's receive buffer before connecting, so a peer that
    // stops reading backs the server's sends up sooner.
    explicit RawPeer(quint16 port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        // Non-blocking from here: sends take what the kernel has room for.
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        localPort_ = ntohs(local.sin_port);
    }
    ~RawPeer() { Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Connected() const { return connected_; }
    std::string Key() const { return "127.0.0.1:" + std::to_string(localPort_); }
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Sends as much of `bytes` as the kernel takes now; returns the count.
    std::size_t SendSome(const Bytes& bytes) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // Sends all of `bytes`, running the event loop while the kernel is full. False on time-out.
    bool SendAll(const Bytes& bytes, int timeoutMs = 3000) {
        std::size_t done = 0;
        return WaitUntil(
            [&] {
                const ssize_t n =
                    ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                }
                return done == bytes.size();
            },
            timeoutMs);
    }

    // Reads what has arrived (without waiting) into the received bytes; returns the count.
    std::size_t ReadAvailable() {
        std::uint8_t chunk[4096];
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return total;
            }
            received_.insert(received_.end(), chunk, chunk + n);
            total += static_cast<std::size_t>(n);
        }
    }
    // Waits until a frame with `command` has arrived (reading as it goes).
    bool WaitForCommand(std::uint8_t command, int timeoutMs = 3000) {
        return WaitUntil(
            [&] {
                ReadAvailable();
                for (const Bytes& frame : DecodeFrames(received_)) {
                    if (frame.size() > 4 && frame[4] == command) {
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    }
    const Bytes& Received() const { return received_; }
    void ForgetReceived() { received_.clear(); }

    // The reader's answers of the start-up dialogue.
    static Bytes NameReply(const std::string& name) {
        // Sized at once: GCC 12 takes the growth path of insert() for an out-of-bounds copy.
        Bytes data(1 + name.size(), 0x00);
        std::copy(name.begin(), name.end(), data.begin() + 1);
        return WireFrame(0x01, 0, data);
    }
    static Bytes ClockReply() { return WireFrame(0xB0, 0, {0x00}); }
    static Bytes StartReply() { return WireFrame(0x62, 0, {0x00}); }
    // A tag report (L = 17) for `tag`, with a reader clock of 2026-12-07 12:00:00.
    static Bytes TagReport(std::uint32_t tag) {
        return WireFrame(
            0x62, 0,
            {0x00, 0, 0, 0, 0, static_cast<std::uint8_t>(tag >> 24),
             static_cast<std::uint8_t>(tag >> 16), static_cast<std::uint8_t>(tag >> 8),
             static_cast<std::uint8_t>(tag), 0x00, 0x00, 0x12, 0x01, 0x07, 0x12, 0x26});
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::uint16_t localPort_ = 0;
    Bytes received_;
};

}  // namespace trelvane::test
