// The device dialog against a started engine and simulated readers over loopback: the frames
// the reader receives for Query and OK, byte for byte, and what the pages show and say when the
// replies come back.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/HostCommand.h"
#include "service/ServiceEngine.h"
#include "settings-ui/DeviceOper.h"
#include "settings-ui/DeviceSet.h"
#include "settings-ui/SystemConfig.h"
#include "sim/SimReader.h"
#include "support/ManualScheduler.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ScriptedPrompter;
using test::TempFolder;
using test::WriteFile;
using Frame = std::vector<std::uint8_t>;

constexpr int kWaitMs = 5000;

QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The frame of `type` with `value` as a reader sees it after unescaping.
Frame Expected(int type, unsigned value) {
    ManualClock clock;
    std::array<std::uint8_t, kCommandBufferSize> escaped{};
    const std::optional<std::size_t> length = BuildCommandFrame(type, value, clock, escaped);
    Frame frame;
    for (std::size_t i = 0; length && i < *length; ++i) {
        if (escaped[i] == kEscapeByte && i + 1 < *length) {
            frame.push_back(escaped[++i] == 0x56 ? kStartByte : kEscapeByte);
        } else {
            frame.push_back(escaped[i]);
        }
    }
    return frame;
}

QStringList Entries(const QComboBox& box) {
    QStringList entries;
    for (int i = 0; i < box.count(); ++i) {
        entries.append(box.itemText(i));
    }
    return entries;
}

// The vertical empty stretches of a device page as shown, top to bottom: frame edge to first
// row, row to row, last row to frame edge, frame to buttons. A row is its label and field.
struct PageGaps {
    std::vector<int> gaps;
    int tallestRow = 0;
};

PageGaps MeasureGaps(QWidget* page, QPushButton* button) {
    PageGaps result;
    auto* frame = page->findChild<QGroupBox*>();
    auto* grid = frame != nullptr ? qobject_cast<QGridLayout*>(frame->layout()) : nullptr;
    if (grid == nullptr) {
        ADD_FAILURE() << "no framed grid";
        return result;
    }
    std::map<int, QRect> rows;  // by grid row, in frame coordinates
    for (int i = 0; i < grid->count(); ++i) {
        QWidget* widget = grid->itemAt(i)->widget();
        if (widget == nullptr) {
            continue;
        }
        int row = 0;
        int column = 0;
        int rowSpan = 0;
        int columnSpan = 0;
        grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
        rows[row] |= widget->geometry();
    }
    int edge = 0;  // the frame's top
    for (const auto& [row, rect] : rows) {
        result.gaps.push_back(rect.top() - edge);
        edge = rect.bottom() + 1;
        result.tallestRow = std::max(result.tallestRow, rect.height());
    }
    result.gaps.push_back(frame->height() - edge);
    const QPoint buttonTop = button->mapTo(page, QPoint(0, 0));
    result.gaps.push_back(buttonTop.y() - frame->geometry().bottom() - 1);
    return result;
}

class DevicePagesTest : public testing::Test {
  protected:
    void SetUp() override {
        WriteFile(dir_ / "SysConf.ini",
                  "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=0\r\n"
                  "Login_Time=1\r\nUSER_Refresh_Time=0\r\n");
        ASSERT_EQ(engine_.StartService(dir_.Path()), ServiceEngine::StartResult::kStarted);
    }
    void TearDown() override {
        dialog_.reset();
        readers_.clear();
        engine_.StopService();
    }

    // Connects a reader and waits until the engine has its name (the handshake's first
    // question; the manual scheduler never takes the handshake further, so the reader is not
    // reading). The reader's received frames start empty.
    SimReader& Connect(SimReaderOptions options) {
        const std::string name = options.deviceName;
        readers_.push_back(std::make_unique<SimReader>(std::move(options)));
        SimReader& reader = *readers_.back();
        reader.ConnectTo(QHostAddress::LocalHost, engine_.ListeningPort());
        const bool named = QTest::qWaitFor(
            [&] {
                const DeviceRecord record =
                    reader.IsConnected() ? engine_.FindDevice(Key(reader)) : nullptr;
                return record && record->DeviceName() == name;
            },
            kWaitMs);
        EXPECT_TRUE(named) << "reader " << name << " was not named";
        reader.ClearReceivedFrames();
        return reader;
    }
    static std::string Key(const SimReader& reader) { return reader.DeviceKey().toStdString(); }

