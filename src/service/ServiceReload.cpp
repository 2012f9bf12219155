// ServiceEngine: applying a settings file read again while the service runs (trelvaned's
// SIGHUP). Kept apart from ServiceEngine.cpp, which holds the start, the stop and the receive
// path.

#include <QHostAddress>
#include <QLoggingCategory>
#include <limits>

#include "records/ReadLog.h"
#include "records/TextCodec.h"
#include "service/ConfigFile.h"
#include "service/Listener.h"
#include "service/ServiceEngine.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {
namespace {

constexpr int kTimerDevices = 1;
// As StartService's listener: thousands of readers may reconnect at once after a restart.
constexpr int kListenBacklog = 1024;

}  // namespace

std::filesystem::path ServiceEngine::ConfigSource() const {
    return ServiceConfigSource(workingFolder_, configFile_);
}

ServiceEngine::ReloadResult ServiceEngine::ReloadConfig() {
    if (!running_) {
        return {};
    }
    const std::optional<ServiceConfig> next =
        configFile_ ? ReadServiceConfigFile(*configFile_) : ReadServiceConfig(workingFolder_);
    if (!next) {
        ReloadResult result;
        result.outcome = ReloadResult::Outcome::kNoConfig;
        return result;
    }
    return ApplyConfig(*next);
}

ServiceEngine::ReloadResult ServiceEngine::ApplyConfig(const ServiceConfig& next) {
    ReloadResult result;
    if (!running_) {
        return result;
    }
    const ServiceConfig old = config_;
    const auto note = [&](bool differs, const char* key) {
        if (differs) {
            result.changed.emplace_back(key);
        }
    };
    note(next.serviceIp != old.serviceIp, config_keys::kServiceIp);
    note(next.servicePort != old.servicePort, config_keys::kServicePort);
    note(next.registrationTimeoutMs != old.registrationTimeoutMs, config_keys::kLoginTime);
    note(next.refreshPeriodSeconds != old.refreshPeriodSeconds, config_keys::kRefreshTime);
    note(next.timeOut != old.timeOut, config_keys::kTimeOut);
    note(next.keepRecord != old.keepRecord, config_keys::kKeepRecord);
    note(next.calibrateTime != old.calibrateTime, config_keys::kCalibrateTime);
    note(next.codePage != old.codePage, config_keys::kCodePage);

    // Everything but the address: the registration time-out is read at every rebuild, the
    // calibrate flag at every tick.
    config_ = next;
    config_.serviceIp = old.serviceIp;
    config_.servicePort = old.servicePort;
    if (next.refreshPeriodSeconds != old.refreshPeriodSeconds) {
        if (timer1_ != 0) {
            scheduler_.Cancel(timer1_);
            timer1_ = 0;
        }
        StartSupervisionTimer();
    }
    if (next.keepRecord != old.keepRecord || next.codePage != old.codePage) {
        QueueLogSettings();
    }

    result.outcome = ReloadResult::Outcome::kApplied;
    if (next.serviceIp == old.serviceIp && next.servicePort == old.servicePort) {
        return result;
    }
    // The old listener goes first: the new one may want the same port on another address,
    // which the system refuses while the old one is bound. Should the new one fail, the old
    // one is opened again, and the readers, whose connections never depended on it, stay.
    delete listener_;
    listener_ = OpenListener(next.serviceIp, next.servicePort);
    if (listener_ == nullptr) {
        result.outcome = ReloadResult::Outcome::kListenFailed;
        listener_ = OpenListener(old.serviceIp, old.servicePort);
        if (listener_ == nullptr) {
            // Nothing listens now; the readers still connected keep working, and the next
            // reload or a restart brings the listener back.
            qCCritical(lcService) << "cannot listen on" << old.serviceIp.c_str() << ":"
                                  << old.servicePort << "again";
        }
        return result;
    }
    config_.serviceIp = next.serviceIp;
    config_.servicePort = next.servicePort;
    QStringList removedKeys;
    DropAllReaders(removedKeys);
    result.droppedReaders = static_cast<std::size_t>(removedKeys.size());
    result.outcome = ReloadResult::Outcome::kListenerRestarted;
    return result;
}

Listener* ServiceEngine::OpenListener(const std::string& ip, int port) {
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(ip)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol || port < 0 || port > 65535) {
        qCWarning(lcService) << "cannot listen on" << ip.c_str() << ":" << port;
        return nullptr;
    }
    auto* listener = new Listener(
        scheduler_,
        [this](QTcpSocket* socket, const Listener::OpenCount& open) { AcceptOne(socket, open); },
        this);
    if (!listener->Listen(address.toIPv4Address(), static_cast<quint16>(port), kListenBacklog)) {
        qCWarning(lcService) << "listen failed:" << listener->ErrorString();
        delete listener;
        return nullptr;
    }
    if (configuredLimit_ != 0) {
        listener->SetBudget(configuredLimit_);
    } else {
        const std::size_t available = DescriptorsAvailable();
        listener->SetBudget(available > 2 * kDescriptorMargin ? available - kDescriptorMargin
                                                              : available / 2);
    }
    return listener;
}

// What StopService does to the readers, without stopping anything else: the tag table, the
// timers and the parse thread carry on. Bytes of a dropped reader already queued for parsing
// are still parsed (the queue holds its record).
void ServiceEngine::DropAllReaders(QStringList& removedKeys) {
    CancelSequences();
    for (const auto& [key, device] : RemoveAllDevices(devices_)) {
        removedKeys << QString::fromStdString(key);
    }
    {
        std::lock_guard lock(parseMutex_);
        blocked_.clear();
    }
    deviceList_.Clear();
    Q_EMIT DeviceListReset();
    if (!removedKeys.isEmpty()) {
        Q_EMIT DevicesRemoved(removedKeys);
    }
}

void ServiceEngine::StartSupervisionTimer() {
    if (config_.refreshPeriodSeconds == 0) {
        return;
    }
    const auto period = std::min<std::uint64_t>(std::uint64_t{config_.refreshPeriodSeconds} * 1000,
                                                std::numeric_limits<int>::max());
    timer1_ =
        scheduler_.Every(std::chrono::milliseconds(period), [this] { OnTimer(kTimerDevices); });
}

void ServiceEngine::QueueLogSettings() {
    {
        std::lock_guard lock(parseMutex_);
        pendingLog_ = LogSettings{config_.keepRecord, config_.codePage};
    }
    logSettingsQueued_.store(true, std::memory_order_release);
}

void ServiceEngine::TakeLogSettings(std::optional<ReadLog>& readLog, DispatchContext& context) {
    if (!logSettingsQueued_.exchange(false, std::memory_order_acquire)) {
        return;
    }
    std::optional<LogSettings> settings;
    {
        std::lock_guard lock(parseMutex_);
        settings.swap(pendingLog_);
    }
    if (!settings) {
        return;
    }
    // The old log writes what it holds before the new one takes over.
    context.readLog = nullptr;
    readLog.reset();
    if ((settings->keepRecord & 3) != 0) {
        readLog.emplace(workingFolder_, settings->keepRecord, TextCodec::Usable(settings->codePage),
                        clock_);
        context.readLog = &*readLog;
    }
}

}  // namespace trelvane
