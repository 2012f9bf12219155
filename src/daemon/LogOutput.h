#pragma once

// trelvaned's diagnostics: which messages are shown (--log-level) and how they are written.
//
// Every layer logs through its own QLoggingCategory ("trelvane.service", "trelvane.daemon",
// "trelvane.language", ...). Categories whose name ends in ".hex" carry hex dumps: they stay off
// at every level unless QT_LOGGING_RULES turns them on.
//
// When stderr is the journal (JOURNAL_STREAM names its device and inode, as systemd sets it),
// every message goes out as one line with its syslog priority in front ("<3>" error, "<4>"
// warning, "<6>" info, "<7>" debug) and without a time stamp, which the journal adds itself.
// Otherwise messages look as they always have (Qt's default output). The front end's event and
// status lines, on stdout, follow the same rule for stdout.
//
// Threading: InstallLogOutput once in main before any other thread exists; the rest may be
// called from any thread (the state is written once, then only read).

#include <QLoggingCategory>
#include <QString>
#include <QStringView>
#include <optional>

// The front end's own category.
Q_DECLARE_LOGGING_CATEGORY(lcDaemon)

namespace trelvane {

enum class LogLevel { kError, kWarning, kInfo, kDebug };

// "error", "warning", "info" or "debug"; nothing for any other text.
std::optional<LogLevel> ParseLogLevel(QStringView text);

// True when `fd` is the stream that JOURNAL_STREAM ("<device>:<inode>", decimal) names.
bool IsJournalStream(int fd);

// Sets the category filters for `level` and, when stderr is the journal, the message handler
// that writes priority prefixes.
void InstallLogOutput(LogLevel level);

// The level InstallLogOutput set (kInfo before).
LogLevel CurrentLogLevel();

// What goes in front of an info line on stdout: "<6>" when stdout is the journal, else the
// local time "yyyy-MM-dd HH:mm:ss " as the front end has always printed.
QString InfoLinePrefix();
// What goes in front of an error line written to stderr directly: "<3>" for the journal, else
// nothing.
QString ErrorLinePrefix();

}  // namespace trelvane
