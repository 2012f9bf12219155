#pragma once

// What the live stream and the backlog both hand to the link: the topics, the messages of a
// range of reads, presence, zone and alert events (at most kMaxListItems items each, every
// event written by the one event encoder through ListPayload), and the UTF-8 names of readers.
//
// Threads: the publisher's thread only.

#include <string>
#include <unordered_map>
#include <vector>

#include "mqtt/BrokerLink.h"
#include "mqtt/Payload.h"
#include "records/TextCodec.h"
#include "settings/MqttConfig.h"

namespace trelvane::mqtt {

// The topics under {prefix}/{client id}/ and the names every list payload carries.
struct Addressing {
    static Addressing For(const MqttConfig& config, std::string historyId);

    std::string readsTopic;
    std::string presenceTopic;
    std::string zonesTopic;
    std::string alertsTopic;
    std::string statusTopic;
    std::string readersTopic;  // ends in '/': a reader's topic level follows
    std::string server;        // the client id
    std::string historyId;
};

// The messages of one range: reads, presence, zone and alert events in sequence order, each list
// cut into messages of kMaxListItems items; Finish adds what remains of the reads, then of the
// presence, zone and alert events. The messages point to the topics of `addressing`.
class MessageBuilder {
  public:
    // `labels`: the register to label tags from (null: none), alive while the builder is.
    explicit MessageBuilder(const Addressing& addressing, const events::Labels* labels = nullptr);

    void AddRead(const events::Read& read) { Add(reads_, read); }
    void AddPresence(const events::Presence& event) { Add(presence_, event); }
    void AddZone(const events::ZoneChange& event) { Add(zones_, event); }
    void AddAlert(const events::Alert& event) { Add(alerts_, event); }
    std::vector<Message> Finish();

  private:
    struct List {
        const std::string* topic;
        const char* name;  // "reads" or "events"
        ListPayload payload;
    };
    template <class E>
    void Add(List& list, const E& event) {
        list.payload.Add(event);
        if (list.payload.Count() == kMaxListItems) {
            Cut(list);
        }
    }
    void Cut(List& list);

    const Addressing& addressing_;
    List reads_;
    List presence_;
    List zones_;
    List alerts_;
    std::vector<Message> messages_;
};

// The UTF-8 of readers' names in the configured code page, converted once per name.
class Utf8Names {
  public:
    explicit Utf8Names(int codePage) : codec_(TextCodec::Usable(codePage)) {}

    // Valid until the next Trim.
    const std::string& Utf8(const std::string& raw);
    // Forgets every name once there are too many (keys change with every reconnection). Only
    // between messages: the views of a message under construction point into the names.
    void Trim();

  private:
    TextCodec codec_;
    std::unordered_map<std::string, std::string> names_;
};

}  // namespace trelvane::mqtt
