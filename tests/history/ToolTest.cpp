// trelvane-history: its times, CSV and JSON texts as functions, and the built program as a
// child process (fixed TZ) over a database made here: exact bytes, exit codes, --follow.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "HistoryCli.h"
#include "history/HistoryTestSupport.h"
#include "history/Writer.h"
#include "support/TimeZoneScope.h"

namespace trelvane::history_cli {
namespace {

using history::DeviceEventKind;
using history::PresenceKind;
using test::BatchBuilder;
using test::HistoryDir;
using test::TimeZoneScope;
// 2026-12-08T01:00:00Z = 09:00 in Shanghai.
constexpr std::int64_t kMorning = 1796691600000;

TEST(HistoryToolTextTest, CsvQuoting) {
    const auto csv = [](std::string_view s) {
        std::string out;
        history::AppendCsvField(out, s);
        return out;
    };
    EXPECT_EQ(csv("Gate 1"), "Gate 1");
    EXPECT_EQ(csv(""), "");
    EXPECT_EQ(csv("a,b"), "\"a,b\"");
    EXPECT_EQ(csv("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(csv("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csv("cr\r"), "\"cr\r\"");
    EXPECT_EQ(csv("tab\tand ;"), "tab\tand ;");
}

TEST(HistoryToolCommandLineTest, OptionsAndUsageErrors) {
    const auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "trelvane-history");
        return ParseCommandLine(static_cast<int>(args.size()), args.data());
    };
    const auto ok = parse({"--kind", "presence", "--tag", "4294967295", "--reader=门 1", "--format",
                           "jsonl", "-f", "-C", "/srv"});
    ASSERT_TRUE(std::holds_alternative<Options>(ok));
    const Options& o = std::get<Options>(ok);
    EXPECT_EQ(o.kind, events::Kind::kPresence);
    EXPECT_EQ(o.tag, 4294967295u);
    EXPECT_EQ(o.reader, "门 1");
    EXPECT_EQ(o.format, Format::kJsonl);
    EXPECT_TRUE(o.follow);
    EXPECT_EQ(o.dir, std::filesystem::path("/srv"));
    const auto zones = parse({"--kind=zones", "--zone", "Dock B", "--tag", "7"});
    ASSERT_TRUE(std::holds_alternative<Options>(zones));
    EXPECT_EQ(std::get<Options>(zones).kind, events::Kind::kZones);
    EXPECT_EQ(std::get<Options>(zones).zone, "Dock B");
    const auto alerts = parse({"--kind", "alerts", "--rule=cold room", "--zone", "Yard"});
    ASSERT_TRUE(std::holds_alternative<Options>(alerts));
    EXPECT_EQ(std::get<Options>(alerts).kind, events::Kind::kAlerts);
    EXPECT_EQ(std::get<Options>(alerts).rule, "cold room");
    EXPECT_EQ(std::get<Options>(alerts).zone, "Yard");
    for (const std::vector<const char*>& bad :
         std::vector<std::vector<const char*>>{{"--tag", "4294967296"},
                                               {"--tag", "-1"},
                                               {"--tag", "12a"},
                                               {"--tag", ""},
                                               {"--kind", "tags"},
                                               {"--format", "xml"},
                                               {"--since"},
                                               {"--until", "tomorrow"},
                                               {"--db", "x.db", "-c", "y.ini"},
                                               {"--kind", "devices", "--tag", "1"},
                                               {"--zone", "Yard"},
                                               {"--kind", "presence", "--zone", "Yard"},
                                               {"--rule", "cold room"},
                                               {"--kind", "zones", "--rule", "cold room"},
                                               {"--bogus"},
                                               {"extra"}}) {
        EXPECT_TRUE(std::holds_alternative<UsageError>(parse(bad))) << bad.front();
    }
}

// ---- the program --------------------------------------------------------------------------

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Starts the tool with `args` in `cwd`, TZ=Asia/Shanghai; stdout and stderr as pipes.
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;

