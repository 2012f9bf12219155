#include "records/ReadLog.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "records/StringTable.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::FilesIn;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

const LocalDateTime kDay{2010, 12, 24, 9, 15, 31};
constexpr char kTxt[] = "2010-12-24 ReadIdRec.txt";
constexpr char kXls[] = "2010-12-24 ReadIdRec.xls";
// A reader name in the reader's own bytes (GBK), written as it came.
const std::string kGbkName =
    "\xC9\xE8\xB1\xB8"
    "01";

TextCodec Codec(int codePage) {
    return TextCodec::ForCodePage(codePage).value();
}

class ReadLogTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLanguagePack(nullptr); }
    TempFolder folder_;
};

TEST_F(ReadLogTest, LineBytesInGbk) {
    {
        ReadLog log(folder_.Path(), 1, Codec(936));
        EXPECT_TRUE(log.Enabled());
        log.Append("12345678", kGbkName, "2010-12-24 09:15:30", kDay);
        log.Append("0", "192.168.1.20:4001", "2010-12-24 09:15:31", kDay);
        log.Flush();
    }
    EXPECT_EQ(ReadFile(folder_.Path() / kTxt),
              "ID\xA3\xBA"
              "12345678\tFrom Device\xA3\xBA\xC9\xE8\xB1\xB8"
              "01\tRead Time\xA3\xBA"
              "2010-12-24 09:15:30\r\n"
              "ID\xA3\xBA"
              "0\tFrom Device\xA3\xBA"
              "192.168.1.20:4001\tRead Time\xA3\xBA"
              "2010-12-24 09:15:31\r\n");
    EXPECT_EQ(FilesIn(folder_.Path()), 1u);
}

TEST_F(ReadLogTest, LineBytesInOtherCodePages) {
    struct Case {
        int codePage;
        std::string colon;
    };
    for (const Case& c : {Case{65001, "\xEF\xBC\x9A"}, Case{950, "\xA1\x47"}, Case{1252, "?"}}) {
        TempFolder folder;
        ReadLog log(folder.Path(), 1, Codec(c.codePage));
        log.Append("42", kGbkName, "2026-03-08 09:05:03", kDay);
        log.Flush();
        EXPECT_EQ(ReadFile(folder.Path() / kTxt), "ID" + c.colon + "42\tFrom Device" + c.colon +
                                                      kGbkName + "\tRead Time" + c.colon +
                                                      "2026-03-08 09:05:03\r\n")
            << c.codePage;
    }
}

TEST_F(ReadLogTest, KeepRecordChoosesTheFiles) {
    const std::string line =
        "ID\xA3\xBA"
        "7\tFrom Device\xA3\xBA"
        "d\tRead Time\xA3\xBA"
        "t\r\n";
    for (int keep : {0, 1, 2, 3, 4, 7, -1}) {
        TempFolder folder;
        {
            ReadLog log(folder.Path(), keep, Codec(936));
            EXPECT_EQ(log.Enabled(), (keep & 3) != 0) << keep;
            log.Append("7", "d", "t", kDay);
        }  // the destructor writes what is queued
        const bool text = keep & 1;
        const bool sheet = keep & 2;
        EXPECT_EQ(FilesIn(folder.Path()), std::size_t{text} + std::size_t{sheet}) << keep;
        if (text) {
            EXPECT_EQ(ReadFile(folder.Path() / kTxt), line) << keep;
        }
        if (sheet) {
            EXPECT_EQ(ReadFile(folder.Path() / kXls), line) << keep;
        }
    }
}

TEST_F(ReadLogTest, AppendsBehindTheLastByteOfAnExistingFile) {
    WriteFile(folder_.Path() / kTxt, "earlier\r\nno newline");
    ReadLog log(folder_.Path(), 3, Codec(65001));
    log.Append("1", "a", "t1", kDay);
    log.Flush();
    log.Append("2", "b", "t2", kDay);
    log.Flush();
    const std::string one = "ID：1\tFrom Device：a\tRead Time：t1\r\n";
    const std::string two = "ID：2\tFrom Device：b\tRead Time：t2\r\n";
    EXPECT_EQ(ReadFile(folder_.Path() / kTxt), "earlier\r\nno newline" + one + two);
    EXPECT_EQ(ReadFile(folder_.Path() / kXls), one + two) << "created, no byte-order mark";
}

