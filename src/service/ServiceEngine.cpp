#include "service/ServiceEngine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QThread>

#include "service/HistorySink.h"
#include "service/QtDeviceSocket.h"
#include "service/ReadLogSink.h"
#include "settings/HistoryConfig.h"
#include "settings/MqttConfig.h"
#include "settings/ServiceConfig.h"

Q_LOGGING_CATEGORY(lcService, "trelvane.service")

namespace trelvane {
namespace {

constexpr int kTimerDevices = 1;
constexpr int kTimerTags = 2;
// How long an orderly stop waits for the parse thread and the sinks to handle what was
// received. A pass over every device's bounded buffer takes milliseconds; this only guards
// against a thread stuck in I/O.
constexpr std::chrono::seconds kDrainTimeout{10};
// The daily read log's queue: the parse thread waits beyond it (a slow disk holds the readers
// back instead of losing lines).
constexpr std::size_t kReadLogQueueEvents = 1 << 16;
// The history's queue: about a quarter of a second of reads at full rate; beyond it the parse
// thread waits for the database.
constexpr std::size_t kHistoryQueueEvents = 1 << 18;

// Runs an attached sink, which the engine shares with whoever attached it.
class SharedSink final : public EventSink {
  public:
    explicit SharedSink(std::shared_ptr<EventSink> sink) : sink_(std::move(sink)) {}
    void Consume(const EventBatch& batch) override { sink_->Consume(batch); }
    void Flush() override { sink_->Flush(); }
    bool Wanted() const override { return sink_->Wanted(); }

  private:
    std::shared_ptr<EventSink> sink_;
};

}  // namespace

ServiceEngine::ServiceEngine(const Clock& clock, Scheduler& scheduler, QObject* parent)
    : QObject(parent),
      clock_(clock),
      scheduler_(scheduler),
      parser_(devices_, tags_, clock, stats_),
      pipeline_(devices_, parser_, clock, scheduler, stats_,
                [this](const std::string& key, const std::shared_ptr<QtDeviceSocket>& socket) {
                    OnConnected(key, socket);
                }),
      supervision_(devices_, scheduler, clock,
                   Supervision::Callbacks{
                       [this] { OnTimer(kTimerDevices); },
                       [this] { OnTimer(kTimerTags); },
                       [this] {
                           parser_.PostPresenceCheck();
                           // Changes another program made to the register apply within a
                           // second; this program's own apply at the next pass.
                           if (const auto site = Site()) {
                               site->Refresh();
                           }
                       },
                       [this] { OnTick(); },
                       [this](const std::string& key) {
                           if (const DeviceRecord device = devices_.Find(key)) {
                               parser_.PostDeviceEvent(DeviceEventKind::kReadingStopped, key,
                                                       device->DeviceName());
                           }
                       },
                   }) {
    qRegisterMetaType<trelvane::TagListUpdate>();
    wakeNotifier_ = new QSocketNotifier(parser_.WakeFd(), QSocketNotifier::Read, this);
    connect(wakeNotifier_, &QSocketNotifier::activated, this, &ServiceEngine::DeliverNotifications);
}

ServiceEngine::~ServiceEngine() {
    StopService();
    delete wakeNotifier_;
}

quint16 ServiceEngine::ListeningPort() const {
    return pipeline_.Port();
}

bool ServiceEngine::AcceptingPaused() const {
    return pipeline_.AcceptingPaused();
}

std::size_t ServiceEngine::ConnectionLimit() const {
    return pipeline_.ConnectionLimit();
}

void ServiceEngine::AttachSink(std::string name, std::shared_ptr<EventSink> sink,
                               std::size_t maxQueuedEvents) {
    attached_.push_back(Attached{std::move(name), std::move(sink), maxQueuedEvents});
}

std::vector<ServiceEngine::SinkStatus> ServiceEngine::Sinks() const {
    std::vector<SinkStatus> result;
    for (const auto& sink : sinks_) {
        const SinkThread::Stats& stats = sink->Counters();
        result.push_back(SinkStatus{sink->Name(), stats.queued.load(), stats.written.load(),
                                    stats.heldBack.load(), stats.heldBackMs.load()});
    }
    return result;
}

ServiceEngine::StartResult ServiceEngine::StartService(
    const std::filesystem::path& workingDir, std::optional<std::filesystem::path> configFile) {
    if (running_) {
        return StartResult::kAlreadyRunning;
    }
    workingFolder_ = workingDir;
    configFile_ = std::move(configFile);
    const std::optional<ServiceConfig> config = ReadServiceConfigFile(ConfigSource());
    if (!config) {
        return StartResult::kNoConfig;
    }
    if (!pipeline_.Listen(config->serviceIp, config->servicePort, configuredLimit_,
                          kDescriptorMargin)) {
        return StartResult::kListenFailed;
    }
    config_ = *config;

    const Sequence first = StartSinks();
    std::vector<SinkThread*> sinks;
    for (const auto& sink : sinks_) {
        sinks.push_back(sink.get());
    }
    ZoneSetup zones = OpenSite();
    RuleSetup rules = RuleSetupFor(zones);
    if (!parser_.Start(first, std::move(sinks), departAfterMs_, std::move(zones),
                       std::move(rules))) {
        qCWarning(lcService) << "cannot start the parse thread";
        StopSinks();
        pipeline_.DeleteListener();
        return StartResult::kParseThreadFailed;
    }
    running_ = true;
    pipeline_.SetReceiving(true);
    supervision_.Start(config_.refreshPeriodSeconds);
    Q_EMIT ServiceStarted();
    return StartResult::kStarted;
}

Sequence ServiceEngine::StartSinks() {
    auto readLog = std::make_unique<ReadLogSink>(workingFolder_, clock_);
    readLog_ = readLog.get();
    readLog_->SetSettings(config_.keepRecord, config_.codePage);
    sinks_.push_back(
        std::make_unique<SinkThread>("trelvane-log", std::move(readLog), kReadLogQueueEvents));
    Sequence first = 1;
    historyProblem_.clear();
    const std::filesystem::path source = ConfigSource();
    const HistoryConfig history = ReadHistoryConfig(source).value_or(HistoryConfig{});
    departAfterMs_ = std::int64_t{history.departAfterSeconds} * 1000;
    if (history.enabled) {
        std::string error;
        // With MQTT on, retention counts what it deletes before the publisher handed it on.
        const bool mqtt = ReadMqttConfig(source, std::string()).value_or(MqttConfig{}).enabled;
        auto sink = HistorySink::Open(history, workingFolder_, config_.codePage, clock_,
                                      mqtt ? std::string(kMqttOutbox) : std::string(), error);
        if (sink) {
            history_ = sink.get();
            first = sink->LastSequence() + 1;
            sinks_.push_back(std::make_unique<SinkThread>("trelvane-hist", std::move(sink),
                                                          kHistoryQueueEvents));
            historyThread_ = sinks_.back().get();
        } else {
            historyProblem_ = "history " + ResolveHistoryPath(history, workingFolder_).string() +
                              ": " + error + " - running without it";
            qCWarning(lcService).noquote() << QString::fromStdString(historyProblem_);
        }
    }
    for (const Attached& attached : attached_) {
        sinks_.push_back(std::make_unique<SinkThread>(
            attached.name, std::make_unique<SharedSink>(attached.sink), attached.maxQueued));
    }
    return first;
}

std::optional<ServiceEngine::HistoryState> ServiceEngine::History() const {
    if (history_ == nullptr || historyThread_ == nullptr) {
        return std::nullopt;
    }
    const HistorySink::Status status = history_->CurrentStatus();
    HistoryState state;
    state.path = history_->Path();
    state.historyId = history_->HistoryId();
    state.writing = status.writing;
    state.error = status.error;
    state.rows = status.rows;
    state.missed = status.missed;
    state.bytesOnDisk = status.bytesOnDisk;
    state.lostToOutput = status.lostToOutput;
    state.queued = historyThread_->Counters().queued.load();
    state.heldBack = historyThread_->Counters().heldBack.load();
    return state;
}

bool ServiceEngine::DrainSinks(std::chrono::milliseconds timeout, bool warn) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool all = true;
    for (const auto& sink : sinks_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!sink->WaitIdle(std::max(left, std::chrono::milliseconds(0)))) {
            if (!warn) {
                return false;
            }
            qCWarning(lcService) << "the sink" << sink->Name().c_str()
                                 << "did not finish what it was given in" << timeout.count()
                                 << "ms";
            all = false;
        }
    }
    return all;
}

