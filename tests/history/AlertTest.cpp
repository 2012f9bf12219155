// Alerts in the history: every event back by filter as the plain model has it, and the open
// alerts (raised, acknowledged and cleared in any order within and across batches) through
// refused batches, resends, retention and a reopen, each against a model of the open ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "history/HistoryTestSupport.h"
#include "history/Reader.h"
#include "history/Writer.h"

namespace trelvane::history {
namespace {

using events::AlertEventKind;
using events::RuleKind;
using test::AllPages;
using test::BatchBuilder;
using test::HistoryDir;
using test::Model;
using test::OpenReader;
using test::OpenWriter;

constexpr std::int64_t kT0 = 1796000000000;
constexpr std::int64_t kDay = 86'400'000;

// The open alerts as the events define them, applied in number order: a raised event opens
// its alert, an acknowledgement of an open alert replaces its last one, a clearing closes it.
class OpenModel {
  public:
    void Apply(std::vector<AlertRow> alerts) {
        std::sort(alerts.begin(), alerts.end(),
                  [](const AlertRow& a, const AlertRow& b) { return a.seq < b.seq; });
        for (const AlertRow& a : alerts) {
            const auto it = open_.find(a.raised);
            if (a.kind == AlertEventKind::kRaised) {
                open_[a.seq] = OpenAlert{a, std::nullopt};
            } else if (it != open_.end() && a.kind == AlertEventKind::kAcknowledged) {
                it->second.acknowledged = a;
            } else if (it != open_.end()) {
                open_.erase(it);
            }
        }
    }
    std::vector<OpenAlert> Open() const {
        std::vector<OpenAlert> out;
        for (const auto& [seq, alert] : open_) {
            out.push_back(alert);
        }
        return out;
    }
    std::vector<std::uint64_t> OpenSeqs() const {
        std::vector<std::uint64_t> seqs;
        for (const auto& [seq, alert] : open_) {
            seqs.push_back(seq);
        }
        return seqs;
    }
    const AlertRow& Raised(std::uint64_t seq) const { return open_.at(seq).raised; }

  private:
    std::map<std::uint64_t, OpenAlert> open_;
};

// Batches of reads and alert events numbered together, the alerts in a shuffled order: new
// alerts, and acknowledgements and clearings of alerts open before the batch or raised in it
// (with now and then one of an alert already cleared).
class Script {
  public:
    explicit Script(unsigned seed) : rng_(seed) {}

    BatchBuilder Next(std::uint64_t& seq, std::int64_t time, const OpenModel& before) {
        BatchBuilder b;
        std::vector<std::uint64_t> open = before.OpenSeqs();
        std::map<std::uint64_t, AlertRow> raisedHere;
        std::vector<AlertRow> alerts;
        const int events = 2 + Pick(10);
        for (int i = 0; i < events; ++i) {
            const std::uint64_t n = ++seq;
            const std::int64_t t = time + i;
            const int what = Pick(10);
            if (what < 3) {
                b.AddRead(n, t, static_cast<std::uint32_t>(Pick(5)), "R01", "10.0.0.5:4001");
            } else if (what < 6 || open.empty()) {
                AlertRow a = RaisedAlert(n, t);
                raisedHere[n] = a;
                open.push_back(n);
                alerts.push_back(a);
            } else {
                const std::size_t at =
                    static_cast<std::size_t>(Pick(static_cast<int>(open.size())));
                const std::uint64_t target = open[at];
                AlertRow a =
                    raisedHere.contains(target) ? raisedHere[target] : before.Raised(target);
                a.seq = n;
                a.timeMs = t;
                a.raised = target;
                if (what < 8) {
                    a.kind = AlertEventKind::kAcknowledged;
                    a.text = "seen, \"moving it\" #" + std::to_string(n);
                    a.by = Pick(2) == 0 ? "ops" : "夜班";
                } else {
                    a.kind = AlertEventKind::kCleared;
                    a.text.clear();
                    a.by.clear();
                    // Now and then it stays in the list: a later event for a cleared alert.
                    if (Pick(4) != 0) {
                        open.erase(open.begin() + static_cast<std::ptrdiff_t>(at));
                    }
                }
                alerts.push_back(a);
            }
        }
        std::shuffle(alerts.begin(), alerts.end(), rng_);
        for (const AlertRow& a : alerts) {
            b.AddAlert(a);
        }
        return b;
    }

