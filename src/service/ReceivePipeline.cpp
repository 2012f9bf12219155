#include "service/ReceivePipeline.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <array>
#include <cstring>

#include "protocol/HostCommand.h"
#include "service/ParseWorker.h"
#include "service/QtDeviceSocket.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {
namespace {

constexpr std::size_t kReceiveChunk = 256;  // one receive, and one acknowledgement, at most
// Room for the acknowledgements gathered before one write: a call reads at most the device
// buffer's 1024 bytes, so four or five chunks; more goes out in further writes.
constexpr std::size_t kAckBatchBytes = 8 * kCommandBufferSize;
// Bytes Qt may hold per device socket while we are not reading it; beyond that TCP flow control
// holds the reader back.
constexpr qint64 kSocketReadBuffer = 16 * 1024;
// Thousands of readers may reconnect at once after a restart.
constexpr int kListenBacklog = 1024;

}  // namespace

ReceivePipeline::ReceivePipeline(DeviceTable& devices, ParseWorker& parser, const Clock& clock,
                                 Scheduler& scheduler, PipelineStats& stats,
                                 ConnectionHandler onConnected, QObject* parent)
    : QObject(parent),
      devices_(devices),
      parser_(parser),
      clock_(clock),
      scheduler_(scheduler),
      stats_(stats),
      onConnected_(std::move(onConnected)) {}

ReceivePipeline::~ReceivePipeline() {
    DeleteListener();
}

bool ReceivePipeline::Listen(const std::string& ip, int port, std::size_t limit,
                             std::size_t margin) {
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(ip)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol || port < 0 || port > 65535) {
        qCWarning(lcService) << "cannot listen on" << ip.c_str() << ":" << port;
        return false;
    }
    auto* listener = new Listener(
        scheduler_,
        [this](QTcpSocket* socket, const Listener::OpenCount& open) { AcceptOne(socket, open); },
        this);
    if (!listener->Listen(address.toIPv4Address(), static_cast<quint16>(port), kListenBacklog)) {
        qCWarning(lcService) << "listen failed:" << listener->ErrorString();
        delete listener;
        return false;
    }
    if (limit != 0) {
        listener->SetBudget(limit);
    } else {
        const std::size_t available = DescriptorsAvailable();
        listener->SetBudget(available > 2 * margin ? available - margin : available / 2);
    }
    DeleteListener();
    listener_ = listener;
    return true;
}

void ReceivePipeline::CloseListener() {
    if (listener_) {
        listener_->Close();
    }
}

void ReceivePipeline::DeleteListener() {
    delete listener_.data();
    listener_ = nullptr;
}

quint16 ReceivePipeline::Port() const {
    return listener_ ? listener_->Port() : 0;
}

bool ReceivePipeline::AcceptingPaused() const {
    return listener_ && listener_->Paused();
}

std::size_t ReceivePipeline::ConnectionLimit() const {
    return listener_ ? listener_->Budget() : 0;
}

void ReceivePipeline::AcceptOne(QTcpSocket* socket, const Listener::OpenCount& open) {
    bool isIpv4 = false;
    const quint32 ipv4 = socket->peerAddress().toIPv4Address(&isIpv4);
    if (!isIpv4 || socket->state() != QAbstractSocket::ConnectedState) {
        // Nothing to key it by: an accept that failed registers nothing.
        socket->abort();
        socket->deleteLater();
        open->fetch_sub(1);
        return;
    }
    const std::string ip = QHostAddress(ipv4).toString().toStdString();
    const int port = socket->peerPort();
    const std::string key = DeviceKey(ip, port);
    socket->setReadBufferSize(kSocketReadBuffer);
    socket->setParent(nullptr);
    QPointer<Listener> listener(listener_);
    auto wrapper = std::make_shared<QtDeviceSocket>(socket, key, open, [listener] {
        if (listener) {
            listener->ConnectionClosed();
        }
    });
    const std::weak_ptr<QtDeviceSocket> weak = wrapper;
    connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnReadyRead(s);
        }
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnBytesWritten(s);
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnSocketClosed(s);
        }
    });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, weak](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError) {
                    return;  // `disconnected` follows
                }
                if (auto s = weak.lock()) {
                    OnSocketClosed(s);
                }
            });

    const std::string loginTime = FormatDateTime(clock_.LocalNow());
    const auto registration =
        devices_.RegisterConnection(key, wrapper, ip, port, loginTime, clock_.TickCount());
    registration.record->registrationPending = true;
    onConnected_(key, wrapper);
    if (socket->bytesAvailable() > 0) {
        OnReadyRead(wrapper);
    }
}

void ReceivePipeline::OnReadyRead(const std::shared_ptr<QtDeviceSocket>& socket) {
    if (!receiving_) {
        return;  // stopping: what has not been read is not acknowledged either
    }
    const DeviceRecord device = devices_.Find(socket->Key());
    if (!device || device->socket != socket) {
        socket->Socket()->readAll();  // no record for it (any more): read and drop
        return;
    }
    if (socket->pausedForSend || parser_.IsBlocked(socket->Key())) {
        return;  // resumed once the reader takes what we send, or the parse thread made room
    }
    ReceiveFrom(device, *socket);
}

void ReceivePipeline::OnBytesWritten(const std::shared_ptr<QtDeviceSocket>& socket) {
    if (!socket->pausedForSend || socket->Unsent() >= QtDeviceSocket::kSendResumeBytes) {
        return;
    }
    socket->pausedForSend = false;
    OnReadyRead(socket);
}