void ServiceEngine::StopSinks() {
    // Each sink consumes what it holds before its thread ends; one that is stuck is given up.
    if (!DrainSinks(kDrainTimeout)) {
        for (const auto& sink : sinks_) {
            sink->Abandon();
        }
    }
    readLog_ = nullptr;
    history_ = nullptr;
    historyThread_ = nullptr;
    sinks_.clear();
}

void ServiceEngine::StopReceiving() {
    if (!running_ || !pipeline_.Receiving()) {
        return;
    }
    pipeline_.SetReceiving(false);  // from here no socket is read, so nothing more is acknowledged
    pipeline_.CloseListener();
    supervision_.CancelSequences();
    if (!parser_.WaitIdle(kDrainTimeout)) {
        qCWarning(lcService) << "the parse thread did not finish what was received in"
                             << kDrainTimeout.count() << "s";
    }
    DrainSinks(kDrainTimeout);
    // What the last passes left for the event loop: names, page replies. Resumes are ignored
    // now that nothing is read.
    DeliverNotifications();
}

void ServiceEngine::StopService() {
    if (!running_) {
        return;
    }
    StopReceiving();
    pipeline_.DeleteListener();
    supervision_.Stop();

    // Every present tag departs, then every device goes; the parse thread stamps both and
    // hands them to the sinks before it ends.
    parser_.PostDepartAll();
    const auto removed = RemoveAllDevices(devices_);
    PostRemoved(removed);
    QStringList removedKeys;
    for (const auto& [key, device] : removed) {
        removedKeys << QString::fromStdString(key);
    }
    parser_.Stop();
    StopSinks();
    deviceList_.Clear();
    Q_EMIT DeviceListReset();
    if (!removedKeys.isEmpty()) {
        Q_EMIT DevicesRemoved(removedKeys);
    }
    ClearAllRecords();
    running_ = false;
    Q_EMIT ServiceStopped();
}

