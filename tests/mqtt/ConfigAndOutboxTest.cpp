// The [Mqtt] section, and the history's outbox: the cursor, the upgrade of an older database,
// and what retention deletes before it was published.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "history/Outbox.h"
#include "history/Schema.h"
#include "mqtt/Site.h"
#include "settings/IniFile.h"
#include "settings/MqttConfig.h"

namespace trelvane::test {
namespace {

MqttConfig Parse(const std::string& section) {
    return MqttConfigOf(IniFile("[Mqtt]\r\n" + section), "gate");
}

TEST(MqttConfigTest, WithoutTheSectionMqttIsOffWithTheDefaults) {
    const MqttConfig config =
        MqttConfigOf(IniFile("[Service_Param]\r\nService_Port=5000\r\n"), "gate");
    EXPECT_FALSE(config.enabled);
    EXPECT_EQ(config.host, "127.0.0.1");
    EXPECT_EQ(config.port, 1883);
    EXPECT_EQ(config.clientId, "trelvane-gate");
    EXPECT_EQ(config.topicPrefix, "trelvane");
    EXPECT_EQ(config.qos, 1);
    EXPECT_EQ(config.protocol, MqttProtocol::kV311);
    EXPECT_EQ(config.keepAliveSeconds, 30);
    EXPECT_TRUE(config.username.empty());
    EXPECT_TRUE(config.caFile.empty());
    EXPECT_TRUE(config.problems.empty());
}

TEST(MqttConfigTest, ValuesAreReadAndBadNumbersGiveTheDefaults) {
    MqttConfig config = Parse(
        "Enabled=1\r\nHost=broker.site\r\nPort=8883\r\nClientId=gate-7\r\nTopicPrefix=plant/"
        "a\r\nQos=0\r\nProtocolVersion=5\r\nUsername=u\r\nPassword=\"p w\"\r\nCaFile=/etc/ca.pem"
        "\r\nKeepAlive=60\r\n");
    EXPECT_TRUE(config.enabled);
    EXPECT_EQ(config.host, "broker.site");
    EXPECT_EQ(config.port, 8883);
    EXPECT_EQ(config.clientId, "gate-7");
    EXPECT_EQ(config.topicPrefix, "plant/a");
    EXPECT_EQ(config.qos, 0);
    EXPECT_EQ(config.protocol, MqttProtocol::kV5);
    EXPECT_EQ(config.password, "p w");
    EXPECT_EQ(config.caFile, "/etc/ca.pem");
    EXPECT_EQ(config.keepAliveSeconds, 60);
    EXPECT_TRUE(config.problems.empty());

    config = Parse("Enabled=yes\r\nPort=70000\r\nQos=2\r\nKeepAlive=1\r\nProtocolVersion=3.1.1");
    EXPECT_FALSE(config.enabled);
    EXPECT_EQ(config.port, 1883);
    EXPECT_EQ(config.qos, 1);
    EXPECT_EQ(config.keepAliveSeconds, 30);
    EXPECT_EQ(config.protocol, MqttProtocol::kV311);
    EXPECT_TRUE(config.problems.empty());

    config = Parse("ProtocolVersion=3\r\n");
    ASSERT_EQ(config.problems.size(), 1u);
    EXPECT_EQ(config.problems[0], "[Mqtt] ProtocolVersion=3 is neither 3.1.1 nor 5");
}

TEST(MqttConfigTest, AValueLongerThanTheReaderKeepsIsRefusedNotCut) {
    const std::string kept(127, 'k');
    const std::string longer(128, 'p');
    MqttConfig config = Parse("Enabled=1\r\nPassword=" + kept + "\r\n");
    EXPECT_TRUE(config.problems.empty());
    EXPECT_EQ(config.password, kept);
    // Quotes do not count; the 127 bytes inside them are kept whole.
    config = Parse("Password=\"" + kept + "\"\r\n");
    EXPECT_TRUE(config.problems.empty());
    EXPECT_EQ(config.password, kept);

    config = Parse("Enabled=1\r\nPassword=" + longer + "\r\nHost=" + longer + "\r\n");
    ASSERT_EQ(config.problems.size(), 2u);
    EXPECT_EQ(config.problems[0], "[Mqtt] Host is longer than 127 bytes: refused, not cut");
    EXPECT_EQ(config.problems[1], "[Mqtt] Password is longer than 127 bytes: refused, not cut");
    EXPECT_EQ(config.host, "127.0.0.1") << "the cut value is never used";
    EXPECT_TRUE(config.password.empty());
}

TEST(OutboxTest, ACursorStartsAtTheLastNumberAndNeverGoesBack) {
    Site site;
    site.Flood(nullptr, 3, 10);
    {
        auto outbox = history::Outbox::Open(site.Db(), "mqtt");
        ASSERT_TRUE(outbox.ok()) << outbox.error().text;
        EXPECT_EQ(outbox->Cursor(), site.Last()) << "a new output starts from now";
        ASSERT_TRUE(outbox->Advance(site.Last() + 5).ok());
        ASSERT_TRUE(outbox->Advance(2).ok());
        EXPECT_EQ(outbox->Cursor(), site.Last() + 5);
    }
    site.Flood(nullptr, 3, 10);
    auto again = history::Outbox::Open(site.Db(), "mqtt");
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->Cursor(), 30u + 5u) << "stored, not made again";
    auto other = history::Outbox::Open(site.Db(), "other");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other->Cursor(), site.Last());
}