TEST_F(ReadLogTest, MidnightInsideOneBatch) {
    ReadLog log(folder_.Path(), 3, Codec(65001));
    LocalDateTime beforeMidnight{2010, 12, 24, 23, 59, 59};
    LocalDateTime afterMidnight{2010, 12, 25, 0, 0, 0};
    log.Append("1", "a", "2010-12-24 23:59:58", beforeMidnight);
    // The reader's clock still says the 24th; the PC's date names the file.
    log.Append("2", "a", "2010-12-24 23:59:59", afterMidnight);
    log.Append("3", "a", "2010-12-25 00:00:00", afterMidnight);
    log.Flush();
    const std::string one = "ID：1\tFrom Device：a\tRead Time：2010-12-24 23:59:58\r\n";
    const std::string two = "ID：2\tFrom Device：a\tRead Time：2010-12-24 23:59:59\r\n";
    const std::string three = "ID：3\tFrom Device：a\tRead Time：2010-12-25 00:00:00\r\n";
    EXPECT_EQ(ReadFile(folder_.Path() / "2010-12-24 ReadIdRec.txt"), one);
    EXPECT_EQ(ReadFile(folder_.Path() / "2010-12-24 ReadIdRec.xls"), one);
    EXPECT_EQ(ReadFile(folder_.Path() / "2010-12-25 ReadIdRec.txt"), two + three);
    EXPECT_EQ(ReadFile(folder_.Path() / "2010-12-25 ReadIdRec.xls"), two + three);
    EXPECT_EQ(FilesIn(folder_.Path()), 4u);
}

// How many of this process's descriptors are open on `file` (by its inode, so a moved file
// still counts under its old name's inode).
int OpenDescriptorsOn(const std::filesystem::path& file) {
    struct stat target {};
    if (::stat(file.c_str(), &target) != 0) {
        return 0;
    }
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            ++count;
        }
    }
    return count;
}

