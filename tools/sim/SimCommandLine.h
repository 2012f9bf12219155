#pragma once

// The trelvane-sim program's options: parsing and validation (kept out of main so tests can
// drive them), and the summary line it prints at exit.

#include <QString>
#include <QStringList>
#include <optional>

#include "sim/SimFleet.h"

namespace trelvane {

struct SimProgramOptions {
    SimFleetOptions fleet;
    double durationSeconds = 0.0;  // 0 = until SIGINT / SIGTERM
    // At the end, stop reporting and wait up to this long for the server to take in and
    // acknowledge what was sent, before the connections close (0 = close at once).
    double drainSeconds = 0.0;
    bool quiet = false;
};

struct SimParseResult {
    std::optional<SimProgramOptions> options;  // set when the program should run
    bool showHelp = false;
    bool showVersion = false;  // --version
    QString helpText;          // always filled
    QString error;             // non-empty when the arguments are bad
};

// `arguments` as QCoreApplication::arguments(): the program name first.
SimParseResult ParseSimArguments(const QStringList& arguments);

// "summary readers=5 connected=5 reports=... bytes_reporting=... bytes_acked=..." and the rest
// of the totals, one line without a line end. `connected` counts readers that connected at
// least once.
QString FormatSimSummary(const SimFleetTotals& totals);

}  // namespace trelvane
