#include <QTcpServer>

#include "protocol/HostCommand.h"
#include "service/EngineFixture.h"
#include "support/TagFrames.h"

namespace trelvane::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kQuery = 0x01;
constexpr std::uint8_t kClock = 0xB0;
constexpr std::uint8_t kStart = 0x62;
constexpr std::uint8_t kStop = 0x6F;
constexpr std::uint8_t kAck = 0xD0;

using Frames = std::vector<Bytes>;

Frames FramesWith(const SimReader& reader, std::uint8_t command) {
    Frames out;
    for (const auto& f : reader.ReceivedFrames()) {
        if (f.size() > 4 && f[4] == command) {
            out.push_back(f);
        }
    }
    return out;
}

Bytes Wire(std::uint8_t command, const Bytes& data, unsigned parameter = 0) {
    return WireFrame(command, parameter, data);
}

using ServiceEngineTest = EngineFixture;

TEST_F(ServiceEngineTest, StartFailsWithoutConfigOrOnAPortInUse) {
    EXPECT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kNoConfig);
    EXPECT_FALSE(Engine().IsRunning());

    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::LocalHost, 0));
    EngineSettings settings;
    settings.port = occupier.serverPort();
    WriteConfig(settings);
    EXPECT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kListenFailed);
    EXPECT_FALSE(Engine().IsRunning());
    EXPECT_EQ(scheduler.PendingTimers(), 0u) << "a failed start starts no timer";

    WriteFile(dir / "SysConf.ini", "[Service_Param]\r\nService_IP=10.0.0.300\r\n");
    EXPECT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kListenFailed);
    WriteFile(dir / "SysConf.ini",
              "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=70000\r\n");
    EXPECT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kListenFailed)
        << "an out-of-range port is refused, not truncated";
}

TEST_F(ServiceEngineTest, ANewReaderIsDrivenThroughItsStartUpDialogue) {
    Start();
    SimReaderOptions options;
    options.rate = 0.001;  // one report, then quiet
    SimReader& reader = Connect(options);

    ASSERT_TRUE(WaitForFrames(reader, kQuery, 1));
    EXPECT_EQ(Hex(FramesWith(reader, kQuery)[0]), "55 00 00 02 01 00 06 28");
    ASSERT_TRUE(WaitUntil([&] { return Engine().DeviceList().RowCount() == 1; }));
    EXPECT_EQ(Engine().DeviceList().Cell(0, 0), Key(reader));
    EXPECT_EQ(Engine().DeviceList().Cell(0, 1), "1");
    EXPECT_EQ(Engine().DeviceList().Cell(0, 2), "R01");
    EXPECT_EQ(Engine().DeviceList().Cell(0, 3), "2026-12-07 12:00:00");

    Advance(9'900ms);
    EXPECT_EQ(reader.Stats().framesByCommand[kClock], 0u);
    Advance(100ms);  // 10 s after connecting: the clock, as the PC has it now
    ASSERT_TRUE(WaitForFrames(reader, kClock, 1));
    EXPECT_EQ(Hex(FramesWith(reader, kClock)[0]).substr(0, 35),
              "55 00 00 08 B0 10 00 12 01 07 12 26");
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->clockSet.load(); }));

    Advance(5s);  // 15 s: start reading
    ASSERT_TRUE(WaitForFrames(reader, kStart, 1));
    EXPECT_EQ(Hex(FramesWith(reader, kStart)[0]), "55 00 00 03 62 01 01 BD AD");
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->reading.load(); }));

    // The one report arrives, is acknowledged and, after the 100 ms refresh, listed.
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == 1; }));
    ASSERT_TRUE(WaitForFrames(reader, kAck, 1));
    Advance(100ms);
    ASSERT_EQ(Engine().TagList().RowCount(), 1u);
    EXPECT_EQ(Engine().TagList().Cell(0, 2), "12345678");
    EXPECT_EQ(Engine().TagList().Cell(0, 3), "R01");
    EXPECT_EQ(Engine().TagList().Cell(0, 4), "1");
    // The reader's clock was set to the PC's at 12:00:10; its report carries that clock.
    EXPECT_EQ(Engine().TagList().Cell(0, 5).substr(0, 16), "2026-12-07 12:00");

    Advance(60s);
    EXPECT_EQ(FramesWith(reader, kQuery).size(), 1u);
    EXPECT_EQ(FramesWith(reader, kClock).size(), 1u);
    EXPECT_EQ(FramesWith(reader, kStart).size(), 1u) << "the dialogue is over after 25 s";
}

