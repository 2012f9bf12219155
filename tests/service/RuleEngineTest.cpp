// The rule engine on a manual timeline: each kind raised at its exact millisecond and not one
// before, cleared when its condition ends, once per condition however often the reads come,
// bounded, and carried across a restart without a spurious event.
#include "service/RuleEngine.h"

#include <gtest/gtest.h>

namespace trelvane {
namespace {

using events::AlertEventKind;
using events::AlertRow;
using events::RuleKind;
using events::ZoneEventKind;

constexpr std::int64_t kT0 = 1'800'000'000'000;

site::Rule Rule(std::string name, RuleKind kind, std::int64_t seconds = 0) {
    site::Rule rule;
    rule.name = std::move(name);
    rule.kind = kind;
    rule.seconds = seconds;
    return rule;
}

class RuleEngineTest : public ::testing::Test {
  protected:
    RuleEngineTest() {
        snapshot_ = site::Snapshot::Make({{1, "Pallet 1", "pallets", ""},
                                          {2, "Pallet 2", "pallets", ""},
                                          {3, "Cart", "carts", ""}},
                                         {{"Cold room", {"R1"}}, {"Dock", {"R2"}}}, 1);
        emit_ = [this](const events::Alert& a) {
            AlertRow row{next_,
                         a.timeMs,
                         a.kind,
                         a.raised,
                         std::string(a.rule),
                         a.ruleKind,
                         a.tag,
                         std::string(a.zone),
                         std::string(a.reader),
                         a.sinceMs,
                         std::string(a.text),
                         std::string(a.by)};
            events_.push_back(std::move(row));
            return next_++;
        };
    }

    void Set(std::vector<site::Rule> rules, std::int64_t now,
             const std::vector<RuleEngine::InZone>& stays = {}) {
        engine_.SetRules(std::move(rules), snapshot_, stays, now, emit_);
    }
    void Zone(ZoneEventKind kind, std::uint32_t tag, const char* zone, std::int64_t t) {
        engine_.OnZone({0, t, tag, zone, kind, "R1", "k", t, t}, emit_);
    }
    // The events since the last call.
    std::vector<AlertRow> Take() {
        std::vector<AlertRow> out = std::move(events_);
        events_.clear();
        return out;
    }

