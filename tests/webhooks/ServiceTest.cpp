// The webhook output as the front ends hold it, on a real engine with simulated readers over
// loopback: the endpoints applied before the start run over each run's history, are told of new
// events by the stream (their own poll is an hour here), and stop with the service.

#include "history/Outbox.h"
#include "service/EngineFixture.h"
#include "support/QtWait.h"
#include "webhooks/WebhookService.h"
#include "webhooks/WebhookSite.h"

namespace trelvane::test {
namespace {

class WebhookServiceTest : public EngineFixture {
  protected:
    // The endpoint's cursor made at once, so the events of the run from here are its own.
    Sequence MakeCursor() {
        const auto history = Engine().History();
        EXPECT_TRUE(history.has_value());
        auto outbox = history::Outbox::Open(history->path, webhooks::OutboxName("erp"));
        EXPECT_TRUE(outbox.ok());
        return outbox.ok() ? outbox->Cursor() : 0;
    }
    // The device events of the history after `after`, and its last number.
    std::vector<Sequence> DeviceEvents(Sequence after, Sequence& last) {
        history::Reader reader = OpenReader(Engine().History()->path);
        last = reader.LastSequence().value();
        history::Filter filter;
        filter.afterSeq = after;
        filter.limit = 100000;
        std::vector<Sequence> seqs;
        const auto rows = reader.Devices(filter);
        EXPECT_TRUE(rows.ok());
        if (rows.ok()) {
            for (const history::DeviceRow& row : rows.value()) {
                seqs.push_back(row.seq);
            }
        }
        return seqs;
    }
    bool Settled(webhooks::WebhookService& service) {
        Sequence last = 0;
        DeviceEvents(0, last);
        const auto endpoints = service.CurrentState().endpoints;
        return !endpoints.empty() && endpoints[0].cursor == last;
    }
};

TEST_F(WebhookServiceTest, RunsTheAppliedEndpointsOverEachRunsHistory) {
    Receiver receiver(dir / "receiver");
    ASSERT_TRUE(receiver.Start());
    webhooks::Options options;
    options.poll = std::chrono::hours(1);
    options.log = [](webhooks::LogLevel, const std::string&) {};
    webhooks::WebhookService service(Engine(), options);
    EXPECT_NE(service.Apply({Hook("erp", "ftp://erp.example.com/")}), "");
    ASSERT_EQ(service.Apply({Hook("erp", receiver.Url(), KindBit(Kind::kDevices))}), "");
    EXPECT_TRUE(service.CurrentState().endpoints.empty()) << "not before the service runs";

    Start();
    const Sequence from = MakeCursor();
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return AcceptedEvents(receiver) > 0 && Settled(service); }, 10000));
    Engine().StopService();
    EXPECT_TRUE(service.CurrentState().endpoints.empty());
    EXPECT_NE(service.Forget("erp"), "") << "no history while stopped";
    const std::size_t firstRun = AcceptedEvents(receiver);

    Start();
    Connect();
    ASSERT_TRUE(
        WaitUntil([&] { return AcceptedEvents(receiver) > firstRun && Settled(service); }, 10000));
    Sequence last = 0;
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    CheckDelivered(requests, DeviceEvents(from, last));
    for (const ReceivedRequest& r : requests) {
        for (const std::string& type : r.types) {
            EXPECT_EQ(type, "devices");
        }
    }
}

}  // namespace
}  // namespace trelvane::test
