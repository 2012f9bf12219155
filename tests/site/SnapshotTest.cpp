// Snapshots made by edits (an overlay on a shared base, merged when it passes its bound) answer
// exactly as a snapshot built whole from the same assets: in memory against a map, and through
// registers on a real file (edits here, edits by another connection taken up by Refresh, imports)
// against a register opened afresh on that file. A file made before the change log opens, gets
// it, and logs the edits of a writer that knows nothing of it.

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "site/Register.h"
#include "site/Snapshot.h"
#include "support/TempFolder.h"

namespace trelvane::site {
namespace {

using test::TempFolder;
using Tags = std::vector<std::uint32_t>;

constexpr std::uint32_t kAllOnes = 4294967295u;  // the tag the hash tables keep aside

// What a test asks of a snapshot.
struct Universe {
    Tags tags;
    std::vector<std::string> labels;
    std::vector<std::string> groups;
    std::vector<std::string> readers;
};

std::string Joined(const Tags& tags) {
    std::string text;
    for (const std::uint32_t tag : tags) {
        text += " " + std::to_string(tag);
    }
    return text;
}

// Every answer of `s` over `u`, one line each.
std::vector<std::string> Answers(const Snapshot& s, const Universe& u) {
    std::vector<std::string> lines = {"count " + std::to_string(s.AssetCount()),
                                      "empty " + std::to_string(s.Empty())};
    for (const std::uint32_t tag : u.tags) {
        const std::optional<Label> a = s.AssetOf(tag);
        lines.push_back("tag " + std::to_string(tag) + ": " +
                        (a ? std::string(a->label) + " / " + std::string(a->group) : "-"));
    }
    for (const std::string& label : u.labels) {
        lines.push_back("label " + label + ":" + Joined(s.TagsLabelled(label)));
    }
    for (const std::string& group : u.groups) {
        lines.push_back("group " + group + ":" + Joined(s.TagsInGroup(group)));
    }
    for (const Zone& zone : s.Zones()) {
        std::string line = "zone " + zone.name + ":";
        for (const std::string& reader : zone.readers) {
            line += " " + reader;
        }
        lines.push_back(line);
    }
    for (const std::string& reader : u.readers) {
        const std::uint32_t z = s.ZoneOfReader(reader);
        lines.push_back("reader " + reader + ": " +
                        (z == Snapshot::kNoZone ? "-" : s.Zones()[z].name));
    }
    return lines;
}

// "" when both answer alike, else the first answer that differs.
std::string Difference(const Snapshot& got, const Snapshot& want, const Universe& u) {
    const std::vector<std::string> a = Answers(got, u);
    const std::vector<std::string> b = Answers(want, u);
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i] != b[i]) {
            return "got \"" + a[i] + "\", want \"" + b[i] + "\"";
        }
    }
    return a.size() == b.size() ? "" : "the zones differ in number";
}

Universe Names(Tags tags) {
    Universe u{std::move(tags), {}, {""}, {}};
    for (int i = 0; i < 8; ++i) {
        u.labels.push_back("L" + std::to_string(i));
        u.groups.push_back("G" + std::to_string(i));
        u.readers.push_back("R" + std::to_string(i));
    }
    return u;
}

std::unique_ptr<Register> OpenAt(const std::filesystem::path& path) {
    Fault fault;
    std::unique_ptr<Register> reg = Register::Open(path, fault);
    if (!reg) {
        ADD_FAILURE() << fault.text;
        std::abort();
    }
    return reg;
}

