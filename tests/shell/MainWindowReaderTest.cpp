// The window against simulated readers over loopback: disconnect, read control, the device
// context menu, the export of a filled list and the selection across a device-list rebuild.
// The engine runs on virtual time; the readers and the sockets run in real time.

#include <QHostAddress>
#include <QSignalSpy>
#include <QTest>
#include <fstream>
#include <map>
#include <numeric>
#include <set>

#include "records/ExportText.h"
#include "settings-ui/SystemConfig.h"
#include "shell/Korvex.h"
#include "shell/ReadRatePlot.h"
#include "shell/ShellFixture.h"
#include "sim/SimReader.h"
#include "support/ModalScript.h"
#include "support/QtWait.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using test::ScriptedPrompter;

constexpr std::uint8_t kStartReadCommand = 0x62;
constexpr std::uint8_t kStopReadCommand = 0x6F;

// Replies travel in real time over loopback; give a loaded machine a little longer.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    return test::WaitUntil(done, timeoutMs);
}

class MainWindowReaderTest : public test::ShellFixture {
  protected:
    void SetUp() override {
        ShellFixture::SetUp();
        // No supervision timer: the device list changes only when a test says so.
        WriteConfig(0, 0);
        window->OnCommand(command::kStartService);
        ASSERT_TRUE(engine.IsRunning());
    }

    void TearDown() override {
        readers.clear();
        ShellFixture::TearDown();
    }

    // A reader named `name` that has connected and whose row the device list shows.
    SimReader& Connect(const std::string& name, std::uint32_t firstTag = 1000,
                       std::uint32_t tagCount = 3) {
        SimReaderOptions options;
        options.deviceName = name;
        options.rate = 200;
        options.firstTag = firstTag;
        options.tagCount = tagCount;
        auto reader = std::make_unique<SimReader>(options, nullptr, clock);
        SimReader& r = *reader;
        readers.push_back(std::move(reader));
        r.ConnectTo(QHostAddress(QHostAddress::LocalHost), engine.ListeningPort());
        EXPECT_TRUE(WaitUntil([&] {
            return r.IsConnected() &&
                   engine.DeviceList().FindRow(r.DeviceKey().toStdString()).has_value() &&
                   window->DeviceView()->model()->rowCount() ==
                       static_cast<int>(engine.DeviceList().RowCount());
        })) << name;
        return r;
    }

    // Runs virtual time in 100 ms steps, letting the readers answer between the steps, until
    // `done` holds or `limitMs` of virtual time have passed.
    bool RunVirtual(std::chrono::milliseconds limit, const std::function<bool()>& done) {
        for (auto passed = 0ms; passed <= limit; passed += 100ms) {
            engine.WaitForParseIdle();
            QCoreApplication::processEvents();
            if (done()) {
                return true;
            }
            scheduler.AdvanceBy(100ms);
        }
        return false;
    }

    // Brings the reader through its clock setting and start of reading.
    DeviceRecord StartReading(SimReader& reader) {
        const DeviceRecord device = engine.FindDevice(reader.DeviceKey().toStdString());
        EXPECT_NE(device, nullptr);
        EXPECT_TRUE(RunVirtual(30s, [&] { return device && device->reading; }));
        return device;
    }

    // Lets the readers report (real time) and the 100 ms refresh run (virtual time) until the
    // tag list shows `rows` rows.
    bool WaitForTagRows(int rows) {
        return WaitUntil([&] {
            engine.WaitForParseIdle();
            scheduler.AdvanceBy(100ms);
            return window->TagView()->model()->rowCount() >= rows;
        });
    }

    int FramesOf(const SimReader& reader, std::uint8_t command) const {
        return static_cast<int>(
            std::count_if(reader.ReceivedFrames().begin(), reader.ReceivedFrames().end(),
                          [command](const auto& f) {
                              return f.size() > frame::kCommand && f[frame::kCommand] == command;
                          }));
    }

    int RowOf(const SimReader& reader) const {
        return engine.DeviceList().FindRow(reader.DeviceKey().toStdString()).value_or(-1);
    }

    std::vector<std::unique_ptr<SimReader>> readers;
};

