#include "service/ReadControl.h"

#include <gtest/gtest.h>

#include "support/ManualScheduler.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;

// A socket that records the command byte and the virtual time of every frame sent on it.
class ScriptedSocket final : public DeviceSocket {
  public:
    explicit ScriptedSocket(const ManualScheduler& scheduler) : scheduler_(scheduler) {}
    bool SendBytes(std::span<const std::uint8_t> bytes) override {
        if (!open) {
            return false;
        }
        sends.push_back({bytes[4], scheduler_.NowMs()});
        return true;
    }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }

    struct Send {
        std::uint8_t command;
        std::uint64_t atMs;
        friend bool operator==(const Send&, const Send&) = default;
    };
    std::vector<Send> sends;
    bool open = true;

  private:
    const ManualScheduler& scheduler_;
};

constexpr std::uint8_t kQuery = 0x01;
constexpr std::uint8_t kClock = 0xB0;
constexpr std::uint8_t kStart = 0x62;
constexpr std::uint8_t kStop = 0x6F;

class HandshakeTest : public ::testing::Test {
  protected:
    HandshakeTest() : scheduler(clock), socket(std::make_shared<ScriptedSocket>(scheduler)) {}

    // Accepts a connection from 10.0.0.7:4001 and starts its handshake at virtual time 0.
    std::shared_ptr<StartupHandshake> Connect() {
        table.RegisterConnection(kKey, socket, "10.0.0.7", 4001, "t", 0);
        device = table.Find(kKey);
        device->registrationPending = true;
        auto handshake = std::make_shared<StartupHandshake>(table, scheduler, clock, kKey, socket);
        handshake->Start();
        return handshake;
    }

    // Runs virtual time to `ms`, calling `answer` after every send (the reader answering at
    // once, before the next pause ends).
    void RunUntil(std::uint64_t ms,
                  const std::function<void(const ScriptedSocket::Send&)>& answer) {
        std::size_t seen = 0;
        const auto replyToNew = [&] {
            while (seen < socket->sends.size()) {
                answer(socket->sends[seen++]);
            }
        };
        replyToNew();
        while (scheduler.NowMs() < ms) {
            scheduler.AdvanceBy(1ms);
            replyToNew();
        }
    }

    std::vector<std::uint64_t> TimesOf(std::uint8_t command) const {
        std::vector<std::uint64_t> times;
        for (const auto& s : socket->sends) {
            if (s.command == command) {
                times.push_back(s.atMs);
            }
        }
        return times;
    }

    static constexpr const char* kKey = "10.0.0.7:4001";
    ManualClock clock;
    ManualScheduler scheduler;
    std::shared_ptr<ScriptedSocket> socket;
    DeviceTable table;
    DeviceRecord device;
};

using Times = std::vector<std::uint64_t>;

