#pragma once

// The publisher's log ("trelvane.mqtt"): each text is said once, not again while it repeats,
// so a broker that stays down or a history that stays unreadable is not said at every retry.
//
// Threads: one Log belongs to one publisher's thread (the category may be used anywhere).

#include <QLoggingCategory>
#include <string>

Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace trelvane::mqtt {

class Log {
  public:
    // "mqtt: `text`" as a warning or as information, unless it was the last text said.
    void Say(const std::string& text, bool warning);

  private:
    std::string last_;
};

}  // namespace trelvane::mqtt
