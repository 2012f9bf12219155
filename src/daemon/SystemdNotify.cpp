#include "daemon/SystemdNotify.h"

#include <systemd/sd-daemon.h>
#include <QTimer>
#include <ctime>

namespace trelvane {
namespace {

// The status text is one line of the notification; a line break in it would start a new
// assignment.
QString OneLine(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

}  // namespace

ServiceManagerLink::ServiceManagerLink(QObject* parent) : QObject(parent) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Half the period, as sd_watchdog_enabled(3) advises, and never below 1 ms.
        const auto half = std::max<std::uint64_t>(usec / 2000, 1);
        watchdogPeriod_ = std::chrono::milliseconds(half);
        watchdog_ = new QTimer(this);
        connect(watchdog_, &QTimer::timeout, this, [this] { Send(QStringLiteral("WATCHDOG=1")); });
        watchdog_->start(*watchdogPeriod_);
    }
}

void ServiceManagerLink::Ready(const QString& status) {
    Send(QStringLiteral("READY=1\nSTATUS=") + OneLine(status));
}

void ServiceManagerLink::Status(const QString& status) {
    Send(QStringLiteral("STATUS=") + OneLine(status));
}

void ServiceManagerLink::Reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ull +
                      static_cast<unsigned long long>(now.tv_nsec) / 1000ull;
    Send(QStringLiteral("RELOADING=1\nMONOTONIC_USEC=%1").arg(usec));
}

void ServiceManagerLink::Stopping() {
    Send(QStringLiteral("STOPPING=1"));
}

void ServiceManagerLink::Send(const QString& text) {
    // Failures (no manager, a manager that went away) change nothing for the service.
    sd_notify(0, text.toUtf8().constData());
}

}  // namespace trelvane
