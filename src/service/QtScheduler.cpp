#include "service/QtScheduler.h"

#include <QTimer>

namespace trelvane {

QtScheduler::QtScheduler(QObject* parent) : QObject(parent) {}

QtScheduler::~QtScheduler() {
    for (auto& [id, timer] : timers_) {
        delete timer;
    }
}

Scheduler::TimerId QtScheduler::Start(std::chrono::milliseconds interval, bool repeat,
                                      Callback callback) {
    const TimerId id = ++lastId_;
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeat);
    timer->setInterval(interval);
    connect(timer, &QTimer::timeout, this, [this, id, repeat, cb = std::move(callback)] {
        if (!repeat) {
            // Forget the timer before running: the callback may schedule or cancel others.
            if (auto it = timers_.find(id); it != timers_.end()) {
                it->second->deleteLater();
                timers_.erase(it);
            }
        }
        cb();
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

void QtScheduler::Cancel(TimerId id) {
    if (auto it = timers_.find(id); it != timers_.end()) {
        it->second->stop();
        it->second->deleteLater();
        timers_.erase(it);
    }
}

}  // namespace trelvane
