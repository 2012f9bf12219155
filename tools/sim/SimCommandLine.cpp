#include "sim/SimCommandLine.h"

#include <QCommandLineParser>
#include <cmath>
#include <limits>

namespace trelvane {
namespace {

constexpr int kMaxReaders = 100000;
constexpr qsizetype kMaxNamePrefix = 32;
constexpr qsizetype kMaxProductType = 64;
constexpr double kMaxRate = 1e6;
constexpr double kMaxSeconds = 2e6;  // keeps the duration in milliseconds within an int

QString L1(const char* text) {
    return QString::fromLatin1(text);
}

QString Bad(const QString& option, const QString& value, const char* expected) {
    return QStringLiteral("invalid value '%1' for --%2 (expected %3)")
        .arg(value, option, L1(expected));
}

// Reads one option value each; a bad value returns nothing and leaves its message in `error`
// unless an earlier read already failed, so one message names one bad option.
struct Reader {
    const QCommandLineParser& parser;
    QString& error;

    void Fail(const QString& option, const QString& text, const char* expected) const {
        if (error.isEmpty()) {
            error = Bad(option, text, expected);
        }
    }

    std::optional<long long> Integer(const char* name, long long low, long long high,
                                     const char* expected) const {
        const QString option = L1(name);
        const QString text = parser.value(option);
        bool ok = false;
        const long long value = text.toLongLong(&ok, 10);
        if (!ok || value < low || value > high) {
            Fail(option, text, expected);
            return std::nullopt;
        }
        return value;
    }

    std::optional<double> Real(const char* name, double high, const char* expected) const {
        const QString option = L1(name);
        const QString text = parser.value(option);
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < 0.0 || value > high) {
            Fail(option, text, expected);
            return std::nullopt;
        }
        return value;
    }
};

}  // namespace

