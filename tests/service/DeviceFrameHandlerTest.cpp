#include "service/DeviceFrameHandler.h"

#include <gtest/gtest.h>

#include <limits>

#include <filesystem>
#include <fstream>

#include "records/TagStore.h"
#include "service/DeviceRegistry.h"
#include "service/ReadLogSink.h"
#include "support/ManualClock.h"
#include "support/TagFrames.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

struct PageNote {
    PageReply reply;
    std::string key;
    bool ok;
    friend bool operator==(const PageNote&, const PageNote&) = default;
};

class RecordingSink final : public DeviceEventSink {
  public:
    void OnDeviceNamed(const std::string& key) override { named.push_back(key); }
    void OnPageReply(PageReply reply, const std::string& key, bool ok,
                     std::uint8_t command) override {
        replies.push_back({reply, key, ok});
        commands.push_back(command);
    }
    std::vector<std::uint8_t> commands;
    std::vector<std::string> named;
    std::vector<PageNote> replies;
};

// A reply frame record: command, parameter byte, then the data bytes (status first); the length
// byte counts the command and the data, as readers send it.
FrameRecord Reply(std::uint8_t command, std::vector<std::uint8_t> data, std::uint8_t param = 0) {
    FrameRecord f{};
    f[0] = 0x55;
    f[1] = param;
    f[3] = static_cast<std::uint8_t>(data.size() + 1);
    f[4] = command;
    std::copy(data.begin(), data.end(), f.begin() + 5);
    return f;
}

FrameRecord Identity(std::uint8_t item, const std::string& text, std::uint8_t status = 0) {
    std::vector<std::uint8_t> data{status};
    data.insert(data.end(), text.begin(), text.end());
    return Reply(0x01, data, item);
}

class DispatchTest : public ::testing::Test {
  protected:
    DispatchTest() {
        clock.SetLocalTime({2026, 12, 7, 21, 30, 0, 1, 0});
        device.SetText(DeviceText::kDeviceName, kKey);
        device.registrationPending = true;
        batch.localTime = clock.LocalNow();
        batch.timeMs = clock.UnixMillis();
        batch.firstSeq = batch.nextSeq = 41;
        context.device = batch.AddDevice(kKey, "R01");
    }
    void Dispatch(const FrameRecord& frame, const std::string& nameAtPassStart) {
        DispatchDeviceFrame(device, kKey, nameAtPassStart, frame, context);
    }
    void Dispatch(const FrameRecord& frame) { Dispatch(frame, device.DeviceName()); }

    static constexpr const char* kKey = "10.0.0.7:4001";
    ManualClock clock;
    TagStore tags;
    RecordingSink sink;
    EventBatch batch;
    DispatchContext context{tags, sink, batch};
    CDeviceInfo device;
};

TEST_F(DispatchTest, StartReadAcknowledgementSetsReadingOnlyOnSuccess) {
    Dispatch(Reply(0x62, {0x01}));
    EXPECT_FALSE(device.reading);
    Dispatch(Reply(0x62, {0x00}));
    EXPECT_TRUE(device.reading);
    Dispatch(Reply(0x62, {0x00}));
    EXPECT_TRUE(device.reading) << "set again when already set";
    EXPECT_TRUE(sink.replies.empty());
}

TEST_F(DispatchTest, TagReportsNeedReadingAShortNameAndLengthEight) {
    device.SetText(DeviceText::kDeviceName, "R01");
    Dispatch(test::TagFrame(12345678));
    EXPECT_EQ(device.tagCount, 0) << "ignored while not reading";
    EXPECT_EQ(tags.Size(), 0u);

    device.reading = true;
    Dispatch(test::TagFrame(12345678));
    EXPECT_EQ(device.tagCount, 1);
    ASSERT_TRUE(tags.Find("12345678"));
    EXPECT_EQ(tags.Find("12345678")->deviceName, "R01");
    EXPECT_EQ(tags.Find("12345678")->lastReadTime, "2026-03-08 09:05:03");

    FrameRecord failed = test::TagFrame(1);
    failed[5] = 0x01;
    Dispatch(failed);
    EXPECT_EQ(device.tagCount, 1) << "a failure status is ignored";
    Dispatch(test::TagFrame(2, 7));
    EXPECT_EQ(device.tagCount, 1) << "L = 7 is too short";
    Dispatch(test::TagFrame(3, 8));
    EXPECT_EQ(device.tagCount, 2) << "L = 8 is enough";

    // A 14-byte report carries no reader time: stamped with the PC's.
    Dispatch(test::TagFrame(4, 14));
    EXPECT_EQ(tags.Find("4")->lastReadTime, "2026-12-07 21:30:00");
}

