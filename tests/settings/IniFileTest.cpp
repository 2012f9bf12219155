#include "settings/IniFile.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <thread>
#include <vector>

#include "support/TempFolder.h"

namespace trelvane {
namespace {

using namespace std::string_literals;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

std::string Get(const std::string& bytes, std::string_view section, std::string_view key) {
    return IniFile(bytes).Get(section, key);
}

// --- The leading-integer rule ---------------------------------------------------------------

TEST(LeadingIntegerTest, DigitsUpToTheFirstNonDigit) {
    EXPECT_EQ(LeadingInteger("10min"), 10);
    EXPECT_EQ(LeadingInteger("abc"), 0);
    EXPECT_EQ(LeadingInteger("  -5x"), -5);
    EXPECT_EQ(LeadingInteger(" \t\n\v\f\r+42 7"), 42);
    EXPECT_EQ(LeadingInteger("007"), 7);
    EXPECT_EQ(LeadingInteger(""), 0);
    EXPECT_EQ(LeadingInteger("-"), 0);
    EXPECT_EQ(LeadingInteger("- 5"), 0) << "no blank between sign and digits";
    EXPECT_EQ(LeadingInteger("+-5"), 0);
    EXPECT_EQ(LeadingInteger("0x1F"), 0);
    EXPECT_EQ(LeadingInteger("3.9"), 3);
    EXPECT_EQ(LeadingInteger("12\0"s
                             "34"),
              12);
    EXPECT_EQ(LeadingInteger("\xEF\xBC\x91"), 0) << "only ASCII digits count";
}

TEST(LeadingIntegerTest, SaturatesAtTheIntRange) {
    EXPECT_EQ(LeadingInteger("2147483647"), INT_MAX);
    EXPECT_EQ(LeadingInteger("2147483648"), INT_MAX);
    EXPECT_EQ(LeadingInteger("99999999999999999999999999999"), INT_MAX);
    EXPECT_EQ(LeadingInteger("-2147483647"), -INT_MAX);
    EXPECT_EQ(LeadingInteger("-2147483648"), INT_MIN);
    EXPECT_EQ(LeadingInteger("-2147483649"), INT_MIN);
    EXPECT_EQ(LeadingInteger("-99999999999999999999999999999"), INT_MIN);
    EXPECT_EQ(LeadingInteger("00000000000000000000000000012"), 12)
        << "leading zeros never overflow";
}

// --- Reading ----------------------------------------------------------------------------------

TEST(IniReadTest, NamesCaseInsensitiveAndEverythingTrimmed) {
    const std::string file =
        "  [ service_PARAM ]  \r\n"
        "\tservice_ip \t=  10.0.0.1 \t\r\n"
        "Login_Time=  a b  \r\n"
        "Empty=\r\n";
    EXPECT_EQ(Get(file, "Service_Param", "Service_IP"), "10.0.0.1");
    EXPECT_EQ(Get(file, " SERVICE_PARAM\t", " Service_IP "), "10.0.0.1");
    EXPECT_EQ(Get(file, "Service_Param", "login_time"), "a b") << "inner blanks stay";
    EXPECT_EQ(Get(file, "Service_Param", "Empty"), "");
    EXPECT_EQ(Get(file, "Service_Param", "Missing"), "");
    EXPECT_EQ(Get(file, "Other", "Service_IP"), "");
    EXPECT_EQ(Get(file, "", "Service_IP"), "");
    EXPECT_EQ(Get(file, "Service_Param", ""), "");
    // Only ASCII letters fold: bytes of other scripts must match exactly.
    EXPECT_EQ(Get("[S]\r\n\xC3\x84=1\r\n", "S", "\xC3\xA4"), "");
    EXPECT_EQ(Get("[S]\r\n\xC3\x84=1\r\n", "s", "\xC3\x84"), "1");
}

TEST(IniReadTest, ValuesCutTo127BytesAndQuotesStripped) {
    const std::string long200(200, 'v');
    const std::string file = "[S]\r\nLong=" + long200 + "\r\nQuotedLong=\"" + long200 +
                             "\"\r\n"
                             "Exact=" +
                             std::string(127, 'e') +
                             "\r\n"
                             "Dq=\" spaced \"\r\n"
                             "Sq='x'\r\n"
                             "Open=\"unbalanced\r\n"
                             "Mixed=\"a'\r\n"
                             "Pair=\"\"\r\n"
                             "One=\"\r\n"
                             "Inner=a\"b\"\r\n"
                             "Equals=b=c\r\n";
    EXPECT_EQ(Get(file, "S", "Long"), std::string(127, 'v'));
    EXPECT_EQ(Get(file, "S", "QuotedLong"), std::string(127, 'v'));
    EXPECT_EQ(Get(file, "S", "Exact"), std::string(127, 'e'));
    EXPECT_EQ(Get(file, "S", "Dq"), " spaced ");
    EXPECT_EQ(Get(file, "S", "Sq"), "x");
    EXPECT_EQ(Get(file, "S", "Open"), "\"unbalanced");
    EXPECT_EQ(Get(file, "S", "Mixed"), "\"a'");
    EXPECT_EQ(Get(file, "S", "Pair"), "");
    EXPECT_EQ(Get(file, "S", "One"), "\"");
    EXPECT_EQ(Get(file, "S", "Inner"), "a\"b\"");
    EXPECT_EQ(Get(file, "S", "Equals"), "b=c");
}

TEST(IniReadTest, CommentsStrayLinesAndTextBeforeTheFirstSection) {
    const std::string file =
        "Service_IP=before any section\r\n"
        "; [S]\r\n"
        "[S]\r\n"
        "; Service_IP=1.1.1.1\r\n"
        "  ;Login_Time=5\r\n"
        "Service_IP\r\n"      // no '=': not a key, hides nothing
        "=orphan value\r\n"   // empty name: ignored
        "[Broken header\r\n"  // no ']': ignored, the section goes on
        "Service_IP=2.2.2.2\r\n"
        "# Port=1\r\n";
    EXPECT_EQ(Get(file, "S", "Service_IP"), "2.2.2.2");
    EXPECT_EQ(Get(file, "S", "Login_Time"), "");
    EXPECT_EQ(Get(file, "S", "# Port"), "1") << "'#' does not start a comment";
    EXPECT_EQ(Get(file, "Broken header", "Service_IP"), "");
    EXPECT_EQ(Get("Service_IP=x\r\n", "S", "Service_IP"), "");
}

TEST(IniReadTest, SectionHeaderWithTrailingJunk) {
    EXPECT_EQ(Get("[S] ; note\r\nA=1\r\n", "S", "A"), "1");
    EXPECT_EQ(Get("[S]junk]\r\nA=1\r\n", "S", "A"), "1") << "the name ends at the first ']'";
    EXPECT_EQ(Get("[S]junk]\r\nA=1\r\n", "S]junk", "A"), "");
    EXPECT_EQ(Get("[]\r\nA=1\r\n", "S", "A"), "");
}

TEST(IniReadTest, DuplicatesFirstWins) {
    const std::string file =
        "[S]\r\n"
        "A=first\r\n"
        "a=second\r\n"
        "[T]\r\n"
        "A=t\r\n"
        "[s]\r\n"
        "A=third\r\n"
        "B=only in the duplicate section\r\n";
    EXPECT_EQ(Get(file, "S", "A"), "first");
    EXPECT_EQ(Get(file, "T", "A"), "t");
    EXPECT_EQ(Get(file, "S", "B"), "") << "only the first section of a name counts";
}

TEST(IniReadTest, LineEndsBomNulAndLongLines) {
    EXPECT_EQ(Get("[S]\nA=lf\nB=2", "S", "A"), "lf");
    EXPECT_EQ(Get("[S]\nA=lf\nB=2", "S", "B"), "2") << "last line without a line end";
    EXPECT_EQ(Get("[S]\r\nA=1\r", "S", "A"), "1");
    EXPECT_EQ(Get("\xEF\xBB\xBF[S]\r\nA=bom\r\n", "S", "A"), "bom");
    EXPECT_EQ(Get("\xEF\xBB[S]\r\nA=x\r\n", "S", "A"), "") << "a partial mark is text";
    EXPECT_EQ(Get("[S]\r\nA=12\0 34\r\nB=\0\r\nC=3\r\n"s, "S", "A"), "12");
    EXPECT_EQ(Get("[S]\r\nA=12\0 34\r\nB=\0\r\nC=3\r\n"s, "S", "B"), "");
    EXPECT_EQ(Get("[S]\r\nA=12\0 34\r\nB=\0\r\nC=3\r\n"s, "S", "C"), "3");
    EXPECT_EQ(Get("[S\0]\r\nA=1\r\n"s, "S", "A"), "");
    const std::string junk(1 << 20, 'j');
    EXPECT_EQ(Get("[S]\r\n" + junk + "\r\nLong=" + junk + "\r\nA=after\r\n", "S", "A"), "after");
}

// --- Writing in memory --------------------------------------------------------------------

TEST(IniWriteTest, CreatesSectionAndKeysInOrder) {
    IniFile file;
    ASSERT_TRUE(file.Set("Service_Param", "Service_IP", "192.168.1.5"));
    EXPECT_EQ(file.Bytes(), "[Service_Param]\r\nService_IP=192.168.1.5\r\n");
    ASSERT_TRUE(file.Set("Service_Param", "Service_Port", "7088"));
    ASSERT_TRUE(file.Set("Other", "K", "v"));
    ASSERT_TRUE(file.Set("service_param", "service_ip", "10.0.0.1"));
    EXPECT_EQ(file.Bytes(),
              "[Service_Param]\r\nservice_ip=10.0.0.1\r\nService_Port=7088\r\n"
              "[Other]\r\nK=v\r\n");
}

TEST(IniWriteTest, ReplacesOnlyTheKeyLine) {
    const std::string before =
        "; hand-written settings\r\n"
        "\r\n"
        "[Service_Param]  ; listening\r\n"
        "  Service_IP = 10.0.0.1  \r\n"
        "Time_Out=100\r\n"
        "stray line\r\n"
        "; keep this comment\r\n"
        "Login_Time=5\r\n"
        "\r\n"
        "[Other]\r\n"
        "Login_Time=9\r\n";
    IniFile file(before);
    ASSERT_TRUE(file.Set("Service_Param", "Service_IP", "192.168.0.7"));
    ASSERT_TRUE(file.Set("Service_Param", "Login_Time", "  7 "));
    ASSERT_TRUE(file.Set("Service_Param", "Service_Port", "7088"));
    EXPECT_EQ(file.Bytes(),
              "; hand-written settings\r\n"
              "\r\n"
              "[Service_Param]  ; listening\r\n"
              "Service_IP=192.168.0.7\r\n"
              "Time_Out=100\r\n"
              "stray line\r\n"
              "; keep this comment\r\n"
              "Login_Time=  7 \r\n"    // written as given
              "Service_Port=7088\r\n"  // after the section's last key line
              "\r\n"
              "[Other]\r\n"
              "Login_Time=9\r\n");
    EXPECT_EQ(file.Get("Service_Param", "Login_Time"), "7");
    EXPECT_EQ(file.Get("Other", "Login_Time"), "9");
}

TEST(IniWriteTest, KeepsEachLinesEndAndAddsTheFilesOwn) {
    IniFile lf("[S]\nA=1\r\nB=2\n");
    ASSERT_TRUE(lf.Set("S", "A", "x"));
    ASSERT_TRUE(lf.Set("S", "C", "3"));
    ASSERT_TRUE(lf.Set("T", "D", "4"));
    EXPECT_EQ(lf.Bytes(), "[S]\nA=x\r\nB=2\nC=3\n[T]\nD=4\n");

    IniFile noFinalEnd("[S]\r\nA=1");
    ASSERT_TRUE(noFinalEnd.Set("S", "A", "2"));
    EXPECT_EQ(noFinalEnd.Bytes(), "[S]\r\nA=2") << "a replaced line keeps having no line end";
    ASSERT_TRUE(noFinalEnd.Set("S", "B", "3"));
    EXPECT_EQ(noFinalEnd.Bytes(), "[S]\r\nA=2\r\nB=3\r\n");

    IniFile headerOnly("[S]");
    ASSERT_TRUE(headerOnly.Set("S", "A", "1"));
    EXPECT_EQ(headerOnly.Bytes(), "[S]\r\nA=1\r\n");

    IniFile otherSection("; note\n[T]\nX=1");
    ASSERT_TRUE(otherSection.Set("S", "A", "1"));
    EXPECT_EQ(otherSection.Bytes(), "; note\n[T]\nX=1\n[S]\nA=1\n");
}

TEST(IniWriteTest, KeepsBomDuplicatesAndNulBytes) {
    IniFile bomOnly("\xEF\xBB\xBF");
    ASSERT_TRUE(bomOnly.Set("S", "A", "1"));
    EXPECT_EQ(bomOnly.Bytes(), "\xEF\xBB\xBF[S]\r\nA=1\r\n");

    IniFile duplicates(
        "\xEF\xBB\xBF[S]\r\nA=first\r\nA=second\r\n[T]\r\n[s]\r\nA=third\r\nB=b\r\n");
    ASSERT_TRUE(duplicates.Set("S", "A", "new"));
    ASSERT_TRUE(duplicates.Set("S", "B", "first section"));
    EXPECT_EQ(duplicates.Bytes(),
              "\xEF\xBB\xBF[S]\r\nA=new\r\nA=second\r\nB=first section\r\n[T]\r\n[s]\r\n"
              "A=third\r\nB=b\r\n");
    EXPECT_EQ(duplicates.Get("S", "B"), "first section");

    const std::string withNul = "[S]\r\nJunk=\0\0\r\nA=1\r\n"s;
    IniFile nul(withNul);
    ASSERT_TRUE(nul.Set("S", "A", "2"));
    EXPECT_EQ(nul.Bytes(), "[S]\r\nJunk=\0\0\r\nA=2\r\n"s);
}

TEST(IniWriteTest, RefusesWhatWouldChangeTheStructure) {
    const std::string before = "[S]\r\nA=1\r\n";
    IniFile file(before);
    EXPECT_FALSE(file.Set("S", "", "v"));
    EXPECT_FALSE(file.Set("  ", "A", "v"));
    EXPECT_FALSE(file.Set("S", "A=B", "v"));
    EXPECT_FALSE(file.Set("S", ";A", "v"));
    EXPECT_FALSE(file.Set("S", "[A", "v"));
    EXPECT_FALSE(file.Set("S]x", "A", "v"));
    EXPECT_FALSE(file.Set("S", "A", "1\r\n[Evil]\r\nB=2"));
    EXPECT_FALSE(file.Set("S", "A", "1\rB"));
    EXPECT_FALSE(file.Set("S", "A", "1\0"s));
    EXPECT_FALSE(file.Set("S", "A\nB", "v"));
    EXPECT_FALSE(file.Set("S\0"s, "A", "v"));
    EXPECT_EQ(file.Bytes(), before);
}

// --- Files --------------------------------------------------------------------------------

TEST(IniFileIoTest, MissingFileReadsEmptyAndWriteCreatesIt) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    EXPECT_EQ(ReadProfileString(path, "S", "A"), "");
    ASSERT_TRUE(WriteProfileString(path, "Service_Param", "Login_Time", "1"));
    EXPECT_EQ(ReadFile(path), "[Service_Param]\r\nLogin_Time=1\r\n");
    EXPECT_EQ(ReadProfileString(path, "SERVICE_PARAM", "login_time"), "1");
    EXPECT_EQ(test::FilesIn(dir.Path()), 1u) << "no temporary file is left behind";

