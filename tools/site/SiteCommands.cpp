#include "SiteCommands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "base/IsoTime.h"
#include "history/Reader.h"
#include "history/RowText.h"
#include "settings/HistoryConfig.h"
#include "settings/IniFile.h"
#include "settings/ServiceConfig.h"
#include "settings/SiteConfig.h"
#include "site/AssetCsv.h"
#include "site/Register.h"

namespace trelvane::site_cli {
namespace {

using history::AppendCsvField;
using site::Fault;
using site::FaultCode;

constexpr std::uint64_t kProgressFromLines = 10000;
constexpr std::size_t kSpoolChunk = 64 * 1024;
constexpr std::string_view kWhereHeader = "tag,label,group,zone,since,last_reader,last_seen\r\n";

int Say(Console& io, int code, const std::string& text) {
    io.err << "trelvane-site: " << text << '\n';
    io.err.flush();
    return code;
}

int ExitOf(FaultCode code) {
    switch (code) {
        case FaultCode::kBadInput:
        case FaultCode::kConflict:
            return kExitRefused;
        case FaultCode::kNotFound:
            return kExitNotFound;
        case FaultCode::kUnwritable:
        case FaultCode::kCorrupt:
        case FaultCode::kIo:
            break;
    }
    return kExitCannotOpen;
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

int Write(Console& io, std::string_view text) {
    io.out.write(text.data(), static_cast<std::streamsize>(text.size()));
    io.out.flush();
    return io.out ? kExitOk : Say(io, kExitRefused, "cannot write the output");
}

std::unique_ptr<site::Register> OpenRegister(const Places& places, Console& io, int& code) {
    Fault fault;
    std::unique_ptr<site::Register> reg = site::Register::Open(places.site, fault);
    if (!reg) {
        code = Say(io, kExitCannotOpen, fault.text);
    }
    return reg;
}

// What the reading commands see: a register not made yet reads as an empty one, and they do
// not make it (a mistyped -C must not leave a site.db behind).
std::shared_ptr<const site::Snapshot> ReadRegister(const Places& places, Console& io, int& code) {
    std::error_code ec;
    if (!std::filesystem::exists(places.site, ec) && !ec) {
        return site::Snapshot::EmptyRegister();
    }
    std::unique_ptr<site::Register> reg = OpenRegister(places, io, code);
    return reg ? reg->Current() : nullptr;
}

int ListZones(const Places& places, Console& io) {
    int code = kExitOk;
    const std::shared_ptr<const site::Snapshot> snapshot = ReadRegister(places, io, code);
    if (!snapshot) {
        return code;
    }
    std::string text = "zone,readers\r\n";
    for (const site::Zone& zone : snapshot->Zones()) {
        AppendCsvField(text, zone.name);
        text += ',';
        std::string readers;
        for (const std::string& reader : zone.readers) {
            readers += (readers.empty() ? "" : ";") + reader;
        }
        AppendCsvField(text, readers);
        text += "\r\n";
    }
    return Write(io, text);
}

int ChangeZone(const Options& o, const Places& places, Console& io) {
    int code = kExitOk;
    const std::unique_ptr<site::Register> reg = OpenRegister(places, io, code);
    if (!reg) {
        return code;
    }
    const site::Outcome fault =
        o.command == Command::kZoneSet ? reg->SetZone(o.name, o.readers) : reg->RemoveZone(o.name);
    return fault ? Say(io, ExitOf(fault->code), fault->text) : kExitOk;
}

int ExportAssets(const Places& places, Console& io) {
    std::error_code ec;
    if (!std::filesystem::exists(places.site, ec) && !ec) {
        std::string header;
        site::AppendAssetCsvHeader(header);
        return Write(io, header);
    }
    int code = kExitOk;
    const std::unique_ptr<site::Register> reg = OpenRegister(places, io, code);
    if (!reg) {
        return code;
    }
    const site::Outcome fault = reg->ExportCsv(io.out);
    if (fault && !io.out) {
        return Say(io, kExitRefused, "cannot write the output");
    }
    return fault ? Say(io, ExitOf(fault->code), fault->text) : kExitOk;
}

// "FILE:LINE: what" for a fault of the file's text; the register's own faults as they are.
std::string ImportFaultText(const std::string& file, const Fault& fault) {
    if (fault.line == 0 || fault.code != FaultCode::kBadInput) {
        return fault.text;
    }
    std::string text = fault.text;
    if (const std::string prefix = "line " + std::to_string(fault.line) + ": ";
        text.starts_with(prefix)) {
        text.erase(0, prefix.size());
    }
    return file + ":" + std::to_string(fault.line) + ": " + text;
}

// Copies `in` whole into a temporary file, removed at once, and opens `spool` on it; "" or why
// it cannot.
std::string Spool(std::istream& in, std::ifstream& spool) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) {
        folder = "/tmp";
    }
    std::string path = (folder / "trelvane-site-XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        return "cannot make a temporary file in " + folder.string() + ": " + std::strerror(errno);
    }
    std::ofstream out(path, std::ios::binary);
    spool.open(path, std::ios::binary);
    ::unlink(path.c_str());
    ::close(fd);
    std::vector<char> buffer(kSpoolChunk);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        out.write(buffer.data(), in.gcount());
    }
    if (in.bad()) {
        return "the input cannot be read";
    }
    out.flush();
    return out && spool ? "" : "cannot write a temporary file in " + folder.string();
}