TEST_F(MainWindowReaderTest, DisconnectAnsweredNoChangesNothing) {
    SimReader& reader = Connect("R01");
    SelectDeviceRow(0);
    prompter.AnswerNo();
    Menu(command::kDisconnect);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().kind, ScriptedPrompter::Kind::kAskYesNo);
    EXPECT_EQ(prompter.Last().text, u"Are you sure disconnect R01?"_s);
    EXPECT_EQ(prompter.Last().caption, u"Notice"_s);
    QCoreApplication::processEvents();
    EXPECT_NE(engine.FindDevice(reader.DeviceKey().toStdString()), nullptr);
    EXPECT_EQ(window->DeviceView()->model()->rowCount(), 1);
    EXPECT_EQ(window->PaneText(3), u"Ready"_s);
    EXPECT_TRUE(reader.IsConnected());
}

TEST_F(MainWindowReaderTest, DisconnectAnsweredYesDropsTheDeviceAndNamesItInFull) {
    // A name far longer than a 64-byte message area, with conversions in it: the texts carry
    // all of it, as it stands.
    const std::string name = "Gate-%s%n%d-" + std::string(70, 'N') + "-End";
    SimReader& other = Connect("R02", 2000);
    SimReader& reader = Connect(name);
    ASSERT_EQ(RowOf(reader), 1);
    SelectDeviceRow(1);
    QSignalSpy gone(&reader, &SimReader::Disconnected);

    prompter.AnswerYes();
    window->ToolAction(command::kDisconnect)->trigger();
    EXPECT_EQ(prompter.Last().text,
              QString::fromStdString("Are you sure disconnect " + name + "?"));
    EXPECT_EQ(window->PaneText(3), QString::fromStdString("Disconnect " + name));
    EXPECT_EQ(engine.FindDevice(reader.DeviceKey().toStdString()), nullptr);
    ASSERT_EQ(window->DeviceView()->model()->rowCount(), 1);
    EXPECT_EQ(window->DeviceView()->model()->index(0, 2).data().toString(), u"R02"_s);
    EXPECT_TRUE(gone.count() > 0 || gone.wait(3000)) << "the reader's connection was closed";
    EXPECT_TRUE(other.IsConnected());

    // The context menu's Disconnect asks the same way.
    SelectDeviceRow(0);
    auto menu = window->BuildDeviceContextMenu();
    ASSERT_NE(menu, nullptr);
    prompter.AnswerYes();
    Entry(*menu, command::kMenuDisconnect)->trigger();
    EXPECT_EQ(prompter.Last().text, u"Are you sure disconnect R02?"_s);
    EXPECT_EQ(window->DeviceView()->model()->rowCount(), 0);
    EXPECT_EQ(window->PaneText(3), u"Disconnect R02"_s);

    // Stop Service empties pane 3.
    Menu(command::kStopService);
    EXPECT_EQ(window->PaneText(3), QString());
}

TEST_F(MainWindowReaderTest, StopReadSendsFourStopsHalfASecondApartAndStartReadOne) {
    SimReader& reader = Connect("R01");
    const DeviceRecord device = StartReading(reader);
    ASSERT_TRUE(device && device->reading);
    SelectDeviceRow(0);

    auto menu = window->BuildDeviceContextMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(Entry(*menu, command::kMenuDeviceInfo)->isEnabled()) << "grayed while reading";
    EXPECT_TRUE(Entry(*menu, command::kStopRead)->isEnabled());
    EXPECT_TRUE(Entry(*menu, command::kStartRead)->isEnabled());
    EXPECT_TRUE(Entry(*menu, command::kMenuDisconnect)->isEnabled());

    Entry(*menu, command::kStopRead)->trigger();
    EXPECT_TRUE(prompter.prompts.empty());
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(reader, kStopReadCommand) == 1; }));
    EXPECT_TRUE(device->reading) << "cleared only after the first pause";
    scheduler.AdvanceBy(499ms);
    QTest::qWait(50);
    EXPECT_EQ(FramesOf(reader, kStopReadCommand), 1);
    scheduler.AdvanceBy(1ms);
    EXPECT_FALSE(device->reading);
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(reader, kStopReadCommand) == 2; }));
    scheduler.AdvanceBy(1500ms);
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(reader, kStopReadCommand) == 4; }));
    scheduler.AdvanceBy(2000ms);
    QTest::qWait(50);
    EXPECT_EQ(FramesOf(reader, kStopReadCommand), 4);

    menu = window->BuildDeviceContextMenu();
    EXPECT_TRUE(Entry(*menu, command::kMenuDeviceInfo)->isEnabled()) << "not reading any more";

    const int startsBefore = FramesOf(reader, kStartReadCommand);
    Entry(*menu, command::kStartRead)->trigger();
    EXPECT_TRUE(prompter.prompts.empty());
    ASSERT_TRUE(WaitUntil([&] { return FramesOf(reader, kStartReadCommand) == startsBefore + 1; }));
    EXPECT_TRUE(WaitUntil([&] {
        engine.WaitForParseIdle();
        return device->reading.load();
    })) << "the reader's acknowledgement sets reading again";
    QTest::qWait(50);
    EXPECT_EQ(FramesOf(reader, kStartReadCommand), startsBefore + 1) << "one command only";
}

