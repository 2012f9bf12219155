#pragma once

// The listening service behind one facade: the desktop window, the headless front end and the
// tests all drive it. It composes the parts of the service and owns the tables:
//  - ReceivePipeline: the listening socket, accepting, every device socket, flow control;
//  - ParseWorker: the parse thread, which deframes and dispatches, stamps events with sequence
//    numbers and hands each pass's batch to the sinks;
//  - Supervision: start-up dialogues, stop-read sequences, the timers, calibration;
//  - the sinks of the event stream (the daily read log, the history, attached ones), each on a
//    thread of its own behind a bounded queue (SinkThread).
//
// Threads: everything here runs on the thread that owns the engine (the event loop), except
// the parse thread and the sink threads. The parse thread reaches the event loop only through
// its notification queue (a device named, a page reply, a receive buffer drained), drained
// here when its eventfd turns readable. It never touches a socket, a Qt object or a view.

#include <QObject>
#include <QString>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "records/TagListModel.h"
#include "records/TagStore.h"
#include "service/DeviceFrameHandler.h"
#include "service/DeviceRegistry.h"
#include "service/EventStream.h"
#include "service/ParseWorker.h"
#include "service/PipelineStats.h"
#include "service/ReadControl.h"
#include "service/ReceivePipeline.h"
#include "service/Scheduler.h"
#include "service/SinkThread.h"
#include "service/Supervision.h"
#include "settings/HistoryConfig.h"
#include "settings/ServiceConfig.h"
#include "site/Register.h"

Q_DECLARE_METATYPE(trelvane::TagListUpdate)

class QSocketNotifier;

namespace trelvane {

class HistorySink;
class Listener;
class ReadLogSink;

class ServiceEngine final : public QObject {
    Q_OBJECT

  public:
    enum class StartResult {
        kStarted,
        kAlreadyRunning,
        kNoConfig,      // "Please config service parameter first!"
        kListenFailed,  // "Failed to start service!"
        // "Failed to create parase data thread" (caption "Error"): without it nothing received
        // would ever be parsed, so the service does not start.
        kParseThreadFailed,
    };

    ServiceEngine(const Clock& clock, Scheduler& scheduler, QObject* parent = nullptr);
    ~ServiceEngine() override;

    // Reads workingDir/SysConf.ini (or `configFile` when given), listens on its address and
    // port, starts the parse thread and the timers. The working folder also receives the daily
    // read logs.
    StartResult StartService(const std::filesystem::path& workingDir,
                             std::optional<std::filesystem::path> configFile = std::nullopt);
    // Stops receiving (see StopReceiving), then closes every connection, stops the timers,
    // joins the parse thread and empties both tables.
    void StopService();
    // The first half of an orderly stop: stops accepting and reading (readers are held back
    // by TCP, nothing more is acknowledged), ends the start-up dialogues and stop sequences,
    // and waits until the parse thread has handled every byte received, so the tables, the
    // daily logs and the notifications hold every read acknowledged. The service still runs
    // (tables and connections intact) until StopService. Idempotent.
    void StopReceiving();
    bool IsReceiving() const { return running_ && pipeline_.Receiving(); }
    bool IsRunning() const { return running_; }
    quint16 ListeningPort() const;
    const ServiceConfig& Config() const { return config_; }
    const std::filesystem::path& WorkingFolder() const { return workingFolder_; }

    // At most this many reader connections open at once; beyond it new readers wait in the
    // listen queue until one goes. 0 (the default) takes the descriptors the process may still
    // open at service start less kDescriptorMargin. Applies from the next start.
    void SetConnectionLimit(std::size_t limit) { configuredLimit_ = limit; }
    // Descriptors kept free for everything that is not a reader: log files, the history
    // database, output and API sockets, Qt's own.
    static constexpr std::size_t kDescriptorMargin = 256;
    bool AcceptingPaused() const;
    std::size_t ConnectionLimit() const;
    const Listener* ListenerForTests() const { return pipeline_.ListenerForTests(); }

    // ---- operator commands (event loop) ----
    DeviceRecord FindDevice(const std::string& key) const { return devices_.Find(key); }
    // Drops the device after the operator confirmed: closes it, rebuilds the list. False when
    // the key is too short to be a key or is not registered.
    bool Disconnect(const std::string& key);
    // One CMD_START_READ; false ("Failed to set!") when the device is absent or the send fails.
    bool StartRead(const std::string& key);
    // Starts the four-frame stop sequence; false ("Failed to set!") when the device is absent.
    bool StopRead(const std::string& key);
    // Sends one command on a socket captured earlier (the settings pages keep the socket the
    // device had when they opened).
    bool SendOnSocket(const std::shared_ptr<DeviceSocket>& socket, int type, unsigned parameter);