TEST_F(ServiceEngineTest, AReaderThatNeverAnswersIsDroppedAfterNineQueries) {
    EngineSettings settings;
    settings.loginTimeMinutes = 10;  // so the silence time-out does not come first
    Start(settings);
    SimReaderOptions options;
    options.silent = true;
    SimReader& reader = Connect(options);
    Advance(89s);
    ASSERT_TRUE(WaitForFrames(reader, kQuery, 9));
    EXPECT_TRUE(reader.IsConnected());
    Advance(1s);
    EXPECT_TRUE(WaitUntil([&] { return !reader.IsConnected(); })) << "disconnected at 90 s";
    EXPECT_EQ(FramesWith(reader, kQuery).size(), 9u);
    Advance(10s);  // the next rebuild removes the offline record
    EXPECT_EQ(Engine().Devices().Size(), 0u);
}

TEST_F(ServiceEngineTest, SilentReadersExpireAndActiveOnesStay) {
    EngineSettings settings;
    settings.loginTimeMinutes = 1;
    settings.refreshSeconds = 10;
    Start(settings);
    SimReaderOptions quiet;
    quiet.rate = 0.0001;
    SimReader& silent = Connect(quiet);
    quiet.deviceName = "R02";
    SimReader& active = Connect(quiet);
    Handshake({&silent, &active});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == 2; }));
    const std::uint32_t lastChunk = Device(silent)->lastActiveTick;

    // The active reader sends a frame every 30 s (a stop answer, which the engine ignores).
    const Bytes keepAlive = Wire(0x6F, {0x00});
    std::optional<std::uint32_t> goneAfter;
    for (int second = 1; second <= 90; ++second) {
        Advance(1s);
        if (second % 30 == 0) {
            active.SendRaw(keepAlive);
            const std::uint64_t before = Engine().PipelineStats().bytesReceived;
            ASSERT_TRUE(WaitUntil([&] { return Engine().PipelineStats().bytesReceived > before; }));
        }
        if (!goneAfter && Engine().FindDevice(Key(silent)) == nullptr) {
            goneAfter = clock.TickCount() - lastChunk;
        }
    }
    ASSERT_TRUE(goneAfter.has_value());
    EXPECT_GE(*goneAfter, 60'000u);
    EXPECT_LE(*goneAfter, 70'000u);
    EXPECT_TRUE(WaitUntil([&] { return !silent.IsConnected(); }));
    EXPECT_NE(Engine().FindDevice(Key(active)), nullptr);
    ASSERT_EQ(Engine().DeviceList().RowCount(), 1u);
    EXPECT_EQ(Engine().DeviceList().Cell(0, 2), "R02");
}

TEST_F(ServiceEngineTest, ExpiryIsRightAcrossTheTickWrap) {
    clock.SetTick(0xFFFFFFFFu - 30'000);  // wraps 30 s into the test
    Start();
    SimReaderOptions quiet;
    quiet.rate = 0.0001;
    SimReader& reader = Connect(quiet);
    Handshake(reader);
    // The one report must be in before virtual time moves on, or it would count as activity
    // at whatever virtual moment it happens to arrive.
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == 1; }));
    for (int i = 0; i < 5; ++i) {  // active every 20 s across the wrap
        Advance(20s);
        const std::uint64_t before = Engine().PipelineStats().bytesReceived;
        reader.SendRaw(Wire(0x6F, {0x00}));
        ASSERT_TRUE(WaitUntil([&] { return Engine().PipelineStats().bytesReceived > before; }));
    }
    EXPECT_NE(Engine().FindDevice(Key(reader)), nullptr);
    Advance(75s);
    EXPECT_EQ(Engine().FindDevice(Key(reader)), nullptr);
}

