#pragma once

// The service without a window: starts at once in its working folder, reports device events
// and a periodic status line on stdout, and on SIGINT/SIGTERM refreshes the tag list, writes
// the export file if one was asked for, stops the service and exits.

#include <QObject>
#include <QString>
#include <QTextStream>
#include <filesystem>
#include <optional>

#include "service/ServiceEngine.h"

class QSocketNotifier;
class QTimer;

namespace trelvane {

class ServiceManagerLink;
namespace mqtt {
class MqttOutput;
}

struct HeadlessOptions {
    std::filesystem::path workingDir;                 // -C DIR (default: the current directory)
    std::optional<std::filesystem::path> configFile;  // -c FILE (default: workingDir/SysConf.ini)
    std::optional<std::filesystem::path> exportFile;  // --export-on-exit FILE
    bool quiet = false;                               // --quiet: no event or status lines
};

class HeadlessFrontEnd final : public QObject {
    Q_OBJECT

  public:
    HeadlessFrontEnd(ServiceEngine& engine, HeadlessOptions options, QTextStream& out,
                     QTextStream& err, QObject* parent = nullptr);

    // Starts the service. Returns false (after printing the reason) when it cannot start.
    bool Start();
    // The orderly end: final refresh, export, stop. Returns the process exit code.
    int Shutdown();

    // Routes SIGINT and SIGTERM to Shutdown() followed by QCoreApplication::exit().
    void InstallSignalHandlers();
    // SIGHUP: reads the settings file again and applies it (HeadlessReload.cpp).
    void Reload();
    // The MQTT publisher whose state the status line shows (none: no MQTT fields).
    void SetMqtt(const mqtt::MqttOutput* output) { mqtt_ = output; }

  private:
    void PrintStatus();
    QString HistoryStatusText() const;
    QString MqttStatusText(double seconds);
    void Line(const QString& text);

    ServiceEngine& engine_;
    HeadlessOptions options_;
    QTextStream& out_;
    QTextStream& err_;
    Scheduler::TimerId statusTimer_ = 0;
    std::uint64_t lastReads_ = 0;
    qint64 lastStatusMs_ = 0;
    QSocketNotifier* signalNotifier_ = nullptr;
    QTimer* statusTicker_ = nullptr;         // the status line's timer, made by Start()
    ServiceManagerLink* manager_ = nullptr;  // made by Start() once the service listens
    bool shutDown_ = false;
    const mqtt::MqttOutput* mqtt_ = nullptr;
    std::uint64_t lastPublished_ = 0;
};

}  // namespace trelvane