TEST_F(MainWindowReaderTest, StartReadOnAClosedConnectionFailsToSet) {
    SimReader& reader = Connect("R01");
    SelectDeviceRow(0);
    const DeviceRecord device = engine.FindDevice(reader.DeviceKey().toStdString());
    ASSERT_NE(device, nullptr);
    reader.Abort();
    ASSERT_TRUE(WaitUntil([&] { return !device->socket->IsOpen(); }));
    window->OnCommand(command::kStartRead);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().text, u"Failed to set!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Tips"_s);
}

TEST_F(MainWindowReaderTest, DeviceInfoRefusesAReadingDeviceAndOpensTheDialogOtherwise) {
    struct Opened {
        std::string key;
        std::string name;
        std::shared_ptr<DeviceSocket> socket;
    };
    std::vector<Opened> opened;
    window->SetSettingsDialogs(
        {nullptr, [&](QWidget*, const std::string& key, const std::shared_ptr<DeviceSocket>& socket,
                      const std::string& name) {
             opened.push_back({key, name, socket});
         }});
    SimReader& reader = Connect("R07");
    const DeviceRecord device = StartReading(reader);
    SelectDeviceRow(0);

    Menu(command::kDeviceInfo);
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_EQ(prompter.Last().text, u"Device R07 is reading... Please stop first!"_s);
    EXPECT_EQ(prompter.Last().caption, u"Tips"_s);

    device->reading = false;
    window->ToolAction(command::kDeviceInfo)->trigger();
    window->OnCommand(command::kMenuDeviceInfo);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].key, reader.DeviceKey().toStdString());
    EXPECT_EQ(opened[0].name, "R07");
    EXPECT_EQ(opened[0].socket, device->socket);
    EXPECT_EQ(prompter.prompts.size(), 1u);
}

TEST_F(MainWindowReaderTest, ExportWritesWhatTheListShowsForEveryExtension) {
    SimReader& reader = Connect("R01", 4294967290u);
    StartReading(reader);
    QAbstractItemModel* tags = window->TagView()->model();
    ASSERT_TRUE(WaitForTagRows(3));
    // The list changes only at the next refresh, which virtual time holds back.
    std::string expected = "Index\tID\tDevice\tRead Count\tLast Read Time\r\n";
    for (int row = 0; row < tags->rowCount(); ++row) {
        for (int column = 1; column < tags->columnCount(); ++column) {
            expected += tags->index(row, column).data().toString().toStdString() + "\t";
        }
        expected += "\r\n";
    }
    EXPECT_EQ(tags->index(0, 2).data().toString(), u"4294967290"_s);
    EXPECT_EQ(tags->index(0, 3).data().toString(), u"R01"_s);

    SelectDeviceRow(0);
    window->TagView()->selectRow(1);
    auto menu = window->BuildTagContextMenu();
    EXPECT_TRUE(Entry(*menu, command::kClearAllRecord)->isEnabled());
    ASSERT_TRUE(Entry(*menu, command::kExportListRecord)->isEnabled());
    for (const char* name : {"tags.txt", "tags.xls", "tags"}) {
        prompter.AnswerSaveAs(QString::fromStdString((work.Path() / name).string()));
        Entry(*menu, command::kExportListRecord)->trigger();
        EXPECT_EQ(test::ReadFile(work.Path() / name), expected) << name;
    }
    EXPECT_EQ(prompter.prompts.size(), 3u) << "no message on success";

    Entry(*menu, command::kClearAllRecord)->trigger();
    EXPECT_EQ(tags->rowCount(), 0);
    menu = window->BuildTagContextMenu();
    EXPECT_FALSE(Entry(*menu, command::kClearAllRecord)->isEnabled());
    EXPECT_FALSE(Entry(*menu, command::kExportListRecord)->isEnabled());
    ASSERT_TRUE(WaitForTagRows(1));
    EXPECT_EQ(tags->index(0, 1).data().toString(), u"1"_s) << "numbering starts again";
}

