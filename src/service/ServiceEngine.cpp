#include "service/ServiceEngine.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <cstring>
#include <system_error>

#include "records/ReadLog.h"
#include "records/TextCodec.h"
#include "service/ConfigFile.h"
#include "service/Listener.h"
#include "service/QtDeviceSocket.h"

Q_LOGGING_CATEGORY(lcService, "trelvane.service")

namespace trelvane {
namespace {

constexpr int kTimerDevices = 1;
constexpr int kTimerTags = 2;
constexpr std::chrono::milliseconds kTagRefreshPeriod{100};
constexpr std::size_t kReceiveChunk = 256;  // one receive, and one acknowledgement, at most
constexpr std::size_t kParseRecords = 50;
// Bytes Qt may hold per device socket while we are not reading it; beyond that TCP flow control
// holds the reader back.
constexpr qint64 kSocketReadBuffer = 16 * 1024;
// How long an orderly stop waits for the parse thread to handle what was received. A pass
// over every device's bounded buffer takes milliseconds; this only guards against a parse
// thread stuck in I/O.
constexpr std::chrono::seconds kDrainTimeout{10};

}  // namespace

ServiceEngine::ServiceEngine(const Clock& clock, Scheduler& scheduler, QObject* parent)
    : QObject(parent), clock_(clock), scheduler_(scheduler), lastDaySeen_(clock.LocalNow().day) {
    qRegisterMetaType<trelvane::TagListUpdate>();
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        qFatal("trelvane: cannot create the parse thread's wake-up descriptor");
    }
    wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(wakeNotifier_, &QSocketNotifier::activated, this, &ServiceEngine::DeliverNotifications);
}

ServiceEngine::~ServiceEngine() {
    StopService();
    delete wakeNotifier_;
    ::close(wakeFd_);
}

quint16 ServiceEngine::ListeningPort() const {
    return listener_ ? listener_->Port() : 0;
}

bool ServiceEngine::AcceptingPaused() const {
    return listener_ != nullptr && listener_->Paused();
}

std::size_t ServiceEngine::ConnectionLimit() const {
    return listener_ != nullptr ? listener_->Budget() : 0;
}

ServiceEngine::StartResult ServiceEngine::StartService(
    const std::filesystem::path& workingDir, std::optional<std::filesystem::path> configFile) {
    if (running_) {
        return StartResult::kAlreadyRunning;
    }
    workingFolder_ = workingDir;
    configFile_ = std::move(configFile);
    const std::optional<ServiceConfig> config =
        configFile_ ? ReadServiceConfigFile(*configFile_) : ReadServiceConfig(workingDir);
    if (!config) {
        return StartResult::kNoConfig;
    }
    listener_ = OpenListener(config->serviceIp, config->servicePort);
    if (listener_ == nullptr) {
        return StartResult::kListenFailed;
    }
    config_ = *config;
    QueueLogSettings();

    {
        std::lock_guard lock(parseMutex_);
        parseStop_ = false;
        parseQueue_.clear();
        queued_.clear();
        blocked_.clear();
    }
    try {
        parseThread_ = std::thread([this] { ParseLoop(); });
    } catch (const std::system_error& error) {
        qCWarning(lcService) << "cannot start the parse thread:" << error.what();
        delete listener_;
        listener_ = nullptr;
        return StartResult::kParseThreadFailed;
    }
    running_ = true;
    receiving_ = true;

    StartSupervisionTimer();
    timer2_ = scheduler_.Every(kTagRefreshPeriod, [this] { OnTimer(kTimerTags); });
    Q_EMIT ServiceStarted();
    return StartResult::kStarted;
}

void ServiceEngine::StopTimers() {
    if (timer1_ != 0) {
        scheduler_.Cancel(timer1_);
        timer1_ = 0;
    }
    if (timer2_ != 0) {
        scheduler_.Cancel(timer2_);
        timer2_ = 0;
    }
}

void ServiceEngine::CancelSequences() {
    for (const auto& weak : handshakes_) {
        if (auto handshake = weak.lock()) {
            handshake->Cancel();
        }
    }
    handshakes_.clear();
    for (const auto& weak : stopSequences_) {
        if (auto sequence = weak.lock()) {
            sequence->Cancel();
        }
    }
    stopSequences_.clear();
    for (const auto& [key, device] : devices_.Entries()) {
        device->registrationPending = false;
    }
}

void ServiceEngine::StopReceiving() {
    if (!running_ || !receiving_) {
        return;
    }
    receiving_ = false;  // from here no socket is read, so nothing more is acknowledged
    listener_->Close();
    CancelSequences();
    if (!DrainParseQueue(kDrainTimeout)) {
        qCWarning(lcService) << "the parse thread did not finish what was received in"
                             << kDrainTimeout.count() << "s";
    }
    // What the last passes left for the event loop: names, page replies. Resumes are ignored
    // now that nothing is read.
    DeliverNotifications();
}

