#include "daemon/HeadlessFrontEnd.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>

#include "daemon/LogOutput.h"
#include "daemon/SystemdNotify.h"
#include "mqtt/MqttOutput.h"
#include "records/ExportText.h"
#include "records/StringTable.h"
#include "records/TextCodec.h"

namespace trelvane {
namespace {

constexpr int kDefaultStatusSeconds = 10;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

HeadlessFrontEnd::HeadlessFrontEnd(ServiceEngine& engine, HeadlessOptions options, QTextStream& out,
                                   QTextStream& err, QObject* parent)
    : QObject(parent), engine_(engine), options_(std::move(options)), out_(out), err_(err) {
    connect(&engine_, &ServiceEngine::DeviceConnected, this,
            [this](const QString& key) { Line(QStringLiteral("connected %1").arg(key)); });
    connect(&engine_, &ServiceEngine::DeviceNameReported, this, [this](const QString& key) {
        const DeviceRecord device = engine_.FindDevice(key.toStdString());
        if (!device) {
            return;
        }
        // The name is the reader's own bytes: escaped, so it cannot drive the terminal or
        // forge lines for whatever reads this output.
        const std::string name =
            TextCodec::Usable(engine_.Config().codePage).ToTerminalText(device->DeviceName());
        Line(QStringLiteral("named %1 %2").arg(key, QString::fromStdString(name)));
    });
    connect(&engine_, &ServiceEngine::DevicesRemoved, this, [this](const QStringList& keys) {
        for (const QString& key : keys) {
            Line(QStringLiteral("removed %1").arg(key));
        }
    });
}

void HeadlessFrontEnd::Line(const QString& text) {
    if (options_.quiet || CurrentLogLevel() < LogLevel::kInfo) {
        return;
    }
    out_ << InfoLinePrefix() << text << Qt::endl;
}

bool HeadlessFrontEnd::Start() {
    if (!QDir::setCurrent(QString::fromStdString(options_.workingDir.string()))) {
        err_ << ErrorLinePrefix() << "trelvaned: cannot work in "
             << QString::fromStdString(options_.workingDir.string()) << Qt::endl;
        return false;
    }
    switch (engine_.StartService(options_.workingDir, options_.configFile)) {
        case ServiceEngine::StartResult::kStarted:
        case ServiceEngine::StartResult::kAlreadyRunning:
            break;
        case ServiceEngine::StartResult::kNoConfig:
            err_ << ErrorLinePrefix() << QString::fromStdString(LoadText(ids::kConfigFirst)) << " ("
                 << QString::fromStdString(engine_.ConfigSource().string()) << ')' << Qt::endl;
            return false;
        case ServiceEngine::StartResult::kParseThreadFailed:
            err_ << ErrorLinePrefix() << QString::fromStdString(LoadText(ids::kFailedParseThread))
                 << Qt::endl;
            return false;
        case ServiceEngine::StartResult::kListenFailed:
            err_ << ErrorLinePrefix() << QString::fromStdString(LoadText(ids::kFailedToStart))
                 << Qt::endl;
            return false;
    }
    const ServiceConfig& config = engine_.Config();
    const QString listening = QStringLiteral("listening on %1:%2 in %3")
                                  .arg(QString::fromStdString(config.serviceIp))
                                  .arg(engine_.ListeningPort())
                                  .arg(QString::fromStdString(options_.workingDir.string()));
    Line(listening);
    qCDebug(lcDaemon).noquote() << "settings from"
                                << QString::fromStdString(engine_.ConfigSource().string());
    manager_ = new ServiceManagerLink(this);
    manager_->Ready(listening);
    const int seconds =
        config.refreshPeriodSeconds != 0
            ? static_cast<int>(std::min<std::uint32_t>(config.refreshPeriodSeconds, 24 * 3600))
            : kDefaultStatusSeconds;
    auto* timer = new QTimer(this);
    statusTicker_ = timer;
    connect(timer, &QTimer::timeout, this, &HeadlessFrontEnd::PrintStatus);
    timer->start(seconds * 1000);
    lastStatusMs_ = QDateTime::currentMSecsSinceEpoch();
    return true;
}

void HeadlessFrontEnd::PrintStatus() {
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const std::uint64_t reads = engine_.Tags().TotalReads();
    const double seconds = std::max<qint64>(nowMs - lastStatusMs_, 1) / 1000.0;
    const double rate = static_cast<double>(reads - lastReads_) / seconds;
    lastReads_ = reads;
    lastStatusMs_ = nowMs;
    std::size_t reading = 0;
    for (const auto& [key, device] : engine_.Devices().Entries()) {
        reading += device->reading ? 1 : 0;
    }
    const QString status =
        QStringLiteral(
            "status devices=%1 reading=%6 listed=%2 tags=%3 reads=%4 reads_per_s=%5 "
            "bytes_in=%7 bytes_discarded=%8")
            .arg(engine_.Devices().Size())
            .arg(engine_.DeviceList().RowCount())
            .arg(engine_.Tags().Size())
            .arg(reads)
            .arg(rate, 0, 'f', 1)
            .arg(reading)
            .arg(engine_.PipelineStats().bytesReceived.load())
            .arg(engine_.PipelineStats().bytesDiscarded.load()) +
        QStringLiteral(" seq=%1 present=%2 ")
            .arg(engine_.NextSequence() - 1)
            .arg(engine_.PresentTags()) +
        HistoryStatusText() + MqttStatusText(seconds);
    Line(status);
    if (manager_ != nullptr) {
        manager_->Status(status);
    }
}

// "history=ok|failing history_rows=N history_queue=N history_held=N history_missed=N", or
// "history=off" / "history=unavailable" without one.
QString HeadlessFrontEnd::HistoryStatusText() const {
    const auto history = engine_.History();
    if (!history) {
        return engine_.HistoryProblem().empty() ? QStringLiteral("history=off")
                                                : QStringLiteral("history=unavailable");
    }
    QString state = QStringLiteral("ok");
    if (!history->writing) {
        // One word for what parses the line; the reason was logged when it happened.
        state = QStringLiteral("failing");
    }
    return QStringLiteral(
               "history=%1 history_rows=%2 history_queue=%3 history_held=%4 history_missed=%5")
        .arg(state)
        .arg(history->rows)
        .arg(history->queued)
        .arg(history->heldBack)
        .arg(history->missed);
}

// " mqtt=connected mqtt_backlog=N mqtt_published=N mqtt_lost=N mqtt_rate=N/s", " mqtt=off"...
QString HeadlessFrontEnd::MqttStatusText(double seconds) {
    if (mqtt_ == nullptr) {
        return {};
    }
    QString text = QLatin1Char(' ') + QString::fromStdString(mqtt_->StatusFields());
    if (const auto state = mqtt_->CurrentState(); state.publisher) {
        const std::uint64_t published = state.publisher->published;
        const double rate =
            static_cast<double>(published - std::min(published, lastPublished_)) / seconds;
        lastPublished_ = published;
        text += QStringLiteral(" mqtt_rate=%1/s").arg(rate, 0, 'f', 1);
    }
    return text;
}

int HeadlessFrontEnd::Shutdown() {
    if (shutDown_) {
        return 0;
    }
    shutDown_ = true;
    int code = 0;
    if (engine_.IsRunning()) {
        // Nothing is read (and so acknowledged) from here on, and what was read is in the
        // tables and the logs: the export counts every read the day log holds.
        engine_.StopReceiving();
        engine_.RefreshTagList();
        if (options_.exportFile) {
            const std::string text =
                BuildExportText(engine_.TagList(), TextCodec::Usable(engine_.Config().codePage));
            if (!WriteExportFile(*options_.exportFile, text)) {
                err_ << QString::fromStdString(LoadText(ids::kFailedToOpenFile)) << ": "
                     << QString::fromStdString(options_.exportFile->string()) << Qt::endl;
                code = 1;
            } else {
                Line(QStringLiteral("exported %1 rows to %2")
                         .arg(engine_.TagList().RowCount())
                         .arg(QString::fromStdString(options_.exportFile->string())));
            }
        }
        PrintStatus();
        QElapsedTimer stopping;
        stopping.start();
        engine_.StopService();
        Line(QStringLiteral("service stopped in %1 ms").arg(stopping.elapsed()));
    }
    Line(QStringLiteral("stopped"));
    return code;
}

void HeadlessFrontEnd::InstallSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) {
        err_ << "trelvaned: cannot install signal handlers" << Qt::endl;
        return;
    }
    signalNotifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &byte, 1);
        signalNotifier_->setEnabled(false);
        QCoreApplication::exit(Shutdown());
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace trelvane