int ImportAssets(const Options& o, const Places& places, Console& io) {
    const bool standardInput = o.name == "-";
    const std::string shown = standardInput ? "stdin" : o.name;
    std::ifstream file;
    std::error_code ec;
    if (standardInput || !std::filesystem::is_regular_file(o.name, ec)) {
        // A pipe or a terminal may feed its lines slowly, while the import would keep the
        // register locked against the service: such input is read whole before it is opened.
        std::ifstream source;
        if (!standardInput) {
            source.open(o.name, std::ios::binary);
            if (!source) {
                return Say(io, kExitRefused, "cannot read " + o.name + ": " + std::strerror(errno));
            }
        }
        if (const std::string why = Spool(standardInput ? io.in : source, file); !why.empty()) {
            return Say(io, kExitRefused, shown + ": " + why);
        }
    } else {
        file.open(o.name, std::ios::binary);
        if (!file) {
            return Say(io, kExitRefused, "cannot read " + o.name + ": " + std::strerror(errno));
        }
    }
    std::istream& in = file;
    int code = kExitOk;
    const std::unique_ptr<site::Register> reg = OpenRegister(places, io, code);
    if (!reg) {
        return code;
    }
    // Only on a terminal, and only for an import long enough to wait for: the register reports
    // every 10,000 lines and once at the end, also of a short one.
    bool shownProgress = false;
    site::Progress progress;
    if (io.errIsTerminal) {
        progress = [&](std::uint64_t lines) {
            if (lines < kProgressFromLines) {
                return true;
            }
            io.err << "\rtrelvane-site: " << shown << ": " << lines << " lines" << std::flush;
            shownProgress = true;
            return true;
        };
    }
    Fault fault;
    const std::optional<site::ImportSummary> summary =
        reg->ImportCsv(in, o.replace, fault, progress);
    if (shownProgress) {
        io.err << '\n';
    }
    if (!summary) {
        if (in.bad()) {
            return Say(io, kExitRefused, "cannot read " + shown);
        }
        return Say(io,
                   fault.line != 0 && fault.code == FaultCode::kBadInput ? kExitRefused
                                                                         : ExitOf(fault.code),
                   ImportFaultText(shown, fault));
    }
    return Write(io, "added=" + std::to_string(summary->added) +
                         " updated=" + std::to_string(summary->updated) +
                         " removed=" + std::to_string(summary->removed) + "\n");
}

// ---- where ----

std::optional<std::uint32_t> TagNumber(std::string_view text) {
    std::uint32_t tag = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, tag);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return tag;
}

