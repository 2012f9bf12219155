#pragma once

// N simulated readers sharing one pacer (one report timer, one tag cursor). Connections are
// opened through a window of at most `connectWindow` attempts in flight, so ten thousand
// readers do not overflow the host's accept backlog; optionally a reader that loses or fails
// its connection tries again after a delay.
//
// Threading: as SimReader, one thread and its event loop.

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "sim/SimPacer.h"
#include "sim/SimReader.h"
#include "sim/SimReaderCore.h"

namespace trelvane {

struct SimFleetOptions {
    QHostAddress host = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 7088;
    int readers = 1;
    // Reader k (0-based) is named namePrefix + its 1-based number in at least two digits
    // (R01 .. R99, R100, ...).
    std::string namePrefix = "R";
    // Options of every reader; deviceName and serialNo are replaced per reader.
    SimReaderOptions reader;
    int connectWindow = 64;
    // Delay before a reader whose connection ended or failed tries again; 0 = it does not.
    int reconnectMs = 0;
};

// The options of reader `index` (0-based) of a fleet: `base` with its own name and serial
// number ("SN" + the 1-based number in eight digits).
SimReaderOptions FleetReaderOptions(const SimReaderOptions& base, const std::string& namePrefix,
                                    int index);

struct SimFleetTotals {
    int readers = 0;
    int connected = 0;      // connected now
    int everConnected = 0;  // readers that connected at least once
    std::uint64_t reports = 0;
    std::uint64_t reportsSkipped = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReporting = 0;
    std::uint64_t bytesAcked = 0;
    std::uint64_t bytesReceived = 0;
};

class SimFleet final : public QObject {
    Q_OBJECT

  public:
    explicit SimFleet(SimFleetOptions options, const Clock& clock = SystemClock(),
                      QObject* parent = nullptr);
    ~SimFleet() override;

    // Begins connecting every reader (through the window).
    void Start();
    // Cancels pending attempts and reconnects and closes every connection at once.
    void Stop();

    int Size() const { return static_cast<int>(readers_.size()); }
    SimReader& Reader(int index) { return *readers_.at(static_cast<std::size_t>(index)); }
    const SimReader& Reader(int index) const {
        return *readers_.at(static_cast<std::size_t>(index));
    }
    SimPacer& Pacer() { return pacer_; }
    const SimFleetOptions& Options() const { return options_; }

    int ConnectedCount() const { return connected_; }
    // Attempts started and not yet answered, plus readers queued for one.
    int PendingAttempts() const { return inFlight_ + static_cast<int>(queue_.size()); }
    // True once every reader has connected or failed at least once.
    bool AllAttempted() const { return attempted_ == Size(); }
    SimFleetTotals Totals() const;

  Q_SIGNALS:
    void ReaderConnected(int index);
    void ReaderConnectFailed(int index, const QString& error);
    void ReaderDisconnected(int index);
    // Every reader has had its first attempt answered (connected or failed).
    void AttemptsFinished();

  private:
    void Launch();
    void AttemptEnded(int index, bool connected);
    void ScheduleReconnect(int index);

    SimFleetOptions options_;
    SimPacer pacer_;  // declared before the readers: they deregister from it when destroyed
    std::vector<std::unique_ptr<SimReader>> readers_;
    std::vector<bool> inAttempt_;
    std::vector<bool> everAttempted_;
    std::vector<bool> everConnected_;
    std::deque<int> queue_;
    int inFlight_ = 0;
    int connected_ = 0;  // readers connected now
    int attempted_ = 0;
    bool running_ = false;
    std::uint64_t generation_ = 0;  // bumped by Stop to void pending reconnect timers
};

}  // namespace trelvane
