#include "records/TagStore.h"

#include <gtest/gtest.h>

#include <vector>

#include <span>

#include <limits>

#include "records/TagId.h"
#include "support/TagFrames.h"

namespace trelvane {
namespace {

using test::TagFrame;
using test::TagReportFor;

const LocalDateTime kPcNow{2031, 7, 4, 22, 41, 17, 5, 250};
constexpr char kPcNowText[] = "2031-07-04 22:41:17";

TEST(TagIdTest, TextOfTheFourBytesMostSignificantFirst) {
    EXPECT_EQ(TagIdText(DecodeTagReport(TagFrame(0)).tag), "0");
    EXPECT_EQ(TagIdText(DecodeTagReport(TagFrame(0xFFFFFFFF)).tag), "4294967295");
    FrameRecord frame{};
    frame[10] = 0x00;
    frame[11] = 0xBC;
    frame[12] = 0x61;
    frame[13] = 0x4E;
    frame[9] = 0xFF;  // neighbours are not part of the ID
    frame[14] = 0xFF;
    EXPECT_EQ(TagIdText(DecodeTagReport(frame).tag), "12345678");
    EXPECT_EQ(DecodeTagReport(frame).readerTime, std::nullopt) << "length 0: no reader time";
    EXPECT_EQ(TagIdText(DecodeTagReport(TagFrame(0x80000000)).tag), "2147483648")
        << "unsigned, never negative";
}

TEST(TagIdTest, OnlyTheExactDecimalTextNamesAnId) {
    EXPECT_EQ(ParseTagIdText("0"), 0u);
    EXPECT_EQ(ParseTagIdText("4294967295"), 4294967295u);
    EXPECT_EQ(ParseTagIdText("12345678"), 12345678u);
    for (const char* text :
         {"", "00", "012", "+1", "-1", " 1", "1 ", "4294967296", "99999999999", "1a", "0x10"}) {
        EXPECT_FALSE(ParseTagIdText(text)) << '"' << text << '"';
    }
}

TEST(TagIdTest, SortKeyFollowsTheTextsByteByByte) {
    const std::uint32_t ascending[] = {0,  1,   10,  100, 1000000000, 12, 123, 2,
                                       20, 200, 201, 21,  4294967295, 99, 990, 999};
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
        const std::uint32_t a = ascending[i];
        const std::uint32_t b = ascending[i + 1];
        ASSERT_LT(TagIdText(a), TagIdText(b)) << "the list itself is in text order";
        EXPECT_LT(TagIdSortKey(a), TagIdSortKey(b)) << a << " before " << b;
    }
}

TEST(TagReadTimeTest, ReaderClockFromLengthFifteen) {
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 17, {0x03, 0x05, 0x09, 0x07, 0x08, 0x03, 0x26}), kPcNow),
              "2026-03-08 09:05:03");
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 15, {0x30, 0x15, 0x09, 0x5A, 0x24, 0x12, 0x10}), kPcNow),
              "2010-12-24 09:15:30")
        << "the weekday byte is not used";
    // Not valid BCD: converted arithmetically, no range check.
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 15, {0x1F, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00}), kPcNow),
              "2000-01-01 00:00:25");
    EXPECT_EQ(
        ReadTimeText(TagReportFor(1, 255, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), kPcNow),
        "2165-165-165 165:165:165");
}

TEST(TagReadTimeTest, PcTimeBelowLengthFifteen) {
    // The clock bytes are there but the length says the frame does not carry them.
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 14), kPcNow), kPcNowText);
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 0), kPcNow), kPcNowText);
    EXPECT_EQ(ReadTimeText(TagReportFor(1, 14), LocalDateTime{2009, 1, 2, 3, 4, 5}),
              "2009-01-02 03:04:05");
}

TEST(TagStoreTest, FirstReadCreatesTheRecord) {
    TagStore store;
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_FALSE(store.Find("0"));

    store.RecordRead("192.168.1.20:4001", TagReportFor(0x00BC614E, 14), kPcNow);

    const auto info = store.Find("12345678");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->deviceName, "192.168.1.20:4001");
    EXPECT_EQ(info->reserved, "111111111111");
    EXPECT_EQ(info->lastReadTime, kPcNowText);
    EXPECT_EQ(info->readCount, 1);
    EXPECT_EQ(store.Size(), 1u);
    EXPECT_EQ(store.TotalReads(), 1u);
    EXPECT_FALSE(store.Find("012345678"));
}

TEST(TagStoreTest, SameIdFromTwoDevicesIsOneRecord) {
    TagStore store;
    store.RecordRead("Gate-A", TagReportFor(77, 17), kPcNow);
    // The second reader's name holds raw non-UTF-8 bytes and a NUL; it is kept exactly.
    const std::string second("\xC9\xE8\xB1\xB8\0B", 6);
    store.RecordRead(second, TagReportFor(77, 15, {0x30, 0x15, 0x09, 0, 0x24, 0x12, 0x10}), kPcNow);

    const auto info = store.Find("77");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->readCount, 2);
    EXPECT_EQ(info->deviceName, second);
    EXPECT_EQ(info->lastReadTime, "2010-12-24 09:15:30");
    EXPECT_EQ(store.Size(), 1u);

    // Back to the first device: a name used before is found again, not confused with another.
    store.RecordRead("Gate-A", TagReportFor(77, 14), kPcNow);
    EXPECT_EQ(store.Find("77")->deviceName, "Gate-A");
    EXPECT_EQ(store.Find("77")->readCount, 3);
    EXPECT_EQ(store.Find("77")->lastReadTime, kPcNowText);
}

