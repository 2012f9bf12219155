#pragma once

// The Device Info page: the identity of one connected reader as its device record holds it
// (name, serial number, product type, software and hardware versions), a Query that asks the
// reader for all five again, and a reload whenever one of the reader's identity replies has
// been handled. It also tells the Reader Setting page which attenuation range the reader's
// product type offers.
//
// The page works on the key and socket captured when the dialog opened. Replies reach it
// through the engine's DeviceInfoReplied signal, connected with the page as context: a page
// that has been destroyed receives nothing, and replies of other devices are ignored.
//
// Everything runs on the user-interface (event loop) thread.

#include <QPointer>
#include <QString>
#include <memory>
#include <string>

#include "records/TextCodec.h"
#include "settings-ui/DevicePage.h"

class QLineEdit;
class QPushButton;

namespace trelvane {

class CDeviceSet;
class DeviceSocket;
class Prompter;
class ServiceEngine;

class CDeviceOper final : public DevicePage {
    Q_OBJECT

  public:
    CDeviceOper(ServiceEngine& engine, Prompter& prompter, std::string key,
                std::shared_ptr<DeviceSocket> socket, QWidget* parent = nullptr);

    // Subscribes to replies and makes the first load.
    void Initialise();
    // The Reader Setting page that each load passes the product's range to (none: nothing is
    // passed). The dialog sets it once that page exists.
    void SetReaderSettingPage(CDeviceSet* page) { readerPage_ = page; }

    // Copies the record's identity texts into the page; nothing changes when the device is no
    // longer registered.
    void LoadFromRecord();
    // Asks for items 0, 1, 2, 3 and 5; when item 0 cannot be sent nothing else is, and the
    // operator is told.
    void Query();

    QLineEdit* DeviceNameEdit() const { return nameEdit_; }
    QLineEdit* SerialNoEdit() const { return serialEdit_; }
    QLineEdit* ProductTypeEdit() const { return productEdit_; }
    QLineEdit* SoftwareVerEdit() const { return softwareEdit_; }
    QLineEdit* HardwareVerEdit() const { return hardwareEdit_; }
    QPushButton* QueryButton() const { return queryButton_; }
    QPushButton* RefreshButton() const { return refreshButton_; }

  private:
    void BuildControls();
    void OnDeviceInfoReply(const QString& key);

    const TextCodec codec_;  // the code page of the device texts
    QPointer<CDeviceSet> readerPage_;

    QLineEdit* nameEdit_ = nullptr;
    QLineEdit* serialEdit_ = nullptr;
    QLineEdit* productEdit_ = nullptr;
    QLineEdit* softwareEdit_ = nullptr;
    QLineEdit* hardwareEdit_ = nullptr;
    QPushButton* queryButton_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
};

}  // namespace trelvane