TEST_F(ServiceEngineTest, ClocksAreSetOnceAtMidnight) {
    SetLocalTime(2026, 12, 7, 23, 58, 0);
    EngineSettings settings;
    settings.refreshSeconds = 0;  // no expiry: only the 100 ms timer runs the check
    settings.loginTimeMinutes = 10;
    Start(settings);
    std::vector<SimReader*> fleet;
    for (const char* name : {"R01", "R02", "R03"}) {
        SimReaderOptions options;
        options.deviceName = name;
        options.rate = 0.0001;
        fleet.push_back(&Connect(options));
    }
    Handshake({fleet[0], fleet[1], fleet[2]});
    Advance(30s);
    for (SimReader* reader : fleet) {
        EXPECT_EQ(FramesWith(*reader, kClock).size(), 1u) << "only the handshake's";
    }
    Advance(90s);  // 00:00:15 of the 8th
    for (SimReader* reader : fleet) {
        ASSERT_TRUE(WaitForFrames(*reader, kClock, 2));
        const Bytes set = FramesWith(*reader, kClock)[1];
        EXPECT_EQ(Hex(Bytes(set.begin() + 7, set.begin() + 12)), "00 02 08 12 26")
            << "midnight of Tuesday the 8th";
    }
    Advance(10min);
    for (SimReader* reader : fleet) {
        EXPECT_EQ(FramesWith(*reader, kClock).size(), 2u) << "once per day";
    }
}

TEST_F(ServiceEngineTest, NoCalibrationWhenItIsOff) {
    SetLocalTime(2026, 12, 7, 23, 59, 0);
    EngineSettings settings;
    settings.calibrate = 0;
    settings.loginTimeMinutes = 10;
    Start(settings);
    SimReaderOptions options;
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    Handshake(reader);
    Advance(2min);
    EXPECT_EQ(FramesWith(reader, kClock).size(), 1u);
}

TEST_F(ServiceEngineTest, StopAndStartReadOnAReader) {
    Start();
    SimReaderOptions options;
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    Handshake(reader);
    ASSERT_TRUE(reader.IsReporting());

    ASSERT_TRUE(Engine().StopRead(Key(reader)));
    ASSERT_TRUE(WaitForFrames(reader, kStop, 1));
    EXPECT_TRUE(Device(reader)->reading) << "cleared after the first pause";
    for (std::size_t n = 2; n <= 4; ++n) {
        Advance(500ms);
        EXPECT_FALSE(Device(reader)->reading);
        ASSERT_TRUE(WaitForFrames(reader, kStop, n));
    }
    Advance(5s);
    EXPECT_EQ(FramesWith(reader, kStop).size(), 4u);
    EXPECT_EQ(Hex(FramesWith(reader, kStop)[0]), "55 00 00 01 6F 87 61");
    EXPECT_FALSE(reader.IsReporting());

    ASSERT_TRUE(Engine().StartRead(Key(reader)));
    ASSERT_TRUE(WaitForFrames(reader, kStart, 2));
    EXPECT_TRUE(WaitUntil([&] { return Device(reader)->reading.load(); }))
        << "set again by the reader's acknowledgement";

    EXPECT_FALSE(Engine().StartRead("10.9.9.9:1"));
    EXPECT_FALSE(Engine().StopRead("10.9.9.9:1"));
}

// Every byte a reader sends after the engine started reading it is acknowledged, chunk by
// chunk, and every report is recorded.
TEST_F(ServiceEngineTest, AcknowledgementsAddUpToTheBytesSentWhileReading) {
    Start();
    SimReaderOptions options;
    options.startAfter = 0;  // the test plays the start acknowledgement itself
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->DeviceName() == "R01"; }));
    reader.SendRaw(Wire(0x62, {0x00}));
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->reading.load(); }));
    const std::uint64_t ackedBefore = reader.Stats().bytesAcked;

    std::uint64_t sent = 0;
    Bytes burst;
    for (std::uint32_t id = 0; id < 3000; ++id) {
        const auto frame = TagFrame(0x00550000u + id);
        const Bytes report = Wire(0x62, Bytes(frame.begin() + 5, frame.begin() + 21));
        burst.insert(burst.end(), report.begin(), report.end());
        if (burst.size() > 700 || id == 2999) {
            reader.SendRaw(burst);
            sent += burst.size();
            burst.clear();
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return reader.Stats().bytesAcked - ackedBefore == sent; }, 5000))
        << "acknowledged " << reader.Stats().bytesAcked - ackedBefore << " of " << sent;
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == 3000; }));
    EXPECT_EQ(Engine().Tags().Size(), 3000u);
    EXPECT_EQ(Device(reader)->tagCount, 3000);
    // Each acknowledgement covers one receive of at most 256 bytes.
    for (const Bytes& ack : FramesWith(reader, kAck)) {
        EXPECT_LE((ack[5] << 8) | ack[6], 256);
    }
}

