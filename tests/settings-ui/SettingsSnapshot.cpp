// Renders the settings dialog in both modes to PNG files, for the documentation and for looking
// at the layout: settings_ui_snapshot <output folder> writes settings-service.png and
// settings-device.png (with SNAPSHOT_ALL_TABS set, the Reader Setting tab as well). The device mode
// shows a simulated reader served by a real engine over loopback, after its identity and radio
// settings were queried.

#include <QApplication>
#include <QDir>
#include <QHostAddress>
#include <QPixmap>
#include <QTabWidget>
#include <QTest>
#include <cstdio>

#include "protocol/HostCommand.h"
#include "service/ServiceEngine.h"
#include "settings-ui/LocalAddresses.h"
#include "settings-ui/SystemConfig.h"
#include "sim/SimReader.h"
#include "support/ManualScheduler.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace {

using namespace trelvane;

class ExampleAddresses final : public LocalAddressSource {
  public:
    LocalAddressList Fetch() override {
        return {LocalAddressList::Status::kOk,
                {QStringLiteral("192.168.1.20"), QStringLiteral("10.0.0.15"),
                 QStringLiteral("127.0.0.1")}};
    }
};

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QTest::qWait(50);
    const bool saved = widget.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: settings_ui_snapshot <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    test::TempFolder dir;
    test::ScriptedPrompter prompter;
    bool ok = true;

    {
        ExampleAddresses addresses;
        CSystemConfig dialog(prompter, addresses, dir.Path());
        ok &= Save(dialog, out.filePath(QStringLiteral("settings-service.png")));
    }

    test::WriteFile(dir / "SysConf.ini",
                    "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=0\r\n");
    ManualClock clock;
    ManualScheduler scheduler(clock);
    ServiceEngine engine(clock, scheduler);
    if (engine.StartService(dir.Path()) != ServiceEngine::StartResult::kStarted) {
        std::fprintf(stderr, "engine did not start\n");
        return 1;
    }
    SimReaderOptions options;
    options.atten = 5;
    options.carrier = 9;
    SimReader reader(options);
    reader.ConnectTo(QHostAddress::LocalHost, engine.ListeningPort());
    const auto record = [&] { return engine.FindDevice(reader.DeviceKey().toStdString()); };
    if (!QTest::qWaitFor([&] { return reader.IsConnected() && record(); }, 5000)) {
        std::fprintf(stderr, "reader did not connect\n");
        return 1;
    }
    for (const int item :
         {kItemDeviceName, kItemProductType, kItemSerialNo, kItemSoftwareVer, kItemHardwareVer}) {
        engine.SendOnSocket(record()->socket, CMD_QUERY_INFO, static_cast<unsigned>(item));
    }
    engine.SendOnSocket(record()->socket, CMD_QUERY_ATTEN, 0);
    engine.SendOnSocket(record()->socket, CMD_QUERY_CARRIER, 0);
    if (!QTest::qWaitFor([&] { return record()->carrierParam == 9; }, 5000) ||
        !engine.WaitForParseIdle()) {
        std::fprintf(stderr, "reader did not answer\n");
        return 1;
    }

    {
        const auto dialog =
            CreateDeviceDialog(nullptr, engine, prompter, reader.DeviceKey().toStdString());
        if (!dialog) {
            return 1;
        }
        ok &= Save(*dialog, out.filePath(QStringLiteral("settings-device.png")));
        if (qEnvironmentVariableIsSet("SNAPSHOT_ALL_TABS")) {
            dialog->Tabs()->setCurrentIndex(1);
            ok &= Save(*dialog, out.filePath(QStringLiteral("settings-device-reader.png")));
        }
    }
    engine.StopService();
    return ok ? 0 : 1;
}
