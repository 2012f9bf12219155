#include "records/ExportText.h"

#include <gtest/gtest.h>

#include "records/StringTable.h"
#include "records/TagStore.h"
#include "support/TagFrames.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ReadFile;
using test::TagFrame;
using test::TagReportFor;
using test::TempFolder;
using test::WriteFile;

constexpr char kHeader[] = "Index\tID\tDevice\tRead Count\tLast Read Time\r\n";

TextCodec Codec(int codePage) {
    return TextCodec::ForCodePage(codePage).value();
}

TEST(ExportTextTest, EmptyListIsTheHeaderAlone) {
    const TagListModel list;
    for (int codePage : {936, 950, 1252, 65001}) {
        EXPECT_EQ(BuildExportText(list, Codec(codePage)), kHeader) << codePage;
    }
}

TEST(ExportTextTest, RowsEndInTabThenCrLf) {
    TagStore store;
    TagListModel list;
    const LocalDateTime now{2026, 3, 8, 9, 5, 3};
    store.RecordRead(
        "\xC9\xE8\xB1\xB8"
        "01",
        TagReportFor(99, 14), now);
    store.RecordRead("Gate-A", TagReportFor(100, 15, {0x30, 0x15, 0x09, 0, 0x24, 0x12, 0x10}), now);
    store.RecordRead("Gate-A", TagReportFor(100, 14), now);
    store.RecordRead("Gate-B", TagReportFor(4294967295u, 14), now);
    store.RefreshTagList(list);
    const std::string expected = std::string(kHeader) +
                                 "1\t100\tGate-A\t2\t2026-03-08 09:05:03\t\r\n"
                                 "2\t4294967295\tGate-B\t1\t2026-03-08 09:05:03\t\r\n"
                                 "3\t99\t\xC9\xE8\xB1\xB8"
                                 "01\t1\t2026-03-08 09:05:03\t\r\n";
    EXPECT_EQ(BuildExportText(list, Codec(936)), expected);
    EXPECT_EQ(BuildExportText(list, Codec(65001)), expected)
        << "device names are the reader's bytes in every code page";
}

TEST(ExportTextTest, HeaderFromALanguagePackIsConverted) {
    auto pack = std::make_shared<LanguagePack>();
    (*pack)[ids::kExportHeader] = "序號\tID\r\n";
    SetLanguagePack(pack);
    const TagListModel list;
    EXPECT_EQ(BuildExportText(list, Codec(950)), "\xA7\xC7\xB8\xB9\tID\r\n");
    EXPECT_EQ(BuildExportText(list, Codec(1252)), "??\tID\r\n");
    SetLanguagePack(nullptr);
}

TEST(ExportTextTest, FileIsCreatedOrTruncated) {
    TempFolder folder;
    const auto file = folder.Path() / "tags.xls";
    const std::string bytes = std::string(kHeader) + "1\t5\td\t1\tt\t\r\n";
    ASSERT_TRUE(WriteExportFile(file, bytes));
    EXPECT_EQ(ReadFile(file), bytes);

    WriteFile(file, std::string(10'000, 'x'));
    ASSERT_TRUE(WriteExportFile(file, kHeader));
    EXPECT_EQ(ReadFile(file), kHeader) << "nothing of the longer old file may remain";

    EXPECT_FALSE(WriteExportFile(folder.Path() / "missing" / "tags.txt", bytes));
    EXPECT_FALSE(WriteExportFile(folder.Path(), bytes)) << "a folder is not a file";
}

}  // namespace
}  // namespace trelvane
