// The built trelvaned as an operator and systemd run it: exit codes and output of the command
// line, -c FILE from another folder, the journal's priority prefixes, READY/STATUS/RELOADING
// through a NOTIFY_SOCKET of our own, and SIGHUP applying a changed port. Loopback only; every
// wait is bounded.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>

#include "trelvane/BuildInfo.h"

namespace {

constexpr int kWaitMs = 15000;

QString Program() {
    return QStringLiteral(TRELVANED_PATH);
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// `apiPort` < 0: the API off (daemons of tests run in parallel would all want its one port).
QByteArray Settings(int port, int refresh = 30, int keepRecord = 0, int apiPort = -1) {
    const QString api = apiPort < 0
                            ? QStringLiteral("[Api]\r\nEnabled=0\r\n")
                            : QStringLiteral("[Api]\r\nEnabled=1\r\nPort=%1\r\n").arg(apiPort);
    return (QStringLiteral(
                "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%1\r\nLogin_Time=1\r\n"
                "USER_Refresh_Time=%2\r\nKeepRecord=%3\r\nCalibrateTime=0\r\n")
                .arg(port)
                .arg(refresh)
                .arg(keepRecord) +
            api)
        .toLatin1();
}

struct Finished {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Finished RunDaemon(const QStringList& args, const QString& dir = QString()) {
    QProcess process;
    if (!dir.isEmpty()) {
        process.setWorkingDirectory(dir);
    }
    process.start(Program(), args);
    Finished result;
    if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished(kWaitMs);
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// A port nothing listens on right now (asked of the system, then released).
quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        return 0;
    }
    return probe.serverPort();
}

QByteArray ReadWhole(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Waits until the file holds `pattern` (the daemon writes it through its own descriptors, so
// there is no signal to wait on but the file's growth); bounded.
QRegularExpressionMatch WaitInFile(const QString& path, const QRegularExpression& pattern) {
    QDeadlineTimer deadline(kWaitMs);
    for (;;) {
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(ReadWhole(path)));
        if (match.hasMatch() || deadline.hasExpired()) {
            return match;
        }
        QThread::msleep(10);
    }
}

// Waits for a line of stdout matching `pattern`; bounded.
QRegularExpressionMatch WaitForLine(QProcess& process, QByteArray& seen,
                                    const QRegularExpression& pattern) {
    QDeadlineTimer deadline(kWaitMs);
    for (;;) {
        seen += process.readAllStandardOutput();
        const auto match = pattern.match(QString::fromUtf8(seen));
        if (match.hasMatch() || deadline.hasExpired()) {
            return match;
        }
        process.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    }
}

void Terminate(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(kWaitMs)) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }
}

TEST(DaemonCommandLineTest, VersionHelpAndRefusedOptionsExitAsDocumented) {
    const Finished version = RunDaemon({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, QByteArray("trelvaned ") + trelvane::kVersion + "\n");
    EXPECT_TRUE(version.err.isEmpty());

    for (const QString& help : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const Finished shown = RunDaemon({help});
        EXPECT_EQ(shown.exitCode, 0);
        EXPECT_TRUE(shown.out.startsWith("Usage: trelvaned")) << shown.out.constData();
        EXPECT_TRUE(shown.out.contains("-c, --config FILE"));
        EXPECT_TRUE(shown.out.contains("--log-level LEVEL"));
        EXPECT_TRUE(shown.out.contains("Exit status: 0"));
    }

    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    const QStringList badLines[] = {
        {QStringLiteral("--bogus")},
        {QStringLiteral("stray")},
        {QStringLiteral("-C")},
        {QStringLiteral("-C"), empty.filePath(QStringLiteral("absent"))},
        {QStringLiteral("-c"), empty.filePath(QStringLiteral("absent.ini"))},
        {QStringLiteral("--config"), empty.path()},
        {QStringLiteral("--log-level"), QStringLiteral("loud")},
        {QStringLiteral("--export-on-exit")},
    };
    for (const QStringList& args : badLines) {
        const Finished refused = RunDaemon(args, empty.path());
        EXPECT_EQ(refused.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(refused.out.isEmpty()) << args.join(u' ').toStdString();
        EXPECT_TRUE(refused.err.startsWith("trelvaned: ")) << refused.err.constData();
    }

    // No settings file: the service cannot start.
    const Finished noConfig = RunDaemon({QStringLiteral("-C"), empty.path()});
    EXPECT_EQ(noConfig.exitCode, 1);
    EXPECT_TRUE(noConfig.err.contains("SysConf.ini")) << noConfig.err.constData();
}

class DaemonOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(work_.isValid() && elsewhere_.isValid());
        log_ = elsewhere_.filePath(QStringLiteral("journal"));
        WriteFile(log_, {});
    }

    // Starts trelvaned with stdout and stderr on one file that JOURNAL_STREAM names (or, with
    // `journal` false, names another file).
    void Start(const QStringList& args, bool journal) {
        struct stat info {};
        const QString named = journal ? log_ : elsewhere_.path();
        ASSERT_EQ(::stat(QFile::encodeName(named).constData(), &info), 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("JOURNAL_STREAM"),
                   QStringLiteral("%1:%2").arg(info.st_dev).arg(info.st_ino));
        env.remove(QStringLiteral("NOTIFY_SOCKET"));
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setStandardOutputFile(log_, QIODevice::Append);
        process_.start(Program(), args);
        ASSERT_TRUE(process_.waitForStarted(kWaitMs));
    }

    void TearDown() override { Terminate(process_); }

    QTemporaryDir work_;
    QTemporaryDir elsewhere_;
    QString log_;
    QProcess process_;
};

TEST_F(DaemonOutputTest, ConfigFromElsewhereAndJournalPrioritiesWithoutTimeStamps) {
    // The working folder's own file would refuse to listen: only -c FILE may be read.
    WriteFile(work_.filePath(QStringLiteral("SysConf.ini")), Settings(99999));
    const QString site = elsewhere_.filePath(QStringLiteral("site settings.ini"));
    WriteFile(site, Settings(0));
    Start({QStringLiteral("-C"), work_.path(), QStringLiteral("--config"), site,
           QStringLiteral("--log-level"), QStringLiteral("debug")},
          true);
    const auto listening = WaitInFile(
        log_, QRegularExpression(QStringLiteral("(?m)^<6>listening on 127\\.0\\.0\\.1:(\\d+) in ") +
                                 QRegularExpression::escape(QDir(work_.path()).absolutePath()) +
                                 QStringLiteral("$")));
    ASSERT_TRUE(listening.hasMatch()) << ReadWhole(log_).constData();
    EXPECT_NE(listening.captured(1).toInt(), 0);
    EXPECT_TRUE(
        WaitInFile(log_, QRegularExpression(QStringLiteral("(?m)^<7>trelvane\\.daemon: "
                                                           "settings from ") +
                                            QRegularExpression::escape(site) + QStringLiteral("$")))
            .hasMatch())
        << ReadWhole(log_).constData();
    Terminate(process_);
    EXPECT_EQ(process_.exitCode(), 0);
    // Every line carries a priority and none a time stamp of ours.
    for (const QByteArray& line : ReadWhole(log_).split('\n')) {
        if (!line.isEmpty()) {
            EXPECT_TRUE(QRegularExpression(QStringLiteral("^<[3467]>[^0-9]"))
                            .match(QString::fromUtf8(line))
                            .hasMatch())
                << line.constData();
        }
    }
    EXPECT_TRUE(ReadWhole(log_).contains("\n<6>stopped\n"));
}

TEST_F(DaemonOutputTest, WarningsAndErrorsByLevelAndPlainOutputOffTheJournal) {
    WriteFile(work_.filePath(QStringLiteral("SysConf.ini")), Settings(99999));
    Start({QStringLiteral("-C"), work_.path()}, true);
    ASSERT_TRUE(process_.waitForFinished(kWaitMs));
    EXPECT_EQ(process_.exitCode(), 1);
    const QByteArray failed = ReadWhole(log_);
    EXPECT_TRUE(failed.contains("<4>trelvane.service: cannot listen on")) << failed.constData();
    EXPECT_TRUE(failed.contains("\n<3>") || failed.startsWith("<3>")) << failed.constData();

    WriteFile(log_, {});
    Start({QStringLiteral("-C"), work_.path(), QStringLiteral("--log-level"),
           QStringLiteral("error")},
          true);
    ASSERT_TRUE(process_.waitForFinished(kWaitMs));
    EXPECT_EQ(process_.exitCode(), 1);
    const QByteArray errorsOnly = ReadWhole(log_);
    EXPECT_FALSE(errorsOnly.contains("<4>")) << errorsOnly.constData();
    EXPECT_TRUE(errorsOnly.startsWith("<3>")) << errorsOnly.constData();

    // JOURNAL_STREAM naming some other file: the output an operator at a terminal sees.
    WriteFile(log_, {});
    WriteFile(work_.filePath(QStringLiteral("SysConf.ini")), Settings(0));
    Start({QStringLiteral("-C"), work_.path()}, false);
    EXPECT_TRUE(
        WaitInFile(log_, QRegularExpression(QStringLiteral(
                             "(?m)^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d listening on ")))
            .hasMatch())
        << ReadWhole(log_).constData();
    EXPECT_FALSE(ReadWhole(log_).contains("<6>"));
}

// A datagram socket of our own as the service manager's.
class NotifySocket {
  public:
    explicit NotifySocket(const QString& path) : path_(QFile::encodeName(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.constData(), sizeof address.sun_path - 1);
        bound_ =
            fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool Bound() const { return bound_; }

    // Datagrams until one contains `wanted` (all of them returned, joined); bounded.
    QByteArray WaitFor(const QByteArray& wanted) {
        QByteArray all;
        QDeadlineTimer deadline(kWaitMs);
        while (!deadline.hasExpired()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))) <=
                0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                const QByteArray datagram(buffer, static_cast<int>(n));
                all += datagram + '|';
                if (datagram.contains(wanted)) {
                    return all;
                }
            }
        }
        return all;
    }

  private:
    QByteArray path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(DaemonServiceManagerTest, ReadyWhenListeningAndReloadRestartsTheListenerOnANewPort) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString settings = work.filePath(QStringLiteral("SysConf.ini"));
    WriteFile(settings, Settings(0));
    NotifySocket manager(work.filePath(QStringLiteral("notify")));
    ASSERT_TRUE(manager.Bound());

    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), work.filePath(QStringLiteral("notify")));
    env.remove(QStringLiteral("JOURNAL_STREAM"));
    env.remove(QStringLiteral("WATCHDOG_USEC"));
    daemon.setProcessEnvironment(env);
    daemon.start(Program(), {QStringLiteral("-C"), work.path()});
    ASSERT_TRUE(daemon.waitForStarted(kWaitMs));

    const QByteArray ready = manager.WaitFor("READY=1");
    ASSERT_TRUE(ready.contains("READY=1\nSTATUS=listening on 127.0.0.1:")) << ready.constData();
    QByteArray out;
    const auto listening = WaitForLine(
        daemon, out, QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")));
    ASSERT_TRUE(listening.hasMatch()) << out.constData();
    const auto oldPort = static_cast<quint16>(listening.captured(1).toUInt());

    QTcpSocket reader;
    reader.connectToHost(QHostAddress::LocalHost, oldPort);
    ASSERT_TRUE(reader.waitForConnected(kWaitMs));
    ASSERT_TRUE(
        WaitForLine(daemon, out, QRegularExpression(QStringLiteral("connected 127\\.0\\.0\\.1:")))
            .hasMatch());

    // Only a live value changed: the reader stays connected.
    WriteFile(settings, Settings(0, 30, 1));
    ::kill(static_cast<pid_t>(daemon.processId()), SIGHUP);
    EXPECT_TRUE(manager.WaitFor("RELOADING=1").contains("RELOADING=1\nMONOTONIC_USEC="));
    EXPECT_TRUE(manager.WaitFor("READY=1").contains("STATUS=reloaded"));
    EXPECT_TRUE(
        WaitForLine(daemon, out, QRegularExpression(QStringLiteral("reloaded .*: KeepRecord\n")))
            .hasMatch())
        << out.constData();
    EXPECT_EQ(reader.state(), QAbstractSocket::ConnectedState);

    // A new port: listening there, the old port closed, the reader dropped and the line says so.
    const quint16 newPort = FreePort();
    ASSERT_NE(newPort, 0);
    WriteFile(settings, Settings(newPort, 60, 1));
    ::kill(static_cast<pid_t>(daemon.processId()), SIGHUP);
    const auto restarted =
        WaitForLine(daemon, out,
                    QRegularExpression(
                        QStringLiteral("reloaded .*: Service_Port USER_Refresh_Time; listening on "
                                       "127\\.0\\.0\\.1:%1 now, 1 readers dropped\n")
                            .arg(newPort)));
    EXPECT_TRUE(restarted.hasMatch()) << out.constData();
    EXPECT_TRUE(manager.WaitFor("READY=1").contains("readers dropped"));
    if (reader.state() == QAbstractSocket::ConnectedState) {
        EXPECT_TRUE(reader.waitForDisconnected(kWaitMs));
    }
    QTcpSocket again;
    again.connectToHost(QHostAddress::LocalHost, newPort);
    EXPECT_TRUE(again.waitForConnected(kWaitMs));
    QTcpSocket old;
    old.connectToHost(QHostAddress::LocalHost, oldPort);
    EXPECT_FALSE(old.waitForConnected(2000));

    Terminate(daemon);
    EXPECT_EQ(daemon.exitCode(), 0);
}

