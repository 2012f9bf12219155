// The publisher against a real mosquitto broker: floods across a broker restart, a publisher
// restart with a backlog, a broker that is down at the start; QoS 0; retained reader statuses;
// TLS with a certificate made here; wrong credentials.

#include <gtest/gtest.h>

#include <cstdlib>

#include "history/Outbox.h"
#include "mqtt/Broker.h"
#include "mqtt/Site.h"

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;
using mqtt::LinkState;
using mqtt::Publisher;

std::unique_ptr<Publisher> StartPublisher(mqtt::PublisherOptions options) {
    std::string error;
    auto publisher = Publisher::Start(std::move(options), error);
    EXPECT_TRUE(publisher) << error;
    return publisher;
}

bool WaitForState(const Publisher& publisher, LinkState state, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return publisher.CurrentStatus().state == state; }, timeout);
}

std::uint64_t StoredCursor(const Site& site) {
    auto outbox = history::Outbox::Open(site.Db(), "mqtt");
    return outbox ? outbox->Cursor() : 0;
}

class PublisherTest : public ::testing::Test {
  protected:
    Site site;
    Broker broker{site.Dir().Path() / "broker"};
};

// A broker restarted in the middle of a flood: the subscriber's persistent session gets every
// number (reads, presence, zone and alert events), and the cursor ends at the last one.
TEST_F(PublisherTest, EveryReadArrivesAcrossABrokerRestart) {
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-restart", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    auto publisher = StartPublisher(site.Options(broker.Port()));
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s));

    site.Flood(publisher.get(), 100);
    broker.Stop();
    site.Flood(publisher.get(), 100);  // into the history while the broker is away
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kDown, 5s));
    ASSERT_TRUE(broker.Start());
    site.Flood(publisher.get(), 100);

    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 20s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
    EXPECT_TRUE(WaitFor([&] { return publisher->CurrentStatus().cursor == site.Last(); }, 10s))
        << publisher->CurrentStatus().cursor << " of " << site.Last();
    const mqtt::PublisherStatus status = publisher->CurrentStatus();
    EXPECT_EQ(status.backlog, 0u);
    EXPECT_GT(status.attempts, 1u) << "it reconnected";
    EXPECT_TRUE(WaitFor([&] { return subscriber.Presence() == site.SentPresence(); }, 5s));
    EXPECT_TRUE(WaitFor([&] { return subscriber.EventsOf("zones") == site.SentZones(); }, 5s));
    EXPECT_TRUE(WaitFor([&] { return subscriber.EventsOf("alerts") == site.SentAlerts(); }, 5s));
    EXPECT_FALSE(site.SentAlerts().empty());
    publisher.reset();
    EXPECT_EQ(StoredCursor(site), site.Last()) << "the stop stores the cursor";
}

// The publisher stopped (as trelvaned is) while the broker is down, reads stored meanwhile,
// then started again: the backlog comes out of the history, nothing is lost, and the numbers
// the broker had acknowledged before the stop are not all sent again.
TEST_F(PublisherTest, ARestartedPublisherSendsItsBacklogFromTheHistory) {
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-backlog", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    auto publisher = StartPublisher(site.Options(broker.Port()));
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s));
    site.Flood(publisher.get(), 50);
    ASSERT_TRUE(subscriber.WaitForReads(site.SentReads(), 10s));
    ASSERT_TRUE(WaitFor([&] { return publisher->CurrentStatus().cursor == site.Last(); }, 5s));
    const Sequence published = site.Last();
    broker.Stop();
    publisher.reset();
    EXPECT_EQ(StoredCursor(site), published);

    site.Reopen();             // the service restarts too, numbering on
    site.Flood(nullptr, 150);  // stored, never offered: the publisher was not running
    ASSERT_TRUE(broker.Start());
    publisher = StartPublisher(site.Options(broker.Port()));
    site.Flood(publisher.get(), 20);  // and live reads behind the backlog
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 20s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
    EXPECT_TRUE(WaitFor([&] { return publisher->CurrentStatus().cursor == site.Last(); }, 10s));
    EXPECT_GE(publisher->CurrentStatus().fromHistory, 150u * 200u);
    // Zone events and alerts come out of the history with the reads.
    EXPECT_TRUE(WaitFor([&] { return subscriber.EventsOf("zones") == site.SentZones(); }, 5s))
        << subscriber.EventsOf("zones").size() << " of " << site.SentZones().size();
    EXPECT_TRUE(WaitFor([&] { return subscriber.EventsOf("alerts") == site.SentAlerts(); }, 5s))
        << subscriber.EventsOf("alerts").size() << " of " << site.SentAlerts().size();
    EXPECT_LT(subscriber.Duplicates(), 2u * mqtt::kMaxInFlight * mqtt::kMaxListItems);
}