// Whole tag reports for tags firstTag, firstTag + 1, ... as one burst of at most `bytes`;
// `count` gets how many.
Bytes ReportBurst(std::uint32_t firstTag, std::size_t bytes, std::uint32_t& count) {
    Bytes burst;
    count = 0;
    while (burst.size() + 40 < bytes) {
        const auto frame = TagFrame(firstTag + count++);
        const Bytes report = Wire(0x62, Bytes(frame.begin() + 5, frame.begin() + 21));
        burst.insert(burst.end(), report.begin(), report.end());
    }
    return burst;
}

// A burst bigger than the 1 KiB device buffer but within the staging ring is read, and
// acknowledged, without pausing the reader; the parse thread takes all of it from the ring
// though the reader sends nothing more, and the ring is given back once it is empty.
TEST_F(ServiceEngineTest, ABurstWithinTheStagingRingIsReadWithoutPausingAndParsedWhole) {
    Start();
    SimReaderOptions options;
    options.startAfter = 0;  // the test plays the start acknowledgement itself
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->DeviceName() == "R01"; }));
    reader.SendRaw(Wire(0x62, {0x00}));
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->reading.load(); }));
    const std::uint64_t ackedBefore = reader.Stats().bytesAcked;
    const std::uint64_t pausesBefore = Engine().PipelineStats().readPauses;

    std::uint32_t reports = 0;
    const Bytes burst = ReportBurst(0x00770000u, 12 * 1024, reports);
    reader.SendRaw(burst);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == reports; }))
        << Engine().Tags().TotalReads() << " of " << reports;
    EXPECT_TRUE(WaitUntil([&] { return reader.Stats().bytesAcked - ackedBefore == burst.size(); }));
    EXPECT_EQ(Engine().PipelineStats().readPauses, pausesBefore)
        << "12 KiB fit the buffer and the ring: no pause";
    const DeviceRecord device = Device(reader);
    std::lock_guard lock(device->receiveLock);
    EXPECT_TRUE(device->staging.Empty());
    EXPECT_FALSE(device->staging.Allocated()) << "an idle reader holds no ring";
}

// Bytes read before the parse thread has seen reading start are never acknowledged, so the ring
// is not used until then: a start-read reply and a burst in one send leave at most the device
// buffer unacknowledged, as without the ring.
TEST_F(ServiceEngineTest, TheRingWaitsForReadingToStartSoAtMostABufferGoesUnacknowledged) {
    Start();
    SimReaderOptions options;
    options.startAfter = 0;
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->DeviceName() == "R01"; }));
    const std::uint64_t ackedBefore = reader.Stats().bytesAcked;
    Bytes burst = Wire(0x62, {0x00});
    std::uint32_t reports = 0;
    const Bytes tags = ReportBurst(0x00880000u, 12 * 1024 - burst.size(), reports);
    burst.insert(burst.end(), tags.begin(), tags.end());
    reader.SendRaw(burst);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == reports; }))
        << Engine().Tags().TotalReads() << " of " << reports;
    ASSERT_TRUE(WaitUntil([&] {
        return reader.Stats().bytesAcked - ackedBefore + kReceiveBufferSize >= burst.size();
    })) << "acknowledged "
        << reader.Stats().bytesAcked - ackedBefore << " of " << burst.size();
}

