// The site register through the API, over loopback against the engine with a real register
// file and history: zones with their reader conflicts, assets and the atomic CSV import, where
// a tag is now and at a time, and the labels every output adds to a registered tag's events.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QJsonArray>
#include <cctype>
#include <fstream>
#include <map>

#include "api/ApiFixture.h"
#include "api/Request.h"

namespace trelvane::test {
namespace {

// Everything but the unreserved characters, percent-encoded (names with spaces, '/', UTF-8).
std::string Encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

// Sends only a request's head and reads what comes back: the server's answer before any body.
std::string HeadOnly(std::uint16_t port, const std::string& head) {
    try {
        net::io_context ioc;
        beast::tcp_stream stream(ioc);
        stream.expires_after(std::chrono::seconds(10));
        stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        net::write(stream.socket(), net::buffer(head));
        std::string out;
        beast::error_code ec;
        char buffer[4096];
        while (out.find("\r\n\r\n") == std::string::npos || out.back() != '}') {
            const std::size_t n = stream.socket().read_some(net::buffer(buffer), ec);
            if (ec) {
                break;
            }
            out.append(buffer, n);
        }
        return out;
    } catch (const std::exception& e) {
        return e.what();
    }
}

class ApiSiteTest : public ApiFixture {
  protected:
    // The service with the register's zone timing set: [Site] ExitAfter.
    void StartWithSite(int exitAfterSeconds, ApiServer::Options options = {}) {
        api = std::make_unique<ApiServer>(Engine(), options);
        WriteConfig();
        std::ofstream(dir.Path() / "SysConf.ini", std::ios::binary | std::ios::app)
            << "[Site]\r\nExitAfter=" << exitAfterSeconds << "\r\n";
        ASSERT_EQ(Engine().StartService(dir.Path()), ServiceEngine::StartResult::kStarted);
        ApiConfig config;
        config.enabled = true;
        config.port = 0;
        config.token = kToken;
        ASSERT_EQ(api->Start(config), ApiServer::StartResult::kStarted) << api->Problem();
    }

    Reply Put(const std::string& target, std::string body) { return Send("PUT", target, body); }

    // Every asset, page by page, as "tag|label|group|note" lines.
    std::vector<std::string> AllAssets() {
        std::vector<std::string> out;
        for (std::uint64_t offset = 0;; offset += 2) {
            const Reply r = Get("/api/v1/assets?limit=2&offset=" + std::to_string(offset));
            EXPECT_EQ(r.status, 200) << r.body;
            const std::vector<J> page = Json(r)["assets"].toArray();
            for (const J& a : page) {
                out.push_back(Str(a["tag"]) + "|" + Str(a["label"]) + "|" + Str(a["group"]) + "|" +
                              Str(a["note"]));
            }
            if (page.size() < 2) {
                return out;
            }
        }
    }

    // The zone events of the history, once `count` are stored.
    std::vector<J> ZoneEvents(std::size_t count) {
        std::vector<J> rows;
        EXPECT_TRUE(WaitUntil(
            [&] {
                rows = Json(Get("/api/v1/zones/events?tag=" + std::to_string(kTag)))["zones"]
                           .toArray();
                return rows.size() >= count;
            },
            10000));
        return rows;
    }

