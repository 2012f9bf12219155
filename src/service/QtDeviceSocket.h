#pragma once

#include <QPointer>
#include <QTcpSocket>
#include <string>

#include "service/DeviceInfo.h"

namespace trelvane {

// A device connection on a QTcpSocket. Lives on the event-loop thread; the record that holds it
// may be released on another thread, so the socket object is handed to the event loop for
// deletion (deleteLater) rather than deleted in place.
class QtDeviceSocket final : public DeviceSocket {
  public:
    QtDeviceSocket(QTcpSocket* socket, std::string key);
    ~QtDeviceSocket() override;

    bool SendBytes(std::span<const std::uint8_t> bytes) override;
    void Close() override;
    bool IsOpen() const override;

    QTcpSocket* Socket() const { return socket_; }
    const std::string& Key() const { return key_; }

  private:
    QPointer<QTcpSocket> socket_;
    const std::string key_;
    bool closed_ = false;
};

}  // namespace trelvane