// Two readers flood at once, faster than the parse thread drains a 1 KiB buffer: reading pauses
// and resumes, and every report sent is recorded.
TEST_F(ServiceEngineTest, FloodingReadersLoseNothing) {
    Start();
    SimReaderOptions options;
    options.rate = 0.0001;
    options.keepFrames = false;
    options.tagCount = 50'000;
    SimReader& a = Connect(options);
    options.deviceName = "R02";
    options.firstTag = 90'000'000;
    SimReader& b = Connect(options);
    Handshake({&a, &b});
    a.SetRate(0);
    b.SetRate(0);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() > 40'000; }, 20'000));
    // Stop flooding and let everything in flight arrive. (Closing now would lose it: a
    // socket closed with unread acknowledgements resets the connection.)
    a.SetRate(0.0001);
    b.SetRate(0.0001);
    // With the history on (the default) a sanitized build takes a while to catch up.
    ASSERT_TRUE(WaitUntil([&] { return a.UnsentBytes() == 0 && b.UnsentBytes() == 0; }, 60'000));
    const std::uint64_t sent = a.Stats().reportsSent + b.Stats().reportsSent;
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == sent; }, 60'000))
        << Engine().Tags().TotalReads() << " of " << sent;
    EXPECT_EQ(Device(a)->tagCount + Device(b)->tagCount, static_cast<std::int32_t>(sent));
    EXPECT_GT(Engine().PipelineStats().readPauses, 0u) << "the buffer-full path was exercised";
    EXPECT_EQ(Engine().PipelineStats().bytesDiscarded, 0u);
}

TEST_F(ServiceEngineTest, ABufferFullOfJunkIsDroppedAndTheReaderRecovers) {
    Start();
    SimReaderOptions options;
    options.startAfter = 0;
    SimReader& reader = Connect(options);
    ASSERT_TRUE(WaitUntil([&] { return Device(reader)->DeviceName() == "R01"; }));
    reader.SendRaw(Bytes(5000, 0x01));  // can never become a frame
    reader.SendRaw(Wire(0x01, {0x00, 'K', '3', '1', '4', 'B'}, 1));
    ASSERT_TRUE(
        WaitUntil([&] { return Device(reader)->Text(DeviceText::kProductType) == "K314B"; }));
    EXPECT_GT(Engine().PipelineStats().bytesDiscarded, 0u);
}

TEST_F(ServiceEngineTest, StopClosesEverythingAndStartBeginsAfresh) {
    Start();
    SimReader& r1 = Connect();
    SimReaderOptions second;
    second.deviceName = "R02";
    SimReader& r2 = Connect(second);
    Handshake({&r1, &r2});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 2; }));
    Advance(100ms);
    ASSERT_GT(Engine().TagList().RowCount(), 0u);

    Engine().StopService();
    EXPECT_FALSE(Engine().IsRunning());
    EXPECT_EQ(Engine().Devices().Size(), 0u);
    EXPECT_EQ(Engine().DeviceList().RowCount(), 0u);
    EXPECT_EQ(Engine().TagList().RowCount(), 0u);
    EXPECT_EQ(Engine().Tags().Size(), 0u);
    EXPECT_EQ(scheduler.PendingTimers(), 0u) << "timers and sequences all cancelled";
    EXPECT_TRUE(WaitUntil([&] { return !r1.IsConnected() && !r2.IsConnected(); }));

    ASSERT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kStarted);
    SimReader& r3 = Connect();
    Handshake(r3);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 1; }));
    EXPECT_EQ(Engine().Devices().Size(), 1u);
}

TEST_F(ServiceEngineTest, DisconnectDropsOneDevice) {
    Start();
    SimReader& r1 = Connect();
    SimReaderOptions second;
    second.deviceName = "R02";
    SimReader& r2 = Connect(second);
    ASSERT_TRUE(WaitUntil([&] { return Engine().DeviceList().RowCount() == 2; }));
    EXPECT_FALSE(Engine().Disconnect("1.2"));
    EXPECT_FALSE(Engine().Disconnect("10.9.9.9:1"));
    ASSERT_TRUE(Engine().Disconnect(Key(r1)));
    EXPECT_TRUE(WaitUntil([&] { return !r1.IsConnected(); }));
    EXPECT_TRUE(r2.IsConnected());
    ASSERT_EQ(Engine().DeviceList().RowCount(), 1u);
    EXPECT_EQ(Engine().DeviceList().Cell(0, 1), "1") << "renumbered";
    EXPECT_EQ(Engine().DeviceList().Cell(0, 2), "R02");
}

