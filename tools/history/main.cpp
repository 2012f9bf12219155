// trelvane-history: prints the rows of the history database as CSV or JSON Lines, and with
// --follow keeps printing them as the service stores them. See --help and trelvane-history(1).

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <variant>

#include "HistoryCli.h"
#include "history/Pages.h"
#include "history/Reader.h"
#include "settings/HistoryConfig.h"
#include "settings/ServiceConfig.h"
#include "settings/SiteConfig.h"
#include "site/AssetTags.h"
#include "site/Register.h"
#include "trelvane/BuildInfo.h"

namespace {

using namespace trelvane;

constexpr std::size_t kPageRows = 2000;
constexpr int kFollowPollMs = 200;

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) {
    stopRequested = 1;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "trelvane-history: %s\n", text.c_str());
    return 1;
}

enum class Wrote { kOk, kClosed, kError };

Wrote WriteOut(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EPIPE ? Wrote::kClosed : Wrote::kError;
        }
        done += static_cast<std::size_t>(n);
    }
    return Wrote::kOk;
}

// Waits one poll period; false when stdout's reader has gone (a pipe's POLLERR) or a stop
// signal came.
bool WaitForMore() {
    pollfd out{STDOUT_FILENO, 0, 0};
    const int n = ::poll(&out, 1, kFollowPollMs);
    if (stopRequested != 0) {
        return false;
    }
    return !(n > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0);
}

// The database file the options name (see --help); an error text or the path.
std::variant<std::filesystem::path, std::string> DatabasePath(const history_cli::Options& o) {
    if (o.db) {
        return *o.db;
    }
    const std::filesystem::path base = o.dir.value_or(std::filesystem::path("."));
    std::filesystem::path ini;
    if (o.ini) {
        ini = *o.ini;
    } else {
        ini = ConfigPath(base);
    }
    HistoryConfig config;
    std::error_code ec;
    if (o.ini || std::filesystem::exists(ini, ec)) {
        const std::optional<HistoryConfig> read = ReadHistoryConfig(ini);
        if (!read) {
            return std::string("cannot read the settings file ") + ini.string();
        }
        config = *read;
    }
    if (!config.enabled) {
        return std::string("the history is off (Enabled=0 in [History] of ") + ini.string() + ")";
    }
    return ResolveHistoryPath(config, base);
}

// The site register [Site] names, when there is one (the tool never makes one): labels for JSON
// Lines, tags for --asset and --group.
std::variant<std::shared_ptr<const site::Snapshot>, std::string> SiteLabels(
    const history_cli::Options& o) {
    if (o.db) {
        return std::shared_ptr<const site::Snapshot>();
    }
    const std::filesystem::path base = o.dir.value_or(std::filesystem::path("."));
    const std::filesystem::path ini = o.ini.value_or(ConfigPath(base));
    const SiteConfig config = ReadSiteConfig(ini).value_or(SiteConfig{});
    const std::filesystem::path path = ResolveSitePath(config, base);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        if (o.asset || o.group) {
            return "no site register at " + path.string() + " for --asset or --group";
        }
        return std::shared_ptr<const site::Snapshot>();
    }
    site::Fault fault;
    const std::unique_ptr<site::Register> opened = site::Register::Open(path, fault);
    if (!opened) {
        return "site register " + path.string() + ": " + fault.text;
    }
    return opened->Current();
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = history_cli::ParseCommandLine(argc, argv);
    if (const auto* usage = std::get_if<history_cli::UsageError>(&parsed)) {
        std::fprintf(stderr,
                     "trelvane-history: %s\nTry 'trelvane-history --help' for more "
                     "information.\n",
                     usage->text.c_str());
        return 2;
    }
    const history_cli::Options& o = std::get<history_cli::Options>(parsed);
    if (o.help) {
        std::fputs(history_cli::kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (o.version) {
        std::printf("trelvane-history %s\n", kVersion);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    // A reader that has gone is an end, not a crash; stop signals end --follow cleanly.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);

    const auto where = DatabasePath(o);
    if (const auto* error = std::get_if<std::string>(&where)) {
        return Fail(*error);
    }
    history::Result<history::Reader> opened =
        history::Reader::Open(std::get<std::filesystem::path>(where));
    if (!opened.ok()) {
        return Fail(opened.error().text);
    }
    history::Reader& reader = opened.value();

    const auto labels = SiteLabels(o);
    if (const auto* error = std::get_if<std::string>(&labels)) {
        return Fail(*error);
    }
    const std::shared_ptr<const site::Snapshot>& site =
        std::get<std::shared_ptr<const site::Snapshot>>(labels);
    // --asset and --group as a set of tags, kept page by page.
    std::optional<std::unordered_set<std::uint32_t>> tags;
    if (o.asset || o.group) {
        const std::vector<std::uint32_t> named = site::TagsOfAssets(*site, o.asset, o.group);
        tags.emplace(named.begin(), named.end());
        if (tags->empty()) {
            return Fail(o.asset ? "no asset is labelled '" + *o.asset + "'"
                                : "no asset is in the group '" + *o.group + "'");
        }
    }

    history::Filter filter;
    filter.sinceMs = o.sinceMs;
    filter.untilMs = o.untilMs;
    filter.tag = o.tag;
    filter.reader = o.reader;
    filter.zone = o.zone;
    filter.rule = o.rule;
    filter.limit = kPageRows;

    std::string out = history::HeaderLine(o.kind, o.format);
    if (tags && tags->size() == 1 && !o.tag) {
        filter.tag = *tags->begin();  // the query's own filter, not a scan
    }
    history::RowWriter writer(o.format);
    writer.SetLabels(site.get());
    // One page: its rows appended to `out`; false with the error's text on failure.
    const auto page = [&](std::string& error) -> std::size_t {
        auto fetched = history::FetchPage(reader, o.kind, filter);
        if (!fetched.ok()) {
            error = fetched.error().text;
            return 0;
        }
        const std::size_t n = fetched->Size();
        if (n != 0) {
            filter.afterSeq = fetched->SeqAt(n - 1);
        }
        if (tags) {
            fetched->KeepTags([&](std::uint32_t tag) { return tags->contains(tag); });
        }
        fetched->AppendLines(out, writer);
        return n;
    };

    while (stopRequested == 0) {
        std::string error;
        const std::size_t rows = page(error);
        if (!error.empty()) {
            WriteOut(out);
            return Fail(error);
        }
        if (!out.empty()) {
            switch (WriteOut(out)) {
                case Wrote::kOk:
                    break;
                case Wrote::kClosed:
                    return 0;
                case Wrote::kError:
                    return Fail(std::string("cannot write the output: ") + std::strerror(errno));
            }
            out.clear();
        }
        if (rows == 0) {
            if (!o.follow || !WaitForMore()) {
                break;
            }
        }
    }
    return 0;
}