    CSystemConfig& Open(const SimReader& reader) {
        dialog_ = CreateDeviceDialog(nullptr, engine_, prompter_, Key(reader));
        EXPECT_NE(dialog_, nullptr);
        info_ = dialog_->DeviceInfoPage();
        settings_ = dialog_->ReaderSettingPage();
        return *dialog_;
    }

    bool WaitFrames(const SimReader& reader, std::size_t count) {
        return QTest::qWaitFor([&] { return reader.ReceivedFrames().size() >= count; }, kWaitMs);
    }
    bool WaitMessages(std::size_t count) {
        return QTest::qWaitFor([&] { return prompter_.prompts.size() >= count; }, kWaitMs);
    }
    // Every reply sent so far has been parsed and delivered.
    void Settle() { ASSERT_TRUE(engine_.WaitForParseIdle(kWaitMs)); }

    TempFolder dir_;
    ManualClock clock_;
    ManualScheduler scheduler_{clock_};
    ServiceEngine engine_{clock_, scheduler_};
    ScriptedPrompter prompter_;
    std::vector<std::unique_ptr<SimReader>> readers_;
    std::unique_ptr<CSystemConfig> dialog_;
    CDeviceOper* info_ = nullptr;
    CDeviceSet* settings_ = nullptr;
};

TEST_F(DevicePagesTest, DialogShowsTheRecordAndQueryAsksForFiveItems) {
    SimReader& reader = Connect({});
    CSystemConfig& dialog = Open(reader);
    EXPECT_EQ(dialog.DialogMode(), CSystemConfig::Mode::kDevice);
    EXPECT_EQ(dialog.windowTitle(), Tr("R01Device Operation"));
    EXPECT_TRUE(dialog.isModal());
    ASSERT_EQ(dialog.Tabs()->count(), 2);
    EXPECT_EQ(dialog.Tabs()->tabText(0), Tr("Device Info"));
    EXPECT_EQ(dialog.Tabs()->tabText(1), Tr("Reader Setting"));
    EXPECT_EQ(dialog.Tabs()->currentIndex(), 0);
    EXPECT_NE(dialog.Tabs()->tabIcon(0).pixmap(16).toImage(),
              dialog.Tabs()->tabIcon(1).pixmap(16).toImage());

    // Only the name has been asked so far. The fields are display only, and look it: disabled,
    // while the buttons stay usable.
    EXPECT_EQ(info_->DeviceNameEdit()->text(), Tr("R01"));
    for (QLineEdit* edit :
         {info_->DeviceNameEdit(), info_->SerialNoEdit(), info_->ProductTypeEdit(),
          info_->SoftwareVerEdit(), info_->HardwareVerEdit()}) {
        if (edit != info_->DeviceNameEdit()) {
            EXPECT_TRUE(edit->text().isEmpty());
        }
        EXPECT_FALSE(edit->isEnabled());
        EXPECT_TRUE(edit->isReadOnly());
    }
    EXPECT_TRUE(info_->QueryButton()->isEnabled());
    EXPECT_TRUE(info_->RefreshButton()->isEnabled());
    EXPECT_TRUE(reader.ReceivedFrames().empty());  // opening asks the reader nothing

    QTest::mouseClick(info_->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFrames(reader, 5));
    EXPECT_EQ(reader.ReceivedFrames(),
              (std::vector<Frame>{Expected(CMD_QUERY_INFO, 0), Expected(CMD_QUERY_INFO, 1),
                                  Expected(CMD_QUERY_INFO, 2), Expected(CMD_QUERY_INFO, 3),
                                  Expected(CMD_QUERY_INFO, 5)}));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return info_->HardwareVerEdit()->text() == Tr("HW1.0"); }, kWaitMs));
    EXPECT_EQ(info_->SerialNoEdit()->text(), Tr("SN00000001"));
    EXPECT_EQ(info_->ProductTypeEdit()->text(), Tr("K314"));
    EXPECT_EQ(info_->SoftwareVerEdit()->text(), Tr("V2.1.0"));
    EXPECT_TRUE(prompter_.prompts.empty());
}

