#pragma once

#include <QPointer>
#include <QTcpSocket>
#include <string>

#include "service/DeviceInfo.h"

namespace trelvane {

// A device connection on a QTcpSocket, used on the event-loop thread only. Close() (always run
// there when a device is dropped) hands the QTcpSocket to the event loop for deletion, so the
// record holding this wrapper may be released on the parse thread without touching Qt.
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
