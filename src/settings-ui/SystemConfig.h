#pragma once

// The settings dialog, modal and tabbed, in one of two modes:
//  - service mode: one tab, the Service Setting page (listening address, port, intervals);
//  - device mode: the Device Info and Reader Setting pages of one connected reader, working on
//    the key, socket and name captured when the dialog opened.
// The dialog has no OK or Cancel of its own: it is closed with the window's close box. Enter is
// swallowed (it never presses a button); inside the Service Setting page it moves to the next
// field and Escape does nothing.
//
// Everything runs on the user-interface (event loop) thread.

#include <QDialog>
#include <QString>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class QTabWidget;

namespace trelvane {

class CDeviceOper;
class CDeviceSet;
class CServerCfg;
class DeviceSocket;
class LocalAddressSource;
class Prompter;
class ServiceEngine;

class CSystemConfig final : public QDialog {
    Q_OBJECT

  public:
    enum class Mode { kService = 0, kDevice = 1 };

    // Service mode. `workingDir` holds SysConf.ini (see CServerCfg).
    CSystemConfig(Prompter& prompter, LocalAddressSource& addresses,
                  std::optional<std::filesystem::path> workingDir, QWidget* parent = nullptr);
    // Device mode. `titlePrefix` (the device's name as shown) precedes "Device Operation" in
    // the title, without a separator. The Device Info page is created and makes its first load
    // before the Reader Setting page exists, so the latter opens in the standard range and takes
    // the product's range at the next Device Info load.
    CSystemConfig(ServiceEngine& engine, Prompter& prompter, const std::string& key,
                  const std::shared_ptr<DeviceSocket>& socket, const QString& titlePrefix,
                  QWidget* parent = nullptr);

    Mode DialogMode() const { return mode_; }
    QTabWidget* Tabs() const { return tabs_; }
    // The pages of the dialog's mode; null for the other mode's.
    CServerCfg* ServicePage() const { return servicePage_; }
    CDeviceOper* DeviceInfoPage() const { return deviceInfoPage_; }
    CDeviceSet* ReaderSettingPage() const { return readerPage_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    explicit CSystemConfig(Mode mode, QWidget* parent);
    void ShowTabPage(int index);

    const Mode mode_;
    QTabWidget* tabs_ = nullptr;
    CServerCfg* servicePage_ = nullptr;
    CDeviceOper* deviceInfoPage_ = nullptr;
    CDeviceSet* readerPage_ = nullptr;
};

// Server Setting: the dialog in service mode on the machine's addresses and the process's
// working folder, run modally.
void OpenServiceSettings(QWidget* parent, Prompter& prompter);
void OpenServiceSettings(QWidget* parent, Prompter& prompter, LocalAddressSource& addresses,
                         const std::optional<std::filesystem::path>& workingDir);

// Device Info for the device registered under `key`: nothing when it is not registered (any
// more); "Device %s is reading... Please stop first!" when it is reading; otherwise the dialog in
// device mode, not yet shown. The caller checks that a device was selected at all.
std::unique_ptr<CSystemConfig> CreateDeviceDialog(QWidget* parent, ServiceEngine& engine,
                                                  Prompter& prompter, const std::string& key);
// CreateDeviceDialog, then runs the dialog modally. True when a dialog was shown.
bool OpenDeviceDialog(QWidget* parent, ServiceEngine& engine, Prompter& prompter,
                      const std::string& key);

}  // namespace trelvane