SimParseResult ParseSimArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        L1("Simulates RFID readers that connect to a Trelvane server over TCP, answer its\n"
           "commands and, once told to start reading, send tag reports.\n"
           "Runs until the duration is up, SIGINT or SIGTERM arrives, or no reader is left\n"
           "connected (and reconnecting is off); then prints one line\n"
           "  summary readers=N connected=N reports=N bytes_reporting=N bytes_acked=N ...\n"
           "and exits 0, or 1 when no reader could connect.\n"
           "Tag numbers run 12345678, 12345679, ... through --tags distinct IDs, one cursor\n"
           "for all readers: R reports in all carry min(R, tags) distinct IDs.\n"
           "Reports with --report-length 17 carry the clock the server set plus the time\n"
           "elapsed since (the PC's local time until the server sets a valid clock)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version(L1("version"), L1("Displays version information."));
    parser.addOption(version);
    parser.addOptions({
        {L1("host"), L1("Server IPv4 or IPv6 address. Default: 127.0.0.1."), L1("address"),
         L1("127.0.0.1")},
        {L1("port"), L1("Server port, 1 to 65535. Default: 7088."), L1("port"), L1("7088")},
        {L1("readers"), L1("Number of readers, 1 to 100000. Default: 1."), L1("N"), L1("1")},
        {L1("rate"),
         L1("Tag reports per second per reader; 0 = as fast as the server takes them. "
            "Default: 10."),
         L1("R"), L1("10")},
        {L1("tags"), L1("Distinct tag IDs the readers cycle through. Default: 1000."), L1("T"),
         L1("1000")},
        {L1("duration"), L1("Seconds to run (fractions allowed); 0 = until a signal. Default: 0."),
         L1("S"), L1("0")},
        {L1("name-prefix"),
         L1("Device names are the prefix and the reader's number in two or more digits "
            "(R01, R100). At most 32 bytes. Default: R."),
         L1("text"), L1("R")},
        {L1("product-type"), L1("Product type text, at most 64 bytes. Default: K314."), L1("text"),
         L1("K314")},
        {L1("report-length"),
         L1("Length byte of tag reports: 17 (with the reader's clock) or 14 (without). "
            "Default: 17."),
         L1("L"), L1("17")},
        {L1("silent"), L1("Readers answer nothing at all.")},
        {L1("fail-clock"), L1("Readers answer set-clock with status 1.")},
        {L1("fail-set"), L1("Readers answer ATTEN and carrier sets with status 1.")},
        {L1("fail-query"), L1("Readers answer ATTEN and carrier queries with status 1.")},
        {L1("identity-after"),
         L1("Ignore the first N-1 identity queries, answer from the Nth on; 0 = never. "
            "Default: 1."),
         L1("N"), L1("1")},
        {L1("clock-after"), L1("The same for set-clock commands. Default: 1."), L1("N"), L1("1")},
        {L1("start-after"), L1("The same for start-read commands. Default: 1."), L1("N"), L1("1")},
        {L1("reconnect"),
         L1("Seconds after which a reader whose connection ended or failed tries again; "
            "0 = never. Default: 0."),
         L1("S"), L1("0")},
        {L1("connect-window"),
         L1("Connection attempts in flight at once, 1 to 10000. Default: 64."), L1("N"), L1("64")},
        {L1("drain"),
         L1("At the end, stop reporting and wait up to S seconds until everything sent has "
            "been taken in by the server (all of it written and its acknowledgements settled), "
            "so no report is lost when the connections close; 0 = close at once. Default: 0."),
         L1("S"), L1("0")},
        {L1("quiet"), L1("Print no line per connect and disconnect.")},
    });

    SimParseResult result;
    result.helpText = parser.helpText();
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.showHelp = true;
        return result;
    }
    if (parser.isSet(version)) {
        result.showVersion = true;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument '%1'")
                           .arg(parser.positionalArguments().constFirst());
        return result;
    }

    SimProgramOptions options;
    SimFleetOptions& fleet = options.fleet;
    SimReaderOptions& reader = fleet.reader;
    const Reader read{parser, result.error};

    const QString hostText = parser.value(L1("host"));
    if (!fleet.host.setAddress(hostText)) {
        result.error = Bad(L1("host"), hostText, "an IPv4 or IPv6 address");
        return result;
    }
    const auto port = read.Integer("port", 1, 65535, "1 to 65535");
    const auto readers = read.Integer("readers", 1, kMaxReaders, "1 to 100000");
    const auto rate = read.Real("rate", kMaxRate, "0 to 1000000");
    const auto tagLimit = static_cast<long long>(std::numeric_limits<std::uint32_t>::max()) -
                          static_cast<long long>(reader.firstTag) + 1;
    const auto tags = read.Integer("tags", 1, tagLimit, "1 to 4282621618");
    const auto duration = read.Real("duration", kMaxSeconds, "0 to 2000000 seconds");
    const auto length = read.Integer("report-length", 14, 17, "14 or 17");
    const auto identityAfter = read.Integer("identity-after", 0, 1000000, "0 to 1000000");
    const auto clockAfter = read.Integer("clock-after", 0, 1000000, "0 to 1000000");
    const auto startAfter = read.Integer("start-after", 0, 1000000, "0 to 1000000");
    const auto reconnect = read.Real("reconnect", 86400.0, "0 to 86400 seconds");
    const auto window = read.Integer("connect-window", 1, 10000, "1 to 10000");
    const auto drain = read.Real("drain", 3600.0, "0 to 3600 seconds");
    if (!result.error.isEmpty()) {
        return result;
    }
    if (*length != 14 && *length != 17) {
        result.error = Bad(L1("report-length"), parser.value(L1("report-length")), "14 or 17");
        return result;
    }
    const QByteArray prefix = parser.value(L1("name-prefix")).toUtf8();
    if (prefix.size() > kMaxNamePrefix) {
        result.error = Bad(L1("name-prefix"), parser.value(L1("name-prefix")), "at most 32 bytes");
        return result;
    }
    const QByteArray product = parser.value(L1("product-type")).toUtf8();
    if (product.size() > kMaxProductType) {
        result.error =
            Bad(L1("product-type"), parser.value(L1("product-type")), "at most 64 bytes");
        return result;
    }

    fleet.port = static_cast<quint16>(*port);
    fleet.readers = static_cast<int>(*readers);
    fleet.namePrefix = prefix.toStdString();
    fleet.connectWindow = static_cast<int>(*window);
    fleet.reconnectMs = static_cast<int>(std::llround(*reconnect * 1000.0));
    if (*reconnect > 0.0 && fleet.reconnectMs == 0) {
        fleet.reconnectMs = 1;
    }
    reader.rate = *rate;
    reader.tagCount = static_cast<std::uint32_t>(*tags);
    reader.reportLength = static_cast<int>(*length);
    reader.productType = product.toStdString();
    reader.silent = parser.isSet(L1("silent"));
    reader.failClock = parser.isSet(L1("fail-clock"));
    reader.failSet = parser.isSet(L1("fail-set"));
    reader.failQuery = parser.isSet(L1("fail-query"));
    reader.identityAfter = static_cast<int>(*identityAfter);
    reader.clockAfter = static_cast<int>(*clockAfter);
    reader.startAfter = static_cast<int>(*startAfter);
    // A load run keeps counts, not every frame.
    reader.keepFrames = false;
    options.durationSeconds = *duration;
    options.drainSeconds = *drain;
    options.quiet = parser.isSet(L1("quiet"));
    result.options = options;
    return result;
}

QString FormatSimSummary(const SimFleetTotals& totals) {
    return QStringLiteral(
               "summary readers=%1 connected=%2 reports=%3 bytes_reporting=%4 bytes_acked=%5 "
               "reports_skipped=%6 connected_at_exit=%7 bytes_sent=%8 bytes_received=%9")
        .arg(totals.readers)
        .arg(totals.everConnected)
        .arg(totals.reports)
        .arg(totals.bytesReporting)
        .arg(totals.bytesAcked)
        .arg(totals.reportsSkipped)
        .arg(totals.connected)
        .arg(totals.bytesSent)
        .arg(totals.bytesReceived);
}

}  // namespace trelvane
