#pragma once

// trelvaned and the service manager: READY once the service listens, STATUS with the latest
// status line, RELOADING while a SIGHUP is handled, WATCHDOG keep-alives when the unit sets
// WatchdogSec. Messages go to the datagram socket NOTIFY_SOCKET names (libsystemd's
// sd_notify); without NOTIFY_SOCKET every call does nothing, so the daemon runs the same by
// hand, in tests and under systemd.
//
// Threading: the event loop thread only.

#include <QObject>
#include <QString>
#include <chrono>
#include <optional>

class QTimer;

namespace trelvane {

class ServiceManagerLink final : public QObject {
    Q_OBJECT

  public:
    explicit ServiceManagerLink(QObject* parent = nullptr);

    // READY=1 with the status text.
    void Ready(const QString& status);
    void Status(const QString& status);
    // RELOADING=1 (with the monotonic time systemd 253 and later ask for); Ready() ends it.
    void Reloading();
    // STOPPING=1, so `systemctl status` shows the export and stop as such.
    void Stopping();

    // The keep-alive period: half of what WATCHDOG_USEC asks for this process, nothing when no
    // watchdog is set. The timer runs from the constructor on.
    std::optional<std::chrono::milliseconds> WatchdogPeriod() const { return watchdogPeriod_; }

  private:
    void Send(const QString& text);

    std::optional<std::chrono::milliseconds> watchdogPeriod_;
    QTimer* watchdog_ = nullptr;
};

}  // namespace trelvane
