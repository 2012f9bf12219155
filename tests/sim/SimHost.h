#pragma once

// The host side for the simulator's tests: a QTcpServer on a loopback port chosen by the system,
// on the test's own event loop, that records every byte a reader sends and sends host commands
// built by the protocol library.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "support/Bytes.h"
#include "support/QtWait.h"

namespace trelvane::test {

inline Bytes WireFrame(std::uint8_t command, unsigned parameter, const Bytes& data) {
    std::array<std::uint8_t, kMaxBuiltFrameSize> out{};
    const auto n = BuildFrame(command, data, parameter, out);
    return n ? Bytes(out.begin(), out.begin() + static_cast<long>(*n)) : Bytes{};
}

// A host command as the server sends it.
inline Bytes HostCommand(int type, unsigned parameter = 0, const Clock& clock = SystemClock()) {
    std::array<std::uint8_t, kCommandBufferSize> out{};
    const auto n = BuildCommandFrame(type, parameter, clock, out);
    return n ? Bytes(out.begin(), out.begin() + static_cast<long>(*n)) : Bytes{};
}

// Splits a wire stream at its start bytes (0x55 never occurs inside an escaped frame).
inline std::vector<Bytes> SplitFrames(const Bytes& wire) {
    std::vector<Bytes> frames;
    for (std::uint8_t b : wire) {
        if (b == kStartByte || frames.empty()) {
            frames.emplace_back();
        }
        frames.back().push_back(b);
    }
    return frames;
}

// The unescaped frames of a wire stream, cut the way a device buffer is cut.
inline std::vector<Bytes> DecodeFrames(const Bytes& wire) {
    std::vector<Bytes> frames;
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
    std::array<FrameRecord, 64> records;
    std::size_t offset = 0;
    // A trailing stop-read answer or report is complete, so a final empty start byte flushes it.
    Bytes stream = wire;
    stream.push_back(kStartByte);
    while (offset < stream.size()) {
        const std::size_t take = std::min(kReceiveBufferSize - buffered, stream.size() - offset);
        std::copy_n(stream.begin() + static_cast<long>(offset), take, buffer.begin() + buffered);
        buffered += take;
        offset += take;
        while (const std::size_t n = ExtractFrames(buffer, buffered, records, lock)) {
            for (std::size_t i = 0; i < n; ++i) {
                frames.emplace_back(records[i].begin(), records[i].begin() + records[i][3] + 6);
            }
        }
    }
    return frames;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

class SimHost {
  public:
    struct Connection {
        std::unique_ptr<QTcpSocket> socket;
        Bytes received;
        bool closed = false;
    };

    // Called after bytes were appended to a connection's `received`, with their count.
    std::function<void(Connection&, std::size_t)> onReceive;

    SimHost() {
        server_.listen(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
    }

    ~SimHost() {
        for (auto& c : connections_) {
            QObject::disconnect(c->socket.get(), nullptr, nullptr, nullptr);
        }
    }
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    quint16 Port() const { return server_.serverPort(); }
    QHostAddress Address() const { return QHostAddress(QHostAddress::LocalHost); }

    // Waits for the index-th accepted connection.
    Connection* WaitForConnection(std::size_t index = 0, int timeoutMs = 3000) {
        if (!WaitUntil([&] { return connections_.size() > index; }, timeoutMs)) {
            return nullptr;
        }
        return connections_[index].get();
    }
    std::size_t ConnectionCount() const { return connections_.size(); }
    Connection& At(std::size_t index) { return *connections_.at(index); }

    static void Send(Connection& c, const Bytes& bytes) {
        c.socket->write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<qint64>(bytes.size()));
        c.socket->flush();
    }

    // Waits until the connection has received at least `count` bytes in all.
    static bool WaitForBytes(Connection& c, std::size_t count, int timeoutMs = 3000) {
        return WaitUntil([&] { return c.received.size() >= count; }, timeoutMs);
    }

    // Stops taking bytes from the socket: Qt's read buffer is capped, so the kernel buffers fill
    // and the reader's writes back up.
    static void Pause(Connection& c) { c.socket->setReadBufferSize(1024); }
    void Resume(Connection& c) {
        c.socket->setReadBufferSize(0);
        Drain(c);
    }

  private:
    void Accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto connection = std::make_unique<Connection>();
            connection->socket.reset(socket);
            socket->setParent(nullptr);
            Connection* c = connection.get();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, c] { Drain(*c); });
            QObject::connect(socket, &QTcpSocket::disconnected, [c] { c->closed = true; });
            connections_.push_back(std::move(connection));
        }
    }

    void Drain(Connection& c) {
        if (c.socket->readBufferSize() != 0) {
            return;  // paused
        }
        const QByteArray bytes = c.socket->readAll();
        if (bytes.isEmpty()) {
            return;
        }
        c.received.insert(c.received.end(), bytes.begin(), bytes.end());
        if (onReceive) {
            onReceive(c, static_cast<std::size_t>(bytes.size()));
        }
    }

    QTcpServer server_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace trelvane::test