TEST_F(DispatchTest, NameLengthRuleAndTheNameOfThePass) {
    device.reading = true;
    device.SetText(DeviceText::kDeviceName, "NINECHARS");
    Dispatch(test::TagFrame(7), "NINECHARS");
    EXPECT_EQ(device.tagCount, 1) << "nine characters may report";
    device.SetText(DeviceText::kDeviceName, "TENCHARSXX");
    Dispatch(test::TagFrame(7), "TENCHARSXX");
    EXPECT_EQ(device.tagCount, 1) << "ten may not";
    device.SetText(DeviceText::kDeviceName, kKey);
    Dispatch(test::TagFrame(7), kKey);
    EXPECT_EQ(device.tagCount, 1) << "a device still named by its key may not";

    // The read is recorded under the name the pass began with, the check uses the current one.
    device.SetText(DeviceText::kDeviceName, "NEW");
    Dispatch(test::TagFrame(8), "OLD");
    EXPECT_EQ(tags.Find("8")->deviceName, "OLD");
}

TEST_F(DispatchTest, IdentityItemZeroNamesTheDeviceAndEndsItsRegistration) {
    Dispatch(Identity(0, "R01"));
    EXPECT_EQ(device.DeviceName(), "R01");
    EXPECT_FALSE(device.registrationPending);
    EXPECT_EQ(sink.named, std::vector<std::string>{kKey});
    EXPECT_EQ(sink.replies, (std::vector<PageNote>{{PageReply::kDeviceInfo, kKey, true}}));
}

TEST_F(DispatchTest, IdentityItemsFillTheirFields) {
    Dispatch(Identity(1, "K314B"));
    Dispatch(Identity(2, "SN-0042"));
    Dispatch(Identity(3, "V2.1"));
    Dispatch(Identity(5, "HW3"));
    EXPECT_EQ(device.Text(DeviceText::kProductType), "K314B");
    EXPECT_EQ(device.Text(DeviceText::kSerialNo), "SN-0042");
    EXPECT_EQ(device.Text(DeviceText::kSoftwareVer), "V2.1");
    EXPECT_EQ(device.Text(DeviceText::kHardwareVer), "HW3");
    EXPECT_EQ(device.DeviceName(), kKey);
    EXPECT_TRUE(device.registrationPending) << "only item 0 registers";
    EXPECT_TRUE(sink.named.empty());
    EXPECT_EQ(sink.replies.size(), 4u);

    // The longest text a frame can carry (L = 255: 253 bytes) is taken whole.
    const std::string longest(253, 'x');
    Dispatch(Identity(2, longest));
    EXPECT_EQ(device.Text(DeviceText::kSerialNo), longest);
}

TEST_F(DispatchTest, EmptyOrUnknownIdentityChangesNothingButStillReplies) {
    Dispatch(Identity(4, "ignored"));
    Dispatch(Identity(0, ""));
    EXPECT_EQ(device.DeviceName(), kKey);
    EXPECT_TRUE(device.registrationPending);
    EXPECT_EQ(sink.replies, (std::vector<PageNote>{{PageReply::kDeviceInfo, kKey, true},
                                                   {PageReply::kDeviceInfo, kKey, true}}));
    // A failure status posts a failure and then, the text being handled, a success.
    sink.replies.clear();
    Dispatch(Identity(1, "", 0x01));
    EXPECT_EQ(sink.replies, (std::vector<PageNote>{{PageReply::kDeviceInfo, kKey, false},
                                                   {PageReply::kDeviceInfo, kKey, true}}));
    // L < 2 (no status byte): only the failure notice when the status byte reads non-zero.
    sink.replies.clear();
    Dispatch(Reply(0x01, {}));
    EXPECT_TRUE(sink.replies.empty());
}