bool ServiceEngine::DrainParseQueue(std::chrono::milliseconds timeout) {
    std::unique_lock lock(parseMutex_);
    return parseIdle_.wait_for(lock, timeout, [this] {
        return !parseThread_.joinable() || (parseQueue_.empty() && !parseBusy_);
    });
}

void ServiceEngine::StopService() {
    if (!running_) {
        return;
    }
    StopReceiving();
    delete listener_;
    listener_ = nullptr;

    QStringList removedKeys;
    for (const auto& [key, device] : RemoveAllDevices(devices_)) {
        removedKeys << QString::fromStdString(key);
    }
    StopTimers();
    {
        std::lock_guard lock(parseMutex_);
        parseStop_ = true;
    }
    parseWake_.notify_all();
    if (parseThread_.joinable()) {
        parseThread_.join();
    }
    {
        std::lock_guard lock(parseMutex_);
        parseQueue_.clear();
        queued_.clear();
        blocked_.clear();
    }
    {
        std::lock_guard lock(notifyMutex_);
        notifications_.clear();  // about devices that are gone
    }
    deviceList_.Clear();
    Q_EMIT DeviceListReset();
    if (!removedKeys.isEmpty()) {
        Q_EMIT DevicesRemoved(removedKeys);
    }
    ClearAllRecords();
    running_ = false;
    Q_EMIT ServiceStopped();
}

// ---- connections ----

void ServiceEngine::AcceptOne(QTcpSocket* socket,
                              const std::shared_ptr<std::atomic<std::size_t>>& open) {
    bool isIpv4 = false;
    const quint32 ipv4 = socket->peerAddress().toIPv4Address(&isIpv4);
    if (!isIpv4 || socket->state() != QAbstractSocket::ConnectedState) {
        // Nothing to key it by: an accept that failed registers nothing.
        socket->abort();
        socket->deleteLater();
        open->fetch_sub(1);
        return;
    }
    const std::string ip = QHostAddress(ipv4).toString().toStdString();
    const int port = socket->peerPort();
    const std::string key = DeviceKey(ip, port);
    socket->setReadBufferSize(kSocketReadBuffer);
    socket->setParent(nullptr);
    QPointer<Listener> listener(listener_);
    auto wrapper = std::make_shared<QtDeviceSocket>(socket, key, open, [listener] {
        if (listener) {
            listener->ConnectionClosed();
        }
    });
    const std::weak_ptr<QtDeviceSocket> weak = wrapper;
    connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnReadyRead(s);
        }
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnBytesWritten(s);
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
        if (auto s = weak.lock()) {
            OnSocketClosed(s);
        }
    });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, weak](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError) {
                    return;  // `disconnected` follows
                }
                if (auto s = weak.lock()) {
                    OnSocketClosed(s);
                }
            });

    const std::string loginTime = FormatDateTime(clock_.LocalNow());
    const auto registration =
        devices_.RegisterConnection(key, wrapper, ip, port, loginTime, clock_.TickCount());
    registration.record->registrationPending = true;

    auto handshake = std::make_shared<StartupHandshake>(devices_, scheduler_, clock_, key, wrapper);
    std::erase_if(handshakes_, [](const auto& w) { return w.expired(); });
    handshakes_.push_back(handshake);
    Q_EMIT DeviceConnected(QString::fromStdString(key));
    handshake->Start();
    if (socket->bytesAvailable() > 0) {
        OnReadyRead(wrapper);
    }
}

void ServiceEngine::OnReadyRead(const std::shared_ptr<QtDeviceSocket>& socket) {
    if (!receiving_) {
        return;  // stopping: what has not been read is not acknowledged either
    }
    const DeviceRecord device = devices_.Find(socket->Key());
    if (!device || device->socket != socket) {
        socket->Socket()->readAll();  // no record for it (any more): read and drop
        return;
    }
    if (socket->pausedForSend) {
        return;  // resumed once the kernel has taken enough of what we sent
    }
    {
        std::lock_guard lock(parseMutex_);
        if (blocked_.contains(socket->Key())) {
            return;  // resumed once the parse thread has made room
        }
    }
    ReceiveFrom(device, *socket);
}

void ServiceEngine::OnBytesWritten(const std::shared_ptr<QtDeviceSocket>& socket) {
    if (!socket->pausedForSend || socket->Unsent() >= QtDeviceSocket::kSendResumeBytes) {
        return;
    }
    socket->pausedForSend = false;
    OnReadyRead(socket);
}

