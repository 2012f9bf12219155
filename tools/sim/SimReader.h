#pragma once

// One simulated reader on one TCP connection: it connects to the host, answers the host's
// commands through SimReaderCore and, while reporting, writes tag reports paced by a SimPacer.
// Tests use it as the fixture of the server: every frame the reader received is kept, in order
// and unescaped, and raw bytes can be sent to probe the server's input handling.
//
// Threading: a SimReader, its socket and its pacer live on one thread and are used from its
// event loop only. Do not delete a reader from inside one of its own signals (deleteLater).

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "base/Clock.h"
#include "sim/SimReaderCore.h"

namespace trelvane {

class SimPacer;

class SimReader final : public QObject {
    Q_OBJECT

  public:
    // `pacer` paces the reports and hands out tag numbers; it must outlive the reader. Without
    // one the reader makes its own. `clock` gives the reports' time (see SimReaderCore) and
    // must outlive the reader.
    explicit SimReader(SimReaderOptions options, SimPacer* pacer = nullptr,
                       const Clock& clock = SystemClock(), QObject* parent = nullptr);
    ~SimReader() override;

    // Starts a connection; Connected or ConnectFailed follows. A connection in place is
    // dropped first. Each connection starts with a fresh receive buffer and request counters.
    void ConnectTo(const QHostAddress& host, quint16 port);
    // Sends what is queued, then closes. Disconnected follows.
    void Close();
    // Drops the connection at once, queued bytes included.
    void Abort();

    // Writes bytes as they are (no framing); they count as sent, and as reporting bytes while
    // reporting. Returns false when not connected.
    bool SendRaw(std::span<const std::uint8_t> bytes);

    bool IsConnected() const { return connected_; }
    // An attempt is under way: neither Connected nor ConnectFailed has followed it yet.
    bool IsConnecting() const { return connecting_; }
    bool IsReporting() const { return core_.Reporting(); }
    // The local port of the connection, 0 when never connected.
    quint16 LocalPort() const { return localPort_; }
    // "address:port" of this end, the text the host keys the reader by; kept after a
    // disconnect for messages.
    const QString& DeviceKey() const { return deviceKey_; }
    // Bytes accepted by the socket but not yet handed to the operating system.
    qint64 UnsentBytes() const { return socket_.bytesToWrite(); }

    const SimReaderOptions& Options() const { return core_.Options(); }
    // Options may change between steps of a test (e.g. start failing sets); tag and length
    // options take effect at the next report. Change the rate through SetRate.
    SimReaderOptions& MutableOptions() { return core_.MutableOptions(); }
    // Changes the report rate; a reporting reader moves between paced and flooding at once
    // (a paced reader restarts its schedule).
    void SetRate(double rate);
    const SimReaderStats& Stats() const { return core_.Stats(); }
    const std::vector<std::vector<std::uint8_t>>& ReceivedFrames() const {
        return core_.ReceivedFrames();
    }
    void ClearReceivedFrames() { core_.ClearReceivedFrames(); }

    static constexpr std::size_t kNoPacerSlot = std::numeric_limits<std::size_t>::max();

  Q_SIGNALS:
    void Connected();
    void ConnectFailed(const QString& error);
    void Disconnected();
    // One unescaped frame from the host, emitted before the reader answers it. Only built when
    // something is connected to the signal.
    void FrameReceived(const QByteArray& frame);
    void ReportingChanged(bool reporting);

  private:
    friend class SimPacer;

    void OnConnected();
    void OnDisconnected();
    void OnError(QAbstractSocket::SocketError error);
    void OnReadyRead();
    void OnBytesWritten();
    // Writes `out_` and clears it.
    void Flush();
    void AfterReceive(bool wasReporting);
    void StopReporting();
    // Called by the pacer with the number of reports now due.
    void SendPacedReports(std::uint64_t count);
    // Rate 0: tops the socket's queue up to the unsent bound.
    void FillUp();
    // Appends up to `count` reports while the queue stays within the bound; returns how many.
    std::uint64_t AppendReports(std::uint64_t count);

    SimReaderCore core_;
    QTcpSocket socket_;
    std::unique_ptr<SimPacer> ownPacer_;
    SimPacer* pacer_;
    std::size_t pacerSlot_ = kNoPacerSlot;  // owned by the pacer
    std::vector<std::uint8_t> out_;         // answers and reports waiting for one write
    bool connected_ = false;
    bool connecting_ = false;
    bool fillQueued_ = false;  // a FillUp is queued on the event loop
    quint16 localPort_ = 0;
    QString deviceKey_;
};

}  // namespace trelvane