    static constexpr std::uint32_t kTag = 6000123;
};

TEST_F(ApiSiteTest, ZonesAreSetListedAndRemovedAndAReaderBelongsToOneZone) {
    StartWithSite(30);
    const std::string dockA = "/api/v1/zones/" + Encode("Dock A");
    // A name with '/' and UTF-8 is one zone: everything after "zones/" names it.
    const std::string gate = "门/口";

    EXPECT_EQ(Send("PUT", dockA, R"({"readers":["R01","R02"]})", "").status, 401);
    EXPECT_EQ(Send("PUT", dockA, R"({"readers":["R01","R02"]})", "wrong").status, 401);
    const Reply set = Put(dockA, R"({"readers":["R01","R02"]})");
    ASSERT_EQ(set.status, 200) << set.body;
    EXPECT_EQ(Str(Json(set)["name"]), "Dock A");
    ASSERT_EQ(Put("/api/v1/zones/" + Encode(gate), R"({"readers":["R03"]})").status, 200);

    // A reader another zone holds: 409 naming that zone; nothing changes.
    const Reply taken = Put("/api/v1/zones/" + Encode("Dock B"), R"({"readers":["R09","R02"]})");
    EXPECT_EQ(taken.status, 409) << taken.body;
    EXPECT_NE(Str(Json(taken)["error"]).find("\"Dock A\""), std::string::npos) << taken.body;
    EXPECT_EQ(Str(Json(taken)["field"]), "readers");

    // Bad bodies: 400 naming the field, nothing stored.
    const std::pair<const char*, const char*> bad[] = {
        {"not json", "readers"},
        {R"(["R05"])", "readers"},
        {R"({"readers":"R05"})", "readers"},
        {R"({"readers":["R05",7]})", "readers"},
        {R"({"readers":[]})", "readers"},
        {R"({"readers":["R05","R05"]})", "readers"},
        {R"({"readers":[""]})", "readers"},
        {R"({"readers":["R05"],"colour":"red"})", "colour"},
    };
    for (const auto& [body, field] : bad) {
        const Reply r = Put("/api/v1/zones/" + Encode("Dock C"), body);
        EXPECT_EQ(r.status, 400) << body << " -> " << r.body;
        EXPECT_EQ(Str(Json(r)["field"]), field) << body << " -> " << r.body;
    }

    // Replacing a zone's readers frees the ones it no longer lists.
    ASSERT_EQ(Put(dockA, R"({"readers":["R01"]})").status, 200);
    ASSERT_EQ(Put("/api/v1/zones/" + Encode("Dock B"), R"({"readers":["R02"]})").status, 200);

    const Reply listed = Get("/api/v1/zones");
    ASSERT_EQ(listed.status, 200);
    const std::vector<J> zones = Json(listed)["zones"].toArray();
    ASSERT_EQ(zones.size(), 3u) << listed.body;
    std::map<std::string, std::string> readersOf;
    for (const J& z : zones) {
        std::string names;
        for (const J& r : z["readers"].toArray()) {
            names += Str(r) + ";";
        }
        readersOf[Str(z["name"])] = names;
        EXPECT_EQ(z["tags_now"].toInt(), 0);
    }
    EXPECT_EQ(readersOf, (std::map<std::string, std::string>{
                             {"Dock A", "R01;"}, {"Dock B", "R02;"}, {gate, "R03;"}}));

    EXPECT_EQ(Get("/api/v1/zones/" + Encode("Dock C") + "/tags").status, 404);
    EXPECT_EQ(Send("DELETE", "/api/v1/zones/" + Encode(gate), {}, "").status, 401);
    EXPECT_EQ(Send("DELETE", "/api/v1/zones/" + Encode(gate)).status, 200);
    EXPECT_EQ(Send("DELETE", "/api/v1/zones/" + Encode(gate)).status, 404);
    EXPECT_EQ(Json(Get("/api/v1/zones"))["zones"].toArray().size(), 2u);
    EXPECT_EQ(Get(dockA).status, 405);
}

TEST_F(ApiSiteTest, AssetsAndTheirImportAreAllOrNothing) {
    StartWithSite(30);
    ASSERT_EQ(Put("/api/v1/assets/17", R"({"label":"Forklift 12","group":"forklifts"})").status,
              200);
    const std::pair<std::string, const char*> bad[] = {
        {"/api/v1/assets/4294967296", "tag"},
        {"/api/v1/assets/12x", "tag"},
    };
    for (const auto& [target, field] : bad) {
        const Reply r = Put(target, R"({"label":"x"})");
        EXPECT_EQ(r.status, 400) << target;
        EXPECT_EQ(Str(Json(r)["field"]), field) << target << " " << r.body;
    }
    const std::pair<std::string, const char*> badBodies[] = {
        {R"({"group":"g"})", "label"},
        {R"({"label":""})", "label"},
        {R"({"label":")" + std::string(201, 'x') + R"("})", "label"},
        {R"({"label":"a","group":5})", "group"},
        {R"({"label":"a","note":")" + std::string(2001, 'n') + R"("})", "note"},
        {R"({"label":"a","colour":"red"})", "colour"},
    };
    for (const auto& [body, field] : badBodies) {
        const Reply r = Put("/api/v1/assets/18", body);
        EXPECT_EQ(r.status, 400) << body.substr(0, 60);
        EXPECT_EQ(Str(Json(r)["field"]), field) << body.substr(0, 60) << " " << r.body;
    }

    const std::string csv =
        "tag,label,group,note\r\n"
        "6000123,Forklift 12,forklifts,\r\n"
        "6000124,\"Pallet 7, blue\",pallets,\"left at \"\"Dock B\"\"\"\r\n";
    EXPECT_EQ(Send("POST", "/api/v1/assets/import", csv, "").status, 401);
    const Reply imported = Send("POST", "/api/v1/assets/import", csv);
    ASSERT_EQ(imported.status, 200) << imported.body;
    EXPECT_EQ(Json(imported)["added"].toInt(), 2);
    EXPECT_EQ(Json(imported)["updated"].toInt(), 0);
    const std::vector<std::string> before = AllAssets();
    EXPECT_EQ(before, (std::vector<std::string>{
                          "17|Forklift 12|forklifts|", "6000123|Forklift 12|forklifts|",
                          "6000124|Pallet 7, blue|pallets|left at \"Dock B\""}));
    const J forklifts = Json(Get("/api/v1/assets?group=forklifts"));
    EXPECT_EQ(forklifts["total"].toInt(), 2);

    // A bad line late in a replacing import: 400 naming the line, the register as it was.
    std::string broken = "tag,label,group,note\n";
    for (int i = 0; i < 5000; ++i) {
        broken += std::to_string(7000000 + i) + ",Crate " + std::to_string(i) + ",crates,\n";
    }
    broken += "70x,Bad,crates,\n";
    const Reply refused = Send("POST", "/api/v1/assets/import?replace=1", broken);
    EXPECT_EQ(refused.status, 400) << refused.body;
    EXPECT_EQ(Json(refused)["line"].toInt(), 5002) << refused.body;
    EXPECT_EQ(Str(Json(refused)["field"]), "tag") << refused.body;
    EXPECT_EQ(AllAssets(), before);

    EXPECT_EQ(Send("POST", "/api/v1/assets/import?replace=yes", csv).status, 400);
    const Reply replaced = Send("POST", "/api/v1/assets/import?replace=1", csv);
    ASSERT_EQ(replaced.status, 200) << replaced.body;
    EXPECT_EQ(Json(replaced)["updated"].toInt(), 2);
    EXPECT_EQ(Json(replaced)["removed"].toInt(), 1);
    EXPECT_EQ(Send("DELETE", "/api/v1/assets/6000124").status, 200);
    EXPECT_EQ(Send("DELETE", "/api/v1/assets/6000124").status, 404);
    EXPECT_EQ(AllAssets(), (std::vector<std::string>{"6000123|Forklift 12|forklifts|"}));

    // Over the upload limit, or without the token: refused from the head, no body taken in.
    const std::string head = "POST /api/v1/assets/import HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const std::string bearer = std::string("Authorization: Bearer ") + kToken + "\r\n";
    const std::string large = HeadOnly(
        Port(),
        head + bearer + "Content-Length: " + std::to_string(api::kMaxUploadBytes + 1) + "\r\n\r\n");
    EXPECT_EQ(large.rfind("HTTP/1.1 413", 0), 0u) << large;
    const std::string anonymous = HeadOnly(Port(), head + "Content-Length: 50000000\r\n\r\n");
    EXPECT_EQ(anonymous.rfind("HTTP/1.1 401", 0), 0u) << anonymous;

    // An import waiting for the register (another program holds it) holds no other
    // connection: the zones are answered meanwhile, and the import completes once it is free.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir.Path() / "site.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::string big = "tag,label,group,note\n";
    for (int i = 0; i < 100000; ++i) {
        big += std::to_string(8000000 + i) + ",Box " + std::to_string(i) + ",boxes,n\n";
    }
    ASSERT_GT(big.size(), api::kMaxBodyBytes);
    const std::uint16_t port = Port();
    auto import = std::async(std::launch::async, [port, &big] {
        RequestParts parts{"POST", "/api/v1/assets/import?replace=1", "127.0.0.1", big, {}};
        parts.headers.emplace_back("Authorization", std::string("Bearer ") + kToken);
        return Fetch(port, parts);
    });
    // Time for the body to arrive and the import to wait (a slow start only weakens the check).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Reply meanwhile = Request({"GET", "/api/v1/zones", "127.0.0.1", {}, {}}, 3000);
    EXPECT_EQ(meanwhile.status, 200) << meanwhile.error;
    EXPECT_NE(import.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_TRUE(WaitUntil(
        [&] { return import.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
        15000));
    const Reply done = import.get();
    ASSERT_EQ(done.status, 200) << done.body << done.error;
    EXPECT_EQ(Json(done)["added"].toInt(), 100000);
    EXPECT_EQ(Json(Get("/api/v1/assets?limit=1"))["total"].toInt(), 100000);
    const std::string metrics = Get("/metrics").body;
    EXPECT_NE(metrics.find("\ntrelvane_assets 100000\n"), std::string::npos);
}

TEST_F(ApiSiteTest, WhereATagIsNowAndThenWithItsLabelInEveryOutput) {
    StartWithSite(5);
    ASSERT_EQ(Put("/api/v1/zones/" + Encode("Dock A"), R"({"readers":["R01"]})").status, 200);
    ASSERT_EQ(Put("/api/v1/assets/" + std::to_string(kTag),
                  R"({"label":"Forklift 12","group":"forklifts"})")
                  .status,
              200);
    ASSERT_EQ(Put("/api/v1/assets/999", R"({"label":"Pallet 7"})").status, 200);
    ASSERT_EQ(Put("/api/v1/assets/41", R"({"label":"Twin"})").status, 200);
    ASSERT_EQ(Put("/api/v1/assets/42", R"({"label":"Twin"})").status, 200);

    FeedReader feed(Port(), "/api/v1/stream?kinds=reads,zones&tag=" + std::to_string(kTag));
    ASSERT_TRUE(WaitUntil([&] { return feed.Open(); }, 10000));
    SimReaderOptions o;
    o.deviceName = "R01";
    o.firstTag = kTag;
    o.tagCount = 1;
    o.rate = 20;
    SimReader& reader = Connect(o);
    Handshake(reader);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 5; }, 10000));