// A broker that is not there when the publisher starts: it retries, and once the broker is
// up everything stored meanwhile arrives (the subscriber's session was made before).
TEST_F(PublisherTest, ABrokerDownAtTheStartGetsEverythingOnceItIsUp) {
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-late", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    broker.Stop();

    PipelineStats stats;
    mqtt::PublisherOptions options = site.Options(broker.Port());
    options.stats = &stats;
    auto publisher = StartPublisher(options);
    site.Flood(publisher.get(), 100);
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kDown, 5s));
    EXPECT_TRUE(
        WaitFor([&] { return stats.mqttState == 3 && stats.mqttBacklog == site.Last(); }, 2s))
        << int(stats.mqttState) << " " << stats.mqttBacklog;
    EXPECT_NE(publisher->CurrentStatus().error.find("cannot connect: Connection refused"),
              std::string::npos)
        << publisher->CurrentStatus().error;
    EXPECT_TRUE(WaitFor([&] { return publisher->CurrentStatus().backlog == site.Last(); }, 2s))
        << publisher->CurrentStatus().backlog;
    EXPECT_EQ(publisher->CurrentStatus().cursor, 0u);
    ASSERT_TRUE(broker.Start());
    site.Flood(publisher.get(), 50);
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 20s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
    EXPECT_TRUE(WaitFor([&] { return publisher->CurrentStatus().cursor == site.Last(); }, 5s));
    EXPECT_GE(publisher->CurrentStatus().attempts, 2u);
    EXPECT_TRUE(WaitFor([&] { return stats.mqttState == 2 && stats.mqttBacklog == 0; }, 2s));
    EXPECT_EQ(stats.mqttPublished, site.SentReads().size() + site.SentPresence().size() +
                                       site.SentZones().size() + site.SentAlerts().size());
}

// At QoS 0 the cursor moves as messages are handed to the socket: a flood never stalls it,
// and on loopback every number arrives.
TEST_F(PublisherTest, QosZeroPublishesWithoutACursorStall) {
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-qos0", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    auto publisher = StartPublisher(site.Options(broker.Port(), 0));
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s));
    for (int round = 0; round < 5; ++round) {
        site.Flood(publisher.get(), 40, 500);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(WaitFor([&] { return publisher->CurrentStatus().cursor == site.Last(); }, 10s))
        << publisher->CurrentStatus().cursor << " of " << site.Last();
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 10s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
    EXPECT_EQ(subscriber.OutOfOrder(), 0u);
    publisher.reset();
    EXPECT_EQ(StoredCursor(site), site.Last());
}

// A live queue smaller than the flood: batches that find no room are read back from the
// history, in order, and none is lost.
TEST_F(PublisherTest, ALiveQueueThatOverflowsIsReadBackFromTheHistory) {
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(broker.Port(), "sub-overflow", "trelvane/#");
    ASSERT_TRUE(subscriber.Start());
    mqtt::PublisherOptions options = site.Options(broker.Port());
    options.maxLiveEvents = 1000;
    auto publisher = StartPublisher(options);
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s));
    site.Flood(publisher.get(), 300, 400);
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 20s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
    const mqtt::PublisherStatus status = publisher->CurrentStatus();
    EXPECT_GT(status.liveDropped, 0u);
    EXPECT_GT(status.fromHistory, 0u);
    EXPECT_EQ(subscriber.OutOfOrder(), 0u);
}

// Reader statuses are retained and follow the stream: online when it connects and names
// itself, offline when it goes; the server's status is "online", then "offline" at the stop.
TEST_F(PublisherTest, ReaderStatusesAreRetainedAndTurnOfflineWhenTheReaderGoes) {
    ASSERT_TRUE(broker.Start());
    mqtt::PublisherOptions options = site.Options(broker.Port());
    options.identity = [](const std::string& key) {
        return mqtt::ReaderIdentity{"LR-900", key == "10.0.0.7:4002" ? "SN7" : "SN?"};
    };
    auto publisher = StartPublisher(options);
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s));

    EventBatch connected = site.Make(0, 1'796'000'000'000, "10.0.0.7:4002", "Dock/1");
    connected.deviceEvents.push_back(
        DeviceEvent{connected.TakeSeq(), 1'796'000'000'000, DeviceEventKind::kConnected, 0});
    connected.deviceEvents.push_back(
        DeviceEvent{connected.TakeSeq(), 1'796'000'000'000, DeviceEventKind::kReadingStarted, 0});
    site.Emit(connected, publisher.get());
    EventBatch reads = site.Make(5, 1'796'000'001'000, "10.0.0.7:4002", "Dock/1");
    site.Emit(reads, publisher.get());

    // A subscriber that comes later still finds the retained states.
    const std::string topic = "trelvane/site-a/readers/Dock%2F1";
    Subscriber late(broker.Port(), "sub-status", "trelvane/#");
    ASSERT_TRUE(late.Start());
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto last = late.Last(topic);
            return last && last->find("\"tag_count\":5") != std::string::npos;
        },
        5s))
        << late.Last(topic).value_or("(none)");
    const std::string online = *late.Last(topic);
    EXPECT_NE(online.find("\"device\":\"10.0.0.7:4002\",\"name\":\"Dock/1\",\"online\":true,"
                          "\"reading\":true,\"product_type\":\"LR-900\",\"serial_no\":\"SN7\""),
              std::string::npos)
        << online;
    EXPECT_EQ(late.Last("trelvane/site-a/status"), "online");

    EventBatch removed = site.Make(0, 1'796'000'002'000, "10.0.0.7:4002", "Dock/1");
    removed.deviceEvents.push_back(
        DeviceEvent{removed.TakeSeq(), 1'796'000'002'000, DeviceEventKind::kRemoved, 0});
    site.Emit(removed, publisher.get());
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto last = late.Last(topic);
            return last && last->find("\"online\":false") != std::string::npos;
        },
        5s))
        << late.Last(topic).value_or("(none)");
    EXPECT_NE(late.Last(topic)->find("\"reading\":false"), std::string::npos);
    // At most one status a second per reader: three changes within a second gave two messages
    // (the first, and the last after the interval).
    EXPECT_LE(late.Payloads(topic).size(), 3u);

    publisher.reset();
    EXPECT_TRUE(WaitFor([&] { return late.Last("trelvane/site-a/status") == "offline"; }, 5s));
}