// A kill after the publisher handed on numbers the history had not stored yet: the service
// numbers on after them, so no consumer sees a new event under a number it already has.
TEST(OutboxTest, NumbersHandedOnButNeverStoredAreNotUsedAgain) {
    Site site;
    site.Flood(nullptr, 2, 10);
    {
        auto outbox = history::Outbox::Open(site.Db(), "mqtt");
        ASSERT_TRUE(outbox.ok());
        ASSERT_TRUE(outbox->Advance(site.Last() + 40).ok());
    }
    const Sequence handedOn = site.Last() + 40;
    site.Reopen();
    EXPECT_EQ(site.Writer().LastSequence(), handedOn);
    const EventBatch next = site.Make(1);
    EXPECT_EQ(next.firstSeq, handedOn + 1);
}

TEST(OutboxTest, AVersionOneHistoryGetsItsOutboxWhenTheWriterOpensIt) {
    Site site;
    site.Flood(nullptr, 2, 10);
    site.Close();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(site.Db().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE outbox; UPDATE meta SET value = 1 WHERE key = 'version'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_FALSE(history::Outbox::Open(site.Db(), "mqtt").ok()) << "no table before the upgrade";

    site.Reopen();
    auto outbox = history::Outbox::Open(site.Db(), "mqtt");
    ASSERT_TRUE(outbox.ok()) << outbox.error().text;
    EXPECT_EQ(outbox->Cursor(), site.Last());
    ASSERT_EQ(sqlite3_open(site.Db().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = 'version'", -1, &q, nullptr);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(q, 0), history::schema::kVersion);
    sqlite3_finalize(q);
    sqlite3_close(db);
}

// Retention by age still deletes, but what it deletes above the cursor is counted as lost to
// the output, and only that.
TEST(OutboxTest, RetentionCountsTheRowsItDeletesBeforeThePublisherHandedThemOn) {
    Site site;
    site.Flood(nullptr, 10, 100);  // 1,000 reads, 1 arrival, 1 alert, then the cursor
    auto outbox = history::Outbox::Open(site.Db(), "mqtt");
    ASSERT_TRUE(outbox.ok());
    const Sequence cursor = site.Last();
    site.Flood(nullptr, 20, 100);  // never published
    std::uint64_t unpublished = 0;
    for (const auto* seqs : {&site.SentReads(), &site.SentPresence(), &site.SentAlerts()}) {
        for (const std::uint64_t seq : *seqs) {
            unpublished += seq > cursor ? 1 : 0;
        }
    }
    ASSERT_EQ(unpublished, 2000u + 2u + 3u);
    const std::int64_t later = 1'796'000'000'000 + 100LL * 86'400'000;  // past 90 days
    for (int step = 0; step < 100; ++step) {
        auto pruned = site.Writer().Prune(later, 700);
        ASSERT_TRUE(pruned.ok()) << pruned.error().text;
        if (!pruned->more) {
            break;
        }
    }
    EXPECT_EQ(site.Writer().Counters().lostToOutput, unpublished);

    // Without a guarded output nothing is counted.
    Site plain;
    plain.Close();
    history::Options options;
    options.path = plain.Db();
    auto writer = history::Writer::Open(options);
    ASSERT_TRUE(writer.ok());
    std::vector<history::Read> reads{{5, 1'796'000'000'000, 1, "R", "k", std::nullopt}};
    ASSERT_TRUE(writer->Append(history::Batch{reads, {}, {}}).ok());
    while (true) {
        auto pruned = writer->Prune(later);
        ASSERT_TRUE(pruned.ok());
        if (!pruned->more) {
            break;
        }
    }
    EXPECT_EQ(writer->Counters().rowsPruned, 2u) << "the read and its minute";
    EXPECT_EQ(writer->Counters().lostToOutput, 0u);
}

}  // namespace
}  // namespace trelvane::test
