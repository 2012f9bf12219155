// ServiceEngine: applying a settings file read again while the service runs (trelvaned's
// SIGHUP). Kept apart from ServiceEngine.cpp, which holds the start, the stop and the receive
// path.

#include <QHostAddress>
#include <QLoggingCategory>
#include <limits>

#include "service/ReadLogSink.h"
#include "service/ServiceEngine.h"
#include "settings/ServiceConfig.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {

std::filesystem::path ServiceEngine::ConfigSource() const {
    return ServiceConfigSource(workingFolder_, configFile_);
}

ServiceEngine::ReloadResult ServiceEngine::ReloadConfig() {
    if (!running_) {
        return {};
    }
    const std::optional<ServiceConfig> next = ReadServiceConfigFile(ConfigSource());
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
        supervision_.SetRefreshPeriod(config_.refreshPeriodSeconds);
    }
    if ((next.keepRecord != old.keepRecord || next.codePage != old.codePage) &&
        readLog_ != nullptr) {
        readLog_->SetSettings(config_.keepRecord, config_.codePage);
    }

    result.outcome = ReloadResult::Outcome::kApplied;
    if (next.serviceIp == old.serviceIp && next.servicePort == old.servicePort) {
        return result;
    }
    // The old listener goes first: the new one may want the same port on another address,
    // which the system refuses while the old one is bound. Should the new one fail, the old
    // one is opened again, and the readers, whose connections never depended on it, stay.
    pipeline_.DeleteListener();
    if (!pipeline_.Listen(next.serviceIp, next.servicePort, configuredLimit_, kDescriptorMargin)) {
        result.outcome = ReloadResult::Outcome::kListenFailed;
        if (!pipeline_.Listen(old.serviceIp, old.servicePort, configuredLimit_,
                              kDescriptorMargin)) {
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

// What StopService does to the readers, without stopping anything else: the tag table, the
// timers and the parse thread carry on. Bytes of a dropped reader already queued for parsing
// are still parsed (the queue holds its record).
void ServiceEngine::DropAllReaders(QStringList& removedKeys) {
    supervision_.CancelSequences();
    const auto removed = RemoveAllDevices(devices_);
    for (const auto& [key, device] : removed) {
        removedKeys << QString::fromStdString(key);
    }
    PostRemoved(removed);
    parser_.ClearBlocked();
    deviceList_.Clear();
    Q_EMIT DeviceListReset();
    if (!removedKeys.isEmpty()) {
        Q_EMIT DevicesRemoved(removedKeys);
    }
}

}  // namespace trelvane
