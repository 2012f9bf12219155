// trelvane-sim: N simulated readers against a Trelvane server. See --help.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "sim/SimCommandLine.h"
#include "sim/SimFleet.h"
#include "trelvane/BuildInfo.h"

namespace {

int signalPipe[2] = {-1, -1};

// Async-signal-safe: only write(2). The event loop picks the byte up and quits.
void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Every reader is a descriptor: lift the soft limit as far as the hard limit allows, and say
// so when that is still too few.
void RaiseDescriptorLimit(int readers) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t wanted = static_cast<rlim_t>(readers) + 64;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        std::fprintf(stderr,
                     "trelvane-sim: warning: only %llu file descriptors for %d readers; some "
                     "connections will fail\n",
                     static_cast<unsigned long long>(limit.rlim_cur), readers);
    }
}

void PrintLine(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

// Stops every reader's reports, then runs the event loop until every byte is written and the
// server's acknowledgements have stopped changing for a while (it has taken in all it will),
// or until `seconds` pass. Closing with acknowledgements unread would reset the connections
// and throw away what the server had not read yet.
void Drain(trelvane::SimFleet& fleet, double seconds) {
    constexpr double kOnceInAnAge = 1e-9;  // reports per second: effectively none
    constexpr qint64 kSettledMs = 500;
    // A host that holds its readers back (a busy disk behind it) may acknowledge nothing for a
    // while: unless nearly everything sent while reporting was acknowledged, wait longer before
    // calling it settled, so the readers do not close on data still in flight (a close with
    // unread acknowledgements resets the connection and the host loses what it had not read).
    // What is never acknowledged is what the host read before it saw reading start: at most
    // its 1 KiB receive buffer and one 256-byte receive.
    constexpr qint64 kHeldBackSettledMs = 30000;
    constexpr std::uint64_t kUnackedSlackPerReader = 4 * 1024;
    for (int i = 0; i < fleet.Size(); ++i) {
        fleet.Reader(i).SetRate(kOnceInAnAge);
    }
    QElapsedTimer total;
    total.start();
    QElapsedTimer stable;
    stable.start();
    std::uint64_t lastAcked = fleet.Totals().bytesAcked;
    QTimer wake;
    wake.start(10);
    while (total.elapsed() < static_cast<qint64>(seconds * 1000.0)) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        bool unsent = false;
        for (int i = 0; i < fleet.Size(); ++i) {
            unsent = unsent || fleet.Reader(i).UnsentBytes() > 0;
        }
        const std::uint64_t acked = fleet.Totals().bytesAcked;
        if (unsent || acked != lastAcked) {
            lastAcked = acked;
            stable.restart();
        } else {
            const trelvane::SimFleetTotals totals = fleet.Totals();
            const bool nearlyAll =
                totals.bytesAcked +
                    kUnackedSlackPerReader * static_cast<std::uint64_t>(fleet.Size()) >=
                totals.bytesReporting;
            if (stable.elapsed() >= (nearlyAll ? kSettledMs : kHeldBackSettledMs)) {
                return;
            }
        }
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trelvane-sim"));

    const trelvane::SimParseResult parsed = trelvane::ParseSimArguments(app.arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "trelvane-sim: %s\nTry 'trelvane-sim --help'.\n",
                     parsed.error.toLocal8Bit().constData());
        return 1;
    }
    if (parsed.showHelp) {
        std::fputs(parsed.helpText.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.showVersion) {
        std::printf("trelvane-sim %s\n", trelvane::kVersion);
        return 0;
    }
    const trelvane::SimProgramOptions& options = *parsed.options;

    RaiseDescriptorLimit(options.fleet.readers);
    if (!InstallSignalHandlers()) {
        std::fprintf(stderr, "trelvane-sim: cannot install signal handlers\n");
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });

    trelvane::SimFleet fleet(options.fleet);
    const bool quiet = options.quiet;
    const bool reconnecting = options.fleet.reconnectMs > 0;
    // Without reconnecting, a fleet with no connection left and none coming has nothing to do.
    const auto quitWhenIdle = [&fleet, reconnecting] {
        if (!reconnecting && fleet.AllAttempted() && fleet.PendingAttempts() == 0 &&
            fleet.ConnectedCount() == 0) {
            QCoreApplication::quit();
        }
    };
    QObject::connect(&fleet, &trelvane::SimFleet::ReaderConnected, &app, [&fleet, quiet](int i) {
        if (!quiet) {
            const trelvane::SimReader& reader = fleet.Reader(i);
            PrintLine(
                QStringLiteral("connected %1 %2")
                    .arg(QString::fromStdString(reader.Options().deviceName), reader.DeviceKey()));
        }
    });
    QObject::connect(&fleet, &trelvane::SimFleet::ReaderDisconnected, &app,
                     [&fleet, quiet, quitWhenIdle](int i) {
                         if (!quiet) {
                             const trelvane::SimReader& reader = fleet.Reader(i);
                             PrintLine(QStringLiteral("disconnected %1 %2")
                                           .arg(QString::fromStdString(reader.Options().deviceName),
                                                reader.DeviceKey()));
                         }
                         quitWhenIdle();
                     });
    QObject::connect(
        &fleet, &trelvane::SimFleet::ReaderConnectFailed, &app,
        [&fleet, quiet, quitWhenIdle](int i, const QString& error) {
            if (!quiet) {
                PrintLine(
                    QStringLiteral("connect failed %1: %2")
                        .arg(QString::fromStdString(fleet.Reader(i).Options().deviceName), error));
            }
            quitWhenIdle();
        });
    if (options.durationSeconds > 0.0) {
        const auto ms = static_cast<int>(std::max(1.0, options.durationSeconds * 1000.0));
        QTimer::singleShot(ms, &app, &QCoreApplication::quit);
    }

    fleet.Start();
    app.exec();
    if (options.drainSeconds > 0.0) {
        Drain(fleet, options.drainSeconds);
    }

    const trelvane::SimFleetTotals totals = fleet.Totals();
    fleet.Stop();
    PrintLine(trelvane::FormatSimSummary(totals));
    return totals.everConnected > 0 ? 0 : 1;
}