// Reads what fits into the device's receive buffer and its staging ring, at most one chunk of
// 256 bytes per read, acknowledging each chunk while the reader is reading. When both are full
// the socket is left unread (its bounded Qt buffer then holds the reader back through TCP) until
// the parse thread has drained it: nothing received is ever thrown away for want of room.
void ReceivePipeline::ReceiveFrom(const DeviceRecord& device, QtDeviceSocket& socket) {
    QTcpSocket* qsocket = socket.Socket();
    if (qsocket == nullptr) {
        return;
    }
    std::array<char, kReceiveChunk> chunk{};
    // The acknowledgements of this call, one frame per chunk as always, handed to the socket in
    // one write: a write per chunk cost a syscall and an event-loop wake-up each.
    std::array<std::uint8_t, kAckBatchBytes> acks{};
    std::size_t ackBytes = 0;
    const auto sendAcks = [&] {
        if (ackBytes > 0) {
            socket.SendBytes(std::span<const std::uint8_t>(acks.data(), ackBytes));
            ackBytes = 0;
        }
    };
    bool appended = false;
    bool full = false;
    while (qsocket->bytesAvailable() > 0) {
        if (socket.Unsent() + static_cast<qint64>(ackBytes) >= QtDeviceSocket::kSendPauseBytes) {
            // The reader does not take what we send: stop reading it until it does.
            socket.pausedForSend = true;
            stats_.sendPauses.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        std::size_t room = 0;
        {
            // Bytes go to the device buffer while nothing waits in the ring, then to the ring.
            // The ring is used only while reading: what is read before the parse thread has seen
            // the start-read reply is never acknowledged, so that stays within the buffer.
            std::lock_guard lock(device->receiveLock);
            const bool ring = device->reading.load(std::memory_order_relaxed);
            if (ring && device->staging.Room() == 0) {
                device->staging.Grow();  // it keeps sending: fewer pauses, if the budget allows
            }
            room = (ring ? device->staging.Room() : 0) +
                   (device->staging.Empty() ? kReceiveBufferSize - device->bufferedBytes : 0);
        }
        if (room == 0) {
            full = true;
            break;
        }
        const qint64 n =
            qsocket->read(chunk.data(), static_cast<qint64>(std::min(room, chunk.size())));
        if (n <= 0) {
            break;
        }
        const auto length = static_cast<std::size_t>(n);
        if (device->reading) {
            if (acks.size() - ackBytes < kCommandBufferSize) {
                sendAcks();
            }
            std::span<std::uint8_t, kCommandBufferSize> frame(acks.data() + ackBytes,
                                                              kCommandBufferSize);
            ackBytes +=
                BuildCommandFrame(CMD_DATA_ACK, static_cast<unsigned>(length), clock_, frame)
                    .value_or(0);
        }
        {
            std::lock_guard lock(device->receiveLock);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk.data());
            const std::size_t direct =
                device->staging.Empty()
                    ? std::min(length, kReceiveBufferSize - device->bufferedBytes)
                    : 0;
            std::memcpy(device->recvBuffer.data() + device->bufferedBytes, bytes, direct);
            device->bufferedBytes += direct;
            device->staging.Push(bytes + direct, length - direct);
        }
        stats_.bytesReceived.fetch_add(length, std::memory_order_relaxed);
        stats_.chunksReceived.fetch_add(1, std::memory_order_relaxed);
        appended = true;
    }
    sendAcks();
    if (appended) {
        device->online = true;
        device->lastActiveTick = clock_.TickCount();
        device->SetText(DeviceText::kLastRegTime, FormatDateTime(clock_.LocalNow()));
    }
    if (full) {
        stats_.readPauses.fetch_add(1, std::memory_order_relaxed);
        parser_.Block(socket.Key());
    }
    if (appended || full) {
        parser_.Enqueue(socket.Key(), device);
    }
    if (!full && !socket.pausedForSend && qsocket->state() == QAbstractSocket::UnconnectedState &&
        qsocket->bytesAvailable() == 0) {
        socket.Close();  // the peer had closed; its last bytes are in now
    }
}

void ReceivePipeline::ResumeReading(const std::string& key) {
    parser_.Unblock(key);
    const DeviceRecord device = devices_.Find(key);
    if (!device || !receiving_) {
        return;
    }
    if (auto socket = std::dynamic_pointer_cast<QtDeviceSocket>(device->socket);
        socket && !socket->pausedForSend) {
        ReceiveFrom(device, *socket);
    }
}

void ReceivePipeline::OnSocketClosed(const std::shared_ptr<QtDeviceSocket>& socket) {
    // The record stays; the supervision rebuild removes it once it has been silent too long.
    // Bytes still held for it are read first (now, or when the parse thread has made room).
    const DeviceRecord device = devices_.Find(socket->Key());
    QTcpSocket* qsocket = socket->Socket();
    socket->pausedForSend = false;  // nothing more goes out on a closed connection
    if (receiving_ && device && device->socket == socket && qsocket != nullptr &&
        qsocket->bytesAvailable() > 0) {
        if (!parser_.IsBlocked(socket->Key())) {
            ReceiveFrom(device, *socket);
        }
        return;
    }
    socket->Close();
}

}  // namespace trelvane
