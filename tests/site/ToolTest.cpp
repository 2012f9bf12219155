// trelvane-site: its command line as a function, and the built program as a child process (fixed
// TZ) over registers and histories made here: exact bytes, exit codes, messages, and that what it
// changes is the file a running service reads.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "SiteCli.h"
#include "history/HistoryTestSupport.h"
#include "site/Register.h"
#include "support/TempFolder.h"

namespace trelvane::site_cli {
namespace {

using test::BatchBuilder;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// 2026-12-08T01:00:00Z = 09:00 in Shanghai.
constexpr std::int64_t kMorning = 1796691600000;

TEST(SiteToolCommandLineTest, CommandsOperandsAndUsageErrors) {
    const auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "trelvane-site");
        return ParseCommandLine(static_cast<int>(args.size()), args.data());
    };
    const auto zone = parse({"-C", "/srv", "zone", "set", "Dock B", "R07", "--", "-R08"});
    ASSERT_TRUE(std::holds_alternative<Options>(zone));
    const Options& z = std::get<Options>(zone);
    EXPECT_EQ(z.command, Command::kZoneSet);
    EXPECT_EQ(z.name, "Dock B");
    EXPECT_EQ(z.readers, (std::vector<std::string>{"R07", "-R08"}));
    EXPECT_EQ(z.dir, std::filesystem::path("/srv"));

    const auto import = parse({"assets", "import", "-", "--replace"});
    ASSERT_TRUE(std::holds_alternative<Options>(import));
    EXPECT_EQ(std::get<Options>(import).name, "-");
    EXPECT_TRUE(std::get<Options>(import).replace);

    const auto where = parse({"where", "--at=2026-12-08T09:00+08:00", "Pallet 7"});
    ASSERT_TRUE(std::holds_alternative<Options>(where));
    EXPECT_EQ(std::get<Options>(where).atMs, kMorning);
    EXPECT_EQ(std::get<Options>(where).name, "Pallet 7");

    for (const std::vector<const char*>& bad :
         std::vector<std::vector<const char*>>{{},
                                               {"zone"},
                                               {"zone", "set", "Dock B"},
                                               {"zone", "remove"},
                                               {"zone", "remove", "a", "b"},
                                               {"assets"},
                                               {"assets", "import"},
                                               {"assets", "export", "--replace"},
                                               {"zones", "extra"},
                                               {"where"},
                                               {"where", "1", "--at", "noon"},
                                               {"zones", "--at", "2026-12-08"},
                                               {"where", "-1"},
                                               {"-c"},
                                               {"list"}}) {
        EXPECT_TRUE(std::holds_alternative<UsageError>(parse(bad)))
            << (bad.empty() ? "(none)" : bad.front());
    }
}

// ---- the program --------------------------------------------------------------------------

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built program in `cwd`, TZ=Asia/Shanghai, with `input` as its standard input;
// stdout and stderr go to files, or stderr to a terminal (a pseudo-terminal read afterwards).
// With `feed`, standard input is a pipe that `feed` writes to while the program runs.
ToolRun RunSite(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::string& input = {}, bool errTerminal = false,
                const std::function<void(int)>& feed = {}) {
    TempFolder io;
    WriteFile(io / "in", input);
    int master = -1;
    int slave = -1;
    if (errTerminal && ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty";
        return {};
    }
    int pipe[2] = {-1, -1};
    if (feed && ::pipe2(pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2";
        return {};
    }
    std::vector<std::string> argv = {TRELVANE_SITE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = feed ? pipe[0] : ::open((io / "in").c_str(), O_RDONLY);
        const int out = ::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err =
            errTerminal ? slave : ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0) {
            ::_exit(126);
        }
        ::setenv("TZ", "Asia/Shanghai", 1);
        std::vector<char*> raw;
        for (std::string& a : argv) {
            raw.push_back(a.data());
        }
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ToolRun r;
    if (errTerminal) {
        ::close(slave);
    }
    if (feed) {
        ::close(pipe[0]);
        feed(pipe[1]);
        ::close(pipe[1]);
    }
    int status = 0;
    for (int i = 0; i < 400 && ::waitpid(pid, &status, WNOHANG) != pid; ++i) {
        if (i == 399) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "trelvane-site ran for over 20 s";
        }
        ::usleep(50000);
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadFile(io / "out");
    if (errTerminal) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) {
            r.err.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(master);
    } else {
        r.err = ReadFile(io / "err");
    }
    return r;
}

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        ASSERT_GT(n, 0);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::unique_ptr<site::Register> OpenRegister(const std::filesystem::path& path) {
    site::Fault fault;
    std::unique_ptr<site::Register> reg = site::Register::Open(path, fault);
    EXPECT_NE(reg, nullptr) << fault.text;
    return reg;
}