// Wrong credentials: a clear message, retries with back-off, nothing lost once the
// credentials are right.
TEST_F(PublisherTest, WrongCredentialsAreSaidAndRetriedAndLoseNothing) {
    const std::filesystem::path passwords = site.Dir().Path() / "passwords";
    { std::ofstream(passwords) << ""; }
    const std::string command = "/usr/bin/mosquitto_passwd -b " + passwords.string() +
                                " site-a right-secret >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Broker secured(site.Dir().Path() / "secured", "password_file " + passwords.string() + "\n");
    ASSERT_TRUE(secured.Start());
    Subscriber subscriber(secured.Port(), "sub-auth", "trelvane/#", "site-a", "right-secret");
    ASSERT_TRUE(subscriber.Start());

    mqtt::PublisherOptions options = site.Options(secured.Port());
    options.config.username = "site-a";
    options.config.password = "wrong";
    auto publisher = StartPublisher(options);
    site.Flood(publisher.get(), 30);
    ASSERT_TRUE(WaitFor([&] { return publisher->CurrentStatus().attempts >= 3; }, 10s));
    mqtt::PublisherStatus status = publisher->CurrentStatus();
    EXPECT_NE(status.state, LinkState::kConnected);
    EXPECT_NE(status.error.find("refused the connection: Connection Refused: not authorised"),
              std::string::npos)
        << status.error;
    EXPECT_EQ(status.cursor, 0u);
    publisher.reset();

    options.config.password = "right-secret";
    publisher = StartPublisher(options);
    site.Flood(publisher.get(), 30);
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 10s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
}

// TLS against a broker with a certificate made here: the publisher verifies it with CaFile;
// with another CA it stays down and says why.
TEST_F(PublisherTest, TlsWithTheRightCaPublishesAndWithAnotherStaysDown) {
    const std::filesystem::path d = site.Dir().Path();
    const std::string make =
        "cd " + d.string() +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout ca.key "
        "-out ca.crt"
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=OtherCA -keyout o.key "
        "-out other.crt"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out "
        "server.csr"
        " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
        " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile san.ext -out server.crt) >/dev/null 2>&1";
    ASSERT_EQ(std::system(("(" + make).c_str()), 0);
    Broker secure(d / "tls", "cafile " + (d / "ca.crt").string() + "\ncertfile " +
                                 (d / "server.crt").string() + "\nkeyfile " +
                                 (d / "server.key").string() + "\n");
    ASSERT_TRUE(secure.Start());
    Subscriber subscriber(secure.Port(), "sub-tls", "trelvane/#", "", "", (d / "ca.crt").string());
    ASSERT_TRUE(subscriber.Start());

    mqtt::PublisherOptions options = site.Options(secure.Port());
    options.config.caFile = (d / "other.crt").string();
    auto publisher = StartPublisher(options);
    site.Flood(publisher.get(), 10);
    ASSERT_TRUE(WaitFor([&] { return publisher->CurrentStatus().attempts >= 2; }, 10s));
    EXPECT_NE(publisher->CurrentStatus().state, LinkState::kConnected);
    EXPECT_EQ(publisher->CurrentStatus().cursor, 0u);
    publisher.reset();

    options.config.caFile = (d / "ca.crt").string();
    publisher = StartPublisher(options);
    ASSERT_TRUE(WaitForState(*publisher, LinkState::kConnected, 5s))
        << publisher->CurrentStatus().error;
    site.Flood(publisher.get(), 10);
    EXPECT_TRUE(subscriber.WaitForReads(site.SentReads(), 10s))
        << subscriber.Reads().size() << " of " << site.SentReads().size();
}

}  // namespace
}  // namespace trelvane::test
