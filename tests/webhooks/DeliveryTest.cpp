// The webhook output against a real HTTP receiver (receiver.py) on a loopback port, over real
// history files: order, signatures and delivery headers; a receiver that is down, answers 500,
// answers after the timeout, or restarts; an output destroyed in the middle of a post; the kinds
// filter; TLS with a CA made here; live changes of the endpoint list; prompt wake-ups.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "webhooks/WebhookSite.h"

namespace trelvane::test {
namespace {

class WebhookDelivery : public ::testing::Test {
  protected:
    WebhookSite site;
    Receiver receiver{site.Folder() / "receiver"};

    bool WaitForCursor(const WebhookOutput& output, const std::string& name, Sequence seq,
                       std::chrono::milliseconds timeout = 20s) {
        return WaitFor([&] { return StatusOf(output, name).cursor >= seq; }, timeout);
    }
    bool WaitForState(const WebhookOutput& output, const std::string& name, EndpointState state,
                      std::uint64_t failuresAtLeast = 0) {
        return WaitFor(
            [&] {
                const EndpointStatus s = StatusOf(output, name);
                return s.state == state && s.failures >= failuresAtLeast;
            },
            20s);
    }
};

// Everything written before and after the start arrives once, in order, signed, in bodies of at
// most 1,000 events (the backlog in full ones); the stop stores the cursor.
TEST_F(WebhookDelivery, EveryEventArrivesOnceInOrderSignedInBodiesOfAtMostAThousand) {
    ASSERT_TRUE(receiver.Start());
    site.MakeCursor("erp");
    site.Write(2500);
    auto output = site.StartOutput(site.FastOptions());
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));
    site.Write(300, 10);  // live, in small appends
    output->Notify(site.Last());
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));

    const std::vector<ReceivedRequest> requests = receiver.Requests();
    const DeliveryCheck check = CheckDelivered(requests, site.Written());
    EXPECT_EQ(check.duplicates, 0u);
    EXPECT_EQ(check.refused, 0u);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].delivery, "1-1000");
    EXPECT_EQ(requests[1].delivery, "1001-2000");
    EXPECT_EQ(requests[2].delivery, "2001-2500");
    const EndpointStatus status = StatusOf(*output, "erp");
    EXPECT_EQ(status.delivered, 2800u);
    EXPECT_EQ(status.backlog, 0u);
    EXPECT_EQ(status.failures, 0u);
    EXPECT_TRUE(status.lastSuccessMs.has_value());
    EXPECT_TRUE(WaitForState(*output, "erp", EndpointState::kIdle));
    output.reset();
    EXPECT_EQ(site.StoredCursor("erp"), site.Last());
}

// One output through every kind of failure in turn: a receiver that is down, 500 answers,
// answers slower than the timeout, a restart. The SAME body is retried until it is taken,
// nothing is lost or reordered, the only repeats are of bodies whose answer was late, and each
// episode is logged once when it starts and once when it ends.
TEST_F(WebhookDelivery, EveryFailureIsRetriedWithTheSameBodyAndLosesNothing) {
    site.MakeCursor("erp");
    ASSERT_TRUE(receiver.Start());
    webhooks::Options options = site.FastOptions();
    options.timeout = 300ms;
    auto output = site.StartOutput(options);
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    struct Episode {
        std::function<void()> fail, mend;
        std::string says;
    };
    const Episode episodes[] = {
        {[&] { receiver.Stop(); }, [&] { ASSERT_TRUE(receiver.Start()); }, "Couldn't connect"},
        {[&] { receiver.Answer(500); }, [&] { receiver.Answer(200); },
         "answered 500 Internal Server Error: refused by the test receiver"},
        {[&] { receiver.Answer(200, 0.6); }, [&] { receiver.Answer(200); }, "timed out"},
        {[&] { receiver.Stop(); }, [&] { ASSERT_TRUE(receiver.Start()); }, "Couldn't connect"},
    };
    for (const Episode& episode : episodes) {
        SCOPED_TRACE(episode.says);
        const std::uint64_t failures = StatusOf(*output, "erp").failures;
        const Sequence from = site.Last() + 1;
        episode.fail();
        site.Write(1200);
        output->Notify(site.Last());
        // Retrying, and its backlog follows the history meanwhile.
        ASSERT_TRUE(WaitFor(
            [&] {
                const EndpointStatus s = StatusOf(*output, "erp");
                return s.state == EndpointState::kRetrying && s.failures >= failures + 3 &&
                       s.backlog == 1200;
            },
            20s));
        const std::string error = StatusOf(*output, "erp").lastError;
        EXPECT_EQ(error.rfind("cannot deliver " + std::to_string(from) + "-", 0), 0u) << error;
        EXPECT_NE(error.find(" to " + receiver.Url() + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(episode.says), std::string::npos) << error;
        episode.mend();
        ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));
    }
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    const DeliveryCheck check = CheckDelivered(requests, site.Written());
    EXPECT_GE(check.refused, 3u);
    EXPECT_GE(check.duplicates, 2u);
    for (std::size_t i = 0; i + 1 < requests.size(); ++i) {
        if (!requests[i].Accepted()) {
            EXPECT_EQ(requests[i].body, requests[i + 1].body) << "request " << i;
        }
    }
    EXPECT_EQ(site.LogLines("W ").size(), 4u) << "one warning per episode, not one per retry";
    EXPECT_EQ(site.LogLines("I webhook \"erp\": delivering again").size(), 4u);
}