    // Now: in Dock A since its enter, last read by R01.
    const std::vector<J> entered = ZoneEvents(1);
    ASSERT_FALSE(entered.empty());
    EXPECT_EQ(Str(entered[0]["event"]), "enter");
    EXPECT_EQ(Str(entered[0]["label"]), "Forklift 12");
    const qint64 enterMs = entered[0]["time_ms"].toInteger();
    const Reply here = Get("/api/v1/where/" + std::to_string(kTag));
    ASSERT_EQ(here.status, 200) << here.body;
    const J now = Json(here);
    EXPECT_EQ(Str(now["label"]), "Forklift 12");
    EXPECT_EQ(Str(now["group"]), "forklifts");
    EXPECT_EQ(Str(now["zone"]), "Dock A");
    EXPECT_EQ(now["since_ms"].toInteger(), enterMs);
    EXPECT_EQ(Str(now["last_reader"]), "R01");
    const Reply byLabel = Get("/api/v1/where/" + Encode("Forklift 12"));
    EXPECT_EQ(Json(byLabel)["tag"].str(), std::to_string(kTag)) << byLabel.body;

    // The zone's tags now, labelled; the gauge counts them.
    const J inDock = Json(Get("/api/v1/zones/" + Encode("Dock A") + "/tags"));
    ASSERT_EQ(inDock["tags"].toArray().size(), 1u);
    const J stay = inDock["tags"].toArray()[0];
    EXPECT_EQ(Str(stay["tag"]), std::to_string(kTag));
    EXPECT_EQ(Str(stay["label"]), "Forklift 12");
    EXPECT_EQ(stay["since_ms"].toInteger(), enterMs);
    EXPECT_EQ(Str(stay["reader"]), "R01");
    // The counts say up to which event they count: the enter, and nothing not numbered yet.
    const J listed = Json(Get("/api/v1/zones"));
    EXPECT_EQ(listed["zones"].toArray()[0]["tags_now"].toInt(), 1);
    EXPECT_GE(listed["through_seq"].toInteger(), entered[0]["seq"].toInteger());
    EXPECT_LT(listed["through_seq"].toInteger(), static_cast<qint64>(Engine().NextSequence()));
    EXPECT_NE(Get("/metrics").body.find("\ntrelvane_zone_tags{zone=\"Dock A\"} 1\n"),
              std::string::npos);