TEST_F(DispatchTest, RadioSettingRepliesAndPageReplies) {
    FrameRecord atten = Reply(0x12, {0x00, 0, 0, 0, 0, 0, 0, 0x05});
    Dispatch(atten);
    EXPECT_EQ(device.atten, 5);
    Dispatch(Reply(0x14, {0x00, 0x09}));
    EXPECT_EQ(device.carrierParam, 9);
    Dispatch(Reply(0x12, {0x01, 0, 0, 0, 0, 0, 0, 0x0A}));
    EXPECT_EQ(device.atten, 5) << "a failed query leaves the setting";
    Dispatch(Reply(0x11, {0x00}));
    Dispatch(Reply(0x13, {0x02}));
    EXPECT_EQ(sink.replies, (std::vector<PageNote>{{PageReply::kReaderQuery, kKey, true},
                                                   {PageReply::kReaderQuery, kKey, true},
                                                   {PageReply::kReaderQuery, kKey, false},
                                                   {PageReply::kReaderSet, kKey, true},
                                                   {PageReply::kReaderSet, kKey, false}}));
}

TEST_F(DispatchTest, ClockReplyAndIgnoredFrames) {
    Dispatch(Reply(0xB0, {0x01}));
    EXPECT_FALSE(device.clockSet);
    Dispatch(Reply(0xB0, {0x00}));
    EXPECT_TRUE(device.clockSet);
    Dispatch(Reply(0x6F, {0x00}));
    Dispatch(Reply(0xD0, {0x00, 0x10}));
    Dispatch(FrameRecord{});  // the zero record of two start bytes in a row
    EXPECT_TRUE(sink.replies.empty());
    EXPECT_EQ(tags.Size(), 0u);
}

TEST_F(DispatchTest, EventsOfThePassCarryOneSequence) {
    Dispatch(Reply(0x62, {0x00}));  // Start Read answered
    Dispatch(Reply(0x62, {0x00}));  // again: no second event
    device.SetText(DeviceText::kDeviceName, "R01");
    Dispatch(test::TagFrame(12345678), "R01");
    Dispatch(test::TagFrame(7, 14), "R01");
    Dispatch(Identity(0, "R02"));  // the reader renames itself
    Dispatch(test::TagFrame(8), "R01");

    ASSERT_EQ(batch.reads.size(), 3u);
    ASSERT_EQ(batch.deviceEvents.size(), 2u);
    EXPECT_EQ(batch.deviceEvents[0].seq, 41u);
    EXPECT_EQ(batch.deviceEvents[0].kind, DeviceEventKind::kReadingStarted);
    EXPECT_EQ(batch.reads[0].seq, 42u);
    EXPECT_EQ(batch.reads[0].report.tag, 12345678u);
    ASSERT_TRUE(batch.reads[0].report.readerTime);
    EXPECT_EQ(ReaderTimeText(*batch.reads[0].report.readerTime), "2026-03-08 09:05:03");
    EXPECT_EQ(batch.reads[1].seq, 43u);
    EXPECT_FALSE(batch.reads[1].report.readerTime) << "a 14-byte report has no reader time";
    EXPECT_EQ(batch.reads[1].timeMs, batch.timeMs) << "the PC time of the pass";
    EXPECT_EQ(batch.deviceEvents[1].seq, 44u);
    EXPECT_EQ(batch.deviceEvents[1].kind, DeviceEventKind::kNamed);
    EXPECT_EQ(batch.devices[batch.deviceEvents[1].device].name, "R02");
    EXPECT_EQ(batch.devices[batch.deviceEvents[1].device].key, kKey);
    EXPECT_EQ(batch.reads[2].seq, 45u);
    EXPECT_EQ(batch.devices[batch.reads[2].device].name, "R01")
        << "reads of the pass keep the name the pass began with";
    EXPECT_EQ(batch.nextSeq, 46u);
    EXPECT_EQ(batch.EventCount(), 5u);
}