// A site folder as the service has it: SysConf.ini, the register and the history beside it.
class SiteToolTest : public ::testing::Test {
  protected:
    ToolRun Site(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"-C", dir_.Path().string()});
        return RunSite(args, dir_.Path(), input);
    }
    std::filesystem::path Register() const { return dir_ / "site.db"; }
    std::filesystem::path History() const { return dir_ / "trelvane.db"; }

    TempFolder dir_;
};

TEST_F(SiteToolTest, ZonesAreSetListedRefusedAndRemoved) {
    // Reading an absent register lists nothing and leaves no file behind.
    const ToolRun empty = Site({"zones"});
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_EQ(empty.out, "zone,readers\r\n");
    EXPECT_FALSE(std::filesystem::exists(Register()));

    const std::string dock = "Dock \"B\", east";
    EXPECT_EQ(Site({"zone", "set", dock, "R07", "门禁 北"}).exitCode, 0);
    const ToolRun yard = Site({"zone", "set", "Yard", "Gate"});
    EXPECT_EQ(yard.exitCode, 0) << yard.err;
    EXPECT_EQ(yard.out + yard.err, "");
    // The service's register, open all along, takes the change up when it polls.
    const std::unique_ptr<site::Register> service = OpenRegister(Register());
    const std::string listed =
        "zone,readers\r\n\"Dock \"\"B\"\", east\",R07;门禁 北\r\nYard,Gate\r\n";
    EXPECT_EQ(Site({"zones"}).out, listed);

    // A reader of another zone: refused, naming that zone, and nothing changes.
    const ToolRun conflict = Site({"zone", "set", "Yard", "Gate", "R07"});
    EXPECT_EQ(conflict.exitCode, 1);
    EXPECT_EQ(conflict.err, "trelvane-site: reader \"R07\" belongs to zone \"" + dock + "\"\n");
    EXPECT_EQ(Site({"zones"}).out, listed);

    // Setting a zone again replaces its readers.
    EXPECT_EQ(Site({"zone", "set", "Yard", "Gate 2", "Gate"}).exitCode, 0);
    EXPECT_EQ(Site({"zone", "remove", dock}).exitCode, 0);
    EXPECT_EQ(Site({"zones"}).out, "zone,readers\r\nYard,Gate 2;Gate\r\n");
    ASSERT_TRUE(service->Refresh());
    EXPECT_EQ(service->Current()->ZoneOfReader("R07"), site::Snapshot::kNoZone);
    const std::optional<std::uint32_t> yardIndex = service->Current()->ZoneNamed("Yard");
    ASSERT_TRUE(yardIndex.has_value());
    EXPECT_EQ(service->Current()->ZoneOfReader("Gate 2"), *yardIndex);

    const ToolRun missing = Site({"zone", "remove", dock});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(Has(missing.err, "no zone is named")) << missing.err;
    // The register's own checks reach the operator as refusals.
    const ToolRun twice = Site({"zone", "set", "Dock C", "R09", "R09"});
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_TRUE(Has(twice.err, "\"R09\" is listed twice")) << twice.err;
}