    // The clock the engine stamps events with (views that plot over time read it too).
    const Clock& GetClock() const { return clock_; }

    // ---- tables ----
    const DeviceTable& Devices() const { return devices_; }
    const DeviceListModel& DeviceList() const { return deviceList_; }
    const TagListModel& TagList() const { return tagList_; }
    const TagStore& Tags() const { return tags_; }
    // Timer 2's work: bring the tag list up to date (emits TagListUpdated when rows changed).
    void RefreshTagList();
    // Clear All Record: empties the tag table and the tag list.
    void ClearAllRecords();

    // ---- supervision, normally run by the timers ----
    void OnTimer(int timerId);
    void RebuildDevices(bool expire);

    // Counters of the receive pipeline since the engine was made (any thread may read them).
    using Stats = trelvane::PipelineStats;
    const Stats& PipelineStats() const { return stats_; }
    // The same, for the outputs that write their own fields (mqtt*).
    Stats& PipelineStatsForOutputs() { return stats_; }

    // ---- the event stream ----
    // Events queued per sink before the parse thread waits for the sink.
    static constexpr std::size_t kSinkQueueEvents = 1 << 17;
    // A tag departs from a reader that has not read it for this long (the history's
    // DepartAfter when it is configured).
    static constexpr std::int64_t kDefaultDepartAfterMs = 30'000;
    // The MQTT publisher's cursor in the history's outbox table.
    static constexpr const char* kMqttOutbox = "mqtt";
    // Adds a sink of the event stream (the API's live feed, an output, a test), run on a thread
    // of its own behind a queue of `maxQueuedEvents`. Applies from the next start; the sink
    // sees the batches of every run from then on.
    void AttachSink(std::string name, std::shared_ptr<EventSink> sink,
                    std::size_t maxQueuedEvents = kSinkQueueEvents);
    struct SinkStatus {
        std::string name;
        std::uint64_t queued = 0;
        std::uint64_t written = 0;
        std::uint64_t heldBack = 0;
        std::uint64_t heldBackMs = 0;
    };
    // The running sinks' counters, the daily read log first.
    std::vector<SinkStatus> Sinks() const;
    // The history of the running service: its state, or nothing when it is off or could not be
    // opened (HistoryProblem() then says why; empty when it is off by configuration).
    struct HistoryState {
        std::filesystem::path path;
        std::string historyId;
        bool writing = false;
        std::string error;
        std::uint64_t rows = 0;
        std::uint64_t missed = 0;
        std::uint64_t queued = 0;
        std::uint64_t heldBack = 0;
        std::int64_t bytesOnDisk = 0;
        std::uint64_t lostToOutput = 0;  // pruned before MQTT handed them on
    };
    std::optional<HistoryState> History() const;
    const std::string& HistoryProblem() const { return historyProblem_; }
    // The site register (zones and assets), open from the first start of the service on (it
    // stays open while the service is stopped, for editing); null when it cannot be opened
    // (SiteProblem() says why). Thread-safe: the API edits it from its own thread.
    std::shared_ptr<site::Register> Site() const;
    std::string SiteProblem() const;
    // The register's labels as the outputs take them (any thread).
    events::LabelSource Labels() const;
    // The tags in zones now (any thread).
    const ZoneStage& Zones() const { return parser_.Zones(); }
    // The open alerts and their acknowledgement (any thread).
    RuleStage& Rules() { return parser_.Rules(); }
    const RuleStage& Rules() const { return parser_.Rules(); }
    // The number the next event will get, and the (tag, reader) pairs present now.
    Sequence NextSequence() const { return parser_.NextSequence(); }
    std::size_t PresentTags() const { return parser_.PresentTags(); }

