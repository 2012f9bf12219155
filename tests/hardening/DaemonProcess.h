#pragma once

// The real trelvaned (and trelvane-sim) as child processes, for what only a whole process
// shows: descriptor limits, signals, its output, its CPU time. Loopback only; every wait is
// bounded.

#include <signal.h>
#include <sys/resource.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/QtWait.h"

namespace trelvane::test {

inline QString DaemonPath() {
    return QStringLiteral(TRELVANED_PATH);
}
inline QString SimPath() {
    return QStringLiteral(TRELVANE_SIM_PATH);
}

// A port that was free a moment ago (the daemon listens on it next).
inline quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline void WriteServiceConfig(const std::filesystem::path& dir, quint16 port, int keepRecord,
                               int refreshSeconds = 1) {
    std::ofstream(dir / "SysConf.ini", std::ios::binary)
        << "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=" << port
        << "\r\nLogin_Time=1\r\nUSER_Refresh_Time=" << refreshSeconds
        << "\r\nKeepRecord=" << keepRecord
        << "\r\nCalibrateTime=0\r\n"
        // Daemons of tests run in parallel would all want the API's one port.
        << "[Api]\r\nEnabled=0\r\n";
}

// Raises this process's soft descriptor limit to its hard limit (the tests open many sockets).
inline void RaiseOwnDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

class ChildProcess {
  public:
    // Starts `program` with `arguments`; stdout and stderr are collected separately.
    bool Start(const QString& program, const QStringList& arguments) {
        process_.setProgram(program);
        process_.setArguments(arguments);
        process_.start();
        return process_.waitForStarted(5000);
    }
    ~ChildProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    qint64 Pid() const { return process_.processId(); }
    // Only while it runs: QProcess reports pid 0 once it has ended, and kill(0) would signal
    // our own process group.
    void Signal(int signal) {
        if (Running() && Pid() > 0) {
            ::kill(static_cast<pid_t>(Pid()), signal);
        }
    }
    bool WaitForExit(int timeoutMs) {
        return WaitUntil([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    }
    int ExitCode() const { return process_.exitCode(); }
    bool Running() const { return process_.state() != QProcess::NotRunning; }

    // Everything printed so far.
    const QByteArray& Out() {
        out_ += process_.readAllStandardOutput();
        return out_;
    }
    const QByteArray& Err() {
        err_ += process_.readAllStandardError();
        return err_;
    }
    bool WaitForOutput(const QByteArray& text, int timeoutMs) {
        return WaitUntil([&] { return Out().contains(text); }, timeoutMs);
    }

    // User + system CPU time of the process so far, in clock ticks (/proc/PID/stat).
    long CpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(Pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            return -1;
        }
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        long utime = 0;
        long stime = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14) {
                utime = std::stol(field);
            } else if (i == 15) {
                stime = std::stol(field);
                break;
            }
        }
        return utime + stime;
    }

  private:
    QProcess process_;
    QByteArray out_;
    QByteArray err_;
};

}  // namespace trelvane::test
