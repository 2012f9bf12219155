// trelvaned: the Trelvane reader service, headless.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "service/QtScheduler.h"
#include "service/ServiceEngine.h"
#include "shell/daemon/HeadlessFrontEnd.h"

int main(int argc, char* argv[]) {
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