std::int64_t SqlInt(const std::filesystem::path& db, const char* query) {
    sqlite3* h = nullptr;
    sqlite3_stmt* q = nullptr;
    std::int64_t value = -1;
    if (sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
        sqlite3_prepare_v2(h, query, -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW) {
        value = sqlite3_column_int64(q, 0);
    }
    sqlite3_finalize(q);
    sqlite3_close(h);
    return value;
}

void Sql(const std::filesystem::path& db, const std::string& text) {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(h, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(h);
    sqlite3_close(h);
}

std::string Csv(std::uint32_t from, std::uint32_t to, const std::string& label) {
    std::string csv = "tag,label,group,note\n";
    for (std::uint32_t tag = from; tag < to; ++tag) {
        csv += std::to_string(tag) + "," + label + ",G" + std::to_string(tag % 8) + ",\n";
    }
    return csv;
}

// Batches of edits (a tag edited twice in one batch, removals of tags never set, the tag the
// tables keep aside) on a base of 6,000 assets: every snapshot answers as Make over the same
// assets, the overlay stays within its bound by merging, and a snapshot once made never changes.
TEST(SiteSnapshotTest, EditedAnswersAsABuildOfTheSameAssets) {
    std::mt19937 rng(5);
    std::map<std::uint32_t, Asset> model;
    const auto asset = [&](std::uint32_t tag) {
        return Asset{tag, "L" + std::to_string(rng() % 8),
                     rng() % 4 == 0 ? "" : "G" + std::to_string(rng() % 8), ""};
    };
    for (std::uint32_t tag = 0; tag < 6000; ++tag) {
        model[tag] = asset(tag);
    }
    const auto built = [&](std::vector<Zone> zones) {
        std::vector<Asset> all;
        for (const auto& [tag, a] : model) {
            all.push_back(a);
        }
        return Snapshot::Make(std::move(all), std::move(zones), 0);
    };
    Tags tags;
    for (std::uint32_t tag = 0; tag < 12000; ++tag) {
        tags.push_back(tag);
    }
    tags.push_back(kAllOnes);
    const Universe u = Names(tags);

    std::shared_ptr<const Snapshot> s = built({});
    const std::shared_ptr<const Snapshot> first = s;
    const std::vector<std::string> firstAnswers = Answers(*first, u);
    int merges = 0;
    for (int batch = 0; batch < 60; ++batch) {
        std::vector<AssetEdit> edits;
        const std::size_t n = 1 + rng() % 500;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t tag = rng() % 50 == 0 ? kAllOnes : rng() % 12000;
            if (rng() % 10 < 7) {
                const Asset a = asset(tag);
                edits.push_back({tag, false, a.label, a.group});
                model[tag] = a;
            } else {
                edits.push_back({tag, true, "", ""});
                model.erase(tag);
            }
        }
        std::vector<Zone> zones;
        for (int z = 0; z < batch % 3; ++z) {
            zones.push_back({"Z" + std::to_string(z), {"R" + std::to_string(z + batch % 5)}});
        }
        const std::shared_ptr<const Snapshot> next = s->Edited(edits, zones, batch + 1);
        ASSERT_LE(next->OverlaySize(), Snapshot::kMaxOverlay);
        if (!next->SharesAssetsWith(*s)) {
            ++merges;
            EXPECT_EQ(next->OverlaySize(), 0u);
        }
        s = next;
        const std::shared_ptr<const Snapshot> whole = built(zones);
        ASSERT_EQ(Difference(*s, *whole, u), "") << "batch " << batch;
        EXPECT_EQ(s->Version(), static_cast<std::uint64_t>(batch + 1));
        if (s->OverlaySize() == 0) {
            // A merged base holds what a whole build does, to the byte: no old text kept.
            EXPECT_EQ(s->MemoryBytes(), whole->MemoryBytes()) << "batch " << batch;
        }
    }
    EXPECT_GE(merges, 2);
    EXPECT_EQ(Answers(*first, u), firstAnswers);

    // Every asset removed and no zones: empty, whether in the overlay or merged.
    std::vector<AssetEdit> all;
    for (const auto& [tag, a] : model) {
        all.push_back({tag, true, "", ""});
    }
    model.clear();
    const std::shared_ptr<const Snapshot> none = s->Edited(all, {}, 100);
    EXPECT_TRUE(none->Empty());
    EXPECT_EQ(Difference(*none, *built({}), u), "");
    EXPECT_TRUE(s->Edited({}, {}, 101)->SharesAssetsWith(*s));
}

// The overlay's memory is counted: 1,000 new tags with 20-byte labels cost their entries, their
// text and their index cells beside the shared base, no more.
TEST(SiteSnapshotTest, MemoryCountsTheOverlay) {
    std::vector<Asset> assets;
    for (std::uint32_t tag = 0; tag < 5000; ++tag) {
        assets.push_back({tag, "L", "", ""});
    }
    const std::shared_ptr<const Snapshot> base = Snapshot::Make(assets, {}, 0);
    std::vector<AssetEdit> edits;
    for (std::uint32_t tag = 10000; tag < 11000; ++tag) {
        edits.push_back({tag, false, std::string(20, 'x'), ""});
    }
    const std::shared_ptr<const Snapshot> edited = base->Edited(edits, {}, 1);
    ASSERT_EQ(edited->OverlaySize(), 1000u);
    const std::size_t added = edited->MemoryBytes() - base->MemoryBytes();
    EXPECT_GE(added, 1000u * (12 + 20 + 8));
    EXPECT_LE(added, 1000u * 100);
}

// Two registers on one file edit assets and zones at random (the tool's edits taken up by
// Refresh in runs of several); whenever the service's register is up to date it answers as one
// opened afresh. Over 7,000 edits the overlay passes its bound and is merged; a small import is
// taken up as edits, a large one, a register further behind than the log and an empty list
// replacing every asset build whole.
TEST(SiteSnapshotTest, RegistersAnswerAsTheFileAfterEditsFromEitherSide) {
    TempFolder dir;
    const std::filesystem::path path = dir / "site.db";
    std::unique_ptr<Register> reg = OpenAt(path);
    std::unique_ptr<Register> tool = OpenAt(path);
    std::istringstream start(Csv(0, 6000, "L0"));
    Fault fault;
    ASSERT_TRUE(reg->ImportCsv(start, false, fault)) << fault.text;

    Tags tags;
    for (std::uint32_t tag = 0; tag < 10001; ++tag) {
        tags.push_back(tag);
    }
    tags.push_back(kAllOnes);
    const Universe u = Names(tags);
    std::mt19937 rng(9);
    std::shared_ptr<const Snapshot> last = reg->Current();
    int rebuilds = 0;
    int checks = 0;
    const auto check = [&](int step) {
        reg->Refresh();
        const std::shared_ptr<const Snapshot> now = reg->Current();
        rebuilds += now->SharesAssetsWith(*last) ? 0 : 1;
        last = now;
        ++checks;
        ASSERT_EQ(Difference(*now, *OpenAt(path)->Current(), u), "") << "step " << step;
    };
    for (int step = 0; step < 7000; ++step) {
        Register& by = rng() % 2 == 0 ? *reg : *tool;
        const std::uint32_t tag = rng() % 40 == 0 ? kAllOnes : rng() % 10000;
        const unsigned what = rng() % 20;
        if (what < 13) {
            const std::string group = rng() % 4 == 0 ? "" : "G" + std::to_string(rng() % 8);
            ASSERT_EQ(by.SetAsset({tag, "L" + std::to_string(rng() % 8), group, "n"}),
                      std::nullopt);
        } else if (what < 18) {
            by.RemoveAsset(tag);  // kNotFound for a tag not set: no change
        } else if (what < 19) {
            std::vector<std::string> readers = {"R" + std::to_string(rng() % 8)};
            if (rng() % 2 == 0) {
                readers.push_back("R" + std::to_string(rng() % 8));
            }
            by.SetZone("Z" + std::to_string(rng() % 3), readers);  // may be refused
        } else {
            by.RemoveZone("Z" + std::to_string(rng() % 3));
        }
        if (step == 3000) {
            std::istringstream small(Csv(9000, 9100, "L7"));
            ASSERT_TRUE(tool->ImportCsv(small, false, fault)) << fault.text;
            reg->Refresh();
            EXPECT_TRUE(reg->Current()->SharesAssetsWith(*last)) << "100 assets are edits";
        }
        // Checked often, and at every step while the overlay is near its bound.
        if (step % 101 == 0 || reg->Current()->OverlaySize() + 20 > Snapshot::kMaxOverlay ||
            !reg->Current()->SharesAssetsWith(*last)) {
            check(step);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
    check(7000);
    // Started from an import of 6,000 assets: once merged, the rest in the overlay.
    EXPECT_EQ(rebuilds, 1) << "in " << checks << " checks";
    EXPECT_GT(reg->Current()->OverlaySize(), 0u);

    std::istringstream large(Csv(20000, 25000, "L3"));
    ASSERT_TRUE(tool->ImportCsv(large, false, fault)) << fault.text;
    ASSERT_TRUE(reg->Refresh());
    EXPECT_FALSE(reg->Current()->SharesAssetsWith(*last)) << "5,000 assets: built whole";
    EXPECT_EQ(reg->Current()->OverlaySize(), 0u);
    EXPECT_EQ(reg->Current()->TagsLabelled("L3").size() - last->TagsLabelled("L3").size(), 5000u);
    last = reg->Current();
    check(7001);
    // The log is bounded, and a register further behind than it builds whole, rightly.
    for (std::uint32_t tag = 0; tag < 5000; ++tag) {
        ASSERT_EQ(tool->SetAsset({tag, "L5", "", ""}), std::nullopt);
    }
    EXPECT_LE(SqlInt(path, "SELECT count(*) FROM asset_changes"), 4096);
    last = reg->Current();
    rebuilds = 0;
    check(7002);
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(reg->Current()->OverlaySize(), 0u);
    // An empty list replacing them all logs no asset, only its mark; that alone must tell.
    std::istringstream none("tag,label,group,note\n");
    ASSERT_TRUE(tool->ImportCsv(none, true, fault)) << fault.text;
    check(7003);
    EXPECT_EQ(reg->Current()->AssetCount(), 0u);
}

// A register file as the release before the change log made it: it opens with its assets, gets
// the log in place, and the edits of a writer that knows nothing of the log (plain SQL, as that
// release writes) reach Refresh as edits.
TEST(SiteSnapshotTest, AFileFromBeforeTheLogGetsItAndLogsEveryWriter) {
    TempFolder dir;
    const std::filesystem::path path = dir / "site.db";
    std::string old = R"(
PRAGMA journal_mode=WAL;
CREATE TABLE meta(key TEXT PRIMARY KEY NOT NULL, value NOT NULL) WITHOUT ROWID;
CREATE TABLE zones(name TEXT PRIMARY KEY NOT NULL) WITHOUT ROWID;
CREATE TABLE zone_readers(
    reader TEXT PRIMARY KEY NOT NULL,
    zone TEXT NOT NULL REFERENCES zones(name) ON DELETE CASCADE,
    position INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX zone_readers_zone ON zone_readers(zone, position);
CREATE TABLE assets(
    tag INTEGER PRIMARY KEY,
    label TEXT NOT NULL,
    grp TEXT NOT NULL DEFAULT '',
    note TEXT NOT NULL DEFAULT ''
);
CREATE INDEX assets_group ON assets(grp, tag); CREATE INDEX assets_label ON assets(label);
INSERT INTO meta(key, value) VALUES ('format', 'trelvane-site'), ('version', 1);
INSERT INTO zones VALUES ('Dock');
INSERT INTO zone_readers VALUES ('R1', 'Dock', 0);
)";
    for (int tag = 0; tag < 100; ++tag) {
        old += "INSERT INTO assets(tag, label, grp) VALUES (" + std::to_string(tag) + ", 'L" +
               std::to_string(tag % 8) + "', 'G1');\n";
    }
    Sql(path, old);
    std::unique_ptr<Register> reg = OpenAt(path);
    EXPECT_EQ(SqlInt(path,
                     "SELECT count(*) FROM sqlite_schema WHERE name IN ('asset_changes', "
                     "'assets_added', 'assets_changed', 'assets_removed')"),
              4);
    EXPECT_EQ(SqlInt(path, "SELECT value FROM meta WHERE key = 'version'"), 1);
    EXPECT_EQ(reg->Current()->AssetCount(), 100u);
    EXPECT_EQ(reg->Current()->ZoneOfReader("R1"), 0u);

    const std::shared_ptr<const Snapshot> before = reg->Current();
    Sql(path,
        "INSERT INTO assets(tag, label) VALUES (500, 'L1'); UPDATE assets SET grp = 'G2' WHERE "
        "tag = 3; UPDATE assets SET tag = 600 WHERE tag = 4; DELETE FROM assets WHERE tag = 5; "
        "UPDATE assets SET note = 'seen' WHERE tag = 6; DELETE FROM zones");
    ASSERT_TRUE(reg->Refresh());
    EXPECT_TRUE(reg->Current()->SharesAssetsWith(*before));
    EXPECT_EQ(reg->Current()->OverlaySize(), 5u) << "500, 3, 4, 600, 5; not the note";
    Tags tags;
    for (std::uint32_t tag = 0; tag < 700; ++tag) {
        tags.push_back(tag);
    }
    EXPECT_EQ(Difference(*reg->Current(), *OpenAt(path)->Current(), Names(tags)), "");
    EXPECT_EQ(reg->Current()->ZoneOfReader("R1"), Snapshot::kNoZone);
}

}  // namespace
}  // namespace trelvane::site