TEST_F(DevicePagesTest, ReaderSettingListsBothRanges) {
    SimReader& reader = Connect({});
    Open(reader);
    QStringList standard;
    for (int i = 0; i < 16; ++i) {
        standard.append(QString::number(-2 * i) + Tr("dB"));
    }
    EXPECT_EQ(Entries(*settings_->AttenuationBox()), standard);
    EXPECT_EQ(settings_->Range(), ProductRange::kStandard);
    const QStringList carriers = Entries(*settings_->CarrierBox());
    ASSERT_EQ(carriers.size(), 24);
    EXPECT_EQ(carriers.front(), Tr("2405M"));
    EXPECT_EQ(carriers[9], Tr("2450M"));
    EXPECT_EQ(carriers.back(), Tr("2520M"));
    EXPECT_FALSE(settings_->AttenuationBox()->isEditable());
    EXPECT_FALSE(settings_->CarrierBox()->isEditable());

    const std::array<const char*, 16> standardDistances = {
        "0 ~ 250m", "0 ~ 200m", "0 ~ 160m", "0 ~ 120m", "0 ~ 100m", "0 ~ 80m", "0 ~ 60m", "0 ~ 50m",
        "0 ~ 40m",  "0 ~ 30m",  "0 ~ 25m",  "0 ~ 20m",  "0 ~ 15m",  "0 ~ 12m", "0 ~ 9m",  "0 ~ 7m"};
    for (int i = 0; i < 16; ++i) {
        settings_->AttenuationBox()->setCurrentIndex(i);
        EXPECT_EQ(settings_->DistanceLabel()->text(), Tr(standardDistances[i])) << i;
    }
    settings_->SetProductRange(ProductRange::kShort);
    EXPECT_EQ(Entries(*settings_->AttenuationBox()),
              (QStringList{Tr("0dB"), Tr("-2dB"), Tr("-4dB"), Tr("-6dB")}));
    const std::array<const char*, 4> shortDistances = {"0 ~ 140m", "0 ~ 110m", "0 ~ 90m",
                                                       "0 ~ 70m"};
    for (int i = 3; i >= 0; --i) {
        settings_->AttenuationBox()->setCurrentIndex(i);
        EXPECT_EQ(settings_->DistanceLabel()->text(), Tr(shortDistances[i])) << i;
    }
    settings_->AttenuationBox()->setCurrentIndex(-1);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 140m"));
}

TEST_F(DevicePagesTest, ShortRangeProductSwitchesAtEachDeviceInfoLoad) {
    SimReaderOptions options;
    options.productType = "K314B";
    options.atten = 2;
    SimReader& reader = Connect(options);
    // The record knows the product type and the attenuation before the dialog opens.
    const DeviceRecord record = engine_.FindDevice(Key(reader));
    ASSERT_TRUE(engine_.SendOnSocket(record->socket, CMD_QUERY_INFO, kItemProductType));
    ASSERT_TRUE(engine_.SendOnSocket(record->socket, CMD_QUERY_ATTEN, 0));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return record->Text(DeviceText::kProductType) == "K314B" && record->atten == 2; },
        kWaitMs));
    Settle();

    Open(reader);
    EXPECT_EQ(info_->ProductTypeEdit()->text(), Tr("K314B"));
    // The first Device Info load came before the Reader Setting page existed.
    EXPECT_EQ(settings_->Range(), ProductRange::kStandard);
    EXPECT_EQ(settings_->AttenuationBox()->count(), 16);
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), 2);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 160m"));

    dialog_->Tabs()->setCurrentIndex(1);
    settings_->AttenuationBox()->setCurrentIndex(1);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 200m"));
    dialog_->Tabs()->setCurrentIndex(0);
    QTest::mouseClick(info_->RefreshButton(), Qt::LeftButton);
    EXPECT_EQ(settings_->Range(), ProductRange::kShort);
    EXPECT_EQ(settings_->AttenuationBox()->count(), 4);
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), 0);  // the choice is reset
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 140m"));
    EXPECT_EQ(int{settings_->StoredAttenuation()}, 2);  // until the next load from the record
    settings_->AttenuationBox()->setCurrentIndex(3);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 70m"));

    // Every load resets, and an identity reply is a load: a product type that is only
    // "K314B"-like gives the standard range again.
    reader.MutableOptions().productType = "K314b";
    QTest::mouseClick(info_->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return info_->ProductTypeEdit()->text() == Tr("K314b"); }, kWaitMs));
    Settle();
    EXPECT_EQ(settings_->Range(), ProductRange::kStandard);
    EXPECT_EQ(settings_->AttenuationBox()->count(), 16);
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), 0);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 250m"));
}