TEST(TagStoreTest, DistinctIdsNeverShareARecord) {
    TagStore store;
    store.RecordRead("one", TagReportFor(12), kPcNow);
    store.RecordRead("two", TagReportFor(123, 14), kPcNow);
    store.RecordRead("two", TagReportFor(123, 14), kPcNow);
    store.RecordRead("three", TagReportFor(0), kPcNow);
    store.RecordRead("four", TagReportFor(0xFFFFFFFF), kPcNow);
    EXPECT_EQ(store.Size(), 4u);
    EXPECT_EQ(store.Find("12")->readCount, 1);
    EXPECT_EQ(store.Find("12")->deviceName, "one");
    EXPECT_EQ(store.Find("12")->lastReadTime, "2026-03-08 09:05:03");
    EXPECT_EQ(store.Find("123")->readCount, 2);
    EXPECT_EQ(store.Find("123")->lastReadTime, kPcNowText);
    EXPECT_EQ(store.Find("0")->deviceName, "three");
    EXPECT_EQ(store.Find("4294967295")->deviceName, "four");
    EXPECT_FALSE(store.Find("1"));
    EXPECT_EQ(store.TotalReads(), 5u);
}

TEST(TagStoreTest, ManyIdsAndNamesStayApart) {
    // Enough IDs to grow the index several times, IDs that collide in low bits, and names
    // that come and go (device keys change with every reconnection).
    TagStore store;
    constexpr std::uint32_t kIds = 20'000;
    for (std::uint32_t i = 0; i < kIds; ++i) {
        store.RecordRead("dev" + std::to_string(i % 37), TagReportFor(i << 16), kPcNow);
    }
    for (std::uint32_t i = 0; i < kIds; i += 2) {
        store.RecordRead("10.0.0.1:" + std::to_string(i), TagReportFor(i << 16, 14), kPcNow);
    }
    ASSERT_EQ(store.Size(), kIds);
    for (std::uint32_t i = 0; i < kIds; ++i) {
        const auto info = store.Find(std::to_string(i << 16));
        ASSERT_TRUE(info) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(info->readCount, 2);
            EXPECT_EQ(info->deviceName, "10.0.0.1:" + std::to_string(i));
        } else {
            EXPECT_EQ(info->readCount, 1);
            EXPECT_EQ(info->deviceName, "dev" + std::to_string(i % 37));
        }
    }
    EXPECT_FALSE(store.Find(std::to_string(kIds << 16)));
}

// A device name is held while a record names it, and only then: keys change with every
// reconnection, so over months the names would pile up if a run of reads leaked a reference.
TEST(TagStoreTest, ANameGoesWithTheLastRecordThatNamesIt) {
    TagStore store;
    const std::vector<TagReport> reports{TagReportFor(1), TagReportFor(2), TagReportFor(1)};
    const auto report = [](const TagReport& r) -> const TagReport& { return r; };
    store.RecordReads("10.0.0.1:4001", reports, report, kPcNow);
    EXPECT_EQ(store.LiveNames(), 1u);
    store.RecordReads("R01", std::span(reports).first(1), report, kPcNow);
    EXPECT_EQ(store.LiveNames(), 2u) << "tag 2 still names the key";
    store.RecordRead("R01", TagReportFor(2), kPcNow);
    EXPECT_EQ(store.LiveNames(), 1u) << "no record names the key any more";
    store.RecordReads("R02", std::vector<TagReport>{}, report, kPcNow);
    EXPECT_EQ(store.LiveNames(), 1u) << "an empty run holds nothing";
    EXPECT_EQ(store.Find("1")->deviceName, "R01");
    EXPECT_EQ(store.Find("1")->readCount, 3);
    EXPECT_EQ(store.TotalReads(), 5u);
}

TEST(TagStoreTest, ClearEmptiesTheTableButNotTheReadTotal) {
    TagStore store;
    TagListModel list;
    store.RecordRead("a", TagReportFor(5), kPcNow);
    store.RecordRead("a", TagReportFor(5), kPcNow);
    store.ClearAllRecords(list);
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_FALSE(store.Find("5"));
    EXPECT_EQ(store.TotalReads(), 2u);
    store.RecordRead("b", TagReportFor(5), kPcNow);
    EXPECT_EQ(store.Find("5")->readCount, 1) << "a new record after a clear";
    EXPECT_EQ(store.Find("5")->deviceName, "b");
}

TEST(TagStoreTest, ReadCountStopsAtItsLargestValue) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(detail::AddOneRead(1), 2);
    EXPECT_EQ(detail::AddOneRead(kMax - 1), kMax);
    EXPECT_EQ(detail::AddOneRead(kMax), kMax);
}

}  // namespace
}  // namespace trelvane
