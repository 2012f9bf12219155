#pragma once

// A ServiceEngine in virtual time, on 127.0.0.1 with an OS-chosen port, and simulated readers
// that talk to it over real loopback sockets. Pauses and timers only move when the test
// advances the scheduler; bytes travel in real time and are waited for, never slept for.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <memory>
#include <vector>

#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "sim/SimHost.h"
#include "sim/SimReader.h"
#include "support/LocalTime.h"
#include "support/ManualScheduler.h"
#include "support/TempFolder.h"

namespace trelvane::test {

struct EngineSettings {
    int loginTimeMinutes = 1;
    int refreshSeconds = 10;
    int keepRecord = 0;
    int calibrate = 1;
    int port = 0;
    bool history = true;  // the default of a file without the section
};

class EngineFixture : public ::testing::Test {
  protected:
    EngineFixture() {
        clock.SetLocalTime(At(2026, 12, 7, 12, 0, 0));
        clock.SetTick(1'000'000);
    }
    ~EngineFixture() override {
        readers.clear();
        engine.reset();
        // Sockets handed to deleteLater must go before the test ends.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }

    void SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
        clock.SetLocalTime(At(year, month, day, hour, minute, second));
    }

    void WriteConfig(const EngineSettings& s = {}) {
        WriteFile(
            dir / "SysConf.ini",
            "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=" + std::to_string(s.port) +
                "\r\nLogin_Time=" + std::to_string(s.loginTimeMinutes) +
                "\r\nUSER_Refresh_Time=" + std::to_string(s.refreshSeconds) + "\r\nKeepRecord=" +
                std::to_string(s.keepRecord) + "\r\nCalibrateTime=" + std::to_string(s.calibrate) +
                "\r\n" + (s.history ? "" : "[History]\r\nEnabled=0\r\n"));
    }

    // The engine is made on first use, so a test can set the clock first (the day the engine
    // is made is the day its calibration starts from).
    ServiceEngine& Engine() {
        if (!engine) {
            engine = std::make_unique<ServiceEngine>(clock, scheduler);
        }
        return *engine;
    }

    void Start(const EngineSettings& s = {}) {
        WriteConfig(s);
        ASSERT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kStarted);
    }

    // Connects a reader and waits until the engine has registered it.
    SimReader& Connect(SimReaderOptions options = {}) {
        readers.push_back(std::make_unique<SimReader>(options, nullptr, clock));
        SimReader& reader = *readers.back();
        reader.ConnectTo(QHostAddress::LocalHost, Engine().ListeningPort());
        EXPECT_TRUE(WaitUntil(
            [&] { return reader.IsConnected() && Engine().FindDevice(Key(reader)) != nullptr; }));
        return reader;
    }

    static std::string Key(const SimReader& reader) { return reader.DeviceKey().toStdString(); }
    DeviceRecord Device(const SimReader& reader) { return Engine().FindDevice(Key(reader)); }

    // Moves virtual time in steps of at most 100 ms, letting sockets and queued calls run
    // between steps.
    void Advance(std::chrono::milliseconds span) {
        using namespace std::chrono_literals;
        while (span > 0ms) {
            const auto step = std::min(span, std::chrono::milliseconds(100));
            scheduler.AdvanceBy(step);
            span -= step;
            QCoreApplication::processEvents();
        }
    }

    // Waits until the reader has received `count` frames with `command`.
    static bool WaitForFrames(const SimReader& reader, std::uint8_t command, std::size_t count,
                              int timeoutMs = 3000) {
        return WaitUntil([&] { return reader.Stats().framesByCommand[command] >= count; },
                         timeoutMs);
    }

    // Brings readers that connected together through identification, clock and start
    // (answering at once): 15 s of virtual time, ending with the engine's `reading` flag set
    // for each. Virtual time moves only once every reader has answered the step before, so a
    // slow reply on a loaded machine never looks like a missed one.
    void Handshake(std::initializer_list<SimReader*> group) {
        using namespace std::chrono_literals;
        const auto all = [&](auto done) {
            return WaitUntil([&] {
                for (SimReader* reader : group) {
                    if (!done(*reader)) {
                        return false;
                    }
                }
                return true;
            });
        };
        ASSERT_TRUE(all([&](SimReader& r) { return Device(r)->DeviceName() != Key(r); }));
        Advance(10s);
        ASSERT_TRUE(all([&](SimReader& r) { return Device(r)->clockSet.load(); }));
        Advance(5s);
        ASSERT_TRUE(all([&](SimReader& r) { return Device(r)->reading.load(); }));
    }
    void Handshake(SimReader& reader) { Handshake({&reader}); }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    TempFolder dir;
    std::unique_ptr<ServiceEngine> engine;
    std::vector<std::unique_ptr<SimReader>> readers;
};

}  // namespace trelvane::test