// With the register naming assets and zones the list shows each tag's asset and zone, looked
// up as rows are shown; Export List Record still writes the list's own five columns, byte for
// byte. With TRELVANE_SCREENSHOT set to a file name the picture is saved there.
TEST_F(MainWindowReaderTest, TheTagListNamesAssetsAndZonesAndTheExportKeepsItsBytes) {
    // The readers start one after another over a minute of virtual time: their tags stay in
    // their zones meanwhile.
    engine.StopService();
    WriteConfig(0, 0);
    std::ofstream(work.Path() / "SysConf.ini", std::ios::app) << "[Site]\r\nExitAfter=3600\r\n";
    window->OnCommand(command::kStartService);
    ASSERT_TRUE(engine.IsRunning());
    const std::shared_ptr<site::Register> reg = engine.Site();
    ASSERT_NE(reg, nullptr);
    const std::map<std::string, std::string> zoneOf = {
        {"R01", "Dock A"}, {"R02", "Dock A"}, {"R03", "Gate North"}};
    ASSERT_EQ(reg->SetZone("Dock A", {"R01", "R02"}), std::nullopt);
    ASSERT_EQ(reg->SetZone("Gate North", {"R03"}), std::nullopt);
    const char* kinds[] = {"Forklift", "Pallet", "Trolley"};
    const char* groups[] = {"forklifts", "", "trolleys"};
    std::map<std::uint32_t, std::string> shown;  // tag -> the asset text the list should show
    for (std::uint32_t i = 0; i < 15; ++i) {
        if (i % 4 == 3) {
            continue;  // a tag that is no asset
        }
        const std::uint32_t tag = 6000120 + i;
        const std::string label = std::string(kinds[i % 3]) + " " + std::to_string(10 + i);
        ASSERT_EQ(reg->SetAsset({tag, label, groups[i % 3], ""}), std::nullopt);
        shown[tag] = *groups[i % 3] == '\0' ? label : label + " (" + groups[i % 3] + ")";
    }
    window->RefreshSiteColumns();
    QAbstractItemModel* tags = window->TagView()->model();
    ASSERT_EQ(tags->columnCount(), 8);

    for (std::uint32_t r = 0; r < 3; ++r) {
        StartReading(Connect("R0" + std::to_string(r + 1), 6000120 + 5 * r, 5));
    }
    ASSERT_TRUE(WaitForTagRows(15));
    engine.RebuildDevices(false);
    for (int row = 0; row < tags->rowCount(); ++row) {
        const std::uint32_t tag = tags->index(row, 2).data().toUInt();
        const std::string reader = tags->index(row, 3).data().toString().toStdString();
        const auto asset = shown.find(tag);
        EXPECT_EQ(tags->index(row, 6).data().toString().toStdString(),
                  asset == shown.end() ? "" : asset->second)
            << tag;
        EXPECT_EQ(tags->index(row, 7).data().toString().toStdString(), zoneOf.at(reader)) << tag;
    }

    std::string expected = "Index\tID\tDevice\tRead Count\tLast Read Time\r\n";
    for (int row = 0; row < tags->rowCount(); ++row) {
        for (int column = 1; column <= 5; ++column) {
            expected += tags->index(row, column).data().toString().toStdString() + "\t";
        }
        expected += "\r\n";
    }
    prompter.AnswerSaveAs(QString::fromStdString((work.Path() / "tags.txt").string()));
    window->OnCommand(command::kExportListRecord);
    const std::string written = test::ReadFile(work.Path() / "tags.txt");
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.find("Dock A"), std::string::npos);
    EXPECT_EQ(written.find("Forklift"), std::string::npos);

    window->DeviceView()->selectRow(0);
    window->TagView()->selectRow(2);
    const QString file = qEnvironmentVariable("TRELVANE_SCREENSHOT");
    if (!file.isEmpty()) {
        EXPECT_TRUE(window->grab().save(file));
    }

    // The register emptied: the list is the list of before.
    ASSERT_EQ(reg->RemoveZone("Dock A"), std::nullopt);
    ASSERT_EQ(reg->RemoveZone("Gate North"), std::nullopt);
    for (const auto& [tag, text] : shown) {
        ASSERT_EQ(reg->RemoveAsset(tag), std::nullopt);
    }
    window->RefreshSiteColumns();
    EXPECT_EQ(tags->columnCount(), 6);
}

