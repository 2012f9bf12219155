// The bytes of topics and payloads, against texts written out by hand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mqtt/Messages.h"
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

// The messages of a range, as the live stream and the backlog both build them: each list cut
// when it holds kMaxListItems, what remains of the reads and then of the presence events at the
// end, each payload exactly one ListPayload of its items; the topics escape the client id.
TEST(PayloadTest, TheMessagesOfARangeAreCutAtTheListLimitInOrder) {
    MqttConfig config;
    config.topicPrefix = "site/a";
    config.clientId = "gate/1";
    const Addressing addressing = Addressing::For(config, "h1");
    EXPECT_EQ(addressing.readsTopic, "site/a/gate%2F1/reads");
    EXPECT_EQ(addressing.presenceTopic, "site/a/gate%2F1/presence");
    EXPECT_EQ(addressing.statusTopic, "site/a/gate%2F1/status");
    EXPECT_EQ(addressing.readersTopic, "site/a/gate%2F1/readers/");
    EXPECT_TRUE(MessageBuilder(addressing).Finish().empty()) << "an empty range has no message";

    const auto read = [](std::uint64_t seq) {
        return events::Read{seq,   kMoment,         static_cast<std::uint32_t>(seq),
                            "R01", "10.0.0.5:4001", std::nullopt};
    };
    const auto presence = [](std::uint64_t seq) {
        return events::Presence{seq,   kMoment,         7,
                                "R01", "10.0.0.5:4001", events::PresenceKind::kArrive};
    };
    // One ListPayload of the items numbered [first, last] in `ranges`.
    const auto expected =
        [](const char* list, auto make,
           std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> ranges) {
            ListPayload payload;
            payload.Begin("gate/1", "h1", list);
            for (const auto& [first, last] : ranges) {
                for (std::uint64_t seq = first; seq <= last; ++seq) {
                    payload.Add(make(seq));
                }
            }
            return payload.Finish();
        };
    // 1500 reads, kMaxListItems + 2 presence events, 501 reads: the reads' first message is cut
    // before the presence events begin, their second after the presence events' first.
    MessageBuilder builder(addressing);
    std::uint64_t seq = 1;
    for (int i = 0; i < 1500; ++i) {
        builder.AddRead(read(seq++));
    }
    for (std::size_t i = 0; i < kMaxListItems + 2; ++i) {
        builder.AddPresence(presence(seq++));
    }
    for (int i = 0; i < 501; ++i) {
        builder.AddRead(read(seq++));
    }
    const std::vector<Message> messages = builder.Finish();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0].topic, &addressing.readsTopic);
    EXPECT_EQ(messages[0].events, 1000u);
    EXPECT_EQ(messages[0].payload, expected("reads", read, {{1, 1000}}));
    EXPECT_EQ(messages[1].topic, &addressing.presenceTopic);
    EXPECT_EQ(messages[1].events, 1000u);
    EXPECT_EQ(messages[1].payload, expected("events", presence, {{1501, 2500}}));
    EXPECT_EQ(messages[2].topic, &addressing.readsTopic);
    EXPECT_EQ(messages[2].events, 1000u);
    EXPECT_EQ(messages[2].payload, expected("reads", read, {{1001, 1500}, {2503, 3002}}));
    EXPECT_EQ(messages[3].topic, &addressing.readsTopic);
    EXPECT_EQ(messages[3].events, 1u);
    EXPECT_EQ(messages[3].payload, expected("reads", read, {{3003, 3003}}));
    EXPECT_EQ(messages[4].topic, &addressing.presenceTopic);
    EXPECT_EQ(messages[4].events, 2u);
    EXPECT_EQ(messages[4].payload, expected("events", presence, {{2501, 2502}}));
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
