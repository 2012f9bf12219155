// The shape of every kind of event, pinned by hand-written text: this is what MQTT, the
// WebSocket, the API's history pages and trelvane-history print, so a change here is a change
// for every consumer (doc/events.md).
#include "events/EventJson.h"

#include <gtest/gtest.h>

#include "support/TimeZoneScope.h"

namespace trelvane::events {
namespace {

// 2026-12-08T01:00:01.250Z = 09:00:01.250 in Shanghai.
constexpr std::int64_t kMoment = 1796691601250;

TEST(EventJsonTest, EveryKindHasItsShape) {
    test::TimeZoneScope zone("Asia/Shanghai");
    EventJson json;
    EXPECT_EQ(json.Text(Read{41, kMoment, 12345678, "R01", "10.0.0.5:4001",
                             ReaderTime{26, 12, 8, 9, 0, 1}}),
              R"({"seq":41,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
              R"("tag":"12345678","reader":"R01","device":"10.0.0.5:4001",)"
              R"("reader_time":"2026-12-08 09:00:01"})");
    // No reader time: the key is absent, not null. The largest tag keeps every digit.
    EXPECT_EQ(json.Text(Read{42, kMoment + 1, 4294967295u, "R01", "10.0.0.5:4001", {}}),
              R"({"seq":42,"time":"2026-12-08T09:00:01.251+08:00","time_ms":1796691601251,)"
              R"("tag":"4294967295","reader":"R01","device":"10.0.0.5:4001"})");
    EXPECT_EQ(json.Text(Presence{43, kMoment, 0, "R01", "10.0.0.5:4001", PresenceKind::kArrive}),
              R"({"seq":43,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
              R"("tag":"0","reader":"R01","device":"10.0.0.5:4001","event":"arrive"})");
    EXPECT_EQ(json.Text(Device{44, kMoment, DeviceEventKind::kReadingStopped, "10.0.0.5:4001",
                               "10.0.0.5:4001"}),
              R"({"seq":44,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
              R"("reader":"10.0.0.5:4001","device":"10.0.0.5:4001","event":"reading_stopped"})");
    // An owned row encodes exactly as its view.
    const PresenceRow row{45, kMoment, 7, "R02", "10.0.0.6:4001", PresenceKind::kDepart};
    EXPECT_EQ(json.Text(row), json.Text(View(row)));
}

// An alert's three events: what each adds, and the keys a condition without a tag, zone or
// reader leaves out. Texts of any bytes stay valid JSON.
TEST(EventJsonTest, AlertsHaveTheirShape) {
    test::TimeZoneScope zone("Asia/Shanghai");
    EventJson json;
    EXPECT_EQ(json.Text(Alert{50, kMoment, AlertEventKind::kRaised, 0, "cold room",
                              RuleKind::kDwell, 12345678u, "Cold room", "R01", kMoment - 600000,
                              "in Cold room for 600 s", ""}),
              R"({"seq":50,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
              R"("event":"raised","rule":"cold room","kind":"dwell","tag":"12345678",)"
              R"("zone":"Cold room","reader":"R01","since":"2026-12-08T08:50:01.250+08:00",)"
              R"("since_ms":1796691001250,"text":"in Cold room for 600 s"})");
    EXPECT_EQ(
        json.Text(Alert{51, kMoment, AlertEventKind::kCleared, 50, "dock", RuleKind::kReaderOffline,
                        std::nullopt, "", "R\"2", kMoment, "", ""}),
        R"({"seq":51,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
        R"("event":"cleared","raised":50,"rule":"dock","kind":"reader_offline",)"
        R"("reader":"R\"2","since":"2026-12-08T09:00:01.250+08:00","since_ms":1796691601250})");
    const AlertRow ack{52,
                       kMoment,
                       AlertEventKind::kAcknowledged,
                       50,
                       "too_many_alerts",
                       RuleKind::kTooManyAlerts,
                       std::nullopt,
                       "",
                       "",
                       kMoment,
                       "seen\x01\xff",
                       "ops"};
    EXPECT_EQ(
        json.Text(ack),
        R"({"seq":52,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,)"
        R"("event":"acknowledged","raised":50,"rule":"too_many_alerts","kind":"too_many_alerts",)"
        R"("since":"2026-12-08T09:00:01.250+08:00","since_ms":1796691601250,"by":"ops",)"
        R"("note":"seen\u0001)" "\xEF\xBF\xBD" R"("})");
    for (const RuleKind kind : kAllRuleKinds) {
        EXPECT_EQ(RuleKindNamed(Name(kind)), kind);
    }
    EXPECT_FALSE(RuleKindNamed("Dwell").has_value());
}

TEST(EventJsonTest, TimesBeforeTheEpochAndReaderNamesOfAnyBytesStayValid) {
    test::TimeZoneScope zone("UTC");
    EventJson json;
    // A name with a quote, a control byte and a byte that is not UTF-8.
    EXPECT_EQ(json.Text(Device{1, -1, DeviceEventKind::kNamed, "a\"b\x01\xff", "k"}),
              "{\"seq\":1,\"time\":\"1969-12-31T23:59:59.999+00:00\",\"time_ms\":-1,"
              "\"reader\":\"a\\\"b\\u0001\xEF\xBF\xBD\",\"device\":\"k\",\"event\":\"named\"}");
}

TEST(EventJsonTest, NamesAreOneTablePerKind) {
    EXPECT_EQ(Name(DeviceEventKind::kConnected), "connected");
    EXPECT_EQ(Name(DeviceEventKind::kNamed), "named");
    EXPECT_EQ(Name(DeviceEventKind::kReadingStarted), "reading_started");
    EXPECT_EQ(Name(DeviceEventKind::kReadingStopped), "reading_stopped");
    EXPECT_EQ(Name(DeviceEventKind::kRemoved), "removed");
    // A number a later release stored, read by this one.
    EXPECT_EQ(Name(static_cast<DeviceEventKind>(9)), "unknown");
    EXPECT_EQ(Name(PresenceKind::kArrive), "arrive");
    EXPECT_EQ(Name(PresenceKind::kDepart), "depart");
    for (const Kind kind : kAllKinds) {
        EXPECT_EQ(KindNamed(Name(kind)), kind);
    }
    EXPECT_EQ(Name(Kind::kDevices), "devices");
    EXPECT_FALSE(KindNamed("read").has_value());
    EXPECT_FALSE(KindNamed("").has_value());
}

}  // namespace
}  // namespace trelvane::events