TEST_F(HandshakeTest, AReaderThatAnswersAtOnceIsDoneAfter25Seconds) {
    auto handshake = Connect();
    RunUntil(60'000, [&](const ScriptedSocket::Send& s) {
        if (s.command == kQuery)
            device->registrationPending = false;
        if (s.command == kClock)
            device->clockSet = true;
        if (s.command == kStart)
            device->reading = true;
    });
    EXPECT_EQ(TimesOf(kQuery), Times{0});
    EXPECT_EQ(TimesOf(kClock), Times{10'000});
    EXPECT_EQ(TimesOf(kStart), Times{15'000});
    EXPECT_EQ(handshake->CurrentStage(), StartupHandshake::Stage::kDone);
    EXPECT_FALSE(handshake->GaveUp());
    EXPECT_TRUE(socket->open);
    EXPECT_EQ(scheduler.PendingTimers(), 0u) << "the sequence ended at 25 s";
}

TEST_F(HandshakeTest, ClockAcknowledgedAtTheThirdTry) {
    Connect();
    int clocks = 0;
    RunUntil(60'000, [&](const ScriptedSocket::Send& s) {
        if (s.command == kQuery)
            device->registrationPending = false;
        if (s.command == kClock && ++clocks == 3)
            device->clockSet = true;
        if (s.command == kStart)
            device->reading = true;
    });
    EXPECT_EQ(TimesOf(kClock), (Times{10'000, 15'000, 20'000}));
    EXPECT_EQ(TimesOf(kStart), Times{25'000});
}

TEST_F(HandshakeTest, ASilentReaderGetsNineQueriesAndIsDroppedAt90Seconds) {
    auto handshake = Connect();
    RunUntil(89'999, [](const ScriptedSocket::Send&) {});
    EXPECT_EQ(TimesOf(kQuery),
              (Times{0, 10'000, 20'000, 30'000, 40'000, 50'000, 60'000, 70'000, 80'000}));
    EXPECT_TRUE(socket->open);
    EXPECT_TRUE(device->online);
    RunUntil(200'000, [](const ScriptedSocket::Send&) {});
    EXPECT_FALSE(socket->open) << "disconnected after the ninth pause";
    EXPECT_FALSE(device->online) << "left for the next rebuild to remove";
    EXPECT_TRUE(handshake->GaveUp());
    EXPECT_EQ(socket->sends.size(), 9u);
}

TEST_F(HandshakeTest, IdentificationTestsItsFlagAfterTheNinthPause) {
    Connect();
    int queries = 0;
    RunUntil(120'000, [&](const ScriptedSocket::Send& s) {
        if (s.command == kQuery && ++queries == 9)
            device->registrationPending = false;
        if (s.command == kClock)
            device->clockSet = true;
        if (s.command == kStart)
            device->reading = true;
    });
    EXPECT_EQ(TimesOf(kClock), Times{90'000}) << "named at the last try: goes on to the clock";
    EXPECT_TRUE(socket->open);
}

TEST_F(HandshakeTest, ClockAcknowledgedOnlyAtTheNinthTryStillGivesUp) {
    auto handshake = Connect();
    int clocks = 0;
    RunUntil(120'000, [&](const ScriptedSocket::Send& s) {
        if (s.command == kQuery)
            device->registrationPending = false;
        if (s.command == kClock && ++clocks == 9)
            device->clockSet = true;
    });
    EXPECT_EQ(TimesOf(kClock).size(), 9u);
    EXPECT_EQ(TimesOf(kClock).back(), 50'000u);
    EXPECT_TRUE(TimesOf(kStart).empty());
    EXPECT_FALSE(socket->open) << "the stage gives up when the ninth pause ends";
    EXPECT_TRUE(handshake->GaveUp());
}

TEST_F(HandshakeTest, StartNeverAcknowledgedGivesUpAfterNineTries) {
    Connect();
    RunUntil(200'000, [&](const ScriptedSocket::Send& s) {
        if (s.command == kQuery)
            device->registrationPending = false;
        if (s.command == kClock)
            device->clockSet = true;
    });
    const Times starts = TimesOf(kStart);
    ASSERT_EQ(starts.size(), 9u);
    EXPECT_EQ(starts.front(), 15'000u);
    EXPECT_EQ(starts.back(), 95'000u);
    EXPECT_FALSE(socket->open);
}

// Each connection waits for its own name: another reader's answer does not end it.
TEST_F(HandshakeTest, AnotherReadersNameDoesNotEndIdentification) {
    Connect();
    auto otherSocket = std::make_shared<ScriptedSocket>(scheduler);
    table.RegisterConnection("10.0.0.8:4001", otherSocket, "10.0.0.8", 4001, "t", 0);
    auto other = table.Find("10.0.0.8:4001");
    other->registrationPending = true;
    auto otherHandshake =
        std::make_shared<StartupHandshake>(table, scheduler, clock, "10.0.0.8:4001", otherSocket);
    otherHandshake->Start();
    other->registrationPending = false;  // the other reader answers at once

    RunUntil(25'000, [](const ScriptedSocket::Send&) {});
    EXPECT_EQ(TimesOf(kQuery), (Times{0, 10'000, 20'000})) << "still asking for its own name";
    EXPECT_TRUE(TimesOf(kClock).empty());
}

TEST_F(HandshakeTest, ARemovedDeviceEndsTheSequenceWithoutClosingAgain) {
    auto handshake = Connect();
    RunUntil(5'000, [](const ScriptedSocket::Send&) {});
    table.Erase(kKey);  // Disconnect, seen by the sequence at its next step
    RunUntil(100'000, [](const ScriptedSocket::Send&) {});
    EXPECT_EQ(socket->sends.size(), 1u);
    EXPECT_EQ(handshake->CurrentStage(), StartupHandshake::Stage::kDone);
    EXPECT_FALSE(handshake->GaveUp());
    EXPECT_EQ(scheduler.PendingTimers(), 0u);
}

TEST_F(HandshakeTest, AReconnectUnderTheSameKeyEndsTheOldSequence) {
    auto old = Connect();
    auto newer = std::make_shared<ScriptedSocket>(scheduler);
    table.RegisterConnection(kKey, newer, "10.0.0.7", 4001, "t2", 0);
    EXPECT_FALSE(socket->open) << "the replaced connection is closed";
    RunUntil(100'000, [](const ScriptedSocket::Send&) {});
    EXPECT_EQ(old->CurrentStage(), StartupHandshake::Stage::kDone);
    EXPECT_FALSE(old->GaveUp()) << "it must not mark the new connection offline";
    EXPECT_TRUE(newer->sends.empty());
}

TEST_F(HandshakeTest, CancelStopsEverything) {
    auto handshake = Connect();
    handshake->Cancel();
    RunUntil(100'000, [](const ScriptedSocket::Send&) {});
    EXPECT_EQ(socket->sends.size(), 1u);
    EXPECT_EQ(scheduler.PendingTimers(), 0u);
}

TEST_F(HandshakeTest, StopReadSendsFourFramesHalfASecondApart) {
    Connect();
    device->reading = true;
    const std::size_t before = socket->sends.size();
    auto stop = std::make_shared<StopReadSequence>(device, scheduler, clock);
    stop->Start();
    EXPECT_TRUE(device->reading) << "cleared only after the first pause";
    scheduler.AdvanceBy(499ms);
    EXPECT_TRUE(device->reading);
    scheduler.AdvanceBy(1ms);
    EXPECT_FALSE(device->reading);
    device->reading = true;  // an acknowledgement in between is overridden by the next pass
    scheduler.AdvanceBy(2'000ms);
    EXPECT_FALSE(device->reading);
    std::vector<ScriptedSocket::Send> stops(socket->sends.begin() + static_cast<long>(before),
                                            socket->sends.end());
    const std::vector<ScriptedSocket::Send> expected = {
        {kStop, 0}, {kStop, 500}, {kStop, 1000}, {kStop, 1500}};
    EXPECT_EQ(stops, expected);
    EXPECT_TRUE(stop->Done());
}

TEST_F(HandshakeTest, StopReadOnAFailedSocketTriesFourTimesAtOnce) {
    Connect();
    device->reading = true;
    socket->open = false;
    auto stop = std::make_shared<StopReadSequence>(device, scheduler, clock);
    stop->Start();
    EXPECT_TRUE(stop->Done());
    EXPECT_EQ(scheduler.PendingTimers(), 1u) << "only the handshake's own pause is pending";
    EXPECT_TRUE(device->reading) << "nothing was sent, so nothing changes";
}

}  // namespace
}  // namespace trelvane
