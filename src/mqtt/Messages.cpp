#include "mqtt/Messages.h"

#include <utility>

namespace trelvane::mqtt {
namespace {

constexpr std::size_t kMaxCachedNames = 4096;

}  // namespace

Addressing Addressing::For(const MqttConfig& config, std::string historyId) {
    const std::string base = config.topicPrefix + "/" + TopicLevel(config.clientId) + "/";
    return Addressing{base + "reads",  base + "presence", base + "zones",  base + "alerts",
                      base + "status", base + "readers/", config.clientId, std::move(historyId)};
}

MessageBuilder::MessageBuilder(const Addressing& addressing, const events::Labels* labels)
    : addressing_(addressing),
      reads_{&addressing.readsTopic, "reads", {}},
      presence_{&addressing.presenceTopic, "events", {}},
      zones_{&addressing.zonesTopic, "events", {}},
      alerts_{&addressing.alertsTopic, "events", {}} {
    for (List* list : {&reads_, &presence_, &zones_, &alerts_}) {
        list->payload.SetLabels(labels);
        list->payload.Begin(addressing_.server, addressing_.historyId, list->name);
    }
}

void MessageBuilder::Cut(List& list) {
    const std::size_t n = list.payload.Count();
    messages_.push_back(Message{list.topic, list.payload.Finish(), n});
    list.payload.Begin(addressing_.server, addressing_.historyId, list.name);
}

std::vector<Message> MessageBuilder::Finish() {
    for (List* list : {&reads_, &presence_, &zones_, &alerts_}) {
        if (list->payload.Count() != 0) {
            Cut(*list);
        }
    }
    return std::move(messages_);
}

const std::string& Utf8Names::Utf8(const std::string& raw) {
    auto found = names_.find(raw);
    if (found == names_.end()) {
        found = names_.emplace(raw, codec_.ToUtf8(raw)).first;
    }
    return found->second;
}

void Utf8Names::Trim() {
    if (names_.size() >= kMaxCachedNames) {
        names_.clear();
    }
}

}  // namespace trelvane::mqtt