// The run of frames one deframing gives is handled as the frames one by one would be: the name
// rule follows an identity reply inside the run, reads keep their order and the pass's name,
// and the tag count (saturating) and the tag table see every accepted read once.
TEST_F(DispatchTest, ARunOfFramesIsHandledAsItsFramesOneByOne) {
    device.reading = true;
    std::vector<FrameRecord> frames{
        test::TagFrame(1),  // still named by its key: ignored
        Identity(0, "R07"), test::TagFrame(2),  test::TagFrame(3, 14), Identity(0, "NAMETOOLONG"),
        test::TagFrame(4),  Identity(0, "R08"), test::TagFrame(2)};
    device.tagCount = std::numeric_limits<std::int32_t>::max() - 2;
    DispatchDeviceFrames(device, kKey, "PASS", frames, context);
    ASSERT_EQ(batch.reads.size(), 3u);
    EXPECT_EQ(batch.reads[0].report.tag, 2u);
    EXPECT_EQ(batch.reads[1].report.tag, 3u);
    EXPECT_EQ(batch.reads[2].report.tag, 2u);
    EXPECT_LT(batch.reads[0].seq, batch.reads[1].seq);
    EXPECT_EQ(device.tagCount, std::numeric_limits<std::int32_t>::max()) << "saturates";
    EXPECT_EQ(tags.Size(), 2u);
    EXPECT_EQ(tags.Find("2")->readCount, 2);
    EXPECT_EQ(tags.Find("2")->deviceName, "PASS");
    EXPECT_FALSE(tags.Find("4")) << "read while the name was too long";
    EXPECT_EQ(tags.TotalReads(), 3u);
    EXPECT_EQ(device.DeviceName(), "R08");
}

TEST_F(DispatchTest, AcceptedReadsReachTheDailyLogThroughItsSink) {
    const test::TempFolder scratch;
    const std::filesystem::path& folder = scratch.Path();
    {
        ReadLogSink log(folder, clock);
        log.SetSettings(1, 936);
        device.reading = true;
        device.SetText(DeviceText::kDeviceName, "R01");
        Dispatch(test::TagFrame(12345678));
        device.reading = false;
        Dispatch(test::TagFrame(99));  // not accepted: not logged
        log.Consume(batch);
        log.Flush();
    }
    std::ifstream in(folder / "2026-12-07 ReadIdRec.txt", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes,
              "ID\xA3\xBA"
              "12345678\tFrom Device\xA3\xBA"
              "R01\tRead Time\xA3\xBA"
              "2026-03-08 09:05:03\r\n");
}

// The read log's sink is wanted while a log is open or new settings wait: with KeepRecord 0 the
// parse thread need not wake it, and switching the log off still closes the day's files at the
// next batch.
TEST_F(DispatchTest, TheReadLogSinkIsWantedOnlyWhileItLogs) {
    const test::TempFolder scratch;
    const std::filesystem::path& folder = scratch.Path();
    const auto file = folder / "2026-12-07 ReadIdRec.txt";
    {
        ReadLogSink log(folder, clock);
        EXPECT_FALSE(log.Wanted()) << "no settings yet";
        log.SetSettings(0, 936);
        EXPECT_TRUE(log.Wanted()) << "settings to take";
        log.Consume(batch);
        EXPECT_FALSE(log.Wanted()) << "KeepRecord 0";

        log.SetSettings(1, 936);
        device.reading = true;
        device.SetText(DeviceText::kDeviceName, "R01");
        Dispatch(test::TagFrame(5));
        log.Consume(batch);
        log.Flush();
        EXPECT_TRUE(log.Wanted());
        ASSERT_TRUE(std::filesystem::exists(file));

        log.SetSettings(0, 936);
        EXPECT_TRUE(log.Wanted());
        log.Consume(EventBatch{});
        EXPECT_FALSE(log.Wanted());
        // The file was closed with the old log: nothing holds it open.
        int open = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(fd.path(), error) == file) {
                ++open;
            }
        }
        EXPECT_EQ(open, 0);
    }
}

}  // namespace
}  // namespace trelvane
