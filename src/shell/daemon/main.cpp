// trelvaned: the Trelvane reader service, headless.
#include <sys/resource.h>
#include <QCoreApplication>
#include <QTextStream>
#include <csignal>
#include <cstdio>

#include "service/QtScheduler.h"
#include "service/ServiceEngine.h"
#include "shell/daemon/HeadlessFrontEnd.h"

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
    QCoreApplication::setApplicationVersion(QStringLiteral("1.9.0"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    int exitCode = 0;
    QString message;
    auto options = trelvane::ParseHeadlessOptions(QCoreApplication::arguments(), exitCode, message);
    if (!options) {
        (exitCode == 0 ? out : err) << message;
        return exitCode;
    }

    trelvane::QtScheduler scheduler;
    trelvane::ServiceEngine engine(trelvane::SystemClock(), scheduler);
    trelvane::HeadlessFrontEnd frontEnd(engine, std::move(*options), out, err);
    frontEnd.InstallSignalHandlers();
    if (!frontEnd.Start()) {
        return 1;
    }
    return QCoreApplication::exec();
}