    static Child Start(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                       const char* zone = "Asia/Shanghai") {
        int o[2], e[2];
        if (::pipe2(o, O_CLOEXEC) != 0 || ::pipe2(e, O_CLOEXEC) != 0) {
            return {};
        }
        std::vector<std::string> argv = {TRELVANE_HISTORY_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(o[1], 1);
            ::dup2(e[1], 2);
            if (::chdir(cwd.c_str()) != 0) {
                ::_exit(126);
            }
            ::setenv("TZ", zone, 1);
            std::vector<char*> raw;
            for (std::string& a : argv) {
                raw.push_back(a.data());
            }
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
        ::close(o[1]);
        ::close(e[1]);
        return Child{pid, o[0], e[0]};
    }

    // Reads both pipes until `done(out)` or EOF or the deadline.
    template <class Done>
    bool ReadUntil(std::string& outText, std::string& errText, Done done,
                   std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool outOpen = true, errOpen = true;
        while ((outOpen || errOpen) && !done(outText)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd fds[2] = {{outOpen ? out : -1, POLLIN, 0}, {errOpen ? err : -1, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buffer[4096];
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    (i == 0 ? outOpen : errOpen) = false;
                } else {
                    (i == 0 ? outText : errText).append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return true;
    }

    int Wait() {
        int status = 0;
        for (int i = 0; i < 200; ++i) {  // 10 s at most
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                ::close(out);
                ::close(err);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(50000);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ::close(out);
        ::close(err);
        return -1;
    }
};

ToolRun RunTool(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
    Child c = Child::Start(args, cwd);
    ToolRun r;
    EXPECT_TRUE(c.ReadUntil(
        r.out, r.err, [](const std::string&) { return false; }, std::chrono::seconds(20)));
    r.exitCode = c.Wait();
    return r;
}

// The fixed database: two readers (one name with a comma, quote and newline), one of them
// unnamed, reads with and without reader time, presence and device events.
void MakeFixedDatabase(const std::filesystem::path& db) {
    history::Result<history::Writer> w = history::Writer::Open({db});
    ASSERT_TRUE(w.ok()) << w.error().text;
    BatchBuilder b;
    test::AddSampleEvents(b, kMorning);
    const std::string odd = test::kSampleOddName;
    ASSERT_TRUE(w->Append(b.Batch()).ok());
    b.Clear();
    b.AddRead(7, kMorning + 3600000, 42, "10.0.0.9:4001", "10.0.0.9:4001");
    b.AddPresence(8, kMorning + 3630000, 3735928559u, PresenceKind::kDepart, odd, "10.0.0.7:4001");
    ASSERT_TRUE(w->Append(b.Batch()).ok());
}

class HistoryToolProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeFixedDatabase(dir_.Db()); }
    HistoryDir dir_;
};

TEST_F(HistoryToolProcessTest, CsvBytes) {
    const ToolRun r = RunTool({"--db", dir_.Db().string()}, dir_.Path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "seq,time,tag,reader,device,reader_time\r\n"
              "3,2026-12-08T09:00:01.250+08:00,3735928559,\"Dock \"\"B\"\", east\nside\","
              "10.0.0.7:4001,2026-12-08 09:00:01\r\n"
              "5,2026-12-08T09:01:01.000+08:00,42,门禁 北,10.0.0.8:4001,\r\n"
              "7,2026-12-08T10:00:00.000+08:00,42,10.0.0.9:4001,10.0.0.9:4001,\r\n");
    EXPECT_EQ(r.err, "");

    const ToolRun p = RunTool({"--db", dir_.Db().string(), "--kind", "presence"}, dir_.Path());
    EXPECT_EQ(p.exitCode, 0) << p.err;
    EXPECT_EQ(
        p.out,
        "seq,time,tag,reader,event\r\n"
        "4,2026-12-08T09:00:01.250+08:00,3735928559,\"Dock \"\"B\"\", east\nside\",arrive\r\n"
        "8,2026-12-08T10:00:30.000+08:00,3735928559,\"Dock \"\"B\"\", east\nside\",depart\r\n");

    const ToolRun d = RunTool({"--db", dir_.Db().string(), "--kind", "devices"}, dir_.Path());
    EXPECT_EQ(d.exitCode, 0) << d.err;
    EXPECT_EQ(
        d.out,
        "seq,time,device,reader,event\r\n"
        "1,2026-12-08T09:00:00.000+08:00,10.0.0.7:4001,10.0.0.7:4001,connected\r\n"
        "2,2026-12-08T09:00:00.005+08:00,10.0.0.7:4001,\"Dock \"\"B\"\", east\nside\",named\r\n"
        "6,2026-12-08T09:01:02.000+08:00,10.0.0.8:4001,门禁 北,reading_stopped\r\n");
}

TEST_F(HistoryToolProcessTest, JsonLinesBytes) {
    const ToolRun r = RunTool({"--db", dir_.Db().string(), "--format", "jsonl"}, dir_.Path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"seq\":3,\"time\":\"2026-12-08T09:00:01.250+08:00\",\"time_ms\":1796691601250,"
              "\"tag\":\"3735928559\",\"reader\":\"Dock \\\"B\\\", east\\nside\","
              "\"device\":\"10.0.0.7:4001\",\"reader_time\":\"2026-12-08 09:00:01\"}\n"
              "{\"seq\":5,\"time\":\"2026-12-08T09:01:01.000+08:00\",\"time_ms\":1796691661000,"
              "\"tag\":\"42\",\"reader\":\"门禁 北\",\"device\":\"10.0.0.8:4001\"}\n"
              "{\"seq\":7,\"time\":\"2026-12-08T10:00:00.000+08:00\",\"time_ms\":1796695200000,"
              "\"tag\":\"42\",\"reader\":\"10.0.0.9:4001\",\"device\":\"10.0.0.9:4001\"}\n");
    const ToolRun d = RunTool(
        {"--db", dir_.Db().string(), "--format=jsonl", "--kind=devices", "--reader", "门禁 北"},
        dir_.Path());
    EXPECT_EQ(
        d.out,
        "{\"seq\":6,\"time\":\"2026-12-08T09:01:02.000+08:00\",\"time_ms\":1796691662000,"
        "\"reader\":\"门禁 北\",\"device\":\"10.0.0.8:4001\",\"event\":\"reading_stopped\"}\n");
}

TEST_F(HistoryToolProcessTest, FiltersByTimeTagAndReader) {
    const auto seqs = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", dir_.Db().string(), "--format", "jsonl"});
        const ToolRun r = RunTool(args, dir_.Path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string got;
        for (std::size_t pos = 0; (pos = r.out.find("{\"seq\":", pos)) != std::string::npos;) {
            pos += 7;
            got += r.out.substr(pos, r.out.find(',', pos) - pos) + " ";
        }
        return got;
    };
    EXPECT_EQ(seqs({"--since", "2026-12-08T09:00:01.250"}), "3 5 7 ");
    EXPECT_EQ(seqs({"--since", "2026-12-08T09:00:01.251"}), "5 7 ");
    EXPECT_EQ(seqs({"--until", "2026-12-08T09:01:01"}), "3 ");  // until is exclusive
    EXPECT_EQ(seqs({"--since", "2026-12-08T01:01:00Z", "--until", "2026-12-08T10:00+08:00"}), "5 ");
    EXPECT_EQ(seqs({"--since", "2026-12-08", "--until", "2026-12-09"}), "3 5 7 ");
    EXPECT_EQ(seqs({"--since", "2026-12-09"}), "");
    EXPECT_EQ(seqs({"--tag", "42"}), "5 7 ");
    EXPECT_EQ(seqs({"--tag", "42", "--reader", "10.0.0.9:4001"}), "7 ");
    EXPECT_EQ(seqs({"--reader", "Dock \"B\", east\nside"}), "3 ");
    EXPECT_EQ(seqs({"--kind", "presence", "--tag", "3735928559", "--since", "2026-12-08T09:30"}),
              "8 ");
}

TEST_F(HistoryToolProcessTest, ExitCodes) {
    const ToolRun help = RunTool({"--help"}, dir_.Path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: trelvane-history"), std::string::npos);
    const ToolRun version = RunTool({"--version"}, dir_.Path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("trelvane-history ", 0), 0u);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--since", "2026-12-08T25:00"},
                                               {"--until", "yesterday"},
                                               {"--tag", "0x10"},
                                               {"--kind", "tags"},
                                               {"--nope"}}) {
        const ToolRun r = RunTool(bad, dir_.Path());
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("trelvane-history: "), std::string::npos);
    }
    const ToolRun missing = RunTool({"--db", (dir_.Path() / "none.db").string()}, dir_.Path());
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no history database"), std::string::npos) << missing.err;
    std::ofstream(dir_.Path() / "junk.db") << std::string(5000, 'x');
    const ToolRun junk = RunTool({"--db", (dir_.Path() / "junk.db").string()}, dir_.Path());
    EXPECT_EQ(junk.exitCode, 1);
    EXPECT_NE(junk.err.find("corrupt or not a history database"), std::string::npos) << junk.err;
}

TEST_F(HistoryToolProcessTest, SettingsFileFindsTheDatabase) {
    // Without options: ./SysConf.ini, or trelvane.db here when there is none.
    EXPECT_EQ(RunTool({}, dir_.Path()).exitCode, 0);
    std::filesystem::create_directories(dir_.Path() / "etc");
    std::filesystem::create_directories(dir_.Path() / "state");
    std::filesystem::rename(dir_.Db(), dir_.Path() / "state" / "h.db");
    EXPECT_EQ(RunTool({}, dir_.Path()).exitCode, 1);
    std::ofstream(dir_.Path() / "etc" / "SysConf.ini", std::ios::binary)
        << "[Service_Param]\r\nService_Port=7088\r\n[History]\r\nPath=h.db\r\n";
    // -c: relative to the current folder (the service's working folder) ...
    const ToolRun c =
        RunTool({"-c", (dir_.Path() / "etc" / "SysConf.ini").string()}, dir_.Path() / "state");
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(c.out.size(), RunTool({"--db", "state/h.db"}, dir_.Path()).out.size());
    // ... or to -C DIR when given; -C alone reads DIR/SysConf.ini.
    EXPECT_EQ(RunTool({"-c", "etc/SysConf.ini", "-C", "state"}, dir_.Path()).exitCode, 0);
    EXPECT_EQ(RunTool({"-c", "etc/SysConf.ini"}, dir_.Path()).exitCode, 1);
    std::filesystem::copy_file(dir_.Path() / "etc" / "SysConf.ini",
                               dir_.Path() / "state" / "SysConf.ini");
    EXPECT_EQ(RunTool({"-C", "state"}, dir_.Path()).exitCode, 0);
    // An unreadable -c file, and the history switched off.
    const ToolRun none = RunTool({"-c", "etc/none.ini"}, dir_.Path());
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("cannot read the settings file"), std::string::npos);
    std::ofstream(dir_.Path() / "state" / "SysConf.ini", std::ios::binary)
        << "[History]\r\nPath=h.db\r\nEnabled=0\r\n";
    const ToolRun off = RunTool({"-C", "state"}, dir_.Path());
    EXPECT_EQ(off.exitCode, 1);
    EXPECT_NE(off.err.find("the history is off"), std::string::npos) << off.err;
}