    EXPECT_FALSE(WriteProfileString(dir / "missing-dir/SysConf.ini", "S", "A", "1"));
    EXPECT_FALSE(fs::exists(dir / "missing-dir"));
}

TEST(IniFileIoTest, ReadOnlyFileIsReportedAndLeftAlone) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    const std::string before = "[S]\r\nA=1\r\n";
    WriteFile(path, before);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(WriteProfileString(path, "S", "A", "2"));
    EXPECT_FALSE(WriteProfileString(path, "S", "B", "2"));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ReadProfileString(path, "S", "A"), "1");
    EXPECT_EQ(test::FilesIn(dir.Path()), 1u);
}

TEST(IniFileIoTest, KeepsPermissionsAndFollowsSymlinks) {
    TempFolder dir;
    const fs::path target = dir / "real.ini";
    WriteFile(target, "[S]\r\nA=1\r\n");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(target, mode);
    const fs::path link = dir / "SysConf.ini";
    fs::create_symlink("real.ini", link);

    ASSERT_TRUE(WriteProfileString(link, "S", "A", "2"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(target), "[S]\r\nA=2\r\n");
    EXPECT_EQ(fs::status(target).permissions(), mode);
    EXPECT_EQ(test::FilesIn(dir.Path()), 2u);

    fs::create_symlink("nowhere.ini", dir / "dangling.ini");
    EXPECT_FALSE(WriteProfileString(dir / "dangling.ini", "S", "A", "1"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.ini"));
}

TEST(IniFileIoTest, RefusesWhatIsNotASmallRegularFile) {
    TempFolder dir;
    const fs::path folder = dir / "SysConf.ini";
    fs::create_directory(folder);
    EXPECT_EQ(ReadProfileString(folder, "S", "A"), "");
    EXPECT_FALSE(WriteProfileString(folder, "S", "A", "1"));
    EXPECT_TRUE(fs::is_directory(folder));

    // A FIFO in the file's place would block a reader forever.
    const fs::path fifo = dir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(ReadProfileString(fifo, "S", "A"), "");
    EXPECT_FALSE(WriteProfileString(fifo, "S", "A", "1"));
    EXPECT_TRUE(fs::is_fifo(fifo));

    const fs::path huge = dir / "huge.ini";
    WriteFile(huge, "[S]\r\nA=1\r\n");
    fs::resize_file(huge, kMaxProfileFileSize + 1);  // sparse: cheap to make
    EXPECT_EQ(ReadProfileString(huge, "S", "A"), "");
    EXPECT_FALSE(WriteProfileString(huge, "S", "A", "2"));
    EXPECT_EQ(fs::file_size(huge), kMaxProfileFileSize + 1);

    const fs::path limit = dir / "limit.ini";
    WriteFile(limit, "[S]\r\nA=1\r\n");
    fs::resize_file(limit, kMaxProfileFileSize);
    EXPECT_EQ(ReadProfileString(limit, "S", "A"), "1") << "a file of exactly the limit is read";
}

TEST(IniFileIoTest, SeveralKeysAreAllOrNothing) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    EXPECT_FALSE(WriteProfileStrings(path, "S", {{"A", "1"}, {"B", "bad\nvalue"}, {"C", "3"}}));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(WriteProfileStrings(path, "S", {{"A", "1"}, {"B", "2"}}));
    EXPECT_FALSE(WriteProfileStrings(path, "S", {{"A", "changed"}, {"=", "x"}}));
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=1\r\nB=2\r\n");
}

TEST(IniFileIoTest, ConcurrentWritersLoseNoKey) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                WriteProfileString(path, "S", "Key" + std::to_string(t), std::to_string(round));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ReadProfileString(path, "S", "Key" + std::to_string(t)),
                  std::to_string(kRounds - 1));
    }
    EXPECT_EQ(test::FilesIn(dir.Path()), 1u);
}

