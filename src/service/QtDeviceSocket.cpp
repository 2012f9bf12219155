#include "service/QtDeviceSocket.h"

namespace trelvane {

QtDeviceSocket::QtDeviceSocket(QTcpSocket* socket, std::string key,
                               std::shared_ptr<std::atomic<std::size_t>> openCount,
                               std::function<void()> onClosed)
    : socket_(socket),
      key_(std::move(key)),
      openCount_(std::move(openCount)),
      onClosed_(std::move(onClosed)) {}

QtDeviceSocket::~QtDeviceSocket() {
    // Normally Close() has already handed the socket to the event loop; this is the fallback
    // for a socket that was never closed (deleteLater may be called from any thread).
    if (socket_) {
        socket_->deleteLater();
    }
    CountDown();
}

void QtDeviceSocket::CountDown() {
    if (openCount_) {
        openCount_->fetch_sub(1);
        openCount_.reset();
    }
}

bool QtDeviceSocket::SendBytes(std::span<const std::uint8_t> bytes) {
    if (!IsOpen() || Unsent() + static_cast<qint64>(bytes.size()) > kSendLimitBytes) {
        return false;
    }
    const qint64 written = socket_->write(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<qint64>(bytes.size()));
    return written >= 0;
}

void QtDeviceSocket::Close() {
    if (closed_ || !socket_) {
        closed_ = true;
        return;
    }
    closed_ = true;
    CountDown();
    // Graceful: frames already written still go out before the FIN. The socket object goes
    // here, on the event loop, so the record holding this wrapper may be released on the
    // parse thread without touching a Qt object.
    socket_->disconnect();
    socket_->flush();  // hand what is written to the kernel before the object goes
    socket_->close();
    socket_->deleteLater();
    socket_ = nullptr;
    if (onClosed_) {
        onClosed_();
    }
}

qint64 QtDeviceSocket::Unsent() const {
    return socket_ ? socket_->bytesToWrite() : 0;
}

bool QtDeviceSocket::IsOpen() const {
    return !closed_ && socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

}  // namespace trelvane