// Destroyed while a post waits for a slow receiver: the destruction does not wait the post out;
// made again on the same history it resumes from its cursor, and the only duplicate is the
// body that was under way.
TEST_F(WebhookDelivery, ADestroyedOutputResumesFromItsCursor) {
    site.MakeCursor("erp");
    ASSERT_TRUE(receiver.Start());
    site.Write(1000);
    webhooks::Options options = site.FastOptions();
    options.timeout = 10s;
    options.cursorStore = std::chrono::hours(1);  // stored by the stop alone
    auto output = site.StartOutput(options);
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", 1000));
    receiver.Answer(200, 5.0);
    site.Write(1500, 1500);  // one append: the next body is 1001-2000 whenever it looks
    output->Notify(site.Last());
    ASSERT_TRUE(WaitFor([&] { return receiver.Requests().size() == 2; }, 10s));
    const auto before = std::chrono::steady_clock::now();
    output.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4s) << "the post under way is cancelled";
    EXPECT_EQ(site.StoredCursor("erp"), 1000u);

    receiver.Answer(200);
    output = site.StartOutput(site.FastOptions());
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    const DeliveryCheck check = CheckDelivered(requests, site.Written());
    EXPECT_EQ(check.duplicates, 1u);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[1].delivery, "1001-2000");
    EXPECT_EQ(requests[2].delivery, "1001-2000");
}

// Long reader names: each body as close to 1 MB as whole events make it, never above.
TEST_F(WebhookDelivery, BodiesStayWithinOneMegabyte) {
    site.MakeCursor("erp");
    ASSERT_TRUE(receiver.Start());
    site.Write(900, 100, std::string(4000, 'r'));
    auto output = site.StartOutput(site.FastOptions());
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    CheckDelivered(requests, site.Written());
    ASSERT_GE(requests.size(), 3u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_LE(requests[i].bytes, std::size_t{1} << 20);
        if (i + 1 < requests.size()) {
            EXPECT_GT(requests[i].bytes, (std::size_t{1} << 20) - 4200) << "as full as it fits";
        }
    }
}

// Two endpoints with different kinds on one receiver: each gets exactly its kinds, in order;
// both cursors reach the last number although no body of theirs holds it.
TEST_F(WebhookDelivery, EachEndpointGetsItsKindsAndTheRestStillMovesItsCursor) {
    site.MakeCursor("moves");
    site.MakeCursor("readers");
    ASSERT_TRUE(receiver.Start());
    site.Write(2000);
    const std::uint32_t moves = KindBit(Kind::kPresence) | KindBit(Kind::kZones);
    const std::uint32_t readers = KindBit(Kind::kDevices);
    auto output = site.StartOutput(site.FastOptions());
    ASSERT_EQ(output->Apply({Hook("moves", receiver.Url("/moves"), moves),
                             Hook("readers", receiver.Url("/readers"), readers)}),
              "");
    ASSERT_TRUE(WaitForCursor(*output, "moves", site.Last()));
    ASSERT_TRUE(WaitForCursor(*output, "readers", site.Last()));
    site.Write(50, 10, "Gate 1", true);  // none of their kinds: nothing to post, yet settled
    output->Notify(site.Last());
    ASSERT_TRUE(WaitForCursor(*output, "moves", site.Last()));
    ASSERT_TRUE(WaitForCursor(*output, "readers", site.Last()));
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    CheckDelivered(requests, site.Written(moves), "/moves");
    CheckDelivered(requests, site.Written(readers), "/readers");
    for (const ReceivedRequest& r : requests) {
        for (const std::string& type : r.types) {
            EXPECT_TRUE(r.path == "/moves" ? (type == "presence" || type == "zones")
                                           : type == "devices")
                << r.path << " got " << type;
        }
    }
}