TEST_F(HistoryToolProcessTest, FollowPrintsRowsStoredAfterItStarted) {
    Child c =
        Child::Start({"--db", dir_.Db().string(), "--follow", "--format", "jsonl"}, dir_.Path());
    ASSERT_GT(c.pid, 0);
    std::string out, err;
    const auto lines = [](std::size_t n) {
        return [n](const std::string& text) {
            return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= n;
        };
    };
    ASSERT_TRUE(c.ReadUntil(out, err, lines(3), std::chrono::seconds(10))) << err;
    // The service (a writer in this process) goes on storing.
    {
        history::Result<history::Writer> w = history::Writer::Open({dir_.Db()});
        ASSERT_TRUE(w.ok()) << w.error().text;
        BatchBuilder b;
        b.AddRead(9, kMorning + 7200000, 77, "门禁 北", "10.0.0.8:4001");
        b.AddRead(10, kMorning + 7200001, 78, "门禁 北", "10.0.0.8:4001");
        ASSERT_TRUE(w->Append(b.Batch()).ok());
    }
    ASSERT_TRUE(c.ReadUntil(out, err, lines(5), std::chrono::seconds(10))) << out;
    EXPECT_NE(out.find("{\"seq\":9,"), std::string::npos);
    EXPECT_NE(out.find("{\"seq\":10,"), std::string::npos);
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(c.Wait(), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5);
}