    // Labels in the history's reads and in the live feed.
    const J reads = Json(Get("/api/v1/reads?limit=1&tag=" + std::to_string(kTag)));
    ASSERT_EQ(reads["reads"].toArray().size(), 1u);
    EXPECT_EQ(Str(reads["reads"].toArray()[0]["label"]), "Forklift 12");
    EXPECT_EQ(Str(reads["reads"].toArray()[0]["group"]), "forklifts");
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::string& m : feed.Messages()) {
                const J message = ParseJson(m);
                if (Str(message["type"]) == "reads" && !message["reads"].toArray().empty()) {
                    return Str(message["reads"].toArray()[0]["label"]) == "Forklift 12";
                }
            }
            return false;
        },
        5000))
        << (feed.Messages().empty() ? std::string("no message") : feed.Messages()[0]);

    // The feed's replay from the history labels them too.
    FeedReader replay(Port(), "/api/v1/stream?kinds=reads&after_seq=0&tag=" + std::to_string(kTag));
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const std::string& m : replay.Messages()) {
                const J message = ParseJson(m);
                if (message["replay"].toBool() && !message["reads"].toArray().empty()) {
                    return Str(message["reads"].toArray()[0]["label"]) == "Forklift 12";
                }
            }
            return false;
        },
        5000))
        << (replay.Messages().empty() ? std::string("no message") : replay.Messages()[0]);

    // Registered but never read; never read nor registered; a label two tags share.
    const J pallet = Json(Get("/api/v1/where/999"));
    EXPECT_EQ(Str(pallet["label"]), "Pallet 7");
    EXPECT_TRUE(pallet["zone"].v.isNull());
    EXPECT_TRUE(pallet["since"].v.isNull());
    EXPECT_TRUE(pallet["last_reader"].v.isNull());
    EXPECT_TRUE(pallet["last_seen"].v.isNull());
    const Reply unknown = Get("/api/v1/where/12345");
    EXPECT_EQ(unknown.status, 404) << unknown.body;
    EXPECT_EQ(Get("/api/v1/where/" + Encode("No Such Thing")).status, 404);
    const Reply twins = Get("/api/v1/where/Twin");
    EXPECT_EQ(twins.status, 409) << twins.body;
    std::vector<std::string> twinTags;
    for (const J& t : Json(twins)["tags"].toArray()) {
        twinTags.push_back(Str(t));
    }
    EXPECT_EQ(twinTags, (std::vector<std::string>{"41", "42"}));

    // The reader stops: ExitAfter later the tag exits; the history still knows where it was.
    Quiesce();
    Advance(std::chrono::seconds(8));
    const std::vector<J> both = ZoneEvents(2);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(Str(both[1]["event"]), "exit");
    const qint64 exitMs = both[1]["time_ms"].toInteger();
    const J emptied = Json(Get("/api/v1/zones"));
    EXPECT_EQ(emptied["zones"].toArray()[0]["tags_now"].toInt(), 0);
    EXPECT_GE(emptied["through_seq"].toInteger(), both[1]["seq"].toInteger());
    EXPECT_TRUE(Json(Get("/api/v1/where/" + std::to_string(kTag)))["zone"].v.isNull());

    const J during =
        Json(Get("/api/v1/where/" + std::to_string(kTag) + "?at=" + std::to_string(enterMs + 1)));
    EXPECT_EQ(Str(during["zone"]), "Dock A");
    EXPECT_EQ(during["since_ms"].toInteger(), enterMs);
    EXPECT_TRUE(during["last_seen"].v.isNull());
    const J after =
        Json(Get("/api/v1/where/" + std::to_string(kTag) + "?at=" + std::to_string(exitMs)));
    EXPECT_TRUE(after["zone"].v.isNull());
    EXPECT_EQ(after["last_seen_ms"].toInteger(), both[1]["last_seen_ms"].toInteger());
    EXPECT_TRUE(Json(Get("/api/v1/where/" + std::to_string(kTag) +
                         "?at=" + std::to_string(enterMs - 1)))["zone"]
                    .v.isNull());
    EXPECT_EQ(Get("/api/v1/where/" + std::to_string(kTag) + "?at=soon").status, 400);

    // A zone removed since is still asked about a time it held the tag.
    ASSERT_EQ(Send("DELETE", "/api/v1/zones/" + Encode("Dock A")).status, 200);
    EXPECT_EQ(Get("/api/v1/zones/" + Encode("Dock A") + "/tags").status, 404);
    const Reply then =
        Get("/api/v1/zones/" + Encode("Dock A") + "/tags?at=" + std::to_string(enterMs + 1));
    ASSERT_EQ(then.status, 200) << then.body;
    const std::vector<J> thenTags = Json(then)["tags"].toArray();
    ASSERT_EQ(thenTags.size(), 1u);
    EXPECT_EQ(Str(thenTags[0]["label"]), "Forklift 12");
    EXPECT_EQ(thenTags[0]["since_ms"].toInteger(), enterMs);
    EXPECT_FALSE(
        Json(then)["tags"].toArray()[0].v.toObject().contains(QStringLiteral("last_seen")));
    EXPECT_EQ(
        Get("/api/v1/zones/" + Encode("Dock A") + "/tags?at=" + std::to_string(exitMs)).status,
        404);
}

