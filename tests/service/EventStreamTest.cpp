// The event stream as a sink sees it, from simulated readers over loopback in virtual time:
// sequence numbers, device events, presence, and a slow sink holding the receive path back.

#include <QThread>
#include <map>
#include <mutex>
#include <set>

#include "service/EngineFixture.h"
#include "sim/SimHost.h"

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;

// What a sink was handed, flattened; safe to read from the test's thread.
class RecordingSink final : public EventSink {
  public:
    struct Event {
        Sequence seq;
        char kind;         // 'r' read, 'd' device event, 'p' presence
        std::string what;  // device event or presence name
        std::uint32_t tag;
        std::string key;
        std::string name;
        std::int64_t timeMs;
    };

    explicit RecordingSink(std::chrono::milliseconds pause = 0ms) : pause_(pause) {}

    void Consume(const EventBatch& batch) override {
        if (pause_ > 0ms) {
            QThread::msleep(static_cast<unsigned long>(pause_.count()));
        }
        std::lock_guard lock(mutex_);
        EXPECT_GE(batch.firstSeq, next_) << "batches come in order";
        next_ = batch.nextSeq;
        for (const ReadEvent& e : batch.reads) {
            const EventDevice& d = batch.devices.at(e.device);
            events_.push_back({e.seq, 'r', "", e.report.tag, d.key, d.name, e.timeMs});
        }
        for (const DeviceEvent& e : batch.deviceEvents) {
            const EventDevice& d = batch.devices.at(e.device);
            events_.push_back(
                {e.seq, 'd', std::string(events::Name(e.kind)), 0, d.key, d.name, e.timeMs});
        }
        for (const PresenceEvent& e : batch.presence) {
            const EventDevice& d = batch.devices.at(e.device);
            events_.push_back(
                {e.seq, 'p', std::string(events::Name(e.kind)), e.tag, d.key, d.name, e.timeMs});
        }
    }

    // Every event so far, in sequence order.
    std::vector<Event> Events() const {
        std::lock_guard lock(mutex_);
        std::vector<Event> sorted = events_;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Event& a, const Event& b) { return a.seq < b.seq; });
        return sorted;
    }
    std::size_t Count(char kind, const std::string& what = "") const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(events_.begin(), events_.end(), [&](auto& e) {
            return e.kind == kind && (what.empty() || e.what == what);
        }));
    }

  private:
    const std::chrono::milliseconds pause_;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    Sequence next_ = 0;
};

// A tag report of L = 14 (no reader time) as the reader puts it on the wire.
Bytes TagReport(std::uint32_t tag) {
    return WireFrame(0x62, 0,
                     {0x00, 0, 0, 0, 0, static_cast<std::uint8_t>(tag >> 24),
                      static_cast<std::uint8_t>(tag >> 16), static_cast<std::uint8_t>(tag >> 8),
                      static_cast<std::uint8_t>(tag), 0, 0, 0, 0});
}

class EventStreamTest : public EngineFixture {
  protected:
    EventStreamTest() { Engine().AttachSink("recorder", sink); }

    // A reader that reports only what the test sends it, after the one report a paced reader
    // sends when it starts (see Started).
    SimReader& Quiet(const std::string& name) {
        SimReaderOptions options;
        options.deviceName = name;
        options.rate = 0.0001;
        return Connect(options);
    }
    // Brings quiet readers through their dialogue and waits for each one's first report.
    void Started(std::initializer_list<SimReader*> group) {
        Handshake(group);
        ASSERT_TRUE(WaitUntil([&] { return sink->Count('r') == group.size(); }));
    }
    // Sends one report and waits until the sink has it.
    void Read(SimReader& reader, std::uint32_t tag) {
        const std::size_t before = sink->Count('r');
        ASSERT_TRUE(reader.SendRaw(TagReport(tag)));
        ASSERT_TRUE(WaitUntil([&] { return sink->Count('r') > before; }));
    }
    std::vector<RecordingSink::Event> Presence(std::uint32_t tag) const {
        std::vector<RecordingSink::Event> out;
        for (const auto& e : sink->Events()) {
            if (e.kind == 'p' && e.tag == tag) {
                out.push_back(e);
            }
        }
        return out;
    }

    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
};

TEST_F(EventStreamTest, EveryEventOnceInOneGaplessSequence) {
    Start();
    SimReader& a = Quiet("R01");
    SimReader& b = Quiet("R02");
    Started({&a, &b});
    for (std::uint32_t tag = 1; tag <= 20; ++tag) {
        Read(tag % 2 ? a : b, tag % 7);
    }
    const std::string keyA = Key(a);
    Engine().StopService();

    const auto events = sink->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().seq, 1u) << "a run without history numbers from 1";
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i].seq, i + 1) << "no gap and no number twice";
    }
    EXPECT_EQ(Engine().NextSequence(), events.size() + 1);
    EXPECT_EQ(sink->Count('r'), 22u);

    // One reader's life, in order: connected (by key), named, reading, its reads, removed.
    std::vector<std::string> life;
    for (const auto& e : events) {
        if (e.kind == 'd' && e.key == keyA) {
            life.push_back(e.what + ":" + e.name);
        }
    }
    EXPECT_EQ(life, (std::vector<std::string>{"connected:" + keyA, "named:R01",
                                              "reading_started:R01", "removed:R01"}));
    // Presence: every (tag, reader) pair read arrived once and departed at the stop, before its
    // reader was removed.
    std::set<std::pair<std::uint32_t, std::string>> pairs;
    for (const auto& e : events) {
        if (e.kind == 'r') {
            pairs.emplace(e.tag, e.name);
        }
    }
    EXPECT_EQ(sink->Count('p', "arrive"), pairs.size());
    EXPECT_EQ(sink->Count('p', "depart"), pairs.size());
    Sequence lastDepart = 0;
    Sequence firstRemoved = ~Sequence{0};
    for (const auto& e : events) {
        if (e.kind == 'p' && e.what == "depart") {
            lastDepart = std::max(lastDepart, e.seq);
        }
        if (e.kind == 'd' && e.what == "removed") {
            firstRemoved = std::min(firstRemoved, e.seq);
        }
    }
    EXPECT_LT(lastDepart, firstRemoved);
    EXPECT_EQ(Engine().PresentTags(), 0u);
}