TEST_F(DevicePagesTest, OkSendsOnlyWhatChangedAttenuatorFirst) {
    SimReader& reader = Connect({});
    Open(reader);
    const DeviceRecord record = engine_.FindDevice(Key(reader));

    // Nothing changed: nothing sent, nothing said. The query behind it proves the order.
    QTest::mouseClick(settings_->OkButton(), Qt::LeftButton);
    QTest::mouseClick(settings_->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFrames(reader, 2));
    EXPECT_EQ(reader.ReceivedFrames(),
              (std::vector<Frame>{Expected(CMD_QUERY_ATTEN, 0), Expected(CMD_QUERY_CARRIER, 0)}));
    Settle();
    EXPECT_TRUE(prompter_.prompts.empty());
    reader.ClearReceivedFrames();

    // Only the carrier: 2450M is index 9.
    settings_->CarrierBox()->setCurrentIndex(settings_->CarrierBox()->findText(Tr("2450M")));
    QTest::mouseClick(settings_->OkButton(), Qt::LeftButton);
    EXPECT_EQ(int{record->carrierParam}, 9);  // taken once sent, before the answer
    EXPECT_EQ(int{settings_->StoredCarrier()}, 9);
    ASSERT_TRUE(WaitMessages(1));
    EXPECT_EQ(reader.ReceivedFrames(), std::vector<Frame>{Expected(CMD_SET_CARRIER, 9)});
    EXPECT_EQ(prompter_.prompts[0].text, Tr("Success to set device info!"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));
    EXPECT_EQ(int{reader.Options().carrier}, 9);
    reader.ClearReceivedFrames();
    prompter_.prompts.clear();

    // Both: the attenuator goes first, and each confirmation has its own message.
    settings_->AttenuationBox()->setCurrentIndex(5);
    settings_->CarrierBox()->setCurrentIndex(23);
    QTest::mouseClick(settings_->OkButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitMessages(2));
    EXPECT_EQ(reader.ReceivedFrames(),
              (std::vector<Frame>{Expected(CMD_SET_ATTEN, 5), Expected(CMD_SET_CARRIER, 23)}));
    EXPECT_EQ(prompter_.Texts(), (std::vector<QString>{Tr("Success to set device info!"),
                                                       Tr("Success to set device info!")}));
    EXPECT_EQ(int{record->atten}, 5);
    EXPECT_EQ(int{record->carrierParam}, 23);
    EXPECT_EQ(int{reader.Options().atten}, 5);
}

// A refused setting goes back to what the reader had: the page re-selects it (not the value the
// reader turned down) before saying so, and the record holds it again.
TEST_F(DevicePagesTest, RefusedSetReselectsTheStoredIndexesBeforeSayingSo) {
    SimReaderOptions options;
    options.failSet = true;
    SimReader& reader = Connect(options);
    Open(reader);
    settings_->CarrierBox()->setCurrentIndex(4);
    settings_->OkButton()->click();
    EXPECT_EQ(int{settings_->StoredCarrier()}, 4);
    // The operator moves on before the answer comes.
    settings_->AttenuationBox()->setCurrentIndex(7);
    settings_->CarrierBox()->setCurrentIndex(11);

    int attenAtMessage = -2;
    int carrierAtMessage = -2;
    QString distanceAtMessage;
    prompter_.onInform = [&](const ScriptedPrompter::Prompt&) {
        attenAtMessage = settings_->AttenuationBox()->currentIndex();
        carrierAtMessage = settings_->CarrierBox()->currentIndex();
        distanceAtMessage = settings_->DistanceLabel()->text();
    };
    ASSERT_TRUE(WaitMessages(1));
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Failed to set device info!")});
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));
    EXPECT_EQ(attenAtMessage, 0);
    EXPECT_EQ(carrierAtMessage, 0) << "the carrier the reader kept";
    EXPECT_EQ(distanceAtMessage, Tr("0 ~ 250m"));
    EXPECT_EQ(int{settings_->StoredCarrier()}, 0);
    EXPECT_EQ(int{engine_.FindDevice(Key(reader))->carrierParam}, 0);
    EXPECT_EQ(reader.ReceivedFrames(), std::vector<Frame>{Expected(CMD_SET_CARRIER, 4)});

    // Accepted this time: both values stay recorded.
    prompter_.onInform = nullptr;
    prompter_.prompts.clear();
    reader.MutableOptions().failSet = false;
    settings_->AttenuationBox()->setCurrentIndex(3);
    settings_->CarrierBox()->setCurrentIndex(9);
    settings_->OkButton()->click();
    ASSERT_TRUE(WaitMessages(2));
    EXPECT_EQ(prompter_.Texts(), (std::vector<QString>{Tr("Success to set device info!"),
                                                       Tr("Success to set device info!")}));
    EXPECT_EQ(int{engine_.FindDevice(Key(reader))->atten}, 3);
    EXPECT_EQ(int{engine_.FindDevice(Key(reader))->carrierParam}, 9);
}

