#pragma once

// The main window opens the settings dialog through this hook, so the window does not depend
// on the dialog's classes. Either function may be left empty: the command then does nothing.

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace trelvane {

class DeviceSocket;

struct SettingsDialogs {
    // Server Setting: the dialog in service mode, modal; its result is ignored.
    std::function<void(QWidget* parent)> openServiceSettings;
    // Device Info: the dialog in device mode for one device, modal. `socket` is the device's
    // socket when the dialog opened (the pages keep using it); `deviceName` is the name as the
    // reader reported it, in the configured code page, and prefixes the dialog's title.
    std::function<void(QWidget* parent, const std::string& key,
                       const std::shared_ptr<DeviceSocket>& socket, const std::string& deviceName)>
        openDevice;
};

}  // namespace trelvane
