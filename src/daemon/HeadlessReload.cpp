// HeadlessFrontEnd::Reload: SIGHUP reads the settings file again. Kept apart from
// HeadlessFrontEnd.cpp, which holds the start, the lines and the shutdown.

#include <QTimer>

#include "daemon/HeadlessFrontEnd.h"
#include "daemon/LogOutput.h"
#include "daemon/SystemdNotify.h"

namespace trelvane {
namespace {

constexpr int kDefaultStatusSeconds = 10;  // as Start(): no supervision period, still a status

QString Joined(const std::vector<std::string>& keys) {
    QStringList list;
    for (const std::string& key : keys) {
        list << QString::fromStdString(key);
    }
    return list.isEmpty() ? QStringLiteral("nothing changed") : list.join(QLatin1Char(' '));
}

}  // namespace

void HeadlessFrontEnd::Reload() {
    if (!engine_.IsRunning() || manager_ == nullptr) {
        return;
    }
    manager_->Reloading();
    const QString source = QString::fromStdString(engine_.ConfigSource().string());
    const ServiceEngine::ReloadResult result = engine_.ReloadConfig();
    using Outcome = ServiceEngine::ReloadResult::Outcome;
    const ServiceConfig& config = engine_.Config();
    const QString address = QStringLiteral("%1:%2")
                                .arg(QString::fromStdString(config.serviceIp))
                                .arg(engine_.ListeningPort());
    QString summary;
    switch (result.outcome) {
        case Outcome::kNotRunning:
            return;
        case Outcome::kNoConfig:
            qCWarning(lcDaemon).noquote()
                << "reload: cannot read" << source << "- the running settings stay";
            summary = QStringLiteral("reload failed: cannot read %1").arg(source);
            break;
        case Outcome::kApplied:
            summary = QStringLiteral("reloaded %1: %2").arg(source, Joined(result.changed));
            Line(summary);
            break;
        case Outcome::kListenerRestarted:
            summary = QStringLiteral("reloaded %1: %2; listening on %3 now, %4 readers dropped")
                          .arg(source, Joined(result.changed), address)
                          .arg(result.droppedReaders);
            Line(summary);
            break;
        case Outcome::kListenFailed:
            qCWarning(lcDaemon).noquote() << "reload: cannot listen on the new address; still on"
                                          << address << "with the readers connected";
            summary = QStringLiteral("reloaded %1: %2; new address refused, still on %3")
                          .arg(source, Joined(result.changed), address);
            Line(summary);
            break;
    }
    if (statusTicker_ != nullptr) {
        const int seconds =
            config.refreshPeriodSeconds != 0
                ? static_cast<int>(std::min<std::uint32_t>(config.refreshPeriodSeconds, 24 * 3600))
                : kDefaultStatusSeconds;
        if (statusTicker_->interval() != seconds * 1000) {
            statusTicker_->start(seconds * 1000);
        }
    }
    manager_->Ready(summary);
}

}  // namespace trelvane