// Apply starts, changes and stops endpoints: a corrected URL is tried at once although the
// back-off would wait a minute; a removed endpoint stops and keeps its cursor until Forget.
TEST_F(WebhookDelivery, ApplyStartsChangesAndStopsEndpointsLive) {
    site.MakeCursor("erp");
    ASSERT_TRUE(receiver.Start());
    site.Write(300);
    webhooks::Options options = site.FastOptions();
    options.firstRetry = 60s;
    options.lastRetry = 60s;
    auto output = site.StartOutput(options);
    const std::string nobody = "http://127.0.0.1:" + std::to_string(receiver.Port() + 1) + "/x";
    ASSERT_EQ(output->Apply({Hook("erp", nobody)}), "");
    ASSERT_TRUE(WaitForState(*output, "erp", EndpointState::kRetrying, 1));

    EXPECT_NE(output->Apply({Hook("erp", receiver.Url()), Hook("erp", receiver.Url())}), "");
    EXPECT_NE(output->Apply({Hook("erp", receiver.Url()), Hook("bad", "ftp://x/")}), "");
    EXPECT_EQ(StatusOf(*output, "erp").url, nobody) << "a refused list changes nothing";

    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last(), 10s)) << "not after the back-off";
    CheckDelivered(receiver.Requests(), site.Written());

    EXPECT_NE(output->Forget("erp"), "") << "refused while it runs";
    ASSERT_EQ(output->Apply({}), "");
    EXPECT_TRUE(output->Statuses().empty());
    EXPECT_EQ(site.StoredCursor("erp"), site.Last()) << "a removed endpoint keeps its cursor";
    site.Write(10);
    EXPECT_EQ(output->Forget("erp"), "");
    EXPECT_EQ(SqlInt(site.Db(), "SELECT count(*) FROM outbox WHERE name = 'webhook:erp'"), 0);
}

// An idle endpoint that would look only once an hour delivers at once when told.
TEST_F(WebhookDelivery, NotifyWakesAnIdleEndpoint) {
    site.MakeCursor("erp");
    ASSERT_TRUE(receiver.Start());
    webhooks::Options options = site.FastOptions();
    options.poll = std::chrono::hours(1);
    site.Write(10);
    auto output = site.StartOutput(options);
    ASSERT_EQ(output->Apply({Hook("erp", receiver.Url())}), "");
    // Idle once it has delivered and looked again: from then on it waits for the hour.
    ASSERT_TRUE(WaitFor(
        [&] {
            const EndpointStatus s = StatusOf(*output, "erp");
            return s.cursor == 10 && s.state == EndpointState::kIdle;
        },
        10s));
    site.Write(10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receiver.Requests().size(), 1u) << "not told yet";
    output->Notify(site.Last());
    EXPECT_TRUE(WaitForCursor(*output, "erp", site.Last(), 5s));
}

// HTTPS to a receiver whose certificate a private CA signed: delivered with that CA as caFile;
// without it, refused with one clear error, and nothing reaches the receiver.
TEST_F(WebhookDelivery, TlsIsVerifiedAgainstTheSystemAndTheCaFile) {
    const std::filesystem::path d = site.Folder();
    const std::string make =
        "(cd " + d.string() +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout ca.key "
        "-out ca.crt"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out "
        "server.csr"
        " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
        " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile san.ext -out server.crt) >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Receiver secure(d / "secure", {"test secret", d / "server.crt", d / "server.key", true});
    ASSERT_TRUE(secure.Start());
    site.MakeCursor("erp");
    site.Write(50);

    auto output = site.StartOutput(site.FastOptions());
    ASSERT_EQ(output->Apply({Hook("erp", secure.Url())}), "");
    ASSERT_TRUE(WaitForState(*output, "erp", EndpointState::kRetrying, 3));
    EXPECT_NE(StatusOf(*output, "erp").lastError.find("certificate"), std::string::npos)
        << StatusOf(*output, "erp").lastError;
    EXPECT_EQ(StatusOf(*output, "erp").cursor, 0u);
    output.reset();
    EXPECT_TRUE(secure.Requests().empty());
    EXPECT_EQ(site.LogLines("W ").size(), 1u);

    webhooks::Options options = site.FastOptions();
    options.caFile = d / "ca.crt";
    output = site.StartOutput(options);
    ASSERT_EQ(output->Apply({Hook("erp", secure.Url())}), "");
    ASSERT_TRUE(WaitForCursor(*output, "erp", site.Last()));
    CheckDelivered(secure.Requests(), site.Written());

    std::string error;
    options.caFile = d / "san.ext";
    EXPECT_FALSE(WebhookOutput::Start(site.Db(), {}, options, error));
    EXPECT_NE(error.find("holds no PEM certificate"), std::string::npos) << error;
}

}  // namespace
}  // namespace trelvane::test