    RuleEngine engine_{30'000, 100};
    std::shared_ptr<const site::Snapshot> snapshot_;
    RuleEngine::Emit emit_;
    std::vector<AlertRow> events_;
    Sequence next_ = 100;
};

TEST_F(RuleEngineTest, DwellAndForbiddenFollowTheZoneAndRaiseOncePerStay) {
    site::Rule dwell = Rule("cold", RuleKind::kDwell, 600);
    dwell.zone = "Cold room";
    dwell.group = "pallets";
    site::Rule forbidden = Rule("no carts", RuleKind::kForbidden);
    forbidden.zone = "Cold room";
    forbidden.group = "carts";
    Set({dwell, forbidden}, kT0);

    Zone(ZoneEventKind::kEnter, 1, "Cold room", kT0 + 1'000);
    Zone(ZoneEventKind::kEnter, 3, "Cold room", kT0 + 2'000);  // a cart: at once
    Zone(ZoneEventKind::kEnter, 1, "Dock", kT0 + 2'000);       // another zone: not watched
    std::vector<AlertRow> got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rule, "no carts");
    EXPECT_EQ(got[0].tag, 3u);
    EXPECT_EQ(got[0].zone, "Cold room");
    EXPECT_EQ(got[0].sinceMs, kT0 + 2'000);

    engine_.Expire(kT0 + 601'000 - 1, emit_);
    EXPECT_TRUE(Take().empty()) << "raised a millisecond early";
    engine_.Expire(kT0 + 601'000, emit_);
    engine_.Expire(kT0 + 700'000, emit_);  // still there: no second alert
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kRaised);
    EXPECT_EQ(got[0].ruleKind, RuleKind::kDwell);
    EXPECT_EQ(got[0].sinceMs, kT0 + 1'000);
    EXPECT_EQ(got[0].text, "tag 1 in Cold room for more than 600 s");
    const Sequence raised = got[0].seq;

    Zone(ZoneEventKind::kExit, 1, "Cold room", kT0 + 710'000);
    Zone(ZoneEventKind::kExit, 3, "Cold room", kT0 + 710'000);
    got = Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kCleared);
    EXPECT_EQ(got[0].raised, raised);
    EXPECT_EQ(got[0].sinceMs, kT0 + 1'000);
    EXPECT_EQ(got[1].raised, 100u);
    EXPECT_EQ(engine_.OpenCount(), 0u);

    // In and out before its time, again and again: nothing.
    for (int i = 0; i < 20; ++i) {
        const std::int64_t t = kT0 + 800'000 + i * 100'000;
        Zone(ZoneEventKind::kEnter, 2, "Cold room", t);
        engine_.Expire(t + 599'999, emit_);
        Zone(ZoneEventKind::kExit, 2, "Cold room", t + 599'999);
        engine_.Expire(t + 600'000, emit_);
    }
    EXPECT_TRUE(Take().empty());
}

TEST_F(RuleEngineTest, AbsentAndUnregisteredFollowTheReads) {
    site::Rule absent = Rule("pallets seen", RuleKind::kAbsent, 60);
    absent.group = "pallets";
    absent.zone = "Dock";
    site::Rule unknown = Rule("strangers", RuleKind::kUnregistered);
    Set({absent, unknown}, kT0);
    const auto r1 = engine_.Reader("R1");
    const auto r2 = engine_.Reader("R2");

    engine_.OnRead(1, r2, kT0 + 10'000, emit_);
    engine_.OnRead(2, r1, kT0 + 10'000, emit_);  // in the wrong zone: does not count
    engine_.Expire(kT0 + 59'999, emit_);
    EXPECT_TRUE(Take().empty());
    engine_.Expire(kT0 + 60'000, emit_);
    std::vector<AlertRow> got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].tag, 2u);
    EXPECT_EQ(got[0].sinceMs, kT0);
    engine_.Expire(kT0 + 70'000 - 1, emit_);
    EXPECT_TRUE(Take().empty());
    engine_.Expire(kT0 + 70'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].tag, 1u);
    EXPECT_EQ(got[0].sinceMs, kT0 + 10'000);

    // A read clears, and the count starts again from it.
    engine_.OnRead(2, r2, kT0 + 80'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kCleared);
    EXPECT_EQ(got[0].tag, 2u);
    engine_.Expire(kT0 + 140'000 - 1, emit_);
    EXPECT_TRUE(Take().empty());

    // An unregistered tag read a thousand times raises once, and clears once it has gone.
    for (int i = 0; i < 1000; ++i) {
        engine_.OnRead(77, r1, kT0 + 150'000 + i, emit_);
        engine_.OnRead(3, r1, kT0 + 150'000 + i, emit_);
    }
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rule, "strangers");
    EXPECT_EQ(got[0].tag, 77u);
    EXPECT_EQ(got[0].reader, "R1");
    engine_.Expire(kT0 + 150'999 + 30'000 - 1, emit_);
    for (const AlertRow& a : Take()) {
        EXPECT_NE(a.rule, "strangers");
    }
    engine_.Expire(kT0 + 150'999 + 30'000, emit_);
    got = Take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().kind, AlertEventKind::kCleared);
    EXPECT_EQ(got.back().tag, 77u);
}

TEST_F(RuleEngineTest, ReadersOfflineAndSilent) {
    site::Rule offline = Rule("down", RuleKind::kReaderOffline, 30);
    offline.reader = "*";
    site::Rule silent = Rule("quiet", RuleKind::kReaderSilent, 20);
    silent.reader = "R9";
    Set({offline, silent}, kT0);
    const auto r9 = engine_.Reader("R9");
    engine_.OnReader(r9, true, kT0 + 1'000, emit_);
    engine_.OnRead(5, r9, kT0 + 15'000, emit_);
    engine_.Expire(kT0 + 30'000, emit_);
    // R1 and R2 are zone readers never seen: offline since the start. R9 reads.
    std::vector<AlertRow> got = Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].reader, "R1");
    EXPECT_EQ(got[1].reader, "R2");
    EXPECT_FALSE(got[0].tag.has_value());

    engine_.OnRead(5, r9, kT0 + 40'000, emit_);
    engine_.Expire(kT0 + 60'000 - 1, emit_);
    EXPECT_TRUE(Take().empty());
    engine_.Expire(kT0 + 60'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rule, "quiet");
    EXPECT_EQ(got[0].sinceMs, kT0 + 40'000);

    // It stops reading: silent clears, offline raises 30 s later to the millisecond.
    engine_.OnReader(r9, false, kT0 + 61'000, emit_);
    engine_.Expire(kT0 + 61'500, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kCleared);
    engine_.Expire(kT0 + 91'000 - 1, emit_);
    EXPECT_TRUE(Take().empty());
    engine_.Expire(kT0 + 91'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rule, "down");
    EXPECT_EQ(got[0].reader, "R9");
    EXPECT_EQ(got[0].sinceMs, kT0 + 61'000);
}

TEST_F(RuleEngineTest, OpenAlertsAreBoundedAndSaySo) {
    RuleEngine engine(30'000, 3);
    site::Rule unknown = Rule("strangers", RuleKind::kUnregistered);
    engine.SetRules({unknown}, snapshot_, {}, kT0, emit_);
    const auto r1 = engine.Reader("R1");
    for (std::uint32_t tag = 100; tag < 106; ++tag) {
        engine.OnRead(tag, r1, kT0 + tag, emit_);
    }
    std::vector<AlertRow> got = Take();
    ASSERT_EQ(got.size(), 4u);  // three, then one too_many_alerts
    EXPECT_EQ(got[3].ruleKind, RuleKind::kTooManyAlerts);
    EXPECT_EQ(engine.OpenCount(), 4u);
    EXPECT_EQ(engine.Suppressed(), 3u);
    // Keep the suppressed ones read; the first three go quiet and clear, and the suppressed
    // ones are raised as room is made, from their first read. too_many_alerts stays while
    // the bound is reached.
    for (std::int64_t t = kT0 + 1'000; t <= kT0 + 40'000; t += 1'000) {
        for (std::uint32_t tag = 103; tag < 106; ++tag) {
            engine.OnRead(tag, r1, t, emit_);
        }
        engine.Expire(t, emit_);
    }
    got = Take();
    ASSERT_EQ(got.size(), 6u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].kind, AlertEventKind::kCleared);
        EXPECT_EQ(got[i].tag, 100 + i);
        EXPECT_EQ(got[i + 3].kind, AlertEventKind::kRaised);
        EXPECT_EQ(got[i + 3].tag, 103 + i);
        EXPECT_EQ(got[i + 3].sinceMs, kT0 + 103 + static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(engine.OpenCount(), 4u);
    EXPECT_EQ(engine.Suppressed(), 3u);
    // Under the bound: it clears.
    engine.Expire(kT0 + 70'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].ruleKind, RuleKind::kTooManyAlerts);
    EXPECT_EQ(got[3].kind, AlertEventKind::kCleared);
    EXPECT_EQ(engine.OpenCount(), 0u);
}

TEST_F(RuleEngineTest, ARestartAdoptsWhatStillHoldsAndClearsTheRest) {
    site::Rule dwell = Rule("cold", RuleKind::kDwell, 60);
    dwell.zone = "Cold room";
    site::Rule offline = Rule("down", RuleKind::kReaderOffline, 30);
    offline.reader = "R2";
    site::Rule absent = Rule("cart", RuleKind::kAbsent, 60);
    absent.tag = 3;
    const std::vector<RuleEngine::InZone> stays{{1, "Cold room", "R1", kT0}};
    Set({dwell, offline, absent}, kT0, stays);
    engine_.Expire(kT0 + 60'000, emit_);
    ASSERT_EQ(Take().size(), 3u);
    ASSERT_EQ(engine_.Acknowledge(100, "ops", "on it", kT0 + 61'000, emit_),
              RuleEngine::AckOutcome::kDone);
    std::vector<AlertRow> got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kAcknowledged);
    EXPECT_EQ(got[0].by, "ops");
    EXPECT_EQ(got[0].text, "on it");
    const std::vector<RuleEngine::Open> before = engine_.OpenAlerts();
    ASSERT_EQ(before.size(), 3u);

    // A new run: the same rules but "cart" gone, the tag still in the cold room.
    RuleEngine after(30'000, 100);
    after.Restore(before);
    after.SetRules({dwell, offline}, snapshot_, stays, kT0 + 120'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u) << "only the removed rule's alert ends";
    EXPECT_EQ(got[0].kind, AlertEventKind::kCleared);
    EXPECT_EQ(got[0].rule, "cart");
    after.Expire(kT0 + 200'000, emit_);
    EXPECT_TRUE(Take().empty());
    const std::vector<RuleEngine::Open> kept = after.OpenAlerts();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], before[0]) << "the acknowledgement survives";
    EXPECT_EQ(after.Acknowledge(before[1].raised.seq, "x", "", kT0, emit_),
              RuleEngine::AckOutcome::kNotOpen);

    // A changed rule starts afresh: its old alert clears, a new one comes at its new time.
    dwell.seconds = 300;
    after.SetRules({dwell, offline}, snapshot_, stays, kT0 + 210'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kCleared);
    after.Expire(kT0 + 300'000 - 1, emit_);
    EXPECT_TRUE(Take().empty());
    after.Expire(kT0 + 300'000, emit_);
    got = Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, AlertEventKind::kRaised);
    EXPECT_EQ(got[0].sinceMs, kT0);
}

}  // namespace
}  // namespace trelvane