TEST_F(DevicePagesTest, QueryRepliesReloadBothBoxesOrReportTheirFailure) {
    SimReaderOptions options;
    options.atten = 5;
    options.carrier = 9;
    SimReader& reader = Connect(options);
    Open(reader);
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), 0);

    QTest::mouseClick(settings_->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return settings_->AttenuationBox()->currentIndex() == 5 &&
                   settings_->CarrierBox()->currentIndex() == 9;
        },
        kWaitMs));
    EXPECT_EQ(settings_->AttenuationBox()->currentText(), Tr("-10dB"));
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 80m"));
    EXPECT_EQ(settings_->CarrierBox()->currentText(), Tr("2450M"));
    EXPECT_EQ(int{settings_->StoredAttenuation()}, 5);

    // An index the short range does not list: no selection, the first row's distance, and OK
    // leaves the attenuator alone instead of sending an empty selection.
    settings_->SetProductRange(ProductRange::kShort);
    reader.MutableOptions().atten = 10;
    reader.ClearReceivedFrames();
    settings_->Query();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings_->StoredAttenuation() == 10; }, kWaitMs));
    Settle();
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), -1);
    EXPECT_EQ(settings_->DistanceLabel()->text(), Tr("0 ~ 140m"));
    reader.ClearReceivedFrames();
    settings_->CarrierBox()->setCurrentIndex(1);
    settings_->Ok();
    ASSERT_TRUE(WaitMessages(1));
    EXPECT_EQ(reader.ReceivedFrames(), std::vector<Frame>{Expected(CMD_SET_CARRIER, 1)});
    EXPECT_EQ(int{engine_.FindDevice(Key(reader))->atten}, 10);

    // The reader refuses queries: one message per reply, boxes as they were.
    prompter_.prompts.clear();
    reader.MutableOptions().failQuery = true;
    settings_->Query();
    ASSERT_TRUE(WaitMessages(2));
    Settle();
    EXPECT_EQ(prompter_.Texts(), (std::vector<QString>{Tr("Failed to query device info!"),
                                                       Tr("Failed to query device info!")}));
    EXPECT_EQ(prompter_.prompts[1].caption, Tr("Tips"));
    EXPECT_EQ(settings_->CarrierBox()->currentIndex(), 1);
}

TEST_F(DevicePagesTest, GoneDeviceFailsSendsAndKeepsThePage) {
    SimReaderOptions options;
    options.atten = 3;
    SimReader& reader = Connect(options);
    Open(reader);
    const std::string key = Key(reader);
    ASSERT_TRUE(engine_.Disconnect(key));
    ASSERT_EQ(engine_.FindDevice(key), nullptr);

    QTest::mouseClick(info_->RefreshButton(), Qt::LeftButton);
    EXPECT_EQ(info_->DeviceNameEdit()->text(), Tr("R01"));
    QTest::mouseClick(info_->QueryButton(), Qt::LeftButton);
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Failed to send query CMD!")});
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));

    prompter_.prompts.clear();
    settings_->Query();
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Failed to send query CMD!")});

    prompter_.prompts.clear();
    settings_->Ok();  // nothing changed: nothing to send, nothing to store, nothing said
    EXPECT_TRUE(prompter_.prompts.empty());
    settings_->AttenuationBox()->setCurrentIndex(4);
    settings_->CarrierBox()->setCurrentIndex(2);
    settings_->Ok();
    EXPECT_EQ(prompter_.Texts(), std::vector<QString>{Tr("Failed to send set CMD!")});
    EXPECT_EQ(int{settings_->StoredAttenuation()}, 0);
    EXPECT_EQ(int{settings_->StoredCarrier()}, 0);
}