// Labels and notes that need quoting, a line break in a note, UTF-8, CR LF and LF line ends.
const std::string kAwkward =
    "tag,label,group,note\r\n"
    "6000124,\"Pallet 7, blue\",pallets,\"left at \"\"Dock B\"\"\non Monday\"\r\n"
    "6000123,Forklift 12,forklifts,\n"
    "42,叉车 3,,\"a;b\"\n";
const std::string kAwkwardExported =
    "tag,label,group,note\r\n"
    "42,叉车 3,,a;b\r\n"
    "6000123,Forklift 12,forklifts,\r\n"
    "6000124,\"Pallet 7, blue\",pallets,\"left at \"\"Dock B\"\"\non Monday\"\r\n";

TEST_F(SiteToolTest, AssetsImportExportAndRoundTrip) {
    EXPECT_EQ(Site({"assets", "export"}).out, "tag,label,group,note\r\n");
    WriteFile(dir_ / "assets.csv", kAwkward);
    const ToolRun first = Site({"assets", "import", (dir_ / "assets.csv").string()});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "added=3 updated=0 removed=0\n");
    EXPECT_EQ(first.err, "");  // no progress off a terminal
    const ToolRun exported = Site({"assets", "export"});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, kAwkwardExported);

    // What export writes, import reads back to the same list (here from standard input).
    const ToolRun again = Site({"assets", "import", "-", "--replace"}, exported.out);
    EXPECT_EQ(again.out, "added=0 updated=3 removed=0\n");
    EXPECT_EQ(Site({"assets", "export"}).out, kAwkwardExported);

    // --replace makes the file the whole list; without it the others stay.
    const ToolRun one = Site({"assets", "import", "-"}, "tag,label,group,note\n7,Seven,,\n");
    EXPECT_EQ(one.out, "added=1 updated=0 removed=0\n");
    const ToolRun replaced =
        Site({"assets", "import", "-", "--replace"}, "tag,label,group,note\n7,Seven,,\n");
    EXPECT_EQ(replaced.out, "added=0 updated=1 removed=3\n");
    EXPECT_EQ(Site({"assets", "export"}).out, "tag,label,group,note\r\n7,Seven,,\r\n");
}