  private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    AlertRow RaisedAlert(std::uint64_t seq, std::int64_t t) {
        static const char* const kRules[] = {"cold room", "dock, east", "too_many_alerts"};
        static const RuleKind kKinds[] = {RuleKind::kDwell, RuleKind::kReaderOffline,
                                          RuleKind::kTooManyAlerts};
        const int rule = Pick(3);
        AlertRow a;
        a.seq = seq;
        a.timeMs = t;
        a.rule = kRules[rule];
        a.ruleKind = kKinds[rule];
        if (rule == 0 || Pick(3) == 0) {
            a.tag = static_cast<std::uint32_t>(Pick(4)) * 1000000000u;
        }
        a.zone = rule == 0 ? (Pick(2) == 0 ? "Cold room" : "冷库") : "";
        a.reader = rule == 1 ? "R0" + std::to_string(Pick(3)) : "";
        a.sinceMs = t - 1000 * Pick(600);
        a.text = "alert " + std::to_string(seq);
        return a;
    }

    std::mt19937 rng_;
};

std::vector<AlertRow> Rows(const BatchBuilder& b) {
    Model m;
    m.Take(b);
    return m.alerts;
}

TEST(AlertHistoryTest, OpenAlertsFollowTheirEventsThroughRefusalsRetentionAndAReopen) {
    HistoryDir dir;
    std::optional<Writer> w(OpenWriter({dir.Db()}));
    Script script(2026);
    OpenModel open;
    Model model;
    std::uint64_t seq = 0;
    std::int64_t time = kT0;
    BatchBuilder last;
    for (int i = 0; i < 80; ++i) {
        time += 60'000;
        BatchBuilder b = script.Next(seq, time, open);
        ASSERT_TRUE(w->Append(b.Batch()).ok()) << "batch " << i;
        open.Apply(Rows(b));
        model.Take(b);
        ASSERT_EQ(OpenReader(dir.Db()).OpenAlerts().value(), open.Open()) << "batch " << i;
        if (i % 10 != 9) {
            last = std::move(b);
            continue;
        }
        // An alert whose number a read of its batch takes too: nothing of the batch is kept.
        BatchBuilder clash;
        clash.AddRead(seq + 1, time, 1, "R01", "10.0.0.5:4001");
        clash.AddAlert(AlertRow{seq + 1, time, AlertEventKind::kRaised, 0, "dock, east",
                                RuleKind::kReaderOffline, std::nullopt, "", "R01", time, "x", ""});
        const Status refused = w->Append(clash.Batch());
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, ErrorCode::kBadInput);
        // A resend of the batch before: duplicates, which change nothing.
        const std::uint64_t duplicates = w->Counters().duplicates;
        ASSERT_TRUE(w->Append(last.Batch()).ok());
        EXPECT_EQ(w->Counters().duplicates,
                  duplicates + last.Alerts().size() + last.Reads().size());
        ASSERT_EQ(OpenReader(dir.Db()).OpenAlerts().value(), open.Open()) << "batch " << i;
    }
    EXPECT_EQ(w->Counters().alertEvents, model.alerts.size());
    const std::vector<OpenAlert> before = open.Open();
    ASSERT_GT(before.size(), 10u);
    ASSERT_GT(std::count_if(before.begin(), before.end(),
                            [](const OpenAlert& a) { return a.acknowledged.has_value(); }),
              3);

