#pragma once

// The texts the MQTT publisher sends: topic levels and the UTF-8 JSON payloads. Pure functions
// over values, so every byte is tested without a broker.
//
//   {prefix}/{client id}/reads        {"server":…,"history_id":…,"reads":[{"seq":N,"time":…,
//                                     "tag":"…","reader":…,"device":…[,"reader_time":…]},…]}
//   {prefix}/{client id}/presence     {"server":…,"history_id":…,"events":[{"seq":N,"time":…,
//                                     "tag":"…","reader":…,"event":"arrive"|"depart"},…]}
//   {prefix}/{client id}/readers/{n}  retained reader status (ReaderStatusPayload)
//   {prefix}/{client id}/status       retained "online"; "offline" as the will

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/TagReport.h"
#include "records/JsonText.h"

namespace trelvane::mqtt {

// One topic level from a name: '/', '+', '#', '%', control bytes (below 0x20, and 0x7F) as
// "%XX" (upper-case hex), every other byte as it is. An empty name gives "_" (a topic level may
// be empty, but a reader should have a topic of its own).
std::string TopicLevel(std::string_view name);

// Local time with milliseconds and the UTC offset in force then:
// "2026-12-08T09:00:01.250+08:00". Caches the last second's text (one localtime per second).
class LocalTimeText {
  public:
    void Append(std::string& out, std::int64_t unixMs);

  private:
    std::int64_t second_ = INT64_MIN;
    std::string prefix_;  // "2026-12-08T09:00:01"
    std::string offset_;  // "+08:00"
};

struct ReadItem {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    std::string_view reader;  // UTF-8
    std::string_view device;  // "ip:port"
    std::optional<ReaderTime> readerTime;
};

struct PresenceItem {
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0;
    std::uint32_t tag = 0;
    std::string_view reader;
    bool arrive = true;
};

// Builds one payload of a list of items: Begin, Add… in sequence order, then Finish.
class ListPayload {
  public:
    // `list` is "reads" or "events".
    void Begin(std::string_view server, std::string_view historyId, std::string_view list);
    void Add(const ReadItem& read);
    void Add(const PresenceItem& event);
    std::size_t Count() const { return count_; }
    // The payload; the builder is empty again after it.
    std::string Finish();

  private:
    void Separator();
    std::string out_;
    std::size_t count_ = 0;
    LocalTimeText time_;
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
