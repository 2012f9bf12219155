// The receive path against peers that do not play fair: a reader that floods but never reads
// what it is sent, and an orderly stop in the middle of a flood.

#include <map>

#include "records/TagId.h"
#include "service/EngineFixture.h"
#include "service/QtDeviceSocket.h"
#include "service/RawPeer.h"

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;

class ReceiveBoundsTest : public EngineFixture {
  protected:
    // Takes `peer` through the start-up dialogue beside the simulated readers in `group`
    // (15 s of virtual time), answering as a well-behaved reader would.
    void HandshakeWithPeer(RawPeer& peer, std::initializer_list<SimReader*> group) {
        ASSERT_TRUE(peer.WaitForCommand(0x01));
        ASSERT_TRUE(peer.SendAll(RawPeer::NameReply("H1")));
        ASSERT_TRUE(WaitUntil([&] {
            const DeviceRecord d = Engine().FindDevice(peer.Key());
            return d && d->DeviceName() == "H1";
        }));
        for (SimReader* r : group) {
            ASSERT_TRUE(WaitUntil([&] { return Device(*r)->DeviceName() != Key(*r); }));
        }
        Advance(10s);
        ASSERT_TRUE(peer.WaitForCommand(0xB0));
        ASSERT_TRUE(peer.SendAll(RawPeer::ClockReply()));
        // Virtual time moves on only once the reply has been handled, as a reader's would be.
        ASSERT_TRUE(WaitUntil([&] { return Engine().FindDevice(peer.Key())->clockSet.load(); }));
        for (SimReader* r : group) {
            ASSERT_TRUE(WaitUntil([&] { return Device(*r)->clockSet.load(); }));
        }
        Advance(5s);
        ASSERT_TRUE(peer.WaitForCommand(0x62));
        ASSERT_TRUE(peer.SendAll(RawPeer::StartReply()));
        ASSERT_TRUE(WaitUntil([&] { return Engine().FindDevice(peer.Key())->reading.load(); }));
        for (SimReader* r : group) {
            ASSERT_TRUE(WaitUntil([&] { return Device(*r)->reading.load(); }));
        }
    }

    // Small kernel buffers on the server's side of the peer's connection, so the test reaches
    // the bound on Qt's side after kilobytes rather than the megabytes that autotuning allows.
    void ShrinkServerSendBuffer(const RawPeer& peer) {
        const auto socket =
            std::dynamic_pointer_cast<QtDeviceSocket>(Engine().FindDevice(peer.Key())->socket);
        ASSERT_NE(socket, nullptr);
        socket->Socket()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
    }

    qint64 Unsent(const std::string& key) {
        const DeviceRecord device = Engine().FindDevice(key);
        const auto socket =
            device ? std::dynamic_pointer_cast<QtDeviceSocket>(device->socket) : nullptr;
        return socket ? socket->Unsent() : -1;
    }
};

// A reader that sends without reading gets every chunk acknowledged; the acknowledgements must
// not pile up without bound. Its socket is left unread once 64 KiB are unsent, so TCP holds it
// back; a reader beside it loses nothing, and the stuck one is expired like any silent reader.
TEST_F(ReceiveBoundsTest, AReaderThatNeverReadsIsHeldBackNotBuffered) {
    Start();
    SimReaderOptions options;
    options.rate = 0;  // flood, and read everything it is sent
    options.keepFrames = false;
    SimReader& good = Connect(options);
    RawPeer peer(Engine().ListeningPort(), 4096);
    ASSERT_TRUE(peer.Connected());
    ASSERT_TRUE(WaitUntil([&] { return Engine().FindDevice(peer.Key()) != nullptr; }));
    ShrinkServerSendBuffer(peer);
    HandshakeWithPeer(peer, {&good});

    // Zeros hold no start byte: each full buffer is dropped, but each chunk is acknowledged.
    const Bytes zeros(64 * 1024, 0x00);
    qint64 maxUnsent = 0;
    bool heldBack = false;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && !heldBack) {
        for (int i = 0; i < 16; ++i) {
            peer.SendSome(zeros);
        }
        QCoreApplication::processEvents();
        maxUnsent = std::max(maxUnsent, Unsent(peer.Key()));
        // Held back: the server no longer reads, so the kernel stops taking the peer's bytes.
        heldBack = Engine().PipelineStats().sendPauses.load() > 0 && peer.SendSome(zeros) == 0;
    }
    ASSERT_TRUE(heldBack) << "max unsent " << maxUnsent << ", discarded "
                          << Engine().PipelineStats().bytesDiscarded.load();
    const std::uint64_t receivedWhenHeld = Engine().PipelineStats().bytesReceived.load();
    for (int i = 0; i < 50; ++i) {
        peer.SendSome(zeros);
        QCoreApplication::processEvents();
        maxUnsent = std::max(maxUnsent, Unsent(peer.Key()));
    }
    EXPECT_LE(maxUnsent, QtDeviceSocket::kSendLimitBytes);
    EXPECT_GE(maxUnsent, QtDeviceSocket::kSendPauseBytes) << "the pause mark was reached";

    // Operator commands still fail visibly rather than queue behind the stuck acknowledgements.
    const auto peerSocket =
        std::dynamic_pointer_cast<QtDeviceSocket>(Engine().FindDevice(peer.Key())->socket);
    int refused = 0;
    for (int i = 0; i < 2000 && refused == 0; ++i) {
        refused += Engine().StartRead(peer.Key()) ? 0 : 1;
    }
    EXPECT_EQ(refused, 1) << "a command beyond the send limit is refused";
    EXPECT_LE(peerSocket->Unsent(), QtDeviceSocket::kSendLimitBytes);

    // The good reader keeps flowing while the peer is held, and loses nothing. (Its own bytes
    // may pause for a moment while a sink, the history, holds the parse thread back, so this
    // waits rather than sampling one instant.)
    EXPECT_TRUE(WaitUntil(
        [&] { return Engine().PipelineStats().bytesReceived.load() > receivedWhenHeld; }, 10000));
    good.SetRate(1e-6);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return good.UnsentBytes() == 0 &&
                   static_cast<std::uint64_t>(Device(good)->tagCount.load()) ==
                       good.Stats().reportsSent;
        },
        10000))
        << Device(good)->tagCount.load() << " of " << good.Stats().reportsSent;

    // Nothing read from the stuck peer any more, so it falls silent and is expired; the good
    // reader keeps reporting and stays.
    good.SetRate(0);
    for (int second = 0; second < 75; ++second) {
        const std::int32_t before = Device(good)->tagCount.load();
        ASSERT_TRUE(WaitUntil([&] { return Device(good)->tagCount.load() > before; }));
        Advance(1s);
    }
    EXPECT_EQ(Engine().FindDevice(peer.Key()), nullptr);
    EXPECT_NE(Device(good), nullptr);
}