    // Every alert back by pages and filters.
    Reader r = OpenReader(dir.Db());
    const auto alerts = [&](const Filter& f) { return r.Alerts(f); };
    std::vector<Filter> filters(9);
    filters[1].tag = 0;
    filters[2].tag = 3000000000u;
    filters[3].rule = "dock, east";
    filters[4].zone = "冷库";
    filters[5].reader = "R02";
    filters[6].sinceMs = kT0 + 20 * 60'000;
    filters[6].untilMs = kT0 + 50 * 60'000;
    filters[7].throughSeq = seq / 2;
    filters[7].rule = "cold room";
    filters[8].zone = "Cold room";
    filters[8].tag = 1000000000u;
    for (std::size_t i = 0; i < filters.size(); ++i) {
        Filter all = filters[i];
        all.limit = SIZE_MAX;
        const std::vector<AlertRow> expected = Model::Select(model.alerts, all);
        EXPECT_EQ(AllPages(alerts, filters[i], 7), expected) << "filter " << i;
        EXPECT_FALSE(expected.empty()) << "filter " << i;
    }
    // A rule picks alerts only; reads have none.
    Filter ruled;
    ruled.rule = "cold room";
    EXPECT_TRUE(r.Reads(ruled).value().empty());

    // Retention takes every alert event, never an open alert.
    for (int step = 0; step < 100; ++step) {
        const Result<PruneResult> pruned = w->Prune(time + 100 * kDay);
        ASSERT_TRUE(pruned.ok()) << pruned.error().text;
        if (!pruned->more) {
            break;
        }
    }
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT count(*) FROM alert_events"), 0);
    EXPECT_EQ(r.OpenAlerts().value(), before);

    // After a restart the open alerts are as they were, and events of alerts whose raised
    // events are gone still change them.
    w.reset();
    w.emplace(OpenWriter({dir.Db()}));
    EXPECT_EQ(OpenReader(dir.Db()).OpenAlerts().value(), before);
    for (int i = 0; i < 5; ++i) {
        time += 60'000;
        BatchBuilder b = script.Next(seq, time, open);
        ASSERT_TRUE(w->Append(b.Batch()).ok());
        open.Apply(Rows(b));
    }
    EXPECT_NE(open.Open(), before);
    EXPECT_EQ(OpenReader(dir.Db()).OpenAlerts().value(), open.Open());
}

// The size cap deletes the oldest alert events with the other kinds' oldest, never an open alert.
TEST(AlertHistoryTest, TheSizeCapTakesOldAlertEventsButNoOpenAlert) {
    HistoryDir dir;
    Options options{dir.Db()};
    options.retentionDays = 0;
    options.maxSizeBytes = 0;
    OpenModel open;
    {
        Writer w = OpenWriter(options);
        std::uint64_t seq = 0;
        BatchBuilder b;
        for (int i = 0; i < 4000; ++i) {
            const std::uint64_t n = ++seq;
            b.AddAlert(AlertRow{n, kT0 + i, AlertEventKind::kRaised, 0, "cold room",
                                RuleKind::kDwell, static_cast<std::uint32_t>(i), "Cold room", "",
                                kT0, "in Cold room for too long", ""});
            if (i % 2 == 1) {
                b.AddAlert(AlertRow{++seq, kT0 + i, AlertEventKind::kCleared, n - 1, "cold room",
                                    RuleKind::kDwell, static_cast<std::uint32_t>(i - 1),
                                    "Cold room", "", kT0, "", ""});
            }
            if (i % 100 == 99) {
                ASSERT_TRUE(w.Append(b.Batch()).ok());
                open.Apply(Rows(b));
                b.Clear();
            }
        }
    }
    // A cap a quarter below what is kept now.
    options.maxSizeBytes = (test::SqlInt(dir.Db(), "PRAGMA page_count") -
                            test::SqlInt(dir.Db(), "PRAGMA freelist_count")) *
                           test::SqlInt(dir.Db(), "PRAGMA page_size") * 3 / 4;
    Writer w = OpenWriter(options);
    for (int step = 0; step < 1000; ++step) {
        const Result<PruneResult> pruned = w.Prune(kT0, 500);
        ASSERT_TRUE(pruned.ok()) << pruned.error().text;
        if (!pruned->more) {
            break;
        }
    }
    const std::int64_t left = test::SqlInt(dir.Db(), "SELECT count(*) FROM alert_events");
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 6000);
    EXPECT_EQ(test::SqlInt(dir.Db(), "SELECT min(seq) FROM alert_events"), 6000 - left + 1)
        << "the oldest go first";
    EXPECT_EQ(OpenReader(dir.Db()).OpenAlerts().value(), open.Open());
    EXPECT_EQ(open.Open().size(), 2000u);
}

}  // namespace
}  // namespace trelvane::history
