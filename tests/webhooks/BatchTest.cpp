// Without a receiver: what Check refuses, the signature's bytes, and the bodies BatchReader
// builds from a real history (their exact bytes, and a walk through a history where kinds
// interleave and lists fill at different speeds, under several bounds).

#include <gtest/gtest.h>

#include "webhooks/BatchReader.h"
#include "webhooks/Signature.h"
#include "webhooks/WebhookSite.h"

namespace trelvane::test {
namespace {

using webhooks::Batch;
using webhooks::BatchReader;
using webhooks::Check;

TEST(WebhookCheck, RefusesWhatCannotBeDeliveredWithAReason) {
    const Webhook good = Hook("erp", "https://erp.example.com:8443/in?token=1");
    EXPECT_EQ(Check(good), "");
    EXPECT_EQ(Check(Hook("erp", "http://10.0.0.9/hook")), "");
    EXPECT_EQ(Check(Hook("erp", "HTTP://[::1]:8080/")), "");

    struct Case {
        Webhook hook;
        const char* says;
    };
    const Case cases[] = {
        {Hook("erp", "ftp://erp.example.com/in"),
         R"(webhook "erp": the URL "ftp://erp.example.com/in" is not http:// or https://)"},
        {Hook("erp", "erp.example.com/in"), "is not http:// or https://"},
        {Hook("erp", "mailto:ops@example.com"), "is not http:// or https://"},
        {Hook("erp", "http://"), R"(the URL "http://" has no host)"},
        {Hook("erp", "https:///in"), "has no host"},
        {Hook("erp", "http://user@:8080/in"), "has no host"},
        {Hook("erp", "http://erp example.com/"), "cannot be read"},
        {Hook("erp", ""), R"(webhook "erp": has no URL)"},
        {Webhook{"erp", "https://erp.example.com/", "", webhooks::kAllKindBits},
         R"(webhook "erp": has no secret)"},
        {Hook("", "https://erp.example.com/"), "a webhook needs a name"},
        {Hook("a\nb", "https://erp.example.com/"), "control character"},
        {Hook("erp", "https://erp.example.com/", 0),
         "selects no kind of event (reads,presence,devices,zones,alerts)"},
        {Hook("erp", "https://erp.example.com/", 1u << 9), "cannot deliver"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(Check(c.hook).find(c.says), std::string::npos)
            << "'" << c.hook.url << "' gave: " << Check(c.hook);
    }
}

TEST(WebhookCheck, ShownUrlsHoldNoCredential) {
    EXPECT_EQ(webhooks::ShownUrl("https://user:pw@erp.example.com:8443/in?token=abc#x"),
              "https://erp.example.com:8443/in");
}

// RFC 4231, test cases 1 and 2: the same bytes any receiver's HMAC-SHA256 gives.
TEST(WebhookSignature, IsTheHmacSha256OfTheExactBody) {
    EXPECT_EQ(webhooks::Signature(std::string(20, '\x0b'), "Hi There"),
              "sha256=b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(webhooks::Signature("Jefe", "what do ya want for nothing?"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

// Labels for tag 42 only.
class OneLabel final : public events::Labels {
  public:
    std::optional<events::AssetLabel> LabelOf(std::uint32_t tag) const override {
        if (tag != 42) {
            return std::nullopt;
        }
        return events::AssetLabel{"Pallet \"42\"", "Dock"};
    }
};

// The body, byte for byte, from the rows the history returns and the one encoder: the shape
// doc/webhooks.md promises, labels included.
TEST(WebhookBatch, BodyIsEachEventAsTheEncoderWritesItInSequenceOrder) {
    WebhookSite site;
    site.Write(60, 7);
    auto labels = std::make_shared<const OneLabel>();
    BatchReader reader(
        site.Db(), [labels] { return labels; }, 1000, 1 << 20);
    const auto committed = reader.Committed();
    ASSERT_TRUE(committed.ok());
    EXPECT_EQ(committed.value(), 60u);
    Batch batch;
    ASSERT_TRUE(reader.Next(0, 60, webhooks::kAllKindBits, batch).ok());

    const Model& m = site.Rows();
    std::map<Sequence, std::string> items;
    events::EventJson json;
    OneLabel label;
    json.SetLabels(&label);
    for (const auto& r : m.reads) {
        items[r.seq] = R"({"type":"reads","event":)" + json.Text(r) + "}";
    }
    for (const auto& p : m.presence) {
        items[p.seq] = R"({"type":"presence","event":)" + json.Text(p) + "}";
    }
    for (const auto& d : m.devices) {
        items[d.seq] = R"({"type":"devices","event":)" + json.Text(d) + "}";
    }
    for (const auto& z : m.zones) {
        items[z.seq] = R"({"type":"zones","event":)" + json.Text(z) + "}";
    }
    ASSERT_EQ(items.size(), 60u);
    std::string expected =
        R"({"history_id":")" + OpenReader(site.Db()).HistoryId() + R"(","events":[)";
    for (const auto& [seq, item] : items) {
        expected += (seq == 1 ? "" : ",") + item;
    }
    expected += "]}";
    EXPECT_EQ(batch.body, expected);
    EXPECT_NE(batch.body.find(R"("label":"Pallet \"42\"","group":"Dock")"), std::string::npos);
    EXPECT_EQ(batch.events, 60u);
    EXPECT_EQ(batch.first, 1u);
    EXPECT_EQ(batch.last, 60u);
    EXPECT_EQ(batch.through, 60u);
}

// Walks the whole history batch by batch, as an endpoint does, for several kinds and bounds:
// every event of the kinds comes exactly once in order, each body within its bounds (an event
// larger than the byte bound goes alone), and the cursor reaches the last number whatever kind
// it is.
TEST(WebhookBatch, WalkingTheHistoryMissesNothingAcrossKindsAndBounds) {
    WebhookSite site;
    site.Write(3000, 250);
    const std::uint32_t kindSets[] = {
        webhooks::kAllKindBits,
        KindBit(Kind::kPresence) | KindBit(Kind::kZones),
        KindBit(Kind::kDevices),
        KindBit(Kind::kReads) | KindBit(Kind::kDevices),
    };
    struct Bounds {
        std::size_t events, bytes;
    };
    const Bounds boundsList[] = {{1000, 1 << 20}, {7, 1 << 20}, {1000, 4096}, {1, 100}};
    for (const std::uint32_t kinds : kindSets) {
        for (const Bounds bounds : boundsList) {
            SCOPED_TRACE(webhooks::KindNames(kinds) + " at most " + std::to_string(bounds.events) +
                         " events, " + std::to_string(bounds.bytes) + " bytes");
            BatchReader reader(site.Db(), {}, bounds.events, bounds.bytes);
            std::vector<Sequence> seen;
            Sequence cursor = 0;
            for (int guard = 0; guard < 10000 && cursor < site.Last(); ++guard) {
                Batch batch;
                ASSERT_TRUE(reader.Next(cursor, site.Last(), kinds, batch).ok());
                ASSERT_GT(batch.through, cursor) << "the cursor moves at every step";
                ASSERT_LE(batch.events, bounds.events);
                if (batch.events > 1) {
                    ASSERT_LE(batch.body.size(), bounds.bytes);
                }
                for (std::size_t at = batch.body.find(R"("event":{"seq":)");
                     at != std::string::npos; at = batch.body.find(R"("event":{"seq":)", at + 1)) {
                    seen.push_back(std::stoull(batch.body.substr(at + 15, 20)));
                }
                cursor = batch.through;
            }
            EXPECT_EQ(cursor, site.Last());
            EXPECT_TRUE(seen == site.Written(kinds)) << seen.size() << " events seen";
        }
    }
}

}  // namespace
}  // namespace trelvane::test
