#include "daemon/LogOutput.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QDateTime>
#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>
#include <cstring>

Q_LOGGING_CATEGORY(lcDaemon, "trelvane.daemon")

namespace trelvane {
namespace {

// Written by InstallLogOutput before any other thread runs, read afterwards.
LogLevel g_level = LogLevel::kInfo;
bool g_stdoutJournal = false;
bool g_stderrJournal = false;

const char* Priority(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "<7>";
        case QtInfoMsg:
            return "<6>";
        case QtWarningMsg:
            return "<4>";
        case QtCriticalMsg:
            return "<3>";
        case QtFatalMsg:
            return "<2>";
    }
    return "<6>";
}

// One write per message, so lines from the parse thread and the event loop never interleave.
void JournalHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    QByteArray line = Priority(type);
    if (context.category != nullptr && std::strcmp(context.category, "default") != 0) {
        line += context.category;
        line += ": ";
    }
    // A message with line breaks would become several journal entries, the later ones at the
    // default priority: keep it one entry.
    QByteArray text = message.toUtf8();
    text.replace('\n', ' ');
    line += text;
    line += '\n';
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.constData(), line.size());
}

QString FilterRules(LogLevel level) {
    QString rules =
        QStringLiteral("trelvane.*.debug=%1\ntrelvane.*.info=%2\ntrelvane.*.warning=%3\n")
            .arg(QLatin1String(level >= LogLevel::kDebug ? "true" : "false"),
                 QLatin1String(level >= LogLevel::kInfo ? "true" : "false"),
                 QLatin1String(level >= LogLevel::kWarning ? "true" : "false"));
    rules += QStringLiteral("*.hex.debug=false\n");
    return rules;
}

}  // namespace

std::optional<LogLevel> ParseLogLevel(QStringView text) {
    if (text == u"error") {
        return LogLevel::kError;
    }
    if (text == u"warning") {
        return LogLevel::kWarning;
    }
    if (text == u"info") {
        return LogLevel::kInfo;
    }
    if (text == u"debug") {
        return LogLevel::kDebug;
    }
    return std::nullopt;
}

bool IsJournalStream(int fd) {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &rest) != 2) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

void InstallLogOutput(LogLevel level) {
    g_level = level;
    g_stdoutJournal = IsJournalStream(STDOUT_FILENO);
    g_stderrJournal = IsJournalStream(STDERR_FILENO);
    QLoggingCategory::setFilterRules(FilterRules(level));
    if (g_stderrJournal) {
        qInstallMessageHandler(JournalHandler);
    }
}

LogLevel CurrentLogLevel() {
    return g_level;
}

QString InfoLinePrefix() {
    if (g_stdoutJournal) {
        return QStringLiteral("<6>");
    }
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
}

QString ErrorLinePrefix() {
    return g_stderrJournal ? QStringLiteral("<3>") : QString();
}

}  // namespace trelvane