void ServiceEngine::PostRemoved(const std::vector<DeviceTable::Entry>& removed) {
    for (const auto& [key, device] : removed) {
        parser_.PostDeviceEvent(DeviceEventKind::kRemoved, key, device->DeviceName());
    }
}

// ---- connections ----

void ServiceEngine::OnConnected(const std::string& key,
                                const std::shared_ptr<QtDeviceSocket>& socket) {
    const DeviceRecord device = devices_.Find(key);
    parser_.PostDeviceEvent(DeviceEventKind::kConnected, key, device ? device->DeviceName() : key);
    supervision_.StartHandshake(key, socket);
    Q_EMIT DeviceConnected(QString::fromStdString(key));
}

// ---- operator commands ----

bool ServiceEngine::Disconnect(const std::string& key) {
    if (key.size() < 5) {
        return false;
    }
    const DeviceRecord device = devices_.Find(key);
    if (!device) {
        return false;
    }
    device->registrationPending = false;
    RemoveDevice(devices_, key);
    PostRemoved({{key, device}});
    RebuildDevices(false);
    return true;
}

bool ServiceEngine::StartRead(const std::string& key) {
    const DeviceRecord device = devices_.Find(key);
    return device && device->socket && SendCommand(*device->socket, CMD_START_READ, 0, clock_);
}

bool ServiceEngine::StopRead(const std::string& key) {
    const DeviceRecord device = devices_.Find(key);
    if (!device) {
        return false;
    }
    supervision_.StartStopRead(device);
    return true;
}

bool ServiceEngine::SendOnSocket(const std::shared_ptr<DeviceSocket>& socket, int type,
                                 unsigned parameter) {
    return socket && SendCommand(*socket, type, parameter, clock_);
}

// ---- tables and supervision ----

void ServiceEngine::RefreshTagList() {
    const TagListUpdate update = tags_.RefreshTagList(tagList_);
    Q_EMIT TagListUpdated(update);
}

void ServiceEngine::ClearAllRecords() {
    tags_.ClearAllRecords(tagList_);
    Q_EMIT TagListCleared();
}

void ServiceEngine::RebuildDevices(bool expire) {
    const auto removed = RebuildDeviceList(devices_, deviceList_, expire, clock_.TickCount(),
                                           config_.registrationTimeoutMs);
    QStringList keys;
    for (const auto& [key, device] : removed) {
        parser_.Unblock(key);
        keys << QString::fromStdString(key);
    }
    PostRemoved(removed);
    Q_EMIT DeviceListReset();
    if (!keys.isEmpty()) {
        Q_EMIT DevicesRemoved(keys);
    }
}

void ServiceEngine::OnTimer(int timerId) {
    if (timerId == kTimerDevices) {
        RebuildDevices(true);
    } else if (timerId == kTimerTags) {
        RefreshTagList();
    }
}

void ServiceEngine::OnTick() {
    if (config_.calibrateTime != 0) {
        supervision_.CalibrationCheck();
    }
}

// ---- notifications from the parse thread ----

void ServiceEngine::DeliverNotifications() {
    for (const ParseWorker::Notification& note : parser_.TakeNotifications()) {
        switch (note.kind) {
            case ParseWorker::Notification::Kind::kNamed:
                ShowNamedDevice(note.key);
                break;
            case ParseWorker::Notification::Kind::kPageReply: {
                const QString key = QString::fromStdString(note.key);
                switch (note.reply) {
                    case PageReply::kDeviceInfo:
                        Q_EMIT DeviceInfoReplied(key, note.ok);
                        break;
                    case PageReply::kReaderQuery:
                        Q_EMIT ReaderQueryReplied(key, note.ok, note.command);
                        break;
                    case PageReply::kReaderSet:
                        Q_EMIT ReaderSetReplied(key, note.ok, note.command);
                        break;
                }
                break;
            }
            case ParseWorker::Notification::Kind::kResume:
                pipeline_.ResumeReading(note.key);
                break;
        }
    }
}

void ServiceEngine::ShowNamedDevice(const std::string& key) {
    const DeviceRecord device = devices_.Find(key);
    if (!device) {
        return;
    }
    const auto shown = ShowDeviceRow(deviceList_, key, *device);
    Q_EMIT DeviceRowShown(static_cast<int>(shown.row), shown.appended);
    Q_EMIT DeviceNameReported(QString::fromStdString(key));
}

bool ServiceEngine::WaitForParseIdle(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (parser_.Idle()) {
            // Deliver what the last pass left for the event loop; the sinks finish theirs.
            DeliverNotifications();
            if (parser_.Idle() && !parser_.HasNotifications() &&
                DrainSinks(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0)),
                           false)) {
                if (parser_.Idle() && !parser_.HasNotifications()) {
                    return true;
                }
            }
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(1);
    }
}

}  // namespace trelvane