// Reads what fits into the device's receive buffer, at most one chunk of 256 bytes per read,
// acknowledging each chunk while the reader is reading. When the buffer is full the socket is
// left unread (its bounded Qt buffer then holds the reader back through TCP) until the parse
// thread has drained it: nothing received is ever thrown away for want of room.
void ServiceEngine::ReceiveFrom(const DeviceRecord& device, QtDeviceSocket& socket) {
    QTcpSocket* qsocket = socket.Socket();
    if (qsocket == nullptr) {
        return;
    }
    std::array<char, kReceiveChunk> chunk{};
    bool appended = false;
    bool full = false;
    while (qsocket->bytesAvailable() > 0) {
        if (socket.Unsent() >= QtDeviceSocket::kSendPauseBytes) {
            // The reader does not take what we send: stop reading it until it does.
            socket.pausedForSend = true;
            stats_.sendPauses.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        std::size_t room = 0;
        {
            std::lock_guard lock(device->receiveLock);
            room = kReceiveBufferSize - device->bufferedBytes;
        }
        if (room == 0) {
            full = true;
            break;
        }
        const qint64 n =
            qsocket->read(chunk.data(), static_cast<qint64>(std::min(room, chunk.size())));
        if (n <= 0) {
            break;
        }
        const auto length = static_cast<std::size_t>(n);
        if (device->reading) {
            SendCommand(socket, CMD_DATA_ACK, static_cast<unsigned>(length), clock_);
        }
        {
            std::lock_guard lock(device->receiveLock);
            std::memcpy(device->recvBuffer.data() + device->bufferedBytes, chunk.data(), length);
            device->bufferedBytes += length;
        }
        stats_.bytesReceived.fetch_add(length, std::memory_order_relaxed);
        stats_.chunksReceived.fetch_add(1, std::memory_order_relaxed);
        appended = true;
    }
    if (appended) {
        device->online = true;
        device->lastActiveTick = clock_.TickCount();
        device->SetText(DeviceText::kLastRegTime, FormatDateTime(clock_.LocalNow()));
    }
    if (full) {
        stats_.readPauses.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard lock(parseMutex_);
        blocked_.insert(socket.Key());
    }
    if (appended || full) {
        EnqueueForParse(socket.Key(), device);
    }
    if (!full && !socket.pausedForSend && qsocket->state() == QAbstractSocket::UnconnectedState &&
        qsocket->bytesAvailable() == 0) {
        socket.Close();  // the peer had closed; its last bytes are in now
    }
}

void ServiceEngine::ResumeReading(const std::string& key) {
    {
        std::lock_guard lock(parseMutex_);
        blocked_.erase(key);
    }
    const DeviceRecord device = devices_.Find(key);
    if (!device || !receiving_) {
        return;
    }
    if (auto socket = std::dynamic_pointer_cast<QtDeviceSocket>(device->socket);
        socket && !socket->pausedForSend) {
        ReceiveFrom(device, *socket);
    }
}

void ServiceEngine::OnSocketClosed(const std::shared_ptr<QtDeviceSocket>& socket) {
    // The record stays; the supervision rebuild removes it once it has been silent too long.
    // Bytes still held for it are read first (now, or when the parse thread has made room).
    const DeviceRecord device = devices_.Find(socket->Key());
    QTcpSocket* qsocket = socket->Socket();
    socket->pausedForSend = false;  // nothing more goes out on a closed connection
    if (receiving_ && device && device->socket == socket && qsocket != nullptr &&
        qsocket->bytesAvailable() > 0) {
        bool blocked = false;
        {
            std::lock_guard lock(parseMutex_);
            blocked = blocked_.contains(socket->Key());
        }
        if (!blocked) {
            ReceiveFrom(device, *socket);
        }
        return;
    }
    socket->Close();
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
    auto sequence = std::make_shared<StopReadSequence>(device, scheduler_, clock_);
    std::erase_if(stopSequences_, [](const auto& w) { return w.expired(); });
    stopSequences_.push_back(sequence);
    sequence->Start();
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
    {
        std::lock_guard lock(parseMutex_);
        for (const auto& [key, device] : removed) {
            blocked_.erase(key);
            keys << QString::fromStdString(key);
        }
    }
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
    if (config_.calibrateTime != 0) {
        CalibrationCheck();
    }
}

// Sends the PC's time to every live reader once the calendar day has changed, so the clocks
// that stamp the tag reports stay right.
void ServiceEngine::CalibrationCheck() {
    const LocalDateTime now = clock_.LocalNow();
    if (now.day != lastDaySeen_) {
        calibrationPending_ = true;
        lastDaySeen_ = now.day;
    }
    if (!calibrationPending_) {
        return;
    }
    calibrationPending_ = false;
    for (const auto& [key, device] : devices_.Entries()) {
        if (device->online && device->socket) {
            SendCommand(*device->socket, CMD_SET_TIME, 0, clock_);
        }
    }
}

// ---- parse thread ----

void ServiceEngine::EnqueueForParse(const std::string& key, const DeviceRecord& device) {
    {
        std::lock_guard lock(parseMutex_);
        const auto [it, inserted] = queued_.try_emplace(key, device);
        if (!inserted) {
            it->second = device;
            return;
        }
        parseQueue_.push_back(key);
    }
    parseWake_.notify_one();
}

void ServiceEngine::ParseLoop() {
    pthread_setname_np(pthread_self(), "trelvane-parse");
    std::vector<FrameRecord> records(kParseRecords);
    std::optional<ReadLog> readLog;  // made by TakeLogSettings from what StartService queued
    DispatchContext context{tags_, nullptr, clock_, *this};
    std::vector<ParseJob> batch;
    for (;;) {
        {
            std::unique_lock lock(parseMutex_);
            parseBusy_ = false;
            if (parseQueue_.empty()) {
                parseIdle_.notify_all();
            }
            parseWake_.wait(lock, [this] { return parseStop_ || !parseQueue_.empty(); });
            // Stop closes every socket first, so what is queued then is all there will be: it
            // was acknowledged to the readers, so it is still parsed (and logged) before the end.
            if (parseStop_ && parseQueue_.empty()) {
                break;
            }
            for (std::string& key : parseQueue_) {
                auto node = queued_.extract(key);
                batch.push_back(ParseJob{std::move(key), std::move(node.mapped())});
            }
            parseQueue_.clear();
            parseBusy_ = true;
        }
        TakeLogSettings(readLog, context);
        // Every device with buffered bytes is served in one wake-up, so no reader's last
        // reports wait for it to send again.
        for (const ParseJob& job : batch) {
            ParseDevice(job.key, job.device, records, context);
        }
        if (readLog) {
            readLog->Flush();
        }
        batch.clear();
    }
    if (readLog) {
        readLog->Flush();
    }
}

void ServiceEngine::ParseDevice(const std::string& key, const DeviceRecord& device,
                                std::vector<FrameRecord>& records, DispatchContext& context) {
    const std::string name = device->DeviceName();
    for (;;) {
        const std::size_t n =
            ExtractFrames(device->recvBuffer, device->bufferedBytes, records, device->receiveLock);
        if (n == 0) {
            break;
        }
        for (std::size_t i = 0; i < n; ++i) {
            DispatchDeviceFrame(*device, key, name, records[i], context);
        }
        stats_.framesDispatched.fetch_add(n, std::memory_order_relaxed);
    }
    bool blocked = false;
    {
        std::lock_guard lock(parseMutex_);
        blocked = blocked_.contains(key);
    }
    if (!blocked) {
        return;
    }
    {
        // Deframing always frees room unless the buffer is full of bytes without a start byte,
        // which can never become a frame: drop those so the reader recovers. (A buffer the
        // event loop has filled again since the pass, with frames, is left for the next pass.)
        std::lock_guard lock(device->receiveLock);
        if (IsUndecodableFullBuffer(std::span(device->recvBuffer.data(), device->bufferedBytes))) {
            std::memset(device->recvBuffer.data(), 0, kReceiveBufferSize);
            device->bufferedBytes = 0;
            stats_.bytesDiscarded.fetch_add(kReceiveBufferSize, std::memory_order_relaxed);
        }
    }
    Notify({Notification::Kind::kResume, key});
}

void ServiceEngine::OnDeviceNamed(const std::string& key) {
    Notify({Notification::Kind::kNamed, key});
}

void ServiceEngine::OnPageReply(PageReply reply, const std::string& key, bool ok,
                                std::uint8_t command) {
    Notify({Notification::Kind::kPageReply, key, reply, ok, command});
}

void ServiceEngine::Notify(Notification notification) {
    bool wake = false;
    {
        std::lock_guard lock(notifyMutex_);
        wake = notifications_.empty();
        notifications_.push_back(std::move(notification));
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

void ServiceEngine::DeliverNotifications() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
    std::vector<Notification> batch;
    {
        std::lock_guard lock(notifyMutex_);
        batch.swap(notifications_);
    }
    for (const Notification& note : batch) {
        switch (note.kind) {
            case Notification::Kind::kNamed:
                ShowNamedDevice(note.key);
                break;
            case Notification::Kind::kPageReply: {
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
            case Notification::Kind::kResume:
                ResumeReading(note.key);
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
        bool idle = false;
        {
            std::lock_guard lock(parseMutex_);
            idle = parseQueue_.empty() && !parseBusy_;
        }
        if (idle) {
            // Deliver what the last pass left for the event loop.
            DeliverNotifications();
            std::scoped_lock lock(parseMutex_, notifyMutex_);
            if (parseQueue_.empty() && !parseBusy_ && notifications_.empty()) {
                return true;
            }
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(1);
    }
}

}  // namespace trelvane
