#include "shell/Korvex.h"

#include <QTimer>
#include <cstdio>

#include "mqtt/MqttOutput.h"
#include "records/StringTable.h"
#include "service/QtScheduler.h"

#include "api/ApiServer.h"
#include "service/ServiceEngine.h"
#include "settings-ui/SystemConfig.h"
#include "settings/ApiConfig.h"
#include "shell/KorvexDlg.h"
#include "shell/SocketLibrary.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {

CKorvexApp::CKorvexApp(SocketLibrary& sockets, Prompter& prompter,
                       std::function<void()> runMainWindow)
    : sockets_(sockets), prompter_(prompter), runMainWindow_(std::move(runMainWindow)) {}

bool CKorvexApp::InitInstance() {
    const QString title = ui::Own(ids::kAppTitle);
    std::uint16_t granted = 0;
    if (!sockets_.Startup(kSocketLibraryVersion, granted)) {
        prompter_.Inform(nullptr, ui::Text(ids::kNoSocketLibrary), title);
        return false;
    }
    socketsStarted_ = true;
    if ((granted & 0xFF) != 1 || ((granted >> 8) & 0xFF) != 1) {
        prompter_.Inform(nullptr, ui::Text(ids::kWrongSocketLibrary), title);
        sockets_.Cleanup();
        socketsStarted_ = false;
        return false;
    }
    if (runMainWindow_) {
        runMainWindow_();
    }
    return false;
}

int CKorvexApp::ExitInstance() {
    // Released once for the one start-up that succeeded; a refused version was released
    // already.
    if (socketsStarted_) {
        sockets_.Cleanup();
        socketsStarted_ = false;
    }
    return 0;
}

SettingsDialogs SettingsDialogsFor(ServiceEngine& engine, Prompter& prompter) {
    SettingsDialogs dialogs;
    dialogs.openServiceSettings = [&prompter](QWidget* parent) {
        OpenServiceSettings(parent, prompter);
    };
    // The window has checked the device (registered, not reading); the dialog looks it up
    // again in the same turn of the event loop and finds the same record.
    dialogs.openDevice = [&engine, &prompter](QWidget* parent, const std::string& key,
                                              const std::shared_ptr<DeviceSocket>&,
                                              const std::string&) {
        OpenDeviceDialog(parent, engine, prompter, key);
    };
    return dialogs;
}

void RunMainWindow(LanguageState& language, Prompter& prompter) {
    QtScheduler scheduler;
    ServiceEngine engine(SystemClock(), scheduler);
    // Reads [Mqtt] with every start of the service; its state shows in the status bar.
    mqtt::MqttOutput mqtt(engine);
    // The HTTP API is off in the desktop program unless [Api] Enabled=1 turns it on.
    ApiServer api(engine);
    if (const auto config = ReadApiConfig("SysConf.ini", false)) {
        if (api.Start(*config) == ApiServer::StartResult::kStarted) {
            std::fprintf(stderr, "trelvane: API on %s\n", api.Url().c_str());
        } else if (!api.Problem().empty()) {
            std::fprintf(stderr, "trelvane: %s\n", api.Problem().c_str());
        }
    }
    CKorvexDlg window(engine, prompter, language);
    window.SetSettingsDialogs(SettingsDialogsFor(engine, prompter));
    QTimer brokerState;
    QObject::connect(&brokerState, &QTimer::timeout, &window, [&] {
        window.ShowBrokerState(QString::fromStdString(mqtt.BrokerStateText()));
    });
    brokerState.start(1000);
    window.exec();
}

}  // namespace trelvane
