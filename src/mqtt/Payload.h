#pragma once

// The texts the MQTT publisher sends: topic levels and the UTF-8 JSON payloads. Pure functions
// over values, so every byte is tested without a broker.
//
//   {prefix}/{client id}/reads        {"server":…,"history_id":…,"reads":[read,…]}
//   {prefix}/{client id}/presence     {"server":…,"history_id":…,"events":[presence event,…]}
//   {prefix}/{client id}/zones        {"server":…,"history_id":…,"events":[zone event,…]}
//   {prefix}/{client id}/alerts       {"server":…,"history_id":…,"events":[alert event,…]}
//                                     (each event as EventJson writes it)
//   {prefix}/{client id}/readers/{n}  retained reader status (ReaderStatusPayload)
//   {prefix}/{client id}/status       retained "online"; "offline" as the will

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/IsoTime.h"
#include "events/EventJson.h"

namespace trelvane::mqtt {

// One topic level from a name: '/', '+', '#', '%', control bytes (below 0x20, and 0x7F) as
// "%XX" (upper-case hex), every other byte as it is. An empty name gives "_" (a topic level may
// be empty, but a reader should have a topic of its own).
std::string TopicLevel(std::string_view name);

// Builds one payload of a list of items: Begin, Add… in sequence order, then Finish.
class ListPayload {
  public:
    // `list` is "reads" or "events".
    void Begin(std::string_view server, std::string_view historyId, std::string_view list);
    template <class E>
    void Add(const E& event) {
        Separator();
        json_.Append(out_, event);
    }
    std::size_t Count() const { return count_; }
    // The register to label tags from (null: none); it must outlive the payload's use of it.
    void SetLabels(const events::Labels* labels) { json_.SetLabels(labels); }
    // The payload; the builder is empty again after it.
    std::string Finish();

  private:
    void Separator();
    std::string out_;
    std::size_t count_ = 0;
    events::EventJson json_;
};

struct ReaderStatus {
    std::string device;  // "ip:port"
    std::string name;    // UTF-8
    bool online = false;
    bool reading = false;
    std::string productType;
    std::string serialNo;
    std::int64_t tagCount = 0;
    std::optional<std::int64_t> lastSeenMs;  // the last read's time; null when none yet

    friend bool operator==(const ReaderStatus&, const ReaderStatus&) = default;
};

// {"device":…,"name":…,"online":…,"reading":…,"product_type":…,"serial_no":…,"tag_count":N,
//  "last_seen":"…"|null}
std::string ReaderStatusPayload(const ReaderStatus& status);

}  // namespace trelvane::mqtt