    // ---- configuration reload (trelvaned's SIGHUP), event loop; in ServiceReload.cpp ----
    struct ReloadResult {
        enum class Outcome {
            kNotRunning,
            kNoConfig,  // the file cannot be read now: nothing changed
            kApplied,   // the live values are in effect; listener and readers untouched
            // The address or port changed: listening on the new one, every reader dropped.
            kListenerRestarted,
            // The new address or port cannot be listened on: the live values are in effect,
            // the old listener and its readers stay.
            kListenFailed,
        } outcome = Outcome::kNotRunning;
        std::vector<std::string> changed;  // the keys whose values changed, in file order
        std::size_t droppedReaders = 0;
    };
    // Reads the settings file the service was started with again and applies it.
    ReloadResult ReloadConfig();
    // Applies `next` to the running service: Login_Time and USER_Refresh_Time at once (the
    // supervision timer restarts with the new period), KeepRecord and CodePage from the parse
    // thread's next pass, CalibrateTime from the next timer tick; Service_IP and Service_Port
    // by a new listener, which drops the readers. Time_Out has no effect anywhere.
    ReloadResult ApplyConfig(const ServiceConfig& next);
    // The settings file the running (or last) service read.
    std::filesystem::path ConfigSource() const;

    // Waits (event loop keeps running) until the parse thread has handled every byte received
    // so far and its queued notifications were delivered. For tests and orderly shutdown.
    bool WaitForParseIdle(int timeoutMs = 5000);

  Q_SIGNALS:
    void ServiceStarted();
    void ServiceStopped();
    void DeviceConnected(const QString& key);
    void DeviceNameReported(const QString& key);
    void DevicesRemoved(const QStringList& keys);
    // The device list was emptied and refilled (rebuild, stop).
    void DeviceListReset();
    // One row was appended or refreshed by a name report.
    void DeviceRowShown(int row, bool appended);
    void TagListUpdated(const trelvane::TagListUpdate& update);
    void TagListCleared();
    // A reader answered a settings page's request; `ok` is false when it reported a failure.
    // Identity and query replies are signalled once the device record holds what they carried.
    // An identity reply (Device Info):
    void DeviceInfoReplied(const QString& key, bool ok);
    // An ATTEN or carrier query reply; `command` is its command byte (0x12 or 0x14).
    void ReaderQueryReplied(const QString& key, bool ok, int command);
    // An ATTEN or carrier set reply; `command` is its command byte (0x11 or 0x13).
    void ReaderSetReplied(const QString& key, bool ok, int command);

  private:
    void OnConnected(const std::string& key, const std::shared_ptr<QtDeviceSocket>& socket);
    void ShowNamedDevice(const std::string& key);
    void DeliverNotifications();
    void OnTick();
    // Tells the stream that these devices went.
    void PostRemoved(const std::vector<DeviceTable::Entry>& removed);
    // Starts the sinks of a run; the first sequence number of the run.
    Sequence StartSinks();
    // Waits until every sink has consumed what it was given; false when `timeout` passed.
    bool DrainSinks(std::chrono::milliseconds timeout, bool warn = true);
    void StopSinks();

    const Clock& clock_;
    Scheduler& scheduler_;
    DeviceTable devices_;
    DeviceListModel deviceList_;
    TagStore tags_;
    TagListModel tagList_;
    Stats stats_;
    ParseWorker parser_;
    ReceivePipeline pipeline_;
    Supervision supervision_;
    QSocketNotifier* wakeNotifier_ = nullptr;

    bool running_ = false;
    std::size_t configuredLimit_ = 0;
    ServiceConfig config_{};
    std::filesystem::path workingFolder_;
    std::optional<std::filesystem::path> configFile_;  // -c FILE; none: workingFolder_/SysConf.ini

    struct Attached {
        std::string name;
        std::shared_ptr<EventSink> sink;
        std::size_t maxQueued;
    };
    std::vector<Attached> attached_;
    std::vector<std::unique_ptr<SinkThread>> sinks_;  // of the running service
    ReadLogSink* readLog_ = nullptr;                  // owned by sinks_[0]
    HistorySink* history_ = nullptr;                  // owned by its SinkThread in sinks_
    SinkThread* historyThread_ = nullptr;
    std::string historyProblem_;
    std::int64_t departAfterMs_ = kDefaultDepartAfterMs;

    // ---- the site register (ServiceSite.cpp) ----
    // Opens the register [Site] names (again when the path changed); the zone timing.
    ZoneSetup OpenSite();
    // The rules' setup beside it: the alerts the last run left open, from the history.
    RuleSetup RuleSetupFor(const ZoneSetup& zones);
    mutable std::mutex siteMutex_;
    std::shared_ptr<site::Register> site_;  // guarded by siteMutex_
    std::string siteProblem_;               // guarded by siteMutex_

    // ---- reload (ServiceReload.cpp) ----
    void DropAllReaders(QStringList& removedKeys);
};

}  // namespace trelvane