TEST_F(DevicePagesTest, RepliesReachOnlyTheOpenPageOfTheirOwnDevice) {
    SimReaderOptions first;
    first.failQuery = true;
    SimReader& r01 = Connect(first);
    SimReaderOptions second = first;
    second.deviceName = "R02";
    second.failSet = true;
    SimReader& r02 = Connect(second);
    Open(r01);
    // A Device Info load would show up here: it resets the attenuation choice.
    settings_->AttenuationBox()->setCurrentIndex(3);

    // Each kind of reply has its own signal, carrying the device's key, the reader's status and
    // the reply's command byte. The naming replies of the handshake are delivered first, so the
    // spies hear only the replies asked for here.
    Settle();
    QSignalSpy info(&engine_, &ServiceEngine::DeviceInfoReplied);
    QSignalSpy queries(&engine_, &ServiceEngine::ReaderQueryReplied);
    QSignalSpy sets(&engine_, &ServiceEngine::ReaderSetReplied);
    const auto replies = [&] { return info.count() + queries.count() + sets.count(); };
    const QString otherKey = QString::fromStdString(Key(r02));
    const DeviceRecord other = engine_.FindDevice(Key(r02));
    ASSERT_TRUE(engine_.SendOnSocket(other->socket, CMD_QUERY_ATTEN, 0));
    ASSERT_TRUE(engine_.SendOnSocket(other->socket, CMD_SET_CARRIER, 3));
    ASSERT_TRUE(engine_.SendOnSocket(other->socket, CMD_QUERY_INFO, kItemProductType));
    ASSERT_TRUE(QTest::qWaitFor([&] { return replies() >= 3; }, kWaitMs));
    Settle();
    ASSERT_EQ(queries.count(), 1);
    EXPECT_EQ(queries[0], (QVariantList{otherKey, false, 0x12}));
    ASSERT_EQ(sets.count(), 1);
    EXPECT_EQ(sets[0], (QVariantList{otherKey, false, 0x13}));
    ASSERT_EQ(info.count(), 1);
    EXPECT_EQ(info[0], (QVariantList{otherKey, true}));
    EXPECT_TRUE(prompter_.prompts.empty());
    EXPECT_EQ(settings_->AttenuationBox()->currentIndex(), 3);  // R02's replies reloaded nothing

    // Once the dialog is gone its pages hear nothing, even from their own device.
    dialog_.reset();
    const DeviceRecord own = engine_.FindDevice(Key(r01));
    ASSERT_TRUE(engine_.SendOnSocket(own->socket, CMD_QUERY_ATTEN, 0));
    ASSERT_TRUE(engine_.SendOnSocket(own->socket, CMD_QUERY_INFO, kItemProductType));
    ASSERT_TRUE(QTest::qWaitFor([&] { return replies() >= 5; }, kWaitMs));
    Settle();
    const QString ownKey = QString::fromStdString(Key(r01));
    ASSERT_EQ(queries.count(), 2);
    EXPECT_EQ(queries[1], (QVariantList{ownKey, false, 0x12}));
    ASSERT_EQ(info.count(), 2);
    EXPECT_EQ(info[1], (QVariantList{ownKey, true}));
    EXPECT_EQ(sets.count(), 1);
    EXPECT_TRUE(prompter_.prompts.empty());
}

TEST_F(DevicePagesTest, OpeningChecksTheDeviceFirst) {
    SimReader& reader = Connect({});
    const std::string key = Key(reader);
    EXPECT_FALSE(OpenDeviceDialog(nullptr, engine_, prompter_, "10.9.9.9:1"));
    EXPECT_FALSE(OpenDeviceDialog(nullptr, engine_, prompter_, ""));
    EXPECT_TRUE(prompter_.prompts.empty());

    const DeviceRecord record = engine_.FindDevice(key);
    record->reading = true;
    EXPECT_FALSE(OpenDeviceDialog(nullptr, engine_, prompter_, key));
    ASSERT_EQ(prompter_.prompts.size(), 1u);
    EXPECT_EQ(prompter_.prompts[0].text, Tr("Device R01 is reading... Please stop first!"));
    EXPECT_EQ(prompter_.prompts[0].caption, Tr("Tips"));

    // Not reading: the dialog runs modally until its close box is used.
    record->reading = false;
    QString title;
    bool modal = false;
    QTimer::singleShot(0, [&] {
        QWidget* shown = QApplication::activeModalWidget();
        if (shown != nullptr) {
            title = shown->windowTitle();
            modal = shown->isModal();
            shown->close();
        }
    });
    EXPECT_TRUE(OpenDeviceDialog(nullptr, engine_, prompter_, key));
    EXPECT_EQ(title, Tr("R01Device Operation"));
    EXPECT_TRUE(modal);
    EXPECT_EQ(prompter_.prompts.size(), 1u);
}

