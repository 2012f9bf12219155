#pragma once

// The listening service behind one facade: the desktop window, the headless front end and the
// tests all drive it. It owns the listening socket, every device socket, the device and tag
// tables, the parse thread and the supervision timers.
//
// Threads: everything here runs on the thread that owns the engine (the event loop), except
// the parse thread, which deframes and dispatches received bytes. The parse thread reaches the
// event loop only through the notification queue (a device named, a page reply, a receive
// buffer drained): a std::mutex-guarded list drained on the event loop, woken through an
// eventfd. It never touches a socket, a Qt object or a view.

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/Clock.h"
#include "records/TagListModel.h"
#include "records/TagStore.h"
#include "service/DeviceFrameHandler.h"
#include "service/DeviceRegistry.h"
#include "service/ReadControl.h"
#include "service/Scheduler.h"
#include "settings/ServiceConfig.h"

Q_DECLARE_METATYPE(trelvane::TagListUpdate)

class QSocketNotifier;
class QTcpSocket;

namespace trelvane {

class Listener;
class QtDeviceSocket;
class ReadLog;

class ServiceEngine final : public QObject, private DeviceEventSink {
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
    bool IsReceiving() const { return running_ && receiving_; }
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
    const Listener* ListenerForTests() const { return listener_; }

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
    struct Stats {
        std::atomic<std::uint64_t> bytesReceived{0};
        std::atomic<std::uint64_t> chunksReceived{0};
        std::atomic<std::uint64_t> readPauses{0};      // a full buffer held a socket back
        std::atomic<std::uint64_t> sendPauses{0};      // unsent frames held a socket back
        std::atomic<std::uint64_t> bytesDiscarded{0};  // full buffers without a start byte
        std::atomic<std::uint64_t> framesDispatched{0};
    };
    const Stats& PipelineStats() const { return stats_; }

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
    // DeviceEventSink, called on the parse thread.
    void OnDeviceNamed(const std::string& key) override;
    void OnPageReply(PageReply reply, const std::string& key, bool ok,
                     std::uint8_t command) override;

    void OnNewConnections();
    void AcceptOne(QTcpSocket* socket, const std::shared_ptr<std::atomic<std::size_t>>& open);
    void OnReadyRead(const std::shared_ptr<QtDeviceSocket>& socket);
    void OnBytesWritten(const std::shared_ptr<QtDeviceSocket>& socket);
    void OnSocketClosed(const std::shared_ptr<QtDeviceSocket>& socket);
    void ReceiveFrom(const DeviceRecord& device, QtDeviceSocket& socket);
    void ResumeReading(const std::string& key);
    void ShowNamedDevice(const std::string& key);

    // Parse thread -> event loop.
    struct Notification {
        enum class Kind { kNamed, kPageReply, kResume } kind;
        std::string key;
        PageReply reply = PageReply::kDeviceInfo;
        bool ok = true;
        std::uint8_t command = 0;
    };
    void Notify(Notification notification);
    void DeliverNotifications();
    void CalibrationCheck();
    void StopTimers();
    void CancelSequences();
    // Waits on the parse thread (not on the event loop) until its queue is empty and it is
    // idle. False when `timeout` passed first.
    bool DrainParseQueue(std::chrono::milliseconds timeout);

    // Parse thread.
    void EnqueueForParse(const std::string& key, const DeviceRecord& device);
    void ParseLoop();
    void ParseDevice(const std::string& key, const DeviceRecord& device,
                     std::vector<FrameRecord>& records, DispatchContext& context);

    const Clock& clock_;
    Scheduler& scheduler_;
    DeviceTable devices_;
    DeviceListModel deviceList_;
    TagStore tags_;
    TagListModel tagList_;

    Stats stats_;
    bool running_ = false;
    bool receiving_ = false;  // false from StopReceiving until the next start
    std::size_t configuredLimit_ = 0;
    ServiceConfig config_{};
    std::filesystem::path workingFolder_;
    Listener* listener_ = nullptr;
    Scheduler::TimerId timer1_ = 0;
    Scheduler::TimerId timer2_ = 0;
    std::vector<std::weak_ptr<StartupHandshake>> handshakes_;
    std::vector<std::weak_ptr<StopReadSequence>> stopSequences_;

    // Daily clock calibration: lives as long as the engine, across stops and starts.
    int lastDaySeen_;
    bool calibrationPending_ = false;

    // Parse queue: keys of devices with bytes to deframe, each at most once, and the record to
    // serve for each (the newest one registered under the key, should a reconnect have
    // replaced the record while the key was waiting).
    struct ParseJob {
        std::string key;
        DeviceRecord device;
    };
    std::mutex parseMutex_;
    std::condition_variable parseWake_;
    std::condition_variable parseIdle_;  // the parse thread went idle with an empty queue
    std::deque<std::string> parseQueue_;
    std::unordered_map<std::string, DeviceRecord> queued_;
    std::unordered_set<std::string> blocked_;  // sockets not read until their buffer drains
    std::mutex notifyMutex_;
    std::vector<Notification> notifications_;
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;

    bool parseStop_ = false;
    bool parseBusy_ = false;
    std::thread parseThread_;

    // ---- reload (ServiceReload.cpp) ----
    Listener* OpenListener(const std::string& ip, int port);
    void DropAllReaders(QStringList& removedKeys);
    void StartSupervisionTimer();
    // Hands KeepRecord and CodePage to the parse thread, which opens its read log anew at the
    // start of its next pass (and at its first pass after a start).
    void QueueLogSettings();
    // Parse thread: takes settings queued by QueueLogSettings, if any, into its read log.
    void TakeLogSettings(std::optional<ReadLog>& readLog, DispatchContext& context);
    std::optional<std::filesystem::path> configFile_;  // -c FILE; none: workingFolder_/SysConf.ini
    struct LogSettings {
        int keepRecord = 0;
        int codePage = kDefaultCodePage;
    };
    std::optional<LogSettings> pendingLog_;       // guarded by parseMutex_
    std::atomic<bool> logSettingsQueued_{false};  // a cheap test before taking the lock
};

}  // namespace trelvane
