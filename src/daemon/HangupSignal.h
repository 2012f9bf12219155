#pragma once

// SIGHUP as a Qt signal on the event loop: the handler only writes a byte to a socket pair,
// which a QSocketNotifier turns into Hangup(). One instance per process.
//
// Threading: constructed and used on the event loop thread.

#include <QObject>

class QSocketNotifier;

namespace trelvane {

class HangupSignal final : public QObject {
    Q_OBJECT

  public:
    explicit HangupSignal(QObject* parent = nullptr);
    // False when the socket pair or the handler could not be set up (SIGHUP then keeps its
    // default action).
    bool Installed() const { return notifier_ != nullptr; }

  Q_SIGNALS:
    void Hangup();

  private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace trelvane
