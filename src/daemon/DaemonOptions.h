#pragma once

// trelvaned's command line (QCommandLineParser). Kept apart from the front end so tests drive
// the parsing without starting a service.

#include <QString>
#include <QStringList>
#include <optional>

#include "daemon/HeadlessFrontEnd.h"
#include "daemon/LogOutput.h"

namespace trelvane {

// Exit statuses, as the man page and --help list them.
inline constexpr int kExitOk = 0;          // after SIGINT/SIGTERM, and for --help, --version
inline constexpr int kExitNoService = 1;   // the service cannot start (or the export failed)
inline constexpr int kExitBadOptions = 2;  // the command line cannot be used

struct DaemonOptions {
    HeadlessOptions headless;
    LogLevel logLevel = LogLevel::kInfo;  // --log-level
};

struct DaemonParseResult {
    std::optional<DaemonOptions> options;  // set when the service should run
    int exitCode = kExitOk;                // otherwise: exit with this
    QString output;                        // ... after writing this (stdout when exitCode is 0)
};

// `arguments` as QCoreApplication::arguments(): the program name first. Relative paths are made
// absolute against the current directory now, as the service changes into its working folder.
DaemonParseResult ParseDaemonOptions(const QStringList& arguments);

QString DaemonUsage();

}  // namespace trelvane
