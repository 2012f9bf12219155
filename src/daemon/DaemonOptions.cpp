#include "daemon/DaemonOptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include "trelvane/BuildInfo.h"

namespace trelvane {
namespace {

DaemonParseResult Fail(const QString& text, bool withUsage) {
    DaemonParseResult result;
    result.exitCode = kExitBadOptions;
    result.output = QStringLiteral("trelvaned: ") + text + QLatin1Char('\n');
    if (withUsage) {
        result.output += DaemonUsage();
    } else {
        result.output += QStringLiteral("Try 'trelvaned --help'.\n");
    }
    return result;
}

}  // namespace

QString DaemonUsage() {
    return QStringLiteral(
        "Usage: trelvaned [-C DIR] [-c FILE] [--export-on-exit FILE] [--quiet]\n"
        "                 [--log-level LEVEL]\n"
        "\n"
        "Runs the Trelvane reader service without a window. It starts listening at once,\n"
        "with the settings of SysConf.ini in its working folder (or of the file -c names),\n"
        "and writes the daily read logs in its working folder.\n"
        "\n"
        "  -C DIR                  work in DIR instead of the current directory\n"
        "  -c, --config FILE       read the settings from FILE instead of DIR/SysConf.ini\n"
        "  --export-on-exit FILE   on SIGINT/SIGTERM, write the tag list to FILE (the same\n"
        "                          tab-separated text as Export List Record)\n"
        "  --quiet                 print no device events and no status lines\n"
        "  --log-level LEVEL       error, warning, info (the default) or debug\n"
        "  -h, --help              show this help\n"
        "  --version               show the version\n"
        "\n"
        "Output: one line per device event (connected, named, removed) and a status line\n"
        "per refresh period (devices, distinct tags, reads per second). SIGHUP reads the\n"
        "settings file again; a changed address or port drops every reader.\n"
        "Exit status: 0 after SIGINT/SIGTERM, 1 when the service cannot start, 2 on bad\n"
        "options.\n");
}

DaemonParseResult ParseDaemonOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption dir(QStringLiteral("C"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption config(QStringList{QStringLiteral("c"), QStringLiteral("config")},
                                    QString(), QStringLiteral("FILE"));
    const QCommandLineOption exportFile(QStringLiteral("export-on-exit"), QString(),
                                        QStringLiteral("FILE"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption logLevel(QStringLiteral("log-level"), QString(),
                                      QStringLiteral("LEVEL"));
    parser.addOptions({help, version, dir, config, exportFile, quiet, logLevel});
    if (!parser.parse(arguments)) {
        return Fail(parser.errorText(), true);
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments()[0]),
                    true);
    }
    if (parser.isSet(help)) {
        return {std::nullopt, kExitOk, DaemonUsage()};
    }
    if (parser.isSet(version)) {
        return {std::nullopt, kExitOk,
                QStringLiteral("trelvaned %1\n").arg(QLatin1String(kVersion))};
    }

    DaemonOptions options;
    const QDir current = QDir::current();
    options.headless.workingDir = current.absolutePath().toStdString();
    // An option given twice counts with its last value, as it always has.
    const auto last = [&](const QCommandLineOption& option) {
        return parser.values(option).last();
    };
    if (parser.isSet(dir)) {
        const QString value = last(dir);
        if (value.isEmpty()) {
            return Fail(QStringLiteral("-C needs a value"), true);
        }
        const QDir folder(current.absoluteFilePath(value));
        if (!folder.exists()) {
            return Fail(QStringLiteral("no such directory: %1").arg(value), false);
        }
        options.headless.workingDir = QDir::cleanPath(folder.absolutePath()).toStdString();
    }
    if (parser.isSet(config)) {
        const QString value = last(config);
        if (value.isEmpty()) {
            return Fail(QStringLiteral("--config needs a value"), true);
        }
        const QFileInfo file(current.absoluteFilePath(value));
        if (!file.exists() || file.isDir()) {
            return Fail(QStringLiteral("no such file: %1").arg(value), false);
        }
        options.headless.configFile = QDir::cleanPath(file.absoluteFilePath()).toStdString();
    }
    if (parser.isSet(exportFile)) {
        const QString value = last(exportFile);
        if (value.isEmpty()) {
            return Fail(QStringLiteral("--export-on-exit needs a value"), true);
        }
        options.headless.exportFile = current.absoluteFilePath(value).toStdString();
    }
    options.headless.quiet = parser.isSet(quiet);
    if (parser.isSet(logLevel)) {
        const auto level = ParseLogLevel(last(logLevel));
        if (!level) {
            return Fail(QStringLiteral("invalid log level '%1' (expected error, warning, info or "
                                       "debug)")
                            .arg(last(logLevel)),
                        false);
        }
        options.logLevel = *level;
    }
    return {std::move(options), kExitOk, QString()};
}

}  // namespace trelvane