// The day's files stay open between flushes, yet every line goes where the name points at the
// flush: an operator who moves or deletes today's log (rotation, a copy-and-clear) gets a new
// file with the next lines, and the moved one gets nothing more. The next day closes the last.
TEST_F(ReadLogTest, TheDaysFilesStayOpenAndFollowTheirNames) {
    const auto txt = folder_.Path() / kTxt;
    const auto xls = folder_.Path() / kXls;
    const auto line = [](const char* id) {
        return std::string("ID：") + id + "\tFrom Device：a\tRead Time：t\r\n";
    };
    ReadLog log(folder_.Path(), 3, Codec(65001));
    log.Append("1", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(OpenDescriptorsOn(txt), 1);
    EXPECT_EQ(OpenDescriptorsOn(xls), 1);
    log.Append("2", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(OpenDescriptorsOn(txt), 1) << "the same descriptor, not one per flush";
    EXPECT_EQ(ReadFile(txt), line("1") + line("2"));

    const auto moved = folder_.Path() / "moved.txt";
    std::filesystem::rename(txt, moved);
    log.Append("3", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(ReadFile(moved), line("1") + line("2"));
    EXPECT_EQ(ReadFile(txt), line("3"));
    EXPECT_EQ(OpenDescriptorsOn(moved), 0);
    EXPECT_EQ(OpenDescriptorsOn(txt), 1);

    std::filesystem::remove(txt);
    std::filesystem::remove(xls);
    log.Append("4", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(ReadFile(txt), line("4"));
    EXPECT_EQ(ReadFile(xls), line("4")) << "removed, so made again";

    // Someone else appends whole lines meanwhile: ours still follow the file's end.
    {
        std::FILE* other = std::fopen(txt.c_str(), "ab");
        ASSERT_NE(other, nullptr);
        std::fputs("theirs\r\n", other);
        std::fclose(other);
    }
    log.Append("5", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(ReadFile(txt), line("4") + "theirs\r\n" + line("5"));

    const LocalDateTime nextDay{2010, 12, 25, 0, 0, 1};
    log.Append("6", "a", "t", nextDay);
    log.Flush();
    EXPECT_EQ(OpenDescriptorsOn(txt), 0) << "yesterday's file is closed";
    EXPECT_EQ(OpenDescriptorsOn(folder_.Path() / "2010-12-25 ReadIdRec.txt"), 1);
    EXPECT_EQ(ReadFile(folder_.Path() / "2010-12-25 ReadIdRec.xls"), line("6"));
}

TEST_F(ReadLogTest, UnwritableFolderDropsThoseLinesAndGoesOn) {
    const auto missing = folder_.Path() / "not-yet";
    ReadLog log(missing, 1, Codec(936));
    log.Append("1", "a", "t", kDay);
    ::testing::internal::CaptureStderr();
    log.Flush();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Open file failed\n");
    EXPECT_EQ(log.QueuedBytes(), 0u);

    // Once the folder exists, later lines are written; the lost one is not replayed.
    std::filesystem::create_directory(missing);
    log.Append("2", "a", "t", kDay);
    log.Flush();
    EXPECT_EQ(ReadFile(missing / kTxt),
              "ID\xA3\xBA"
              "2\tFrom Device\xA3\xBA"
              "a\tRead Time\xA3\xBA"
              "t\r\n");
}

TEST_F(ReadLogTest, ALanguagePackLineIsUsedFromTheNextRead) {
    ReadLog log(folder_.Path(), 1, Codec(950));
    log.Append("1", "a", "t", kDay);
    auto pack = std::make_shared<LanguagePack>();
    (*pack)[ids::kReadLogLine] = "卡號：%s\t設備：%s\t時間：%s\r\n";
    SetLanguagePack(pack);
    log.Append("2", "b", "u", kDay);
    log.Flush();
    EXPECT_EQ(ReadFile(folder_.Path() / kTxt),
              "ID\xA1\x47"
              "1\tFrom Device\xA1\x47"
              "a\tRead Time\xA1\x47t\r\n" +
                  Codec(950).FromUtf8("卡號：") + "2\t" + Codec(950).FromUtf8("設備：") + "b\t" +
                  Codec(950).FromUtf8("時間：") + "u\r\n");
}

// The log builds its lines from the format cut once at each "%s"; the bytes must be what
// FormatText makes of the same format, every odd conversion included, and a line that comes
// out empty must not even create its file.
TEST_F(ReadLogTest, LinesAreExactlyWhatFormatTextMakesAndAnEmptyLineTouchesNoFile) {
    auto pack = std::make_shared<LanguagePack>();
    (*pack)[ids::kReadLogLine] = "%s%s%s";
    SetLanguagePack(pack);
    {
        ReadLog log(folder_.Path(), 3, Codec(936));
        log.Append("", "", "", kDay);
        log.Flush();
    }
    EXPECT_FALSE(std::filesystem::exists(folder_.Path() / kTxt));

    const std::string odd = "100%% %s|%d|%s%%s%s%s%";  // a fourth %s, "%d", a lone "%" at the end
    (*pack)[ids::kReadLogLine] = odd;
    SetLanguagePack(std::make_shared<LanguagePack>(*pack));
    ReadLog log(folder_.Path(), 3, Codec(936));
    log.Append("42", "R\x01\xFF", "t", kDay);
    log.Append("", "", "", kDay);  // not empty: the literal pieces remain
    log.Flush();
    const std::string one = FormatText(odd, {"42", "R\x01\xFF", "t"});
    const std::string two = FormatText(odd, {"", "", ""});
    EXPECT_EQ(ReadFile(folder_.Path() / kTxt), one + two);
    EXPECT_EQ(ReadFile(folder_.Path() / kXls), one + two);
}

TEST_F(ReadLogTest, QueueFlushesItselfBeforeItGrowsLarge) {
    ReadLog log(folder_.Path(), 1, Codec(936));
    const std::string name(200, 'n');
    std::size_t appended = 0;
    while (appended < 3 * ReadLog::kAutoFlushBytes) {
        log.Append("4294967295", name, "2010-12-24 09:15:30", kDay);
        appended += 4 + 10 + 14 + name.size() + 12 + 19 + 2;
        ASSERT_LT(log.QueuedBytes(), ReadLog::kAutoFlushBytes);
    }
    log.Flush();
    EXPECT_EQ(std::filesystem::file_size(folder_.Path() / kTxt), appended);
}

}  // namespace
}  // namespace trelvane