// GET /healthz on the API's port: the status line, or empty when nothing answers.
QByteArray Healthz(quint16 port) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) {
        return {};
    }
    s.write("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray reply;
    while (s.waitForReadyRead(kWaitMs)) {
        reply += s.readAll();
    }
    reply += s.readAll();
    return reply.left(reply.indexOf("\r\n"));
}

TEST(DaemonServiceManagerTest, ReloadMovesTheApiToItsNewPortAndStopsItWhenDisabled) {
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString settings = work.filePath(QStringLiteral("SysConf.ini"));
    const quint16 firstPort = FreePort();
    ASSERT_NE(firstPort, 0);
    WriteFile(settings, Settings(0, 30, 0, firstPort));
    QProcess daemon;
    daemon.start(Program(), {QStringLiteral("-C"), work.path()});
    ASSERT_TRUE(daemon.waitForStarted(kWaitMs));
    QByteArray out;
    ASSERT_TRUE(WaitForLine(daemon, out,
                            QRegularExpression(QStringLiteral("api listening on "
                                                              "http://127\\.0\\.0\\.1:%1/")
                                                   .arg(firstPort)))
                    .hasMatch())
        << out.constData();
    EXPECT_EQ(Healthz(firstPort), "HTTP/1.1 200 OK");

    // Only the port of the API changes: the service's own settings stay, the API moves.
    const quint16 secondPort = FreePort();
    ASSERT_NE(secondPort, 0);
    ASSERT_NE(secondPort, firstPort);
    WriteFile(settings, Settings(0, 30, 0, secondPort));
    ::kill(static_cast<pid_t>(daemon.processId()), SIGHUP);
    ASSERT_TRUE(WaitForLine(daemon, out,
                            QRegularExpression(QStringLiteral("api listening on "
                                                              "http://127\\.0\\.0\\.1:%1/")
                                                   .arg(secondPort)))
                    .hasMatch())
        << out.constData();
    EXPECT_EQ(Healthz(secondPort), "HTTP/1.1 200 OK");
    EXPECT_EQ(Healthz(firstPort), QByteArray());

    WriteFile(settings, Settings(0, 30, 0));
    ::kill(static_cast<pid_t>(daemon.processId()), SIGHUP);
    EXPECT_TRUE(
        WaitForLine(daemon, out, QRegularExpression(QStringLiteral("api stopped"))).hasMatch())
        << out.constData();
    EXPECT_EQ(Healthz(secondPort), QByteArray());

    Terminate(daemon);
    EXPECT_EQ(daemon.exitCode(), 0);
}

}  // namespace
