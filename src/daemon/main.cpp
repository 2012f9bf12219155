// trelvaned: the Trelvane reader service, headless.
#include <sys/resource.h>
#include <QCoreApplication>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <optional>

#include "api/ApiServer.h"
#include "daemon/DaemonOptions.h"
#include "daemon/HangupSignal.h"
#include "daemon/HeadlessFrontEnd.h"
#include "daemon/LogOutput.h"
#include "mqtt/MqttOutput.h"
#include "records/Diagnostics.h"
#include "service/QtScheduler.h"
#include "service/ServiceEngine.h"
#include "settings/ApiConfig.h"
#include "trelvane/BuildInfo.h"
#include "webhooks/WebhookService.h"

Q_LOGGING_CATEGORY(lcRecords, "trelvane.records")

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
    // Qt's own event dispatcher instead of glib's: the server has no glib sources to serve, and
    // glib's wakes its loop through an eventfd write per socket write (measured: 8-11 % of the
    // receive path's time). An operator's explicit QT_NO_GLIB still wins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
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
    // The records layer's file failures ("Open file failed", "Write file failed ...") are
    // warnings of their own category, so the journal gets them with their priority. Called
    // from the parse thread; Qt's logging is thread-safe.
    trelvane::SetDiagnosticHandler([](std::string_view line) {
        qCWarning(lcRecords).noquote()
            << QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
    });

    trelvane::QtScheduler scheduler;
    trelvane::ServiceEngine engine(trelvane::SystemClock(), scheduler);
    // Before the start: it reads [Mqtt] with every start of the service.
    trelvane::mqtt::MqttOutput mqtt(engine);
    // Runs the endpoints it is given over each run's history (none until they are applied).
    trelvane::webhooks::WebhookService webhooks(engine);
    // Made before the service starts: its live feed is a sink of every run.
    trelvane::ApiServer api(engine);
    trelvane::HeadlessFrontEnd frontEnd(engine, std::move(parsed.options->headless), out, err);
    frontEnd.SetMqtt(&mqtt);
    frontEnd.InstallSignalHandlers();
    trelvane::HangupSignal hangup;
    QObject::connect(&hangup, &trelvane::HangupSignal::Hangup, &frontEnd,
                     &trelvane::HeadlessFrontEnd::Reload);
    if (!frontEnd.Start()) {
        return 1;
    }
    // The API is on by default here; a problem with it leaves the service running.
    trelvane::ApiConfig apiConfig;
    apiConfig.enabled = true;
    apiConfig = trelvane::ReadApiConfig(engine.ConfigSource(), true).value_or(apiConfig);
    const auto startApi = [&] {
        switch (api.Start(apiConfig)) {
            case trelvane::ApiServer::StartResult::kStarted:
                out << trelvane::InfoLinePrefix() << "api listening on "
                    << QString::fromStdString(api.Url()) << Qt::endl;
                break;
            case trelvane::ApiServer::StartResult::kDisabled:
                break;
            case trelvane::ApiServer::StartResult::kNoToken:
            case trelvane::ApiServer::StartResult::kListenFailed:
                err << trelvane::ErrorLinePrefix()
                    << "trelvaned: " << QString::fromStdString(api.Problem()) << Qt::endl;
                break;
        }
    };
    startApi();
    // SIGHUP, after the service has read its own section: a changed [Api] restarts the API (its
    // live feed clients reconnect), and an API that could not start tries again. A file that
    // cannot be read keeps what runs.
    QObject::connect(&hangup, &trelvane::HangupSignal::Hangup, &api, [&] {
        const std::optional<trelvane::ApiConfig> next =
            trelvane::ReadApiConfig(engine.ConfigSource(), true);
        if (!next || (*next == apiConfig && (api.IsRunning() || !next->enabled))) {
            return;
        }
        const bool wasRunning = api.IsRunning();
        api.Stop();
        apiConfig = *next;
        if (wasRunning && !apiConfig.enabled) {
            out << trelvane::InfoLinePrefix() << "api stopped: [Api] Enabled=0" << Qt::endl;
        }
        startApi();
    });
    const int code = QCoreApplication::exec();
    api.Stop();
    return code;
}
