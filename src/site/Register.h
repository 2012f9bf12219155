#pragma once

// The site register: the zones (named places, each a set of readers by name) and the assets
// (tags with a label, a group and a note) of one site, in their own SQLite file (site.db in the
// working folder by default). It is separate from the history: the history may be off, and its
// retention never touches what an operator entered.
//
// Every change is one transaction: it is all made or none of it (an import with a bad line in
// row 500,000 leaves the register as it was). After a change the register publishes a new
// Snapshot; the service, the API and the desktop read that, never the file. A change made by
// another process (trelvane-site) is picked up by Refresh, which the service calls every
// second: SQLite's data_version tells cheaply whether anything changed.
//
// The file logs the tag of every asset change (asset_changes, written in the change's own
// transaction and kept to the last 4,096), so a new snapshot re-reads just those assets and the
// zones, and shares the rest with the one before (see Snapshot); an import of more than 4,096
// assets, or a register further behind than the log, builds it whole.
//
// Threading: every member may be called from any thread; calls are serialised on one
// connection. Current() takes a short lock only.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/Snapshot.h"

struct sqlite3;

namespace trelvane::site {

enum class FaultCode {
    kBadInput,    // a value the register cannot take (text names the field and why)
    kConflict,    // e.g. a reader another zone holds (text names that zone)
    kNotFound,    // no such zone or asset
    kUnwritable,  // the file or its folder refuses writing, or the disk is full
    kCorrupt,     // not a site register, or damaged
    kIo,          // any other failure of the file system or SQLite
};

struct Fault {
    FaultCode code = FaultCode::kIo;
    std::string text;        // a sentence an operator can act on
    std::string field;       // the JSON field or CSV column at fault, when there is one
    std::uint64_t line = 0;  // the CSV line at fault (1 = the header), when there is one
};

// nullopt: done.
using Outcome = std::optional<Fault>;

inline constexpr std::size_t kMaxNoteBytes = 2000;

// The rules of an asset's texts, as SetAsset and the CSV import apply them: a label of
// 1..kMaxLabelBytes bytes, a group of at most kMaxNameBytes, a note of at most kMaxNoteBytes,
// all valid UTF-8. nullopt, or kBadInput naming the field ("label", "group", "note").
Outcome CheckAsset(const Asset& asset);

struct AssetPage {
    std::vector<Asset> assets;  // by tag
    std::uint64_t total = 0;    // matching the filter, over all pages
};

struct ImportSummary {
    std::uint64_t added = 0;
    std::uint64_t updated = 0;  // tags registered before: their texts replaced, changed or not
    std::uint64_t removed = 0;  // by a replacing import
};

// Called during an import or export with the lines done so far (every 10,000 lines and at the
// end); returning false cancels (an import then changes nothing).
using Progress = std::function<bool(std::uint64_t lines)>;

class Register {
  public:
    // Opens the register at `path`, creating an empty one (and nothing else) when there is no
    // file. nullptr and `fault` when it cannot be opened.
    static std::unique_ptr<Register> Open(const std::filesystem::path& path, Fault& fault);
    ~Register();
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::shared_ptr<const Snapshot> Current() const;
    // Publishes a new snapshot when another connection changed the file since the last one;
    // true when it did. Never waits behind a change in progress on this register (false then:
    // that change publishes its own snapshot).
    bool Refresh();

    // ---- zones ----
    std::vector<Zone> Zones();
    // Creates or replaces zone `name` with `readers` (unique, non-empty names of at most
    // kMaxNameBytes of UTF-8). A reader another zone holds: kConflict naming that zone.
    Outcome SetZone(std::string_view name, const std::vector<std::string>& readers);
    Outcome RemoveZone(std::string_view name);  // kNotFound when there is none

    // ---- assets ----
    std::optional<Asset> AssetOf(std::uint32_t tag);
    // Assets by tag; `group` empty: every group. `limit` is capped at kMaxPageAssets.
    static constexpr std::uint64_t kMaxPageAssets = 10000;
    AssetPage Assets(std::string_view group, std::uint64_t offset, std::uint64_t limit);
    // Assets by tag whose label or group holds `text` (ASCII letters in either case; '%' and
    // '_' match themselves), or whose tag is `text` as a decimal number; `text` empty: every
    // asset. A search reads every asset: about a tenth of a second a million.
    AssetPage FindAssets(std::string_view text, std::uint64_t offset, std::uint64_t limit);
    // Creates or replaces the asset of `asset.tag`. A label of 1..kMaxLabelBytes bytes of
    // UTF-8; a group and a note of valid UTF-8 (the group at most kMaxNameBytes, the note at
    // most 2,000 bytes).
    Outcome SetAsset(const Asset& asset);
    Outcome RemoveAsset(std::uint32_t tag);  // kNotFound when there is none

    // CSV, UTF-8, header "tag,label,group,note", RFC 4180 quoting, LF or CR LF. The whole
    // import is one transaction: a bad line (duplicate tag, a tag that is not a 32-bit
    // decimal number, a label empty or over 200 bytes, text that is not UTF-8, a wrong number
    // of fields) changes nothing and is reported with its line. `replace`: the file becomes
    // the whole list. Streams: memory does not grow with the file beyond the register itself.
    std::optional<ImportSummary> ImportCsv(std::istream& in, bool replace, Fault& fault,
                                           const Progress& progress = {});
    // Every asset by tag, in the import's format (a file that imports back to the same list),
    // lines ending in CR LF; the progress counts the header and the assets written.
    Outcome ExportCsv(std::ostream& out, const Progress& progress = {});

  private:
    class Impl;
    Register(std::filesystem::path path, std::unique_ptr<Impl> impl);

    const std::filesystem::path path_;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex currentMutex_;
    std::shared_ptr<const Snapshot> current_;
};

}  // namespace trelvane::site