// Zone events: a name that needs quoting, a reader with a non-ASCII name, a move (the exit and
// the next enter at one millisecond); an exit has since, last seen and its dwell, an enter not.
TEST(HistoryToolZoneTest, CsvAndJsonLinesBytesAndTheZoneFilter) {
    HistoryDir dir;
    {
        history::Writer w = test::OpenWriter({dir.Db()});
        BatchBuilder b;
        const std::string dock = "Dock \"B\", east";
        b.AddEnter(1, kMorning + 1250, 3735928559u, dock, "门禁 北", "10.0.0.8:4001");
        b.AddEnter(2, kMorning + 2000, 42, "Yard", "Gate", "10.0.0.7:4001");
        b.AddExit(3, kMorning + 95250, 3735928559u, dock, "门禁 北", "10.0.0.8:4001",
                  kMorning + 1250, kMorning + 65000);
        b.AddEnter(4, kMorning + 95250, 3735928559u, "Yard", "Gate", "10.0.0.7:4001");
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    const std::string db = dir.Db().string();
    const ToolRun csv = RunTool({"--db", db, "--kind", "zones"}, dir.Path());
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "seq,time,tag,zone,event,reader,device,since,last_seen,dwell_s\r\n"
              "1,2026-12-08T09:00:01.250+08:00,3735928559,\"Dock \"\"B\"\", east\",enter,门禁 北,"
              "10.0.0.8:4001,,,\r\n"
              "2,2026-12-08T09:00:02.000+08:00,42,Yard,enter,Gate,10.0.0.7:4001,,,\r\n"
              "3,2026-12-08T09:01:35.250+08:00,3735928559,\"Dock \"\"B\"\", east\",exit,门禁 北,"
              "10.0.0.8:4001,2026-12-08T09:00:01.250+08:00,2026-12-08T09:01:05.000+08:00,"
              "94.000\r\n"
              "4,2026-12-08T09:01:35.250+08:00,3735928559,Yard,enter,Gate,10.0.0.7:4001,,,\r\n");
    const ToolRun jsonl = RunTool(
        {"--db", db, "--kind", "zones", "--format", "jsonl", "--tag", "3735928559"}, dir.Path());
    EXPECT_EQ(jsonl.exitCode, 0) << jsonl.err;
    EXPECT_EQ(jsonl.out,
              "{\"seq\":1,\"time\":\"2026-12-08T09:00:01.250+08:00\",\"time_ms\":1796691601250,"
              "\"tag\":\"3735928559\",\"zone\":\"Dock \\\"B\\\", east\",\"event\":\"enter\","
              "\"reader\":\"门禁 北\",\"device\":\"10.0.0.8:4001\"}\n"
              "{\"seq\":3,\"time\":\"2026-12-08T09:01:35.250+08:00\",\"time_ms\":1796691695250,"
              "\"tag\":\"3735928559\",\"zone\":\"Dock \\\"B\\\", east\",\"event\":\"exit\","
              "\"reader\":\"门禁 北\",\"device\":\"10.0.0.8:4001\","
              "\"since\":\"2026-12-08T09:00:01.250+08:00\","
              "\"last_seen\":\"2026-12-08T09:01:05.000+08:00\",\"last_seen_ms\":1796691665000,"
              "\"dwell_s\":94.000}\n"
              "{\"seq\":4,\"time\":\"2026-12-08T09:01:35.250+08:00\",\"time_ms\":1796691695250,"
              "\"tag\":\"3735928559\",\"zone\":\"Yard\",\"event\":\"enter\","
              "\"reader\":\"Gate\",\"device\":\"10.0.0.7:4001\"}\n");
    const auto seqs = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", db, "--kind", "zones"});
        const ToolRun r = RunTool(args, dir.Path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string got;
        for (std::size_t pos = r.out.find("\r\n"); pos + 2 < r.out.size();
             pos = r.out.find("\r\n", pos + 2)) {
            got += r.out.substr(pos + 2, r.out.find(',', pos) - pos - 2) + " ";
        }
        return got;
    };
    EXPECT_EQ(seqs({"--zone", "Yard"}), "2 4 ");
    EXPECT_EQ(seqs({"--zone=Yard", "--tag", "42"}), "2 ");
    EXPECT_EQ(seqs({"--zone", "Dock \"B\", east", "--since", "2026-12-08T09:01:35.250"}), "3 ");
    EXPECT_EQ(seqs({"--zone", "Dock"}), "");
    EXPECT_EQ(seqs({"--reader", "门禁 北"}), "1 3 ");
    // The other kinds have no zone events among them.
    EXPECT_EQ(RunTool({"--db", db}, dir.Path()).out, "seq,time,tag,reader,device,reader_time\r\n");
}