TEST_F(SiteToolTest, ABadLineChangesNothingAndIsNamed) {
    WriteFile(dir_ / "assets.csv", kAwkward);
    ASSERT_EQ(Site({"assets", "import", "assets.csv"}).exitCode, 0);
    // Line 4 is bad after a quoted note spanning lines 2-3: the line numbers count lines.
    WriteFile(dir_ / "bad.csv",
              "tag,label,group,note\n1,One,,\"two\nlines\"\n12a,Bad,,\n2,Two,,\n");
    const ToolRun bad = Site({"assets", "import", "bad.csv", "--replace"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_TRUE(bad.err.starts_with("trelvane-site: bad.csv:4: tag \"12a\"")) << bad.err;
    const ToolRun twice = Site({"assets", "import", "-"}, "tag,label,group,note\n9,A,,\n9,B,,\n");
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_TRUE(twice.err.starts_with("trelvane-site: stdin:3: tag 9 appears twice")) << twice.err;
    EXPECT_EQ(Site({"assets", "export"}).out, kAwkwardExported);

    const ToolRun absent = Site({"assets", "import", "none.csv"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_TRUE(Has(absent.err, "cannot read none.csv")) << absent.err;
}

TEST_F(SiteToolTest, LongImportsShowProgressOnATerminalOnly) {
    std::string csv = "tag,label,group,note\n";
    for (int tag = 1; tag <= 25000; ++tag) {
        csv += std::to_string(tag) + ",Asset " + std::to_string(tag) + ",,\n";
    }
    WriteFile(dir_ / "many.csv", csv);
    const ToolRun terminal = RunSite({"assets", "import", "many.csv"}, dir_.Path(), {}, true);
    EXPECT_EQ(terminal.exitCode, 0) << terminal.err;
    EXPECT_EQ(terminal.out, "added=25000 updated=0 removed=0\n");
    EXPECT_TRUE(Has(terminal.err, "\rtrelvane-site: many.csv: 10000 lines")) << terminal.err;
    EXPECT_TRUE(Has(terminal.err, "\rtrelvane-site: many.csv: 25001 lines")) << terminal.err;
    const ToolRun piped = Site({"assets", "import", "many.csv"});
    EXPECT_EQ(piped.out, "added=0 updated=25000 removed=0\n");
    EXPECT_EQ(piped.err, "");
    // A short import prints no progress even on a terminal.
    const ToolRun shortOne =
        RunSite({"assets", "import", "-"}, dir_.Path(), "tag,label,group,note\n1,One,,\n", true);
    EXPECT_EQ(shortOne.exitCode, 0);
    EXPECT_EQ(shortOne.err, "");
}

// The service edits the register while an import waits for the rest of its input: the tool
// locks the register for the import itself, not for the time its input takes to come.
TEST_F(SiteToolTest, SlowInputKeepsNoLockOnTheRegister) {
    const std::unique_ptr<site::Register> service = OpenRegister(Register());
    const ToolRun r = RunSite(
        {"-C", dir_.Path().string(), "assets", "import", "-"}, dir_.Path(), {}, false, [&](int in) {
            WriteAll(in, "tag,label,group,note\n1,One,,\n");
            ::usleep(500000);  // the program has started by now
            const auto start = std::chrono::steady_clock::now();
            const site::Outcome fault = service->SetZone("A", {"R1"});
            EXPECT_FALSE(fault) << fault->text;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
            WriteAll(in, "2,Two,,\n");
        });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "added=2 updated=0 removed=0\n");
    ASSERT_TRUE(service->Refresh());
    EXPECT_EQ(service->Current()->AssetCount(), 2u);
}

// ---- where --------------------------------------------------------------------------------

class SiteToolWhereTest : public SiteToolTest {
  protected:
    void SetUp() override {
        WriteFile(dir_ / "assets.csv",
                  "tag,label,group,note\n6000123,Forklift 12,forklifts,\n"
                  "6000124,\"Pallet 7, blue\",pallets,\n6000125,Pallet,pallets,\n"
                  "6000126,Pallet,pallets,\n6000127,Idle,,\n");
        ASSERT_EQ(Site({"assets", "import", "assets.csv"}).exitCode, 0);
    }

    // 6000123: in Dock A from 09:00:01.250, exits at 09:01:35.250 (last read there 09:01:05),
    // enters the Yard at 09:05 through Gate, and Gate 2 reads it last at 09:05:07.5. Tag 42 (no
    // asset) enters Dock A at 09:00:02; tag 77 (no asset) is only read, never in a zone.
    void WriteHistory() {
        history::Options options{History()};
        options.retentionDays = 0;
        history::Writer w = test::OpenWriter(options);
        BatchBuilder b;
        b.AddEnter(1, kMorning + 1250, 6000123, "Dock A", "R07", "10.0.0.7:4001");
        b.AddEnter(2, kMorning + 2000, 42, "Dock A", "R08", "10.0.0.8:4001");
        b.AddExit(3, kMorning + 95250, 6000123, "Dock A", "R08", "10.0.0.8:4001", kMorning + 1250,
                  kMorning + 65000);
        b.AddRead(4, kMorning + 300000, 6000123, "Gate", "10.0.0.9:4001");
        b.AddPresence(5, kMorning + 300000, 6000123, history::PresenceKind::kArrive, "Gate 2",
                      "10.0.0.10:4001");
        b.AddEnter(6, kMorning + 300000, 6000123, "Yard", "Gate", "10.0.0.9:4001");
        b.AddRead(7, kMorning + 307500, 6000123, "Gate 2", "10.0.0.10:4001");
        b.AddRead(8, kMorning + 400000, 77, "Gate", "10.0.0.9:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
};

constexpr const char* kWhereHeader = "tag,label,group,zone,since,last_reader,last_seen\r\n";

TEST_F(SiteToolWhereTest, WithoutAHistoryTheRegisterStillAnswers) {
    const ToolRun r = Site({"where", "6000123"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kWhereHeader) + "6000123,Forklift 12,forklifts,,,,\r\n");
    EXPECT_TRUE(Has(r.err, "the zone is unknown: there is no history at")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(History()));  // a reader never makes one

    WriteFile(dir_ / "SysConf.ini", "[History]\r\nEnabled=0\r\n");
    const ToolRun off = Site({"where", "Pallet 7, blue"});
    EXPECT_EQ(off.exitCode, 0) << off.err;
    EXPECT_EQ(off.out, std::string(kWhereHeader) + "6000124,\"Pallet 7, blue\",pallets,,,,\r\n");
    EXPECT_TRUE(Has(off.err, "the zone is unknown: the history is off")) << off.err;

    const ToolRun unknown = Site({"where", "42"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_TRUE(unknown.err.starts_with("trelvane-site: not found: tag 42")) << unknown.err;
}

TEST_F(SiteToolWhereTest, NowAndAtATimeFromTheZoneEvents) {
    WriteHistory();
    const auto row = [&](std::vector<std::string> args) {
        const ToolRun r = Site(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out.starts_with(kWhereHeader)) << r.out;
        return r.out.substr(std::string_view(kWhereHeader).size());
    };
    // Now: the open stay, and the last read of the presence tracking (a later one than the
    // enter's, by another reader).
    const std::string now =
        "6000123,Forklift 12,forklifts,Yard,2026-12-08T09:05:00.000+08:00,Gate 2,"
        "2026-12-08T09:05:07.500+08:00\r\n";
    EXPECT_EQ(row({"where", "6000123"}), now);
    EXPECT_EQ(row({"where", "Forklift 12"}), now);
    // In Dock A, then between its exit and the Yard (the exit's reader and last read there),
    // then before any zone event, and in the Yard from its enter on.
    EXPECT_EQ(row({"where", "6000123", "--at", "2026-12-08T09:01:35.249"}),
              "6000123,Forklift 12,forklifts,Dock A,2026-12-08T09:00:01.250+08:00,R07,"
              "2026-12-08T09:00:01.250+08:00\r\n");
    EXPECT_EQ(row({"where", "Forklift 12", "--at", "2026-12-08T09:01:35.250"}),
              "6000123,Forklift 12,forklifts,,,R08,2026-12-08T09:01:05.000+08:00\r\n");
    EXPECT_EQ(row({"where", "6000123", "--at", "2026-12-08T09:00"}),
              "6000123,Forklift 12,forklifts,,,,\r\n");
    EXPECT_EQ(row({"where", "6000123", "--at", "2026-12-08T01:05:00Z"}),
              "6000123,Forklift 12,forklifts,Yard,2026-12-08T09:05:00.000+08:00,Gate,"
              "2026-12-08T09:05:00.000+08:00\r\n");

    // Tags the history knows without an asset: in a zone, and only read.
    EXPECT_EQ(row({"where", "42"}),
              "42,,,Dock A,2026-12-08T09:00:02.000+08:00,R08,2026-12-08T09:00:02.000+08:00\r\n");
    EXPECT_EQ(row({"where", "42", "--at", "2026-12-08T09:00:01"}), "42,,,,,,\r\n");
    EXPECT_EQ(row({"where", "77"}), "77,,,,,,\r\n");
    // A registered tag never read.
    EXPECT_EQ(row({"where", "Idle"}), "6000127,Idle,,,,,\r\n");
}

TEST_F(SiteToolWhereTest, AmbiguousAndUnknownNames) {
    WriteHistory();
    const ToolRun shared = Site({"where", "Pallet"});
    EXPECT_EQ(shared.exitCode, 1);
    EXPECT_EQ(shared.out, "");
    EXPECT_EQ(shared.err,
              "trelvane-site: 2 assets are labelled \"Pallet\": tags 6000125, 6000126; ask for "
              "one by its tag\n");
    // Either of them by its tag.
    EXPECT_EQ(Site({"where", "6000126"}).exitCode, 0);

    const ToolRun none = Site({"where", "43"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(Has(none.err, "not found: tag 43 is not registered and not in the history"))
        << none.err;
    const ToolRun noLabel = Site({"where", "Forklift"});
    EXPECT_EQ(noLabel.exitCode, 2);
    EXPECT_EQ(noLabel.err, "trelvane-site: not found: no asset is labelled \"Forklift\"\n");
    // A number no tag has is a label too.
    ASSERT_EQ(Site({"assets", "import", "-"}, "tag,label,group,note\n5,1234,,\n").exitCode, 0);
    EXPECT_TRUE(Site({"where", "1234"}).out.ends_with("\r\n5,1234,,,,,\r\n"));
}

// ---- settings and files that cannot be opened ---------------------------------------------

TEST_F(SiteToolTest, SettingsFileFindsTheRegisterAndTheHistory) {
    std::filesystem::create_directories(dir_ / "etc");
    std::filesystem::create_directories(dir_ / "state");
    WriteFile(dir_ / "etc" / "SysConf.ini",
              "[Service_Param]\r\nService_Port=7088\r\n[Site]\r\nPath=reg/s.db\r\n[History]\r\n"
              "Path=h.db\r\n");
    std::filesystem::create_directories(dir_ / "state" / "reg");
    // -c: a relative Path is relative to the current folder ...
    const ToolRun c = RunSite(
        {"-c", (dir_ / "etc" / "SysConf.ini").string(), "zone", "set", "A", "R1"}, dir_ / "state");
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_TRUE(std::filesystem::exists(dir_ / "state" / "reg" / "s.db"));
    // ... or to -C DIR when given; -C alone reads DIR/SysConf.ini.
    EXPECT_EQ(RunSite({"-c", "etc/SysConf.ini", "-C", "state", "zones"}, dir_.Path()).out,
              "zone,readers\r\nA,R1\r\n");
    std::filesystem::copy_file(dir_ / "etc" / "SysConf.ini", dir_ / "state" / "SysConf.ini");
    EXPECT_EQ(RunSite({"-C", "state", "zones"}, dir_.Path()).out, "zone,readers\r\nA,R1\r\n");
    const ToolRun history = RunSite({"-C", "state", "where", "5"}, dir_.Path());
    EXPECT_TRUE(Has(history.err, "no history at state/h.db")) << history.err;

    const ToolRun none = RunSite({"-c", "etc/none.ini", "zones"}, dir_.Path());
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_TRUE(Has(none.err, "cannot read the settings file etc/none.ini")) << none.err;
    // A folder that does not exist: nothing to read, nowhere to write.
    EXPECT_EQ(RunSite({"-C", "gone", "zone", "set", "A", "R1"}, dir_.Path()).exitCode, 3);
}

TEST_F(SiteToolTest, DamagedFilesExitWithThree) {
    WriteFile(Register(), std::string(5000, 'x'));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"zones"}, {"zone", "set", "A", "R1"}, {"assets", "export"}, {"where", "1"}}) {
        const ToolRun r = Site(args);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_TRUE(Has(r.err, "site.db")) << r.err;
    }
    std::filesystem::remove(Register());
    WriteFile(History(), std::string(5000, 'x'));
    const ToolRun where = Site({"where", "1"});
    EXPECT_EQ(where.exitCode, 3);
    EXPECT_TRUE(Has(where.err, "trelvane.db")) << where.err;
    EXPECT_EQ(Site({"zones"}).exitCode, 0);  // only where reads the history
}

TEST_F(SiteToolTest, HelpVersionAndUsage) {
    const ToolRun help = Site({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: trelvane-site")) << help.out;
    const ToolRun version = Site({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.starts_with("trelvane-site ")) << version.out;
    const ToolRun usage = Site({"zone", "rename", "A"});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(usage.out, "");
    EXPECT_TRUE(Has(usage.err, "Try 'trelvane-site --help'")) << usage.err;
}

}  // namespace
}  // namespace trelvane::site_cli
