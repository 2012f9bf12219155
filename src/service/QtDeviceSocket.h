#pragma once

#include <QPointer>
#include <QTcpSocket>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "service/DeviceInfo.h"

namespace trelvane {

// A device connection on a QTcpSocket, used on the event-loop thread only. Close() (always run
// there when a device is dropped) hands the QTcpSocket to the event loop for deletion, so the
// record holding this wrapper may be released on the parse thread without touching Qt.
//
// Send bound: frames not yet taken by the kernel wait in Qt's write buffer, which has no limit
// of its own. A reader that sends but never reads would make it grow for ever (every chunk it
// sends is acknowledged), so the receive path stops reading a socket once kSendPauseBytes are
// unsent and resumes below kSendResumeBytes: TCP then holds the reader back, and nothing it sent
// is lost. A frame that would take the queue beyond kSendLimitBytes is refused (SendBytes
// returns false, as for a closed socket): operator and start-up commands fail visibly instead
// of queueing without bound. Acknowledgements always fit, since a chunk is only read below the
// pause mark and its acknowledgement is a few bytes.
class QtDeviceSocket final : public DeviceSocket {
  public:
    static constexpr qint64 kSendPauseBytes = 64 * 1024;
    static constexpr qint64 kSendResumeBytes = kSendPauseBytes / 2;
    static constexpr qint64 kSendLimitBytes = kSendPauseBytes + 4 * 1024;

    // `openCount` (may be null) is counted down once when the connection closes, and
    // `onClosed` (may be empty) is then called, from Close() on the event loop only.
    QtDeviceSocket(QTcpSocket* socket, std::string key,
                   std::shared_ptr<std::atomic<std::size_t>> openCount = nullptr,
                   std::function<void()> onClosed = {});
    ~QtDeviceSocket() override;

    bool SendBytes(std::span<const std::uint8_t> bytes) override;
    void Close() override;
    bool IsOpen() const override;

    QTcpSocket* Socket() const { return socket_; }
    const std::string& Key() const { return key_; }
    // Bytes written but not yet handed to the kernel.
    qint64 Unsent() const;

    // Set by the receive path while it leaves the socket unread for its unsent bytes.
    bool pausedForSend = false;

  private:
    void CountDown();

    QPointer<QTcpSocket> socket_;
    const std::string key_;
    bool closed_ = false;
    std::shared_ptr<std::atomic<std::size_t>> openCount_;
    std::function<void()> onClosed_;
};

}  // namespace trelvane
