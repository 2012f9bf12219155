#pragma once

// Listening, accepting and receiving: the event loop's half of the service's data path.
//
// Each accepted reader is registered in the device table and handed to the connection
// handler (which starts its dialogue). Received bytes go into the device's receive buffer, at
// most one chunk of 256 bytes per read, each chunk acknowledged while the reader is reading,
// and the device is queued for the parse worker. Two bounds hold every reader back through TCP
// instead of dropping or growing anything: a full receive buffer (until the parse thread has
// made room) and a send queue over its cap (a reader that does not read what we send).
//
// Threading: event-loop thread only.

#include <QObject>
#include <QPointer>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "service/DeviceRegistry.h"
#include "service/Listener.h"
#include "service/PipelineStats.h"
#include "service/Scheduler.h"

class QTcpSocket;

namespace trelvane {

class ParseWorker;
class QtDeviceSocket;

class ReceivePipeline final : public QObject {
    Q_OBJECT

  public:
    // A new connection, registered under `key`.
    using ConnectionHandler =
        std::function<void(const std::string& key, const std::shared_ptr<QtDeviceSocket>&)>;

    ReceivePipeline(DeviceTable& devices, ParseWorker& parser, const Clock& clock,
                    Scheduler& scheduler, PipelineStats& stats, ConnectionHandler onConnected,
                    QObject* parent = nullptr);
    ~ReceivePipeline() override;

    // Listens on a dotted IPv4 address and port (0: any free port) with a connection budget of
    // `limit` (0: the descriptors the process may still open less `margin`). False when the
    // address is no IPv4 address, the port is out of range or listening fails.
    bool Listen(const std::string& ip, int port, std::size_t limit, std::size_t margin);
    // Stops accepting; readers in the listen queue are refused. Connections stay.
    void CloseListener();
    // Drops the listener (after CloseListener or instead of it).
    void DeleteListener();
    bool Listening() const { return listener_ != nullptr; }

    // While off, no socket is read (so nothing more is acknowledged).
    void SetReceiving(bool receiving) { receiving_ = receiving; }
    bool Receiving() const { return receiving_; }

    // The parse thread has made room in `key`'s buffer.
    void ResumeReading(const std::string& key);

    quint16 Port() const;
    bool AcceptingPaused() const;
    std::size_t ConnectionLimit() const;
    const Listener* ListenerForTests() const { return listener_; }

  private:
    void AcceptOne(QTcpSocket* socket, const Listener::OpenCount& open);
    void OnReadyRead(const std::shared_ptr<QtDeviceSocket>& socket);
    void OnBytesWritten(const std::shared_ptr<QtDeviceSocket>& socket);
    void OnSocketClosed(const std::shared_ptr<QtDeviceSocket>& socket);
    void ReceiveFrom(const DeviceRecord& device, QtDeviceSocket& socket);

    DeviceTable& devices_;
    ParseWorker& parser_;
    const Clock& clock_;
    Scheduler& scheduler_;
    PipelineStats& stats_;
    ConnectionHandler onConnected_;
    QPointer<Listener> listener_;
    bool receiving_ = false;
};

}  // namespace trelvane