// Alerts: each event's columns as its JSON has them (no raised number on a raised event, no text
// on a clearing, by on an acknowledgement only, no tag when it concerns none), texts that need
// quoting, and the rule, zone, tag and reader filters.
TEST(HistoryToolAlertTest, CsvAndJsonLinesBytesAndTheFilters) {
    using events::AlertEventKind;
    using events::RuleKind;
    HistoryDir dir;
    {
        history::Writer w = test::OpenWriter({dir.Db()});
        BatchBuilder b;
        b.AddAlert({1, kMorning + 1250, AlertEventKind::kRaised, 0, "cold, room", RuleKind::kDwell,
                    3735928559u, "冷库", "R01", kMorning - 600000, "in \"冷库\" for 601 s", ""});
        b.AddAlert({2, kMorning + 2000, AlertEventKind::kRaised, 0, "dock",
                    RuleKind::kReaderOffline, std::nullopt, "", "门禁 北", kMorning + 2000,
                    "offline", ""});
        b.AddAlert({3, kMorning + 60000, AlertEventKind::kAcknowledged, 1, "cold, room",
                    RuleKind::kDwell, 3735928559u, "冷库", "R01", kMorning - 600000,
                    "moving it,\nnow", "ops"});
        b.AddAlert({4, kMorning + 95250, AlertEventKind::kCleared, 2, "dock",
                    RuleKind::kReaderOffline, std::nullopt, "", "门禁 北", kMorning + 2000, "",
                    ""});
        ASSERT_TRUE(w.Append(b.Batch()).ok());
    }
    const std::string db = dir.Db().string();
    const ToolRun csv = RunTool({"--db", db, "--kind", "alerts"}, dir.Path());
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "seq,time,event,raised,rule,kind,tag,zone,reader,since,text,by\r\n"
              "1,2026-12-08T09:00:01.250+08:00,raised,,\"cold, room\",dwell,3735928559,冷库,R01,"
              "2026-12-08T08:50:00.000+08:00,\"in \"\"冷库\"\" for 601 s\",\r\n"
              "2,2026-12-08T09:00:02.000+08:00,raised,,dock,reader_offline,,,门禁 北,"
              "2026-12-08T09:00:02.000+08:00,offline,\r\n"
              "3,2026-12-08T09:01:00.000+08:00,acknowledged,1,\"cold, room\",dwell,3735928559,"
              "冷库,R01,2026-12-08T08:50:00.000+08:00,\"moving it,\nnow\",ops\r\n"
              "4,2026-12-08T09:01:35.250+08:00,cleared,2,dock,reader_offline,,,门禁 北,"
              "2026-12-08T09:00:02.000+08:00,,\r\n");
    const ToolRun jsonl = RunTool(
        {"--db", db, "--kind", "alerts", "--format", "jsonl", "--rule", "dock"}, dir.Path());
    EXPECT_EQ(jsonl.exitCode, 0) << jsonl.err;
    EXPECT_EQ(jsonl.out,
              "{\"seq\":2,\"time\":\"2026-12-08T09:00:02.000+08:00\",\"time_ms\":1796691602000,"
              "\"event\":\"raised\",\"rule\":\"dock\",\"kind\":\"reader_offline\","
              "\"reader\":\"门禁 北\",\"since\":\"2026-12-08T09:00:02.000+08:00\","
              "\"since_ms\":1796691602000,\"text\":\"offline\"}\n"
              "{\"seq\":4,\"time\":\"2026-12-08T09:01:35.250+08:00\",\"time_ms\":1796691695250,"
              "\"event\":\"cleared\",\"raised\":2,\"rule\":\"dock\",\"kind\":\"reader_offline\","
              "\"reader\":\"门禁 北\",\"since\":\"2026-12-08T09:00:02.000+08:00\","
              "\"since_ms\":1796691602000}\n");
    const auto seqs = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", db, "--kind", "alerts"});
        const ToolRun r = RunTool(args, dir.Path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string got;
        for (std::size_t pos = r.out.find("\r\n"); pos + 2 < r.out.size();
             pos = r.out.find("\r\n", pos + 2)) {
            got += r.out.substr(pos + 2, r.out.find(',', pos) - pos - 2) + " ";
        }
        return got;
    };
    EXPECT_EQ(seqs({"--zone", "冷库"}), "1 3 ");
    EXPECT_EQ(seqs({"--tag", "3735928559"}), "1 3 ");
    EXPECT_EQ(seqs({"--reader", "门禁 北"}), "2 4 ");
    EXPECT_EQ(seqs({"--rule", "cold, room", "--since", "2026-12-08T09:01"}), "3 ");
    EXPECT_EQ(seqs({"--rule", "cold"}), "");
}

TEST_F(HistoryToolProcessTest, FollowEndsWhenStdoutCloses) {
    Child c = Child::Start({"--db", dir_.Db().string(), "--follow"}, dir_.Path());
    std::string out, err;
    ASSERT_TRUE(c.ReadUntil(
        out, err, [](const std::string& t) { return t.find("10.0.0.9") != std::string::npos; },
        std::chrono::seconds(10)));
    ::close(c.out);
    c.out = ::open("/dev/null", O_RDONLY);  // Wait closes it
    EXPECT_EQ(c.Wait(), 0);
}

}  // namespace
}  // namespace trelvane::history_cli
