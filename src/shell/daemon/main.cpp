// trelvaned: the Trelvane reader service, headless.
#include <sys/resource.h>
#include <QCoreApplication>
#include <QTextStream>
#include <csignal>
#include <cstdio>

#include "service/QtScheduler.h"
#include "service/ServiceEngine.h"
#include "shell/daemon/DaemonOptions.h"
#include "shell/daemon/HangupSignal.h"
#include "shell/daemon/HeadlessFrontEnd.h"
#include "shell/daemon/LogOutput.h"
#include "trelvane/BuildInfo.h"

namespace {

// Every reader is a socket: take all the descriptors the system allows this process.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    RaiseDescriptorLimit();
    // A log pipe that goes away (a restarted tee or logger) must not take the server down.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trelvaned"));
    QCoreApplication::setApplicationVersion(QLatin1String(trelvane::kVersion));
    QTextStream out(stdout);
    QTextStream err(stderr);

    trelvane::DaemonParseResult parsed =
        trelvane::ParseDaemonOptions(QCoreApplication::arguments());
    if (!parsed.options) {
        (parsed.exitCode == 0 ? out : err) << parsed.output;
        return parsed.exitCode;
    }
    trelvane::InstallLogOutput(parsed.options->logLevel);

    trelvane::QtScheduler scheduler;
    trelvane::ServiceEngine engine(trelvane::SystemClock(), scheduler);
    trelvane::HeadlessFrontEnd frontEnd(engine, std::move(parsed.options->headless), out, err);
    frontEnd.InstallSignalHandlers();
    trelvane::HangupSignal hangup;
    QObject::connect(&hangup, &trelvane::HangupSignal::Hangup, &frontEnd,
                     &trelvane::HeadlessFrontEnd::Reload);
    if (!frontEnd.Start()) {
        return 1;
    }
    return QCoreApplication::exec();
}
