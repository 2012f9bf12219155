#pragma once

#include <QObject>
#include <unordered_map>

#include "service/Scheduler.h"

class QTimer;

namespace trelvane {

// The production scheduler: one QTimer per scheduled callback, on the thread that owns it.
class QtScheduler final : public QObject, public Scheduler {
    Q_OBJECT

  public:
    explicit QtScheduler(QObject* parent = nullptr);
    ~QtScheduler() override;

    TimerId Start(std::chrono::milliseconds interval, bool repeat, Callback callback) override;
    void Cancel(TimerId id) override;

  private:
    TimerId lastId_ = 0;
    std::unordered_map<TimerId, QTimer*> timers_;
};

}  // namespace trelvane
