// The read log when files fight back: a disk that fills up, a file size limit, names that are
// not regular files, and the rate-limited messages about it, all in virtual time.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "records/Diagnostics.h"
#include "records/ReadLog.h"
#include "support/ManualClock.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

const LocalDateTime kDay{2010, 12, 24, 9, 15, 31};
constexpr char kTxt[] = "2010-12-24 ReadIdRec.txt";
constexpr char kXls[] = "2010-12-24 ReadIdRec.xls";
constexpr std::uint32_t kMinute = 60'000;

TextCodec Utf8() {
    return TextCodec::ForCodePage(65001).value();
}

// The line of read `n`: every line has the same length.
std::string Line(int n) {
    char id[16];
    std::snprintf(id, sizeof id, "%08d", n);
    return std::string("ID：") + id + "\tFrom Device：dev\tRead Time：2010-12-24 09:15:30\r\n";
}

std::string Lines(int from, int to) {
    std::string text;
    for (int n = from; n < to; ++n) {
        text += Line(n);
    }
    return text;
}

void AppendReads(ReadLog& log, int from, int to) {
    for (int n = from; n < to; ++n) {
        char id[16];
        std::snprintf(id, sizeof id, "%08d", n);
        log.Append(id, "dev", "2010-12-24 09:15:30", kDay);
    }
}

// Collects the records layer's diagnostics for the life of the object.
class Diagnostics {
  public:
    Diagnostics() {
        previous_ =
            SetDiagnosticHandler([this](std::string_view line) { lines_.emplace_back(line); });
    }
    ~Diagnostics() { SetDiagnosticHandler(std::move(previous_)); }
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    // The lines seen since the last call.
    std::vector<std::string> Take() { return std::exchange(lines_, {}); }

  private:
    DiagnosticHandler previous_;
    std::vector<std::string> lines_;
};

using Texts = std::vector<std::string>;