// When the stuck reader starts reading again its socket is read again: the pause is lifted
// once the queue has drained below half.
TEST_F(ReceiveBoundsTest, AHeldBackReaderIsReadAgainOnceItCatchesUp) {
    Start();
    RawPeer peer(Engine().ListeningPort(), 4096);
    ASSERT_TRUE(WaitUntil([&] { return Engine().FindDevice(peer.Key()) != nullptr; }));
    ShrinkServerSendBuffer(peer);
    HandshakeWithPeer(peer, {});
    const Bytes zeros(64 * 1024, 0x00);
    ASSERT_TRUE(WaitUntil(
        [&] {
            peer.SendSome(zeros);
            return Engine().PipelineStats().sendPauses.load() > 0;
        },
        20000));
    const std::uint64_t pausedAt = Engine().PipelineStats().bytesReceived.load();

    // Tag reports now, behind the zeros; the peer reads everything that was queued for it.
    std::vector<Bytes> reports;
    Bytes stream;
    for (std::uint32_t tag = 1; tag <= 200; ++tag) {
        const Bytes report = RawPeer::TagReport(100000 + tag);
        stream.insert(stream.end(), report.begin(), report.end());
    }
    std::size_t sent = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            peer.ReadAvailable();
            if (sent < stream.size()) {
                sent +=
                    peer.SendSome(Bytes(stream.begin() + static_cast<long>(sent), stream.end()));
            }
            return sent == stream.size() && Engine().Tags().Size() == 200;
        },
        20000))
        << "recorded " << Engine().Tags().Size() << " of 200";
    EXPECT_GT(Engine().PipelineStats().bytesReceived.load(), pausedAt);
    EXPECT_LT(Unsent(peer.Key()), QtDeviceSocket::kSendPauseBytes);
}

// An orderly stop in the middle of a flood: once StopReceiving returns nothing more is read,
// and the tables hold exactly the reads that the day log holds, ID by ID.
TEST_F(ReceiveBoundsTest, StopReceivingLeavesTablesAndDayLogInAgreement) {
    for (const int floodMs : {30, 150, 600}) {
        SCOPED_TRACE(floodMs);
        EngineSettings settings;
        settings.keepRecord = 1;
        Start(settings);
        std::vector<SimReader*> group;
        for (int i = 0; i < 3; ++i) {
            SimReaderOptions options;
            options.deviceName = "F" + std::to_string(i);
            options.rate = 0;
            options.keepFrames = false;
            options.firstTag = 1000u * static_cast<std::uint32_t>(i + 1);
            options.tagCount = 50;
            group.push_back(&Connect(options));
        }
        Handshake({group[0], group[1], group[2]});
        const QDeadlineTimer flood(floodMs);
        while (!flood.hasExpired()) {
            QCoreApplication::processEvents();
        }

        Engine().StopReceiving();
        EXPECT_FALSE(Engine().IsReceiving());
        const std::uint64_t received = Engine().PipelineStats().bytesReceived.load();
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();  // the readers are still sending
        }
        EXPECT_EQ(Engine().PipelineStats().bytesReceived.load(), received)
            << "nothing is read after StopReceiving";
        Engine().RefreshTagList();
        std::map<std::uint32_t, long> listed;
        const TagListModel& list = Engine().TagList();
        for (std::size_t row = 0; row < list.RowCount(); ++row) {
            listed[list.RowTagId(row)] = std::stol(list.Cell(row, TagListModel::kColumnReadCount));
        }
        Engine().StopService();

        std::map<std::uint32_t, long> logged;
        const std::string log = ReadFile(dir / "2026-12-07 ReadIdRec.txt");
        const std::string idMark = "ID\xA3\xBA";
        for (std::size_t at = log.find(idMark); at != std::string::npos;
             at = log.find(idMark, at + 1)) {
            const std::size_t begin = at + idMark.size();
            const auto id = ParseTagIdText(log.substr(begin, log.find('\t', begin) - begin));
            ASSERT_TRUE(id.has_value());
            ++logged[*id];
        }
        EXPECT_FALSE(logged.empty());
        EXPECT_EQ(listed, logged);
        std::filesystem::remove(dir / "2026-12-07 ReadIdRec.txt");
        readers.clear();
        QCoreApplication::processEvents();
    }
}

}  // namespace
}  // namespace trelvane::test
