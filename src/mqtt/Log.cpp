#include "mqtt/Log.h"

#include <QString>

Q_LOGGING_CATEGORY(lcMqtt, "trelvane.mqtt")

namespace trelvane::mqtt {

void Log::Say(const std::string& text, bool warning) {
    if (text == last_) {
        return;
    }
    last_ = text;
    if (warning) {
        qCWarning(lcMqtt).noquote() << "mqtt:" << QString::fromStdString(text);
    } else {
        qCInfo(lcMqtt).noquote() << "mqtt:" << QString::fromStdString(text);
    }
}

}  // namespace trelvane::mqtt
