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

namespace trelvane {

struct HeadlessOptions {
    std::filesystem::path workingDir;                 // -C DIR (default: the current directory)
    std::optional<std::filesystem::path> exportFile;  // --export-on-exit FILE
    bool quiet = false;                               // --quiet: no event or status lines
};

// Parses the command line. On error or --help, returns nothing and sets `exitCode` and
// `message` (usage on stdout for --help, the error on stderr otherwise).
std::optional<HeadlessOptions> ParseHeadlessOptions(const QStringList& arguments, int& exitCode,
                                                    QString& message);

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

  private:
    void PrintStatus();
    void Line(const QString& text);

    ServiceEngine& engine_;
    HeadlessOptions options_;
    QTextStream& out_;
    QTextStream& err_;
    Scheduler::TimerId statusTimer_ = 0;
    std::uint64_t lastReads_ = 0;
    qint64 lastStatusMs_ = 0;
    QSocketNotifier* signalNotifier_ = nullptr;
    bool shutDown_ = false;
};

}  // namespace trelvane