TEST_F(DevicePagesTest, DeviceNamesAreShownFromTheirCodePage) {
    SimReaderOptions options;
    options.deviceName = "\xb1\xb1\xc3\xc5";  // "北门" in code page 936
    SimReader& reader = Connect(options);
    const DeviceRecord record = engine_.FindDevice(Key(reader));
    record->reading = true;
    EXPECT_EQ(CreateDeviceDialog(nullptr, engine_, prompter_, Key(reader)), nullptr);
    EXPECT_EQ(prompter_.Texts(),
              std::vector<QString>{Tr("Device 北门 is reading... Please stop first!")});
    record->reading = false;
    Open(reader);
    EXPECT_EQ(dialog_->windowTitle(), Tr("北门Device Operation"));
    EXPECT_EQ(info_->DeviceNameEdit()->text(), Tr("北门"));
}

// Both pages are as tall as the taller one; the Reader Setting page's three rows spread over
// its frame instead of leaving an empty band above the buttons.
TEST_F(DevicePagesTest, PagesShowNoEmptyBand) {
    SimReader& reader = Connect({});
    CSystemConfig& dialog = Open(reader);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const PageGaps infoPage = MeasureGaps(info_, info_->QueryButton());
    dialog.Tabs()->setCurrentIndex(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings_->isVisible(); }, kWaitMs));
    const PageGaps readerPage = MeasureGaps(settings_, settings_->QueryButton());
    EXPECT_EQ(settings_->height(), info_->height());

    ASSERT_EQ(infoPage.gaps.size(), 7u) << "five rows";
    ASSERT_EQ(readerPage.gaps.size(), 5u) << "three rows";
    for (const int gap : infoPage.gaps) {
        EXPECT_GE(gap, 0);
        EXPECT_LE(gap, infoPage.tallestRow) << "the taller page is packed";
    }
    // The Reader Setting page has two rows fewer. Their height is spread over all its gaps, so
    // none grows by as much as a row: an empty band would.
    const auto expectSpread = [&](std::size_t readerGap, std::size_t infoGap, const char* where) {
        EXPECT_GE(readerPage.gaps[readerGap], infoPage.gaps[infoGap]) << where;
        EXPECT_LT(readerPage.gaps[readerGap] - infoPage.gaps[infoGap], readerPage.tallestRow)
            << where << ": an empty band of " << readerPage.gaps[readerGap] << " pixels";
    };
    expectSpread(0, 0, "above the first row");
    expectSpread(1, 1, "between the first rows");
    expectSpread(2, 2, "between the last rows");
    expectSpread(3, 5, "below the last row");
    EXPECT_EQ(readerPage.gaps[4], infoPage.gaps[6]) << "the buttons sit under the frame alike";
    // Evenly: the rows stand as far apart from each other as from the edges' margins.
    EXPECT_LE(std::abs(readerPage.gaps[1] - readerPage.gaps[2]), 1);
    EXPECT_LE(std::abs((readerPage.gaps[0] - infoPage.gaps[0]) - readerPage.gaps[1]), 1);
}

TEST_F(DevicePagesTest, EnterPressesNoButtonOfTheDevicePages) {
    SimReader& reader = Connect({});
    CSystemConfig& dialog = Open(reader);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    EXPECT_TRUE(info_->QueryButton()->hasFocus());

    dialog.Tabs()->setCurrentIndex(1);
    settings_->CarrierBox()->setCurrentIndex(6);
    settings_->OkButton()->setFocus();
    QTest::keyClick(settings_->OkButton(), Qt::Key_Return);
    QTest::keyClick(settings_->OkButton(), Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
    dialog.Tabs()->setCurrentIndex(0);
    EXPECT_TRUE(info_->QueryButton()->hasFocus());
    QTest::keyClick(info_->QueryButton(), Qt::Key_Return);

    // A query behind the keys shows that nothing went out before it.
    settings_->Query();
    ASSERT_TRUE(WaitFrames(reader, 2));
    EXPECT_EQ(reader.ReceivedFrames().front(), Expected(CMD_QUERY_ATTEN, 0));
    EXPECT_EQ(int{settings_->StoredCarrier()}, 0);
}

}  // namespace
}  // namespace trelvane