// A file size limit for this process (real short writes with EFBIG on any file system), with
// SIGXFSZ ignored so that crossing it is an error and not the end of the process.
class FileSizeLimit {
  public:
    FileSizeLimit() {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        Lift();
        std::signal(SIGXFSZ, savedHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    void Set(std::size_t bytes) {
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    void Lift() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

  private:
    rlimit saved_{};
    void (*savedHandler_)(int) = SIG_DFL;
};

TEST(ReadLogFailureTest, ShortWritesKeepWholeLinesAndMessagesComeOncePerMinute) {
    TempFolder folder;
    Diagnostics diagnostics;
    ManualClock clock;
    clock.SetTick(5'000);
    const std::size_t kLine = Line(0).size();
    const std::string earlier = "earlier\r\n";
    WriteFile(folder.Path() / kTxt, earlier);
    ReadLog log(folder.Path(), 3, Utf8(), clock);
    FileSizeLimit limit;

    // Ten lines and half of the eleventh fit: the half is cut off again, the twenty after it
    // are lost, the ten kept count as written.
    limit.Set(earlier.size() + 10 * kLine + kLine / 2);
    AppendReads(log, 0, 30);
    log.Flush();
    EXPECT_EQ(ReadFile(folder.Path() / kTxt), earlier + Lines(0, 10));
    EXPECT_EQ(ReadFile(folder.Path() / kXls), Lines(0, 10)) << "its own ten lines, its own cut";
    EXPECT_EQ(diagnostics.Take(), (Texts{"Write file failed", "Write file failed"}));

    // Still full for the rest of the minute: each flush writes part of a line and takes it back,
    // and nothing is printed.
    for (int second = 10; second < 60; second += 10) {
        clock.Advance(10'000);
        AppendReads(log, 100 + second, 101 + second);
        log.Flush();
        EXPECT_EQ(ReadFile(folder.Path() / kTxt), earlier + Lines(0, 10)) << second;
        EXPECT_TRUE(diagnostics.Take().empty()) << second;
    }
    clock.Advance(9'999);
    log.Flush();
    EXPECT_TRUE(diagnostics.Take().empty()) << "one millisecond short of the minute";

    // A minute after the first message: the total so far, the first failure's lines included.
    clock.Advance(1);
    AppendReads(log, 200, 201);
    log.Flush();
    EXPECT_EQ(diagnostics.Take(),
              (Texts{"Write file failed (26 lines lost)", "Write file failed (26 lines lost)"}));
    clock.Advance(1'000);
    AppendReads(log, 300, 302);
    log.Flush();
    EXPECT_TRUE(diagnostics.Take().empty());

    // Room again: the next line starts on a line of its own.
    limit.Lift();
    clock.Advance(1'000);
    AppendReads(log, 400, 401);
    log.Flush();
    EXPECT_EQ(ReadFile(folder.Path() / kTxt), earlier + Lines(0, 10) + Line(400));
    EXPECT_EQ(ReadFile(folder.Path() / kXls), Lines(0, 10) + Line(400));
    EXPECT_TRUE(diagnostics.Take().empty()) << "within the minute of the last message";

    // The two lines lost after the last message are reported by the first flush a minute after
    // it, though that flush writes nothing; then nothing is left to say.
    clock.Advance(kMinute - 2'000);
    log.Flush();
    EXPECT_EQ(diagnostics.Take(),
              (Texts{"Write file failed (28 lines lost)", "Write file failed (28 lines lost)"}));
    clock.Advance(2 * kMinute);
    AppendReads(log, 500, 501);
    log.Flush();
    EXPECT_TRUE(diagnostics.Take().empty());
    EXPECT_EQ(ReadFile(folder.Path() / kXls), Lines(0, 10) + Line(400) + Line(500));
}

TEST(ReadLogFailureTest, ACutAtALineEndAndABatchWithNoRoomAtAll) {
    TempFolder folder;
    Diagnostics diagnostics;
    ManualClock clock;
    const std::size_t kLine = Line(0).size();
    ReadLog log(folder.Path(), 1, Utf8(), clock);
    FileSizeLimit limit;
    limit.Set(3 * kLine);
    AppendReads(log, 0, 5);
    log.Flush();
    EXPECT_EQ(ReadFile(folder.Path() / kTxt), Lines(0, 3));
    AppendReads(log, 5, 6);
    log.Flush();
    EXPECT_EQ(ReadFile(folder.Path() / kTxt), Lines(0, 3));
    limit.Lift();
    EXPECT_EQ(diagnostics.Take(), Texts{"Write file failed"});
    clock.Advance(kMinute);
    log.Flush();
    EXPECT_EQ(diagnostics.Take(), Texts{"Write file failed (3 lines lost)"});
}

// A small file system of its own that really runs out of room.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(const fs::path& dir) : dir_(dir) {
        fs::create_directory(dir_);
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") == 0;
        error_ = errno;
    }
    ~SmallFileSystem() {
        if (mounted_) {
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool Mounted() const { return mounted_; }
    int Error() const { return error_; }

  private:
    fs::path dir_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST(ReadLogFailureTest, FullDiskLeavesOnlyWholeLines) {
    TempFolder folder;
    const fs::path dir = folder.Path() / "small";
    SmallFileSystem small(dir);
    if (!small.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(small.Error());
    }
    Diagnostics diagnostics;
    ManualClock clock;
    ReadLog log(dir, 1, Utf8(), clock);
    AppendReads(log, 0, 1);
    log.Flush();

    // Fill every free page; the log file's own page still has room for part of a batch.
    const fs::path filler = dir / "filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(4096, 'f');
    for (int i = 0; i < 64 && ::write(fd, chunk.data(), chunk.size()) > 0; ++i) {
    }
    ASSERT_EQ(::write(fd, chunk.data(), chunk.size()), -1);
    ASSERT_EQ(errno, ENOSPC);
    ::close(fd);

    constexpr int kBatch = 200;  // far more than a page
    AppendReads(log, 1, 1 + kBatch);
    log.Flush();
    const std::string kept = ReadFile(dir / kTxt);
    const std::size_t kLine = Line(0).size();
    ASSERT_EQ(kept.size() % kLine, 0u) << "only whole lines";
    const int keptLines = static_cast<int>(kept.size() / kLine);
    EXPECT_GT(keptLines, 1) << "the page had room for some lines";
    EXPECT_LT(keptLines, 1 + kBatch);
    EXPECT_EQ(kept, Lines(0, keptLines));
    EXPECT_EQ(diagnostics.Take(), Texts{"Write file failed"});

    fs::remove(filler);
    AppendReads(log, 1000, 1001);
    log.Flush();
    EXPECT_EQ(ReadFile(dir / kTxt), Lines(0, keptLines) + Line(1000));
    clock.Advance(kMinute);
    log.Flush();
    EXPECT_EQ(diagnostics.Take(), Texts{"Write file failed (" +
                                        std::to_string(1 + kBatch - keptLines) + " lines lost)"});
}

// Runs Append and Flush on a thread of its own and says whether they came back within 2 s.
bool FlushesPromptly(ReadLog& log, const fs::path& fifoToRelease = {}) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread writer([&] {
        AppendReads(log, 0, 1);
        log.Flush();
        done.set_value();
    });
    const bool prompt = finished.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!prompt && !fifoToRelease.empty()) {
        // Give a writer stuck in open() its reader, so the thread can be joined.
        const int reader = ::open(fifoToRelease.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        finished.wait();
        ::close(reader);
    }
    writer.join();
    return prompt;
}

TEST(ReadLogFailureTest, NamesThatAreNotRegularFilesAreRefusedWithoutBlocking) {
    Diagnostics diagnostics;
    ManualClock clock;
    // One line logged into a folder prepared by `prepare`; the name is refused promptly, the first
    // message says so and the end of the log counts the line.
    auto expectRefused = [&](const char* what, auto&& prepare) {
        SCOPED_TRACE(what);
        TempFolder folder;
        const fs::path name = folder.Path() / kTxt;
        prepare(name);
        {
            ReadLog log(folder.Path(), 1, Utf8(), clock);
            EXPECT_TRUE(FlushesPromptly(log, name));
            EXPECT_EQ(diagnostics.Take(), Texts{"Open file failed"});
        }
        EXPECT_EQ(diagnostics.Take(), Texts{"Open file failed (1 lines lost)"});
    };
    // A FIFO with nobody reading: a blocking open would wait for ever.
    expectRefused("fifo", [](const fs::path& name) { ASSERT_EQ(::mkfifo(name.c_str(), 0644), 0); });
    // A FIFO with a reader opens, and is refused once it is seen to be one.
    int reader = -1;
    expectRefused("fifo with a reader", [&](const fs::path& name) {
        ASSERT_EQ(::mkfifo(name.c_str(), 0644), 0);
        reader = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
    });
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "nothing was written into the FIFO";
    ::close(reader);
    expectRefused("/dev/full", [](const fs::path& name) { fs::create_symlink("/dev/full", name); });
    expectRefused("/dev/null", [](const fs::path& name) { fs::create_symlink("/dev/null", name); });
    expectRefused("directory", [](const fs::path& name) { fs::create_directory(name); });

    // A link to a regular file is followed: logs may be kept on another disk that way.
    TempFolder folder;
    WriteFile(folder.Path() / "elsewhere.txt", "old\r\n");
    fs::create_symlink("elsewhere.txt", folder.Path() / kTxt);
    {
        ReadLog log(folder.Path(), 1, Utf8(), clock);
        EXPECT_TRUE(FlushesPromptly(log));
    }
    EXPECT_TRUE(diagnostics.Take().empty());
    EXPECT_EQ(ReadFile(folder.Path() / "elsewhere.txt"), "old\r\n" + Line(0));
    EXPECT_TRUE(fs::is_symlink(folder.Path() / kTxt));
}

TEST(ReadLogFailureTest, OpenFailuresAreCountedAcrossTheTickWrapAndSummedUpAtTheEnd) {
    TempFolder folder;
    Diagnostics diagnostics;
    ManualClock clock;
    clock.SetTick(0xFFFFFFFFu - 30'000);  // wraps half a minute in
    std::vector<std::uint32_t> reportedAt;
    {
        ReadLog log(folder.Path() / "missing", 1, Utf8(), clock);
        for (int second = 0; second <= 130; ++second) {
            AppendReads(log, second, second + 1);
            log.Flush();
            for (const std::string& text : diagnostics.Take()) {
                reportedAt.push_back(static_cast<std::uint32_t>(second));
                if (second == 0) {
                    EXPECT_EQ(text, "Open file failed");
                } else {
                    EXPECT_EQ(text,
                              "Open file failed (" + std::to_string(second + 1) + " lines lost)");
                }
            }
            clock.Advance(1'000);
        }
    }
    EXPECT_EQ(reportedAt, (std::vector<std::uint32_t>{0, 60, 120}));
    EXPECT_EQ(diagnostics.Take(), Texts{"Open file failed (131 lines lost)"})
        << "the end of the log reports what no message has counted yet";
}

TEST(ReadLogFailureTest, DiagnosticsGoToStderrUnlessAHandlerIsSet) {
    ::testing::internal::CaptureStderr();
    ReportDiagnostic("Open file failed");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Open file failed\n");
    std::vector<std::string> seen;
    EXPECT_FALSE(SetDiagnosticHandler([&](std::string_view line) { seen.emplace_back(line); }));
    ::testing::internal::CaptureStderr();
    ReportDiagnostic("Write file failed (3 lines lost)");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(seen, Texts{"Write file failed (3 lines lost)"});
    EXPECT_TRUE(SetDiagnosticHandler({})) << "the replaced handler is handed back";
}

}  // namespace
}  // namespace trelvane