TEST_F(EventStreamTest, PresenceArrivesAndDepartsInVirtualTime) {
    Start(EngineSettings{.loginTimeMinutes = 5});  // R02 stays silent for over a minute
    SimReader& a = Quiet("R01");
    SimReader& b = Quiet("R02");
    Started({&a, &b});
    const std::int64_t t0 = clock.UnixMillis();
    // Read every 10 s for a minute: present all along.
    for (int i = 0; i < 7; ++i) {
        Read(a, 4242);
        Advance(10s);
    }
    ASSERT_EQ(Presence(4242).size(), 1u);
    EXPECT_EQ(Presence(4242)[0].what, "arrive");
    EXPECT_EQ(Presence(4242)[0].name, "R01");
    EXPECT_EQ(Presence(4242)[0].timeMs, t0);
    // The other reader sees it too: an arrival of its own.
    Read(b, 4242);
    ASSERT_EQ(Presence(4242).size(), 2u);
    EXPECT_EQ(Presence(4242)[1].name, "R02");
    // R01 read it last 10 s ago: 20 s more and it is still there, 21 s and it has gone.
    Advance(20s);
    EXPECT_EQ(Presence(4242).size(), 2u);
    Advance(1s);
    ASSERT_TRUE(WaitUntil([&] { return Presence(4242).size() == 3; }));
    EXPECT_EQ(Presence(4242)[2].what, "depart");
    EXPECT_EQ(Presence(4242)[2].name, "R01");
    Advance(10s);
    ASSERT_TRUE(WaitUntil([&] { return Presence(4242).size() == 4; }));
    EXPECT_EQ(Presence(4242)[3].name, "R02") << "R02 read it 10 s after R01";
    EXPECT_EQ(Engine().PresentTags(), 0u);
}

TEST_F(EventStreamTest, AReaderThatReconnectsKeepsItsPresenceByName) {
    Start(EngineSettings{.loginTimeMinutes = 1, .refreshSeconds = 10});
    SimReader& first = Quiet("R01");
    Started({&first});
    Read(first, 99);
    first.Close();
    SimReader& second = Quiet("R01");  // the same reader from a new port: a new key
    Handshake(second);
    ASSERT_TRUE(WaitUntil([&] { return sink->Count('r') == 3; }));
    Read(second, 99);
    // The old connection's record expires while the new one keeps reading the tag.
    for (int i = 0; i < 8; ++i) {
        Advance(10s);
        Read(second, 99);
    }
    ASSERT_TRUE(WaitUntil([&] { return sink->Count('d', "removed") == 1; }));
    const auto presence = Presence(99);
    ASSERT_EQ(presence.size(), 1u) << "one arrival, no depart while the reader is there";
    // The last connection goes: its tags depart.
    ASSERT_TRUE(Engine().Disconnect(Key(second)));
    ASSERT_TRUE(WaitUntil([&] { return Presence(99).size() == 2; }));
    EXPECT_EQ(Presence(99)[1].what, "depart");
}

TEST_F(EventStreamTest, ASlowSinkHoldsTheReadersBackAndLosesNothing) {
    // A short queue and a sink slower than any parse pass: a pass may carry a staging ring's
    // worth of reads (thousands), and under a sanitizer a pass takes milliseconds itself.
    auto slow = std::make_shared<RecordingSink>(30ms);
    Engine().AttachSink("slow", slow, 4);
    Start(EngineSettings{.history = false});  // only the sinks of the test hold it back
    const auto heldBack = [&] {
        for (const auto& status : Engine().Sinks()) {
            if (status.name == "slow") {
                return status.heldBack > 0;
            }
        }
        return false;
    };
    SimReaderOptions options;
    options.rate = 0.0001;
    options.keepFrames = false;
    options.tagCount = 5'000;
    SimReader& reader = Connect(options);
    Handshake(reader);
    reader.SetRate(0);
    ASSERT_TRUE(WaitUntil([&] { return slow->Count('r') > 5'000 && heldBack(); }, 60'000))
        << "the parse thread should wait for the slow sink";
    reader.SetRate(0.0001);
    ASSERT_TRUE(WaitUntil([&] { return reader.UnsentBytes() == 0; }, 20'000));
    const std::uint64_t sent = reader.Stats().reportsSent;
    // Sanitized builds on a loaded machine take long here: the sink sleeps per batch.
    ASSERT_TRUE(WaitUntil([&] { return slow->Count('r') == sent; }, 150'000))
        << slow->Count('r') << " of " << sent;
    EXPECT_EQ(Engine().Tags().TotalReads(), sent);
    // The fixture's own sink has its own thread and queue: it may finish a little later.
    EXPECT_TRUE(WaitUntil([&] { return sink->Count('r') == sent; }, 20'000))
        << sink->Count('r') << " of " << sent;
    EXPECT_GT(Engine().PipelineStats().readPauses, 0u) << "and the readers were held back";
}

}  // namespace
}  // namespace trelvane::test