// What the history says of one tag, now or at a time.
struct Whereabouts {
    bool known = false;  // the history holds anything of the tag
    std::string zone;    // empty: in no zone
    std::optional<std::int64_t> sinceMs;
    std::string lastReader;
    std::optional<std::int64_t> lastSeenMs;

    void Saw(const std::string& reader, std::int64_t timeMs) {
        known = true;
        if (!lastSeenMs || timeMs >= *lastSeenMs) {
            lastReader = reader;
            lastSeenMs = timeMs;
        }
    }
};

history::Result<Whereabouts> Look(history::Reader& h, std::uint32_t tag,
                                  std::optional<std::int64_t> atMs) {
    Whereabouts w;
    // The zone event in force: with a time, the answer; now, its last read where no open
    // arrival is newer (a tag that left every zone).
    const auto last = h.ZoneOfTagAt(tag, atMs.value_or(INT64_MAX));
    if (!last.ok()) {
        return last.error();
    }
    if (const std::optional<history::ZoneRow>& event = last.value()) {
        w.Saw(event->reader, event->lastSeenMs);
        if (atMs && event->kind == history::ZoneEventKind::kEnter) {
            w.zone = event->zone;
            w.sinceMs = event->sinceMs;
        }
    }
    if (!atMs) {
        auto stays = h.OpenZones();
        if (!stays.ok()) {
            return stays.error();
        }
        // In enter order: a later stay of the tag is the one in force.
        for (const history::OpenZone& stay : stays.value()) {
            if (stay.tag == tag) {
                w.zone = stay.zone;
                w.sinceMs = stay.sinceMs;
                w.Saw(stay.reader, std::max(stay.lastSeenMs, stay.sinceMs));
            }
        }
        // The presence tracking keeps each present tag's last read per reader.
        auto arrivals = h.OpenArrivals();
        if (!arrivals.ok()) {
            return arrivals.error();
        }
        for (const history::OpenArrival& a : arrivals.value()) {
            if (a.tag == tag) {
                w.Saw(a.reader, a.lastReadMs.value_or(a.timeMs));
            }
        }
    }
    // Whether the history holds the tag at all, at any time: a zone event after `atMs`, else a
    // presence event or a read (the first of each, found through the tag's own indexes).
    if (!w.known && atMs) {
        const auto later = h.ZoneOfTagAt(tag, INT64_MAX);
        if (!later.ok()) {
            return later.error();
        }
        w.known = later.value().has_value();
    }
    history::Filter first;
    first.tag = tag;
    first.limit = 1;
    if (!w.known) {
        const auto presence = h.Presence(first);
        if (!presence.ok()) {
            return presence.error();
        }
        w.known = !presence.value().empty();
    }
    if (!w.known) {
        const auto reads = h.Reads(first);
        if (!reads.ok()) {
            return reads.error();
        }
        w.known = !reads.value().empty();
    }
    return w;
}

// The history, or nullopt with the reason it has no answer (off, or not made yet); a history
// that exists but cannot be read is an error (code set).
std::optional<history::Reader> OpenHistory(const Places& places, Console& io, std::string& why,
                                           int& code) {
    if (!places.history) {
        why = "the history is off (Enabled=0 in [History] of " + places.ini.string() + ")";
        return std::nullopt;
    }
    history::Result<history::Reader> opened = history::Reader::Open(*places.history);
    if (opened.ok()) {
        return std::move(opened).value();
    }
    if (opened.error().code == history::ErrorCode::kNotFound) {
        why = "there is no history at " + places.history->string();
    } else {
        code = Say(io, kExitCannotOpen, opened.error().text);
    }
    return std::nullopt;
}

