#pragma once

// Scripted answers to the modal windows code under test opens (message boxes, file dialogs,
// the About box): a timer looks at the window on top and hands each new one to the next step.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>

namespace trelvane::test {

// One step per window, in order: each step is given the window on top and must close it. The
// window handled last is marked until another is handled (the next dialog may live at the same
// address, and a dialog may be shown again after a question).
class ModalScript {
  public:
    explicit ModalScript(std::deque<std::function<void(QWidget*)>> steps)
        : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start(10);
    }
    bool Finished() const { return steps_.empty(); }

  private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            return;
        }
        if (modal->property("scripted").toBool()) {
            // A step that did not close its window fails instead of hanging the suite.
            if (modal == previous_ && sinceHandled_.hasExpired(3000)) {
                ADD_FAILURE() << "window left open: " << modal->windowTitle().toStdString();
                if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                    dialog->reject();
                }
            }
            return;
        }
        if (steps_.empty()) {
            // A window nobody expected: fail rather than wait forever.
            ADD_FAILURE() << "unexpected window " << modal->windowTitle().toStdString();
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            }
            return;
        }
        if (previous_) {
            previous_->setProperty("scripted", false);
        }
        modal->setProperty("scripted", true);
        previous_ = modal;
        sinceHandled_.start();
        auto step = std::move(steps_.front());
        steps_.pop_front();
        step(modal);
    }

    std::deque<std::function<void(QWidget*)>> steps_;
    QTimer timer_;
    QPointer<QWidget> previous_;
    QElapsedTimer sinceHandled_;
};

}  // namespace trelvane::test