// Beyond the connection limit new readers wait in the listen queue (no spinning on accept when
// descriptors run out); they are taken once a device goes.
TEST_F(ServiceEngineTest, ReadersBeyondTheConnectionLimitWaitTheirTurn) {
    Engine().SetConnectionLimit(2);
    Start();
    SimReader& r1 = Connect();
    SimReaderOptions second;
    second.deviceName = "R02";
    Connect(second);
    EXPECT_TRUE(Engine().AcceptingPaused());

    SimReaderOptions third;
    third.deviceName = "R03";
    readers.push_back(std::make_unique<SimReader>(third, nullptr, clock));
    SimReader& r3 = *readers.back();
    r3.ConnectTo(QHostAddress::LocalHost, Engine().ListeningPort());
    EXPECT_FALSE(WaitUntil([&] { return Engine().FindDevice(Key(r3)) != nullptr; }, 300));
    EXPECT_EQ(Engine().Devices().Size(), 2u);

    ASSERT_TRUE(Engine().Disconnect(Key(r1)));
    EXPECT_TRUE(WaitUntil([&] { return Engine().FindDevice(Key(r3)) != nullptr; }));
    ASSERT_TRUE(WaitUntil([&] { return Device(r3)->DeviceName() == "R03"; }));
    EXPECT_TRUE(Engine().AcceptingPaused()) << "two devices again";
}

TEST_F(ServiceEngineTest, DailyLogFilesAreWrittenInTheWorkingFolder) {
    EngineSettings settings;
    settings.keepRecord = 3;
    Start(settings);
    SimReaderOptions options;
    options.rate = 0.0001;
    SimReader& reader = Connect(options);
    Handshake(reader);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() == 1; }));
    Engine().StopService();  // joins the parse thread, which flushes the log
    const std::string txt = ReadFile(dir / "2026-12-07 ReadIdRec.txt");
    // The reader's clock was set at 12:00:10 and reports 12:00:15 or a little later.
    const std::string head =
        "ID\xA3\xBA"
        "12345678\tFrom Device\xA3\xBA"
        "R01\tRead Time\xA3\xBA"
        "2026-12-07 12:00:1";
    EXPECT_EQ(txt.substr(0, head.size()), head);
    EXPECT_EQ(txt.size(), head.size() + 3);
    EXPECT_EQ(txt.substr(txt.size() - 2), "\r\n");
    EXPECT_EQ(ReadFile(dir / "2026-12-07 ReadIdRec.xls"), txt);
}

// Readers connect, flood and vanish while the service stops and starts; run under the
// sanitizers this checks the threads' hand-offs and the records' lifetimes.
TEST_F(ServiceEngineTest, ChurnWhileStoppingAndStarting) {
    Start();
    std::uint32_t seed = 7;
    for (int round = 0; round < 6; ++round) {
        std::vector<std::unique_ptr<SimReader>> wave;
        for (int i = 0; i < 6; ++i) {
            SimReaderOptions options;
            options.deviceName = "C" + std::to_string(i);
            options.rate = 0;
            options.keepFrames = false;
            wave.push_back(std::make_unique<SimReader>(options, nullptr, clock));
            wave.back()->ConnectTo(QHostAddress::LocalHost, Engine().ListeningPort());
        }
        WaitUntil([&] { return Engine().Devices().Size() >= 4; }, 2000);
        Advance(15s);
        WaitUntil([&] { return Engine().Tags().TotalReads() > 0; }, 500);
        for (auto& reader : wave) {
            seed = seed * 1103515245u + 12345u;
            if ((seed >> 16) % 2 == 0) {
                reader->Abort();
            }
        }
        if (round % 2 == 1) {
            Engine().StopService();
            ASSERT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kStarted);
        } else {
            Advance(100ms);
        }
        wave.clear();
        QCoreApplication::processEvents();
    }
    Engine().StopService();
    EXPECT_EQ(Engine().Devices().Size(), 0u);
}

}  // namespace
}  // namespace trelvane::test