// --- How a write is stored ------------------------------------------------------------------

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct stat StatOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st;
}

// Runs `body` in a child process under `uid` and `gid` and returns its exit code: 0 when body
// returned true, 1 when false, 100 when the child could not take the ids.
template <typename Body>
int RunAs(uid_t uid, gid_t gid, Body&& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const gid_t groups[] = {gid};
        if (::setgroups(1, groups) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            ::_exit(100);
        }
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define REQUIRE_ROOT()                                                 \
    do {                                                               \
        if (::geteuid() != 0) {                                        \
            GTEST_SKIP() << "needs root to hand files to other users"; \
        }                                                              \
    } while (false)

TEST(IniFileStoreTest, ReplacementKeepsModeOwnerAndGroup) {
    REQUIRE_ROOT();
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    WriteFile(path, "[S]\r\nA=1\r\n[Tokens]\r\nKey=secret\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
    const struct stat before = StatOf(path);

    ASSERT_TRUE(WriteProfileString(path, "S", "A", "2"));
    const struct stat after = StatOf(path);
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=2\r\n[Tokens]\r\nKey=secret\r\n");
    EXPECT_NE(after.st_ino, before.st_ino) << "the common case replaces the file";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, 5678u);
    EXPECT_EQ(test::FilesIn(dir.Path()), 1u);
}

TEST(IniFileStoreTest, HardLinkedFileIsWrittenInPlace) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    const fs::path other = dir / "backup-name.ini";
    WriteFile(path, "; shared\r\n[S]\r\nA=1\r\nB=long value that gets shorter\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    fs::create_hard_link(path, other);
    const struct stat before = StatOf(path);

    ASSERT_TRUE(WriteProfileStrings(path, "S", {{"A", "a much longer value than before"}}));
    const std::string longer =
        "; shared\r\n[S]\r\nA=a much longer value than before\r\n"
        "B=long value that gets shorter\r\n";
    EXPECT_EQ(ReadFile(path), longer);
    EXPECT_EQ(ReadFile(other), longer);
    ASSERT_TRUE(WriteProfileString(other, "S", "B", "short"));
    const std::string shorter =
        "; shared\r\n[S]\r\nA=a much longer value than before\r\nB=short\r\n";
    EXPECT_EQ(ReadFile(path), shorter) << "cut to the new length";
    EXPECT_EQ(ReadFile(other), shorter);

    const struct stat after = StatOf(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(test::FilesIn(dir.Path()), 2u) << "no temporary file is left behind";
}

TEST(IniFileStoreTest, InPlaceWriteThatDoesNotFitLeavesTheFileAsItWas) {
    TempFolder dir;
    const fs::path path = dir / "SysConf.ini";
    const std::string before = "[S]\r\nA=1\r\n";
    WriteFile(path, before);
    fs::create_hard_link(path, dir / "link.ini");
    // A file size limit gives real short writes on any file system.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool stored = WriteProfileString(path, "S", "A", std::string(100, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    EXPECT_FALSE(stored);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ReadFile(dir / "link.ini"), before);
    EXPECT_EQ(StatOf(path).st_nlink, 2u);
}

TEST(IniFileStoreTest, ReadOnlyDirectoryWritesInPlaceForOthersAndReplacesForRoot) {
    REQUIRE_ROOT();
    TempFolder dir;
    const fs::path folder = dir / "conf";
    fs::create_directory(folder);
    const fs::path path = folder / "SysConf.ini";
    const fs::path readOnly = folder / "ReadOnly.ini";
    WriteFile(path, "[S]\r\nA=1\r\n");
    WriteFile(readOnly, "[S]\r\nA=1\r\n");
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chown(readOnly.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod(readOnly.c_str(), 0440), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const struct stat before = StatOf(path);

    const int child = RunAs(kNobody, kNogroup, [&] {
        return WriteProfileString(path, "S", "A", "2") &&
               !WriteProfileString(readOnly, "S", "A", "2") &&
               !WriteProfileString(folder / "New.ini", "S", "A", "1");
    });
    if (child == 100) {
        GTEST_SKIP() << "cannot change to another user here";
    }
    EXPECT_EQ(child, 0);
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=2\r\n");
    EXPECT_EQ(ReadFile(readOnly), "[S]\r\nA=1\r\n");
    const struct stat after = StatOf(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(test::FilesIn(folder), 2u);

    // Root may create files there, so it gets the atomic replacement, owner and mode kept.
    ASSERT_TRUE(WriteProfileString(path, "S", "A", "3"));
    const struct stat byRoot = StatOf(path);
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=3\r\n");
    EXPECT_NE(byRoot.st_ino, before.st_ino);
    EXPECT_EQ(byRoot.st_uid, kNobody);
    EXPECT_EQ(byRoot.st_gid, kNogroup);
    EXPECT_EQ(byRoot.st_mode & 07777, 0640u);
    EXPECT_EQ(test::FilesIn(folder), 2u);
}

TEST(IniFileStoreTest, AnOwnerThatCannotBeKeptMeansWritingInPlace) {
    REQUIRE_ROOT();
    TempFolder dir;
    const fs::path folder = dir / "shared";
    fs::create_directory(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    // Someone else's file that our group may write: a replacement would become ours.
    const fs::path path = folder / "SysConf.ini";
    WriteFile(path, "[S]\r\nA=1\r\n");
    ASSERT_EQ(::chown(path.c_str(), 1234, kNogroup), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    const struct stat before = StatOf(path);

    const int child =
        RunAs(kNobody, kNogroup, [&] { return WriteProfileString(path, "S", "A", "2"); });
    if (child == 100) {
        GTEST_SKIP() << "cannot change to another user here";
    }
    EXPECT_EQ(child, 0);
    EXPECT_EQ(ReadFile(path), "[S]\r\nA=2\r\n");
    const struct stat after = StatOf(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, kNogroup);
    EXPECT_EQ(after.st_mode & 07777, 0660u);
    EXPECT_EQ(test::FilesIn(folder), 1u) << "the refused temporary file is gone";
}

}  // namespace
}  // namespace trelvane