int Where(const Options& o, const Places& places, Console& io) {
    int code = kExitOk;
    const std::shared_ptr<const site::Snapshot> snapshot = ReadRegister(places, io, code);
    if (!snapshot) {
        return code;
    }
    std::string noHistory;
    std::optional<history::Reader> h = OpenHistory(places, io, noHistory, code);
    if (code != kExitOk) {
        return code;
    }
    const auto look = [&](std::uint32_t tag) -> history::Result<Whereabouts> {
        return h ? Look(*h, tag, o.atMs) : history::Result<Whereabouts>(Whereabouts{});
    };

    // A number is a tag when the register or the history knows it; otherwise, like any other
    // text, a label.
    std::optional<std::uint32_t> tag;
    std::optional<Whereabouts> found;
    if (const std::optional<std::uint32_t> number = TagNumber(o.name)) {
        auto w = look(*number);
        if (!w.ok()) {
            return Say(io, kExitCannotOpen, w.error().text);
        }
        if (w->known || snapshot->AssetOf(*number)) {
            tag = number;
            found = std::move(w).value();
        }
    }
    if (!tag) {
        const std::vector<std::uint32_t> tags = snapshot->TagsLabelled(o.name);
        if (tags.size() > 1) {
            std::string list;
            for (const std::uint32_t t : tags) {
                list += (list.empty() ? "" : ", ") + std::to_string(t);
            }
            return Say(io, kExitRefused,
                       std::to_string(tags.size()) + " assets are labelled " + Quoted(o.name) +
                           ": tags " + list + "; ask for one by its tag");
        }
        if (tags.empty()) {
            const std::string tagText =
                TagNumber(o.name)
                    ? "tag " + o.name + " is not registered" +
                          (h ? " and not in the history" : " (" + noHistory + ")") + ", and "
                    : "";
            return Say(io, kExitNotFound,
                       "not found: " + tagText + "no asset is labelled " + Quoted(o.name));
        }
        tag = tags.front();
    }
    if (!found) {
        auto w = look(*tag);
        if (!w.ok()) {
            return Say(io, kExitCannotOpen, w.error().text);
        }
        found = std::move(w).value();
    }

    std::string text(kWhereHeader);
    text += std::to_string(*tag);
    const std::optional<site::Label> label = snapshot->AssetOf(*tag);
    for (const std::string_view field :
         {label ? label->label : std::string_view(), label ? label->group : std::string_view(),
          std::string_view(found->zone)}) {
        text += ',';
        AppendCsvField(text, field);
    }
    text += ',';
    if (found->sinceMs) {
        text += FormatIsoTime(*found->sinceMs);
    }
    text += ',';
    AppendCsvField(text, found->lastReader);
    text += ',';
    if (found->lastSeenMs) {
        text += FormatIsoTime(*found->lastSeenMs);
    }
    text += "\r\n";
    if (!h) {
        Say(io, kExitOk, "the zone is unknown: " + noHistory);
    }
    return Write(io, text);
}

}  // namespace

std::variant<Places, std::string> FindPlaces(const Options& o) {
    const std::filesystem::path base = o.dir.value_or(std::filesystem::path("."));
    Places places;
    places.ini = o.ini.value_or(ConfigPath(base));
    SiteConfig site;
    HistoryConfig history;
    std::error_code ec;
    if (o.ini || std::filesystem::exists(places.ini, ec)) {
        const std::optional<IniFile> file = IniFile::Load(places.ini);
        if (!file) {
            return "cannot read the settings file " + places.ini.string();
        }
        site = SiteConfigOf(*file);
        history = HistoryConfigOf(*file);
    }
    places.site = ResolveSitePath(site, base);
    if (history.enabled) {
        places.history = ResolveHistoryPath(history, base);
    }
    return places;
}

int Run(const Options& o, const Places& places, Console& io) {
    switch (o.command) {
        case Command::kZones:
            return ListZones(places, io);
        case Command::kZoneSet:
        case Command::kZoneRemove:
            return ChangeZone(o, places, io);
        case Command::kAssetsExport:
            return ExportAssets(places, io);
        case Command::kAssetsImport:
            return ImportAssets(o, places, io);
        case Command::kWhere:
            return Where(o, places, io);
        case Command::kNone:
            break;
    }
    return Say(io, kExitRefused, "no command");
}

}  // namespace trelvane::site_cli
