#include "shell/daemon/HeadlessFrontEnd.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>

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

QString Usage() {
    return QStringLiteral(
        "Usage: trelvaned [-C DIR] [--export-on-exit FILE] [--quiet]\n"
        "\n"
        "Runs the Trelvane reader service without a window. It starts listening at once,\n"
        "with the settings of SysConf.ini in its working folder, where it also writes the\n"
        "daily read logs.\n"
        "\n"
        "  -C DIR                  work in DIR instead of the current directory\n"
        "  --export-on-exit FILE   on SIGINT/SIGTERM, write the tag list to FILE (the same\n"
        "                          tab-separated text as Export List Record)\n"
        "  --quiet                 print no device events and no status lines\n"
        "  -h, --help              show this help\n"
        "\n"
        "Output: one line per device event (connected, named, removed) and a status line\n"
        "per refresh period (devices, distinct tags, reads per second).\n"
        "Exit status: 0 after SIGINT/SIGTERM, 1 when the service cannot start, 2 on bad\n"
        "options.\n");
}

QString Now() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace

std::optional<HeadlessOptions> ParseHeadlessOptions(const QStringList& arguments, int& exitCode,
                                                    QString& message) {
    HeadlessOptions options;
    options.workingDir = QDir::currentPath().toStdString();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        const auto value = [&](const QString& name) -> std::optional<QString> {
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) {
                message = QStringLiteral("trelvaned: %1 needs a value\n").arg(name) + Usage();
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            exitCode = 0;
            message = Usage();
            return std::nullopt;
        }
        if (arg == QLatin1String("-C")) {
            const auto dir = value(arg);
            if (!dir) {
                exitCode = 2;
                return std::nullopt;
            }
            const QDir folder(*dir);
            if (!folder.exists()) {
                exitCode = 2;
                message = QStringLiteral("trelvaned: no such directory: %1\n").arg(*dir);
                return std::nullopt;
            }
            options.workingDir = folder.absolutePath().toStdString();
        } else if (arg == QLatin1String("--export-on-exit")) {
            const auto file = value(arg);
            if (!file) {
                exitCode = 2;
                return std::nullopt;
            }
            options.exportFile = QDir(QDir::currentPath()).absoluteFilePath(*file).toStdString();
        } else if (arg == QLatin1String("--quiet")) {
            options.quiet = true;
        } else {
            exitCode = 2;
            message = QStringLiteral("trelvaned: unknown option %1\n").arg(arg) + Usage();
            return std::nullopt;
        }
    }
    return options;
}

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
    if (options_.quiet) {
        return;
    }
    out_ << Now() << ' ' << text << Qt::endl;
}

bool HeadlessFrontEnd::Start() {
    if (!QDir::setCurrent(QString::fromStdString(options_.workingDir.string()))) {
        err_ << "trelvaned: cannot work in " << QString::fromStdString(options_.workingDir.string())
             << Qt::endl;
        return false;
    }
    switch (engine_.StartService(options_.workingDir)) {
        case ServiceEngine::StartResult::kStarted:
        case ServiceEngine::StartResult::kAlreadyRunning:
            break;
        case ServiceEngine::StartResult::kNoConfig:
            err_ << QString::fromStdString(LoadText(ids::kConfigFirst)) << Qt::endl;
            return false;
        case ServiceEngine::StartResult::kParseThreadFailed:
            err_ << QString::fromStdString(LoadText(ids::kFailedParseThread)) << Qt::endl;
            return false;
        case ServiceEngine::StartResult::kListenFailed:
            err_ << QString::fromStdString(LoadText(ids::kFailedToStart)) << Qt::endl;
            return false;
    }
    const ServiceConfig& config = engine_.Config();
    Line(QStringLiteral("listening on %1:%2 in %3")
             .arg(QString::fromStdString(config.serviceIp))
             .arg(engine_.ListeningPort())
             .arg(QString::fromStdString(options_.workingDir.string())));
    const int seconds =
        config.refreshPeriodSeconds != 0
            ? static_cast<int>(std::min<std::uint32_t>(config.refreshPeriodSeconds, 24 * 3600))
            : kDefaultStatusSeconds;
    auto* timer = new QTimer(this);
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
    Line(QStringLiteral("status devices=%1 reading=%6 listed=%2 tags=%3 reads=%4 reads_per_s=%5 "
                        "bytes_in=%7 bytes_discarded=%8")
             .arg(engine_.Devices().Size())
             .arg(engine_.DeviceList().RowCount())
             .arg(engine_.Tags().Size())
             .arg(reads)
             .arg(rate, 0, 'f', 1)
             .arg(reading)
             .arg(engine_.PipelineStats().bytesReceived.load())
             .arg(engine_.PipelineStats().bytesDiscarded.load()));
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
