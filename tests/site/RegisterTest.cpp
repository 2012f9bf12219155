// The site register over real files: imports that fail change nothing (not even the snapshot),
// every fault names its line and field, exports read back exactly, zones keep readers apart, and
// a change by another connection reaches Refresh.

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "site/AssetCsv.h"
#include "site/Register.h"
#include "support/TempFolder.h"

namespace trelvane::site {
namespace {

using test::TempFolder;

std::unique_ptr<Register> OpenAt(const std::filesystem::path& path) {
    Fault fault;
    std::unique_ptr<Register> reg = Register::Open(path, fault);
    if (!reg) {
        ADD_FAILURE() << fault.text;
        std::abort();
    }
    return reg;
}

std::string Export(Register& reg) {
    std::ostringstream out;
    EXPECT_EQ(reg.ExportCsv(out), std::nullopt);
    return out.str();
}

std::optional<ImportSummary> Import(Register& reg, const std::string& csv, bool replace,
                                    Fault& fault) {
    std::istringstream in(csv);
    return reg.ImportCsv(in, replace, fault);
}

// What a change refused; a fault of code kIo naming "(made)" when it was made.
Fault Refused(const Outcome& outcome) {
    return outcome.value_or(Fault{FaultCode::kIo, "(made)", "(made)", 0});
}

void Sql(const std::filesystem::path& db, const char* text) {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(h, text, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    sqlite3_close(h);
}

// The one integer a query gives, from a connection of its own (-1 when it gives none).
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

constexpr const char* kAssetIndexes =
    "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND tbl_name = 'assets'";

class SiteRegisterTest : public ::testing::Test {
  protected:
    TempFolder dir;
    std::unique_ptr<Register> reg = OpenAt(dir / "site.db");
};

TEST_F(SiteRegisterTest, ABadLastLineOfAHalfMillionLineImportChangesNothing) {
    ASSERT_EQ(reg->SetAsset({7, "Forklift 7", "Vehicles", "old"}), std::nullopt);
    ASSERT_EQ(reg->SetAsset({900000, "Not in the file", "", ""}), std::nullopt);
    ASSERT_EQ(reg->SetZone("Dock A", {"R01"}), std::nullopt);
    const std::string before = Export(*reg);
    const std::shared_ptr<const Snapshot> snapshot = reg->Current();

    // Line 1 is the header, so tag n sits on line n + 2; line 500,001 repeats line 17's tag.
    std::string csv = "tag,label,group,note\n";
    for (std::uint32_t tag = 0; tag < 499999; ++tag) {
        csv += std::to_string(tag) + ",Asset " + std::to_string(tag) + ",Group " +
               std::to_string(tag % 50) + ",\n";
    }
    csv += "15,Again,,\n";
    for (const bool replace : {false, true}) {
        std::istringstream in(csv);
        std::vector<std::uint64_t> reported;
        Fault fault;
        EXPECT_EQ(reg->ImportCsv(in, replace, fault,
                                 [&](std::uint64_t lines) {
                                     reported.push_back(lines);
                                     return true;
                                 }),
                  std::nullopt);
        EXPECT_EQ(fault.code, FaultCode::kBadInput);
        EXPECT_EQ(fault.line, 500001u);
        EXPECT_EQ(fault.field, "tag");
        EXPECT_EQ(fault.text, "line 500001: tag 15 appears twice (first on line 17)");
        ASSERT_EQ(reported.size(), 50u);
        EXPECT_EQ(reported.front(), 10000u);
        EXPECT_EQ(reported.back(), 500000u);
    }
    // A cancel half way is no different.
    std::istringstream in(csv.substr(0, csv.rfind("15,Again")));
    Fault fault;
    EXPECT_EQ(reg->ImportCsv(in, true, fault, [](std::uint64_t lines) { return lines < 250000; }),
              std::nullopt);
    EXPECT_EQ(fault.line, 250000u);

    EXPECT_EQ(reg->Current(), snapshot);
    EXPECT_EQ(reg->Current()->Version(), snapshot->Version());
    EXPECT_FALSE(reg->Refresh());
    EXPECT_EQ(Export(*reg), before);
    EXPECT_EQ(reg->AssetOf(7).value_or(Asset{}).note, "old");
    // And from a fresh connection: nothing of the rolled-back rows reached the file, and the
    // indexes a large import rebuilds are back.
    EXPECT_EQ(Export(*OpenAt(dir / "site.db")), before);
    EXPECT_EQ(SqlInt(dir / "site.db", kAssetIndexes), 2);

    // Without the bad line the import is made, indexes and all.
    std::istringstream good(csv.substr(0, csv.rfind("15,Again")));
    const std::optional<ImportSummary> done = reg->ImportCsv(good, true, fault);
    ASSERT_TRUE(done) << fault.text;
    EXPECT_EQ(done->added, 499998u);
    EXPECT_EQ(done->updated, 1u);
    EXPECT_EQ(done->removed, 1u);
    EXPECT_EQ(SqlInt(dir / "site.db", kAssetIndexes), 2);
    EXPECT_EQ(reg->Assets("Group 7", 0, 1).total, 10000u);
    EXPECT_EQ(reg->Current()->TagsLabelled("Asset 7"), std::vector<std::uint32_t>{7});
    EXPECT_GT(reg->Current()->Version(), snapshot->Version());
}

TEST_F(SiteRegisterTest, EveryFaultNamesItsLineAndField) {
    ASSERT_EQ(reg->SetAsset({1, "Kept", "", ""}), std::nullopt);
    const std::string before = Export(*reg);
    const std::string h = "tag,label,group,note\n";
    struct Case {
        std::string csv;
        std::uint64_t line;
        std::string field;
        std::string text;
    };
    const Case cases[] = {
        {"", 1, "", "line 1: the first line must be \"tag,label,group,note\" (the input is empty)"},
        {"tag,label,group\n1,a,,\n", 1, "", "line 1: the first line must be"},
        {"\"tag\",label,group,note\n", 1, "", "line 1: the first line must be"},
        {"TAG,label,group,note\n", 1, "", "line 1: the first line must be"},
        {h + "1,a,,\n2,b,\n", 3, "", "line 3: 3 fields, expected 4"},
        {h + "1,a,,\n\n", 3, "", "line 3: 1 field, expected 4"},
        {h + "1,a,,,\n", 2, "", "line 2: 5 fields, expected 4"},
        {h + "12a,a,,\n", 2, "tag",
         "line 2: tag \"12a\" is not a whole number from 0 to 4294967295"},
        {h + "+1,a,,\n", 2, "tag", "is not a whole number"},
        {h + " 1,a,,\n", 2, "tag", "is not a whole number"},
        {h + "-1,a,,\n", 2, "tag", "is not a whole number"},
        {h + ",a,,\n", 2, "tag", "is not a whole number"},
        {h + "4294967296,a,,\n", 2, "tag", "is not a whole number"},
        {h + "99999999999999999999999,a,,\n", 2, "tag", "is not a whole number"},
        {h + "1,,,\n", 2, "label", "line 2: the label is empty"},
        {h + "1," + std::string(201, 'x') + ",,\n", 2, "label", "longer than 200 bytes"},
        {h + "1,a," + std::string(201, 'g') + ",\n", 2, "group", "longer than 200 bytes"},
        {h + "1,a,," + std::string(2001, 'n') + "\n", 2, "note", "longer than 2000 bytes"},
        {h + "1,a,\xC3(,\n", 2, "group", "line 2: the group is not valid UTF-8"},
        {h + "1,\xED\xA0\x80,,\n", 2, "label", "not valid UTF-8"},
        {h + "1,a,,\"never closed\n2,b,,\n", 2, "note", "line 2: a quoted field is not closed"},
        {h + "1,\"a\"b,,\n", 2, "label", "line 2: text after the closing quote"},
        {h + "1,a\"b,,\n", 2, "label", "line 2: a quote inside a field that is not quoted"},
        {h + "1,a\rb,,\n", 2, "label", "line 2: a CR that does not end a line"},
        {h + "1,a,,\"" + std::string(70000, 'n') + "\"\n", 2, "", "line 2: longer than 65536"},
        {h + "1,a,," + std::string(70000, 'n') + "\n", 2, "", "line 2: longer than 65536"},
        // Lines are counted through quoted line breaks; a fault names where its record starts.
        {h + "1,a,,\"two\r\nlines\"\r\n2,\"b\nc\",,x\n3,,,\n", 6, "label",
         "line 6: the label is empty"},
        {h + "1,a,,\n2,b,,\n1,c,,\n", 4, "tag", "line 4: tag 1 appears twice (first on line 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.csv.substr(0, 60));
        Fault fault;
        EXPECT_EQ(Import(*reg, c.csv, true, fault), std::nullopt);
        EXPECT_EQ(fault.code, FaultCode::kBadInput);
        EXPECT_EQ(fault.line, c.line);
        EXPECT_EQ(fault.field, c.field);
        EXPECT_NE(fault.text.find(c.text), std::string::npos) << fault.text;
    }
    EXPECT_EQ(Export(*reg), before);

    // What the reader takes: a BOM, CR LF, leading zeros, both ends of the tag range, no final
    // line end.
    Fault fault;
    const std::optional<ImportSummary> done =
        Import(*reg,
               "\xEF\xBB\xBFtag,label,group,note\r\n007,Seven,,\r\n0,Zero,g,n\r\n"
               "4294967295,Last,,",
               false, fault);
    ASSERT_TRUE(done) << fault.text;
    EXPECT_EQ(done->added, 3u);
    EXPECT_EQ(reg->AssetOf(7)->label, "Seven");
    EXPECT_EQ(reg->AssetOf(0), (Asset{0, "Zero", "g", "n"}));
    EXPECT_EQ(reg->AssetOf(4294967295u)->label, "Last");
}

TEST_F(SiteRegisterTest, ExportImportsBackExactlyWithAwkwardText) {
    const std::vector<Asset> assets = {
        {0, "Plain", "", ""},
        {5, "Comma, inside", "Group, too", "note, with, commas"},
        {17, "Quote \"q\" and \"\"", "\"", "\"starts and ends\""},
        {300, "Line\nbreak", "CR\rLF", "Windows\r\nline\r\n"},
        {4000, "  spaced  ", " ", "trailing space "},
        {77777, "门禁 Ünïcödé ✓ 😀", "Ἀθῆναι", "ß"},
        {4294967295u, "=1+2", "tab\there", std::string(2000, 'n')},
    };
    for (const Asset& a : assets) {
        ASSERT_EQ(reg->SetAsset(a), std::nullopt);
    }
    const std::string csv = Export(*reg);

    std::unique_ptr<Register> other = OpenAt(dir / "other.db");
    ASSERT_EQ(other->SetAsset({9, "Goes away", "", ""}), std::nullopt);
    Fault fault;
    const std::optional<ImportSummary> done = Import(*other, csv, true, fault);
    ASSERT_TRUE(done) << fault.text;
    EXPECT_EQ(done->added, assets.size());
    EXPECT_EQ(done->updated, 0u);
    EXPECT_EQ(done->removed, 1u);
    EXPECT_EQ(other->Assets("", 0, 100).assets, assets);
    EXPECT_EQ(Export(*other), csv);

    // The same file again: every tag updated, nothing removed; without replace nothing goes.
    ASSERT_EQ(other->SetAsset({10, "Stays", "", ""}), std::nullopt);
    const std::optional<ImportSummary> again = Import(*other, csv, false, fault);
    ASSERT_TRUE(again) << fault.text;
    EXPECT_EQ(again->added, 0u);
    EXPECT_EQ(again->updated, assets.size());
    EXPECT_EQ(again->removed, 0u);
    EXPECT_TRUE(other->AssetOf(10));
}

TEST_F(SiteRegisterTest, AssetValuesAreCheckedAndPagesCountTheirGroup) {
    EXPECT_EQ(Refused(reg->SetAsset({1, "", "", ""})).field, "label");
    EXPECT_EQ(Refused(reg->SetAsset({1, std::string(201, 'l'), "", ""})).field, "label");
    EXPECT_EQ(Refused(reg->SetAsset({1, "ok", std::string(201, 'g'), ""})).field, "group");
    EXPECT_EQ(Refused(reg->SetAsset({1, "ok", "", std::string(2001, 'n')})).field, "note");
    EXPECT_EQ(Refused(reg->SetAsset({1, "ok", "", "\xFF"})).field, "note");
    EXPECT_EQ(
        reg->SetAsset({1, std::string(200, 'l'), std::string(200, 'g'), std::string(2000, 'n')}),
        std::nullopt);
    EXPECT_EQ(Refused(reg->RemoveAsset(2)).code, FaultCode::kNotFound);

    std::string csv = "tag,label,group,note\n";
    for (std::uint32_t tag = 100; tag < 10150; ++tag) {
        csv += std::to_string(tag) + ",L," + (tag % 2 == 0 ? "even" : "odd") + ",\n";
    }
    Fault fault;
    ASSERT_TRUE(Import(*reg, csv, false, fault)) << fault.text;
    const AssetPage all = reg->Assets("", 0, 50000);
    EXPECT_EQ(all.total, 10051u);
    ASSERT_EQ(all.assets.size(), Register::kMaxPageAssets);
    EXPECT_EQ(all.assets.front().tag, 1u);
    const AssetPage odd = reg->Assets("odd", 5000, 100);
    EXPECT_EQ(odd.total, 5025u);
    ASSERT_EQ(odd.assets.size(), 25u);
    EXPECT_EQ(odd.assets.front().tag, 100u + 2 * 5000 + 1);
    EXPECT_EQ(odd.assets.back().tag, 10149u);
    EXPECT_EQ(reg->Assets("none", 0, 10).total, 0u);

    // A snapshot numbers groups in 16 bits: the change that would need more is refused whole.
    std::string groups = "tag,label,group,note\n";
    for (std::uint32_t g = 0; g < 65532; ++g) {
        groups += std::to_string(20000 + g) + ",L,g" + std::to_string(g) + ",\n";
    }
    // With "even", "odd" and tag 1's: 65,535.
    ASSERT_TRUE(Import(*reg, groups, false, fault)) << fault.text;
    EXPECT_EQ(Refused(reg->SetAsset({3, "L", "one too many", ""})).field, "group");
    EXPECT_EQ(Import(*reg, "tag,label,group,note\n2,L,one too many,\n", false, fault),
              std::nullopt);
    EXPECT_EQ(fault.field, "group");
    EXPECT_FALSE(reg->AssetOf(2));
    EXPECT_FALSE(reg->AssetOf(3));
    // Tag 1 was the only one of its group: moving it to a new group keeps the count.
    EXPECT_EQ(reg->SetAsset({1, "L", "one too many", ""}), std::nullopt);
}

// What an operator types in a search box: part of a label or group in any case, or a tag.
TEST_F(SiteRegisterTest, FindAssetsByPartOfLabelOrGroupOrByTag) {
    const std::vector<Asset> assets = {
        {7, "Forklift 12", "forklifts", ""}, {12, "Pallet 7, blue", "pallets", ""},
        {70, "Trolley", "blue carts", ""},   {120, "50% pallet", "", "blue"},
        {700, "cart_a", "carts", ""},        {1200, "carta", "carts", "Forklift"},
        {4294967295u, "Last", "", ""},
    };
    for (const Asset& asset : assets) {
        ASSERT_EQ(reg->SetAsset(asset), std::nullopt);
    }
    const auto tags = [&](std::string_view text, std::uint64_t offset = 0,
                          std::uint64_t limit = 100) {
        const AssetPage page = reg->FindAssets(text, offset, limit);
        std::vector<std::uint32_t> found;
        for (const Asset& a : page.assets) {
            found.push_back(a.tag);
        }
        return std::pair(found, page.total);
    };
    using Tags = std::vector<std::uint32_t>;
    EXPECT_EQ(tags("FORKLIFT").first, (Tags{7})) << "labels and groups only, not notes";
    EXPECT_EQ(tags("blue").first, (Tags{12, 70})) << "a label or a group";
    EXPECT_EQ(tags("7").first, (Tags{7, 12})) << "the tag, or a label holding it";
    EXPECT_EQ(tags("12").first, (Tags{7, 12})) << "no tag is a substring match";
    EXPECT_EQ(tags("4294967295").first, (Tags{4294967295u}));
    EXPECT_EQ(tags("4294967296").first, (Tags{})) << "not a 32-bit tag";
    EXPECT_EQ(tags("%").first, (Tags{120})) << "% is a character";
    EXPECT_EQ(tags("t_").first, (Tags{700})) << "_ is a character";
    EXPECT_EQ(tags("\\").first, (Tags{}));
    EXPECT_EQ(tags("").second, assets.size());

    // Pages of a search count every match and go on where the last one ended.
    EXPECT_EQ(tags("cart", 1, 2), std::pair(Tags{700, 1200}, std::uint64_t{3}));
    EXPECT_EQ(tags("cart", 3, 2), std::pair(Tags{}, std::uint64_t{3}));
    EXPECT_EQ(tags("", 5, 1), std::pair(Tags{1200}, std::uint64_t{7}));
}

TEST_F(SiteRegisterTest, AReaderBelongsToOneZone) {
    ASSERT_EQ(reg->SetZone("Dock B", {"R02", "R03"}), std::nullopt);
    const Outcome taken = reg->SetZone("Gate 1", {"R01", "R02"});
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->code, FaultCode::kConflict);
    EXPECT_EQ(taken->field, "readers");
    EXPECT_EQ(taken->text, "reader \"R02\" belongs to zone \"Dock B\"");
    EXPECT_EQ(reg->Zones(), (std::vector<Zone>{{"Dock B", {"R02", "R03"}}}));

    // A zone may keep, reorder and drop its own readers; a dropped one is free again.
    ASSERT_EQ(reg->SetZone("Dock B", {"R03", "R09"}), std::nullopt);
    ASSERT_EQ(reg->SetZone("Gate 1", {"R01", "R02"}), std::nullopt);
    EXPECT_EQ(reg->Zones(),
              (std::vector<Zone>{{"Dock B", {"R03", "R09"}}, {"Gate 1", {"R01", "R02"}}}));
    // Removing a zone frees its readers (the cascade), and only its own.
    ASSERT_EQ(reg->RemoveZone("Dock B"), std::nullopt);
    EXPECT_EQ(Refused(reg->RemoveZone("Dock B")).code, FaultCode::kNotFound);
    ASSERT_EQ(reg->SetZone("Yard", {"R09"}), std::nullopt);
    EXPECT_EQ(Refused(reg->SetZone("Yard", {"R01"})).text,
              "reader \"R01\" belongs to zone \"Gate 1\"");

    const std::pair<Outcome, std::string> refused[] = {
        {reg->SetZone("", {"R1"}), "name"},
        {reg->SetZone(std::string(201, 'z'), {"R1"}), "name"},
        {reg->SetZone("Tab\there", {"R1"}), "name"},
        {reg->SetZone("C1 \xC2\x85", {"R1"}), "name"},
        {reg->SetZone("Bad \xC3", {"R1"}), "name"},
        {reg->SetZone("Z", {}), "readers"},
        {reg->SetZone("Z", {"R1", ""}), "readers"},
        {reg->SetZone("Z", {std::string(201, 'r')}), "readers"},
        {reg->SetZone("Z", {"\x80"}), "readers"},
        {reg->SetZone("Z", {"R1", "R2", "R1"}), "readers"},
    };
    for (const auto& [outcome, field] : refused) {
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->code, FaultCode::kBadInput) << outcome->text;
        EXPECT_EQ(outcome->field, field) << outcome->text;
    }
    EXPECT_EQ(reg->Zones().size(), 2u);
    EXPECT_EQ(reg->SetZone("Zone ✓ 200", {std::string(200, 'r')}), std::nullopt);
}

TEST_F(SiteRegisterTest, SnapshotsFollowEveryChange) {
    std::uint64_t version = reg->Current()->Version();
    EXPECT_TRUE(reg->Current()->Empty());
    const auto changed = [&] {
        const std::uint64_t now = reg->Current()->Version();
        const bool grew = now > version;
        version = now;
        return grew;
    };
    ASSERT_EQ(reg->SetAsset({30, "Pallet", "Stock", "n"}), std::nullopt);
    ASSERT_TRUE(changed());
    ASSERT_EQ(reg->SetAsset({10, "Pallet", "", ""}), std::nullopt);
    ASSERT_EQ(reg->SetAsset({20, "Crate", "Stock", ""}), std::nullopt);
    ASSERT_EQ(reg->SetZone("Dock", {"R1", "R2"}), std::nullopt);
    ASSERT_TRUE(changed());
    std::shared_ptr<const Snapshot> s = reg->Current();
    EXPECT_EQ(s->TagsLabelled("Pallet"), (std::vector<std::uint32_t>{10, 30}));
    EXPECT_EQ(s->AssetOf(30)->group, "Stock");
    EXPECT_EQ(s->ZoneOfReader("R2"), *s->ZoneNamed("Dock"));

    ASSERT_EQ(reg->SetAsset({30, "Crate", "", ""}), std::nullopt);
    ASSERT_EQ(reg->RemoveAsset(10), std::nullopt);
    ASSERT_EQ(reg->SetZone("Dock", {"R2"}), std::nullopt);
    ASSERT_TRUE(changed());
    const std::shared_ptr<const Snapshot> later = reg->Current();
    EXPECT_TRUE(later->TagsLabelled("Pallet").empty());
    EXPECT_EQ(later->TagsLabelled("Crate"), (std::vector<std::uint32_t>{20, 30}));
    EXPECT_FALSE(later->AssetOf(10));
    EXPECT_EQ(later->AssetOf(30)->group, "");
    EXPECT_EQ(later->ZoneOfReader("R1"), Snapshot::kNoZone);
    // The old snapshot is untouched for whoever still holds it.
    EXPECT_EQ(s->TagsLabelled("Pallet"), (std::vector<std::uint32_t>{10, 30}));

    // A refused change publishes nothing.
    EXPECT_TRUE(reg->SetAsset({1, "", "", ""}));
    EXPECT_TRUE(reg->RemoveZone("Nowhere"));
    EXPECT_FALSE(changed());
}

TEST_F(SiteRegisterTest, AnotherConnectionsChangeReachesRefresh) {
    std::unique_ptr<Register> tool = OpenAt(dir / "site.db");
    EXPECT_FALSE(reg->Refresh());
    const std::uint64_t version = reg->Current()->Version();

    ASSERT_EQ(tool->SetAsset({42, "From the tool", "", ""}), std::nullopt);
    ASSERT_EQ(tool->SetZone("Dock", {"R1"}), std::nullopt);
    EXPECT_FALSE(reg->Current()->AssetOf(42));
    EXPECT_TRUE(reg->Refresh());
    EXPECT_GT(reg->Current()->Version(), version);
    EXPECT_EQ(reg->Current()->AssetOf(42)->label, "From the tool");
    EXPECT_EQ(reg->Current()->ZoneOfReader("R1"), 0u);
    EXPECT_FALSE(reg->Refresh());

    // Its own changes publish at once and leave Refresh nothing to do; a zone the tool holds
    // is a conflict here too.
    ASSERT_EQ(reg->RemoveAsset(42), std::nullopt);
    EXPECT_FALSE(reg->Refresh());
    EXPECT_EQ(Refused(reg->SetZone("Gate", {"R1"})).code, FaultCode::kConflict);
    EXPECT_TRUE(tool->Refresh());
    EXPECT_FALSE(tool->Current()->AssetOf(42));
}

// Rules are checked against the register, reach every connection's snapshot, and keep the
// zone they name from being removed under them.
TEST_F(SiteRegisterTest, RulesNameWhatExistsAndTravelWithTheSnapshot) {
    ASSERT_EQ(reg->SetZone("Cold room", {"R1"}), std::nullopt);
    ASSERT_EQ(reg->SetAsset({7, "Pallet 7", "pallets", ""}), std::nullopt);
    std::unique_ptr<Register> tool = OpenAt(dir / "site.db");

    Rule dwell{"cold", events::RuleKind::kDwell, 600, std::nullopt, "pallets", "Cold room", ""};
    const struct {
        Rule rule;
        const char* field;
    } refused[] = {
        {Rule{"x", events::RuleKind::kDwell, 0, std::nullopt, "", "Cold room", ""}, "seconds"},
        {Rule{"x", events::RuleKind::kDwell, -5, std::nullopt, "", "Cold room", ""}, "seconds"},
        {Rule{"x", events::RuleKind::kDwell, 60, std::nullopt, "", "", ""}, "zone"},
        {Rule{"x", events::RuleKind::kDwell, 60, std::nullopt, "", "Attic", ""}, "zone"},
        {Rule{"x", events::RuleKind::kForbidden, 0, std::nullopt, "carts", "Cold room", ""},
         "group"},
        {Rule{"x", events::RuleKind::kAbsent, 60, std::nullopt, "", "", ""}, "tag"},
        {Rule{"x", events::RuleKind::kReaderOffline, 60, std::nullopt, "", "", ""}, "reader"},
        {Rule{"x", events::RuleKind::kReaderSilent, 60, 7u, "", "", "R1"}, "tag"},
        {Rule{"", events::RuleKind::kUnregistered, 0, std::nullopt, "", "", ""}, "name"},
        {Rule{"x", events::RuleKind::kTooManyAlerts, 0, std::nullopt, "", "", ""}, "kind"},
    };
    for (const auto& [rule, field] : refused) {
        const Fault fault = Refused(tool->SetRule(rule));
        EXPECT_EQ(fault.code, FaultCode::kBadInput) << field;
        EXPECT_EQ(fault.field, field) << fault.text;
    }
    ASSERT_EQ(tool->SetRule(dwell), std::nullopt);
    Rule offline{"down", events::RuleKind::kReaderOffline, 30, std::nullopt, "", "", "*"};
    ASSERT_EQ(tool->SetRule(offline), std::nullopt);
    EXPECT_TRUE(reg->Refresh());
    ASSERT_EQ(reg->Current()->Rules().size(), 2u);
    EXPECT_EQ(reg->Current()->Rules()[0], dwell);
    EXPECT_EQ(reg->Current()->Rules()[1], offline);

    const Fault inUse = Refused(reg->RemoveZone("Cold room"));
    EXPECT_EQ(inUse.code, FaultCode::kConflict);
    EXPECT_NE(inUse.text.find("\"cold\""), std::string::npos) << inUse.text;
    dwell.seconds = 900;
    ASSERT_EQ(reg->SetRule(dwell), std::nullopt);  // replaces
    ASSERT_EQ(reg->RemoveRule("down"), std::nullopt);
    EXPECT_EQ(Refused(reg->RemoveRule("down")).code, FaultCode::kNotFound);
    EXPECT_EQ(reg->Rules(), std::vector<Rule>{dwell});
    ASSERT_EQ(reg->Current()->Rules().size(), 1u);
    EXPECT_EQ(reg->Current()->Rules()[0].seconds, 900);
}

TEST_F(SiteRegisterTest, ChangesAndRefreshesFromManyThreadsKeepOneOrder) {
    std::unique_ptr<Register> tool = OpenAt(dir / "site.db");
    std::atomic<bool> done = false;
    std::atomic<int> backwards = 0;
    // The service's side: Refresh twice a second (here without pause) and readers of Current().
    std::thread service([&] {
        std::uint64_t seen = 0;
        while (!done) {
            reg->Refresh();
            const std::uint64_t now = reg->Current()->Version();
            backwards += now < seen ? 1 : 0;
            seen = now;
        }
    });
    std::thread editor([&] {
        for (std::uint32_t tag = 0; tag < 200; ++tag) {
            EXPECT_EQ(reg->SetAsset({tag, "Edited", "", ""}), std::nullopt);
        }
    });
    for (std::uint32_t tag = 1000; tag < 1100; ++tag) {
        EXPECT_EQ(tool->SetAsset({tag, "From the tool", "", ""}), std::nullopt);
    }
    editor.join();
    done = true;
    service.join();
    reg->Refresh();
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(reg->Current()->AssetCount(), 300u);
    EXPECT_EQ(reg->Current()->TagsLabelled("From the tool").size(), 100u);
}

TEST(SiteRegisterOpenTest, OnlyASiteRegisterOfThisVersionOpens) {
    TempFolder dir;
    Fault fault;
    test::WriteFile(dir / "text.db", "tag,label,group,note\n1,a,,\n" + std::string(4096, 'x'));
    EXPECT_FALSE(Register::Open(dir / "text.db", fault));
    EXPECT_EQ(fault.code, FaultCode::kCorrupt);
    EXPECT_NE(fault.text.find("not a Trelvane site register"), std::string::npos) << fault.text;

    Sql(dir / "other.db",
        "CREATE TABLE meta(key, value); INSERT INTO meta VALUES ('format', "
        "'trelvane-history'), ('version', 1); CREATE TABLE reads(seq)");
    EXPECT_FALSE(Register::Open(dir / "other.db", fault));
    EXPECT_EQ(fault.code, FaultCode::kCorrupt);
    EXPECT_EQ(fault.text, (dir / "other.db").string() + ": not a Trelvane site register");
    Sql(dir / "plain.db", "CREATE TABLE t(x)");
    EXPECT_FALSE(Register::Open(dir / "plain.db", fault));
    EXPECT_EQ(fault.code, FaultCode::kCorrupt);

    ASSERT_EQ(OpenAt(dir / "site.db")->SetAsset({1, "Kept", "", ""}), std::nullopt);
    EXPECT_EQ(OpenAt(dir / "site.db")->Current()->AssetOf(1)->label, "Kept");
    Sql(dir / "site.db", "UPDATE meta SET value = 2 WHERE key = 'version'");
    EXPECT_FALSE(Register::Open(dir / "site.db", fault));
    EXPECT_EQ(fault.code, FaultCode::kCorrupt);
    EXPECT_NE(fault.text.find("newer release (site register version 2"), std::string::npos)
        << fault.text;

    EXPECT_FALSE(Register::Open(dir / "no" / "such" / "site.db", fault));
    EXPECT_EQ(fault.code, FaultCode::kUnwritable);
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

}  // namespace
}  // namespace trelvane::site
