// The bytes of topics and payloads, against texts written out by hand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mqtt/Payload.h"
#include "support/TimeZoneScope.h"

namespace trelvane::test {
namespace {

using namespace mqtt;
// 2026-12-08 01:00:01.250 UTC.
constexpr std::int64_t kMoment = 1796691601250;

TEST(PayloadTest, TopicLevelsEncodeWhatWouldChangeTheTopic) {
    EXPECT_EQ(TopicLevel("R01"), "R01");
    EXPECT_EQ(TopicLevel("Dock/1"), "Dock%2F1");
    EXPECT_EQ(TopicLevel("a+b#c"), "a%2Bb%23c");
    EXPECT_EQ(TopicLevel("50%"), "50%25") << "so that a decoder gets the name back";
    EXPECT_EQ(TopicLevel(std::string("x\0y\x1F\x7F", 5)), "x%00y%1F%7F");
    EXPECT_EQ(TopicLevel("门口"), "门口") << "UTF-8 stays as it is";
    EXPECT_EQ(TopicLevel(""), "_");
}

// The envelope around the events; the events themselves are the encoder's (EventJsonTest).
TEST(PayloadTest, AListPayloadWrapsEventsInItsEnvelope) {
    test::TimeZoneScope zone("Asia/Shanghai");
    ListPayload list;
    list.Begin("trelvane-gate", "0123abcd", "reads");
    list.Add(events::Read{41, kMoment, 12345678, "R01", "10.0.0.5:4001",
                          ReaderTime{26, 12, 8, 9, 0, 1}});
    list.Add(events::Read{43, kMoment + 1, 7, "门\"口", "10.0.0.6:4001", std::nullopt});
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Finish(),
              "{\"server\":\"trelvane-gate\",\"history_id\":\"0123abcd\",\"reads\":["
              "{\"seq\":41,\"time\":\"2026-12-08T09:00:01.250+08:00\",\"time_ms\":1796691601250,"
              "\"tag\":\"12345678\",\"reader\":\"R01\",\"device\":\"10.0.0.5:4001\","
              "\"reader_time\":\"2026-12-08 09:00:01\"},"
              "{\"seq\":43,\"time\":\"2026-12-08T09:00:01.251+08:00\",\"time_ms\":1796691601251,"
              "\"tag\":\"7\",\"reader\":\"门\\\"口\",\"device\":\"10.0.0.6:4001\"}]}");
    // The builder starts over.
    list.Begin("s", "h", "events");
    EXPECT_EQ(list.Finish(), "{\"server\":\"s\",\"history_id\":\"h\",\"events\":[]}");
    list.Begin("srv", "id", "events");
    list.Add(events::Presence{9, kMoment, 4294967295u, "R01", "10.0.0.5:4001",
                              events::PresenceKind::kDepart});
    EXPECT_EQ(list.Finish(),
              "{\"server\":\"srv\",\"history_id\":\"id\",\"events\":["
              "{\"seq\":9,\"time\":\"2026-12-08T09:00:01.250+08:00\",\"time_ms\":1796691601250,"
              "\"tag\":\"4294967295\",\"reader\":\"R01\",\"device\":\"10.0.0.5:4001\","
              "\"event\":\"depart\"}]}");
}

TEST(PayloadTest, AReaderStatusHasEveryFieldAndNullWhenNeverSeen) {
    test::TimeZoneScope zone("Asia/Shanghai");
    ReaderStatus status;
    status.device = "10.0.0.5:4001";
    status.name = "R01";
    status.online = true;
    status.reading = false;
    status.productType = "LR\\900";
    status.serialNo = "SN1";
    status.tagCount = 17;
    EXPECT_EQ(ReaderStatusPayload(status),
              "{\"device\":\"10.0.0.5:4001\",\"name\":\"R01\",\"online\":true,\"reading\":false,"
              "\"product_type\":\"LR\\\\900\",\"serial_no\":\"SN1\",\"tag_count\":17,"
              "\"last_seen\":null}");
    status.online = false;
    status.lastSeenMs = kMoment;
    EXPECT_EQ(ReaderStatusPayload(status),
              "{\"device\":\"10.0.0.5:4001\",\"name\":\"R01\",\"online\":false,\"reading\":false,"
              "\"product_type\":\"LR\\\\900\",\"serial_no\":\"SN1\",\"tag_count\":17,"
              "\"last_seen\":\"2026-12-08T09:00:01.250+08:00\"}");
}

}  // namespace
}  // namespace trelvane::test