TEST_F(MainWindowReaderTest, RebuildKeepsTheOperatorsSelectionByKey) {
    SimReader& first = Connect("R01");
    SimReader& second = Connect("R02", 2000);
    SimReader& third = Connect("R03", 3000);
    // Rows follow key order; find the rows of the three readers.
    const int secondRow = RowOf(second);
    const int thirdRow = RowOf(third);
    ASSERT_GE(secondRow, 0);
    QItemSelectionModel* selection = window->DeviceView()->selectionModel();
    selection->select(window->DeviceView()->model()->index(secondRow, 1),
                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selection->select(window->DeviceView()->model()->index(thirdRow, 1),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);

    // Another reader leaves and the list is rebuilt: rows move up.
    engine.Disconnect(first.DeviceKey().toStdString());
    ASSERT_EQ(window->DeviceView()->model()->rowCount(), 2);
    std::set<std::string> selectedKeys;
    for (const QModelIndex& index : selection->selectedRows()) {
        selectedKeys.insert(index.siblingAtColumn(0).data().toString().toStdString());
    }
    EXPECT_EQ(selectedKeys, (std::set<std::string>{second.DeviceKey().toStdString(),
                                                   third.DeviceKey().toStdString()}));

    // A selected device that goes is simply no longer selected.
    engine.Disconnect(second.DeviceKey().toStdString());
    ASSERT_EQ(selection->selectedRows().size(), 1);
    EXPECT_EQ(selection->selectedRows().front().siblingAtColumn(0).data().toString(),
              third.DeviceKey());
    engine.Disconnect(third.DeviceKey().toStdString());
    EXPECT_TRUE(selection->selectedRows().isEmpty());
    EXPECT_EQ(window->BuildDeviceContextMenu(), nullptr);
}

TEST_F(MainWindowReaderTest, SettingsCommandsOpenTheSettingsDialog) {
    window->SetSettingsDialogs(SettingsDialogsFor(engine, prompter));
    Connect("R07");  // named, not reading yet
    SelectDeviceRow(0);
    std::vector<std::pair<CSystemConfig::Mode, QString>> opened;
    const auto closeDialog = [&](QWidget* modal) {
        auto* dialog = qobject_cast<CSystemConfig*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->parentWidget(), window.get());
        opened.emplace_back(dialog->DialogMode(), dialog->windowTitle());
        dialog->reject();
    };
    {
        test::ModalScript script({closeDialog, closeDialog});
        window->ToolAction(command::kDeviceInfo)->trigger();
        auto menu = window->BuildDeviceContextMenu();
        Entry(*menu, command::kMenuDeviceInfo)->trigger();
        EXPECT_TRUE(script.Finished());
    }
    {
        test::ModalScript script({closeDialog});
        Menu(command::kStopService);
        Menu(command::kServerSetting);
        EXPECT_TRUE(script.Finished());
    }
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0], std::pair(CSystemConfig::Mode::kDevice, u"R07Device Operation"_s));
    EXPECT_EQ(opened[1], opened[0]);
    EXPECT_EQ(opened[2].first, CSystemConfig::Mode::kService);
    EXPECT_EQ(opened[2].second, u"Service Setting"_s);
}