// A rule made through the API raises an alert from live reads, the alert is listed, kept in the
// history with the same number, acknowledged with the token, and cleared when its rule goes.
TEST_F(ApiSiteTest, ARuleRaisesAnAlertThatIsListedAcknowledgedAndCleared) {
    StartWithSite(30);
    ASSERT_EQ(Put("/api/v1/zones/" + Encode("Dock A"), R"({"readers":["R01"]})").status, 200);
    ASSERT_EQ(Put("/api/v1/assets/" + std::to_string(kTag),
                  R"({"label":"Forklift 12","group":"forklifts"})")
                  .status,
              200);
    const std::string rule = "/api/v1/rules/" + Encode("no forklifts");
    const struct {
        const char* body;
        const char* field;
    } refused[] = {
        {R"({"kind":"loiter","zone":"Dock A"})", "kind"},
        {R"({"kind":"dwell","seconds":-1,"zone":"Dock A"})", "seconds"},
        {R"({"kind":"dwell","zone":"Dock A"})", "seconds"},
        {R"({"kind":"forbidden","zone":"Attic","group":"forklifts"})", "zone"},
        {R"({"kind":"forbidden","zone":"Dock A","group":"carts"})", "group"},
        {R"({"kind":"forbidden","zone":"Dock A","group":"forklifts","colour":"red"})", "colour"},
        {R"([1,2])", "kind"},
    };
    for (const auto& [body, field] : refused) {
        const Reply r = Put(rule, body);
        EXPECT_EQ(r.status, 400) << body;
        EXPECT_EQ(Str(Json(r)["field"]), field) << r.body;
    }
    EXPECT_EQ(
        Send("PUT", rule, R"({"kind":"forbidden","zone":"Dock A","group":"forklifts"})", "").status,
        401);
    ASSERT_EQ(Put(rule, R"({"kind":"forbidden","zone":"Dock A","group":"forklifts"})").status, 200);
    const std::vector<J> rules = Json(Get("/api/v1/rules"))["rules"].toArray();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(Str(rules[0]["kind"]), "forbidden");

    SimReaderOptions o;
    o.deviceName = "R01";
    o.firstTag = kTag;
    o.tagCount = 1;
    o.rate = 20;
    SimReader& reader = Connect(o);
    Handshake(reader);
    std::vector<J> open;
    ASSERT_TRUE(WaitUntil(
        [&] {
            open = Json(Get("/api/v1/alerts"))["alerts"].toArray();
            return !open.empty();
        },
        10000));
    ASSERT_EQ(open.size(), 1u);
    const J& alert = open[0];
    EXPECT_EQ(Str(alert["rule"]), "no forklifts");
    EXPECT_EQ(Str(alert["kind"]), "forbidden");
    EXPECT_EQ(Str(alert["tag"]), std::to_string(kTag));
    EXPECT_EQ(Str(alert["label"]), "Forklift 12");
    EXPECT_EQ(Str(alert["zone"]), "Dock A");
    EXPECT_EQ(Str(alert["state"]), "open");
    const std::string seq = std::to_string(alert["seq"].toInteger());
    // Raised once however many reads follow; the history holds the same event.
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 20; }, 10000));
    EXPECT_EQ(Json(Get("/api/v1/alerts"))["alerts"].toArray().size(), 1u);
    std::vector<J> kept;
    ASSERT_TRUE(WaitUntil(
        [&] {
            kept = Json(Get("/api/v1/alerts/events"))["alerts"].toArray();
            return !kept.empty();
        },
        10000));
    EXPECT_EQ(std::to_string(kept[0]["seq"].toInteger()), seq);
    EXPECT_EQ(Str(kept[0]["event"]), "raised");

    EXPECT_EQ(Send("POST", "/api/v1/alerts/" + seq + "/ack", R"({"note":"moving it"})", "").status,
              401);
    EXPECT_EQ(Send("POST", "/api/v1/alerts/999999/ack", "").status, 404);
    EXPECT_EQ(Send("POST", "/api/v1/alerts/" + seq + "/ack", R"({"note":"moving it"})").status,
              202);
    ASSERT_TRUE(WaitUntil(
        [&] {
            open = Json(Get("/api/v1/alerts"))["alerts"].toArray();
            return open.size() == 1 && Str(open[0]["state"]) == "acknowledged";
        },
        10000));
    EXPECT_EQ(Str(open[0]["acknowledged_note"]), "moving it");

    // The rule goes: its alert clears, numbered after it, naming it.
    ASSERT_EQ(Send("DELETE", rule).status, 200);
    ASSERT_TRUE(
        WaitUntil([&] { return Json(Get("/api/v1/alerts"))["alerts"].toArray().empty(); }, 10000));
    ASSERT_TRUE(WaitUntil(
        [&] {
            kept = Json(Get("/api/v1/alerts/events"))["alerts"].toArray();
            return kept.size() >= 3;
        },
        10000));
    EXPECT_EQ(Str(kept[1]["event"]), "acknowledged");
    EXPECT_EQ(Str(kept[2]["event"]), "cleared");
    EXPECT_EQ(std::to_string(kept[2]["raised"].toInteger()), seq);
}

}  // namespace
}  // namespace trelvane::test
