#pragma once

// What both pages of a reader's settings dialog (Device Info and Reader Setting) work on: the
// reader's key and socket as they were when the dialog opened, the engine that sends to the
// reader and reports its replies, and the prompter. Replies reach the pages by signals that
// name the reader's key; a page handles only those of its own reader.
//
// Everything runs on the user-interface (event loop) thread.

#include <QString>
#include <QWidget>
#include <memory>
#include <string>

namespace trelvane {

class DeviceSocket;
class Prompter;
class ServiceEngine;

class DevicePage : public QWidget {
    Q_OBJECT

  protected:
    DevicePage(ServiceEngine& engine, Prompter& prompter, std::string key,
               std::shared_ptr<DeviceSocket> socket, QWidget* parent);

    // Whether a reply's key names this page's reader.
    bool IsThisReader(const QString& key) const { return key == keyText_; }
    // Tells the operator the text `textId` under the caption Tips.
    void Tell(int textId);

    ServiceEngine& engine_;
    Prompter& prompter_;
    const std::string key_;
    const std::shared_ptr<DeviceSocket> socket_;

  private:
    const QString keyText_;  // key_ as the engine's signals carry it
};

}  // namespace trelvane