// The plot in the status bar counts every read of a burst, in the seconds of the engine's
// clock in which the refresh tick saw them.
TEST_F(MainWindowReaderTest, ThePlotCountsTheReadsOfABurstOnTheRefreshTick) {
    ASSERT_NE(window->ReadRate(), nullptr);
    EXPECT_TRUE(window->ReadRate()->isVisible());
    SimReader& reader = Connect("R01", 5000, 4);
    StartReading(reader);
    // Reads before the plot's first sample are not the plot's; take that sample now.
    engine.WaitForParseIdle();
    scheduler.AdvanceBy(100ms);
    const std::uint64_t first = engine.Tags().TotalReads();
    ASSERT_TRUE(WaitUntil([&] {
        engine.WaitForParseIdle();
        return engine.Tags().TotalReads() >= first + 40;
    }));
    engine.WaitForParseIdle();
    scheduler.AdvanceBy(100ms);  // the tick that sees the burst
    const std::uint64_t burst = engine.Tags().TotalReads() - first;
    const auto values = window->ReadRate()->Series().Values();
    const std::uint64_t plotted = std::accumulate(values.begin(), values.end(), std::uint64_t{0});
    EXPECT_EQ(plotted, burst);
    EXPECT_EQ(values.back(), burst) << "all in the second of that tick";
    // Five quiet seconds later the burst has moved back five places.
    for (int i = 0; i < 50; ++i) {
        scheduler.AdvanceBy(100ms);
    }
    const auto moved = window->ReadRate()->Series().Values();
    // The parse thread may still have counted reads received before the burst's tick; they
    // land in the burst's second or later, never earlier.
    EXPECT_GE(moved[moved.size() - 6], burst);
    EXPECT_EQ(std::accumulate(moved.begin(), moved.end() - 6, std::uint64_t{0}), 0u);
    EXPECT_LE(std::accumulate(moved.begin(), moved.end(), std::uint64_t{0}),
              engine.Tags().TotalReads() - first);
}

// What a person sees: five readers reading, their tags listed. With TRELVANE_SCREENSHOT set
// to a file name the picture is also saved there.
TEST_F(MainWindowReaderTest, WorkingWindowShowsReadersAndTags) {
    for (int i = 1; i <= 5; ++i) {
        SimReader& reader = Connect("R0" + std::to_string(i), 20260300u + 20u * i, 6);
        StartReading(reader);
    }
    // Some seconds of reading: reports arrive in real time, the clock moves in virtual time.
    for (int step = 0; step < 12; ++step) {
        const auto reads = engine.Tags().TotalReads();
        ASSERT_TRUE(WaitUntil([&] {
            engine.WaitForParseIdle();
            return engine.Tags().TotalReads() >= reads + 10;
        }));
        scheduler.AdvanceBy(1700ms);
    }
    engine.RebuildDevices(false);  // what the supervision timer does: fresh tag counts
    QAbstractItemModel* devices = window->DeviceView()->model();
    QAbstractItemModel* tags = window->TagView()->model();
    ASSERT_EQ(devices->rowCount(), 5);
    EXPECT_EQ(tags->rowCount(), 30);
    std::set<QString> names;
    int listedReads = 0;
    for (int row = 0; row < tags->rowCount(); ++row) {
        listedReads += tags->index(row, 4).data().toInt();
    }
    int deviceReads = 0;
    for (int row = 0; row < 5; ++row) {
        names.insert(devices->index(row, 2).data().toString());
        EXPECT_EQ(devices->index(row, 1).data().toString(), QString::number(row + 1));
        deviceReads += devices->index(row, 5).data().toInt();
    }
    EXPECT_EQ(names, (std::set<QString>{u"R01"_s, u"R02"_s, u"R03"_s, u"R04"_s, u"R05"_s}));
    EXPECT_GE(deviceReads, listedReads) << "every listed read was counted for its reader";
    EXPECT_GT(listedReads, 30);

    window->DeviceView()->selectRow(1);
    window->TagView()->selectRow(3);
    const QPixmap picture = window->grab();
    EXPECT_EQ(picture.size(), window->size());
    const QString file = qEnvironmentVariable("TRELVANE_SCREENSHOT");
    if (!file.isEmpty()) {
        EXPECT_TRUE(picture.save(file));
    }
}

}  // namespace
}  // namespace trelvane
