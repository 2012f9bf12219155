#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <functional>

namespace trelvane::test {

// Runs the event loop until `done` holds or `timeoutMs` passes. A short timer wakes the loop so
// the deadline is noticed; the condition, not a fixed sleep, ends the wait.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace trelvane::test
