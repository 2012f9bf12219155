// The request path without a server: targets, routes, access rules, the command body, JSON and
// metrics text, the [Api] section.
#include <gtest/gtest.h>

#include <algorithm>

#include "api/Json.h"
#include "api/Metrics.h"
#include "api/Request.h"
#include "settings/ApiConfig.h"
#include "settings/IniFile.h"
#include "support/TempFolder.h"

namespace trelvane::api {
namespace {

TEST(ApiTargetTest, SplitsAndDecodesOrRefuses) {
    const auto t = ParseTarget("/api/v1/readers/127.0.0.1%3A5000?reader=Gate+A&tag=7&&x");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/api/v1/readers/127.0.0.1:5000");
    EXPECT_EQ(t->Value("reader"), "Gate A");
    EXPECT_EQ(t->Value("tag"), "7");
    EXPECT_EQ(t->Value("x"), "");
    EXPECT_FALSE(t->Value("missing"));
    // Not origin-form, truncated escapes, bad hex, and a NUL byte are refused.
    for (const char* bad : {"", "api", "http://x/", "/a%", "/a%4", "/a%zz", "/a%00", "/?k=%g1"}) {
        EXPECT_FALSE(ParseTarget(bad)) << bad;
    }
}

TEST(ApiTargetTest, NumbersAreDigitsWithoutOverflow) {
    EXPECT_EQ(ParseUnsigned("0"), 0u);
    EXPECT_EQ(ParseUnsigned("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "-1", "+1", "1.5", "1e3", " 1", "0x10", "18446744073709551616"}) {
        EXPECT_FALSE(ParseUnsigned(bad)) << bad;
    }
    EXPECT_EQ(ParseSigned("-9223372036854775807"), -INT64_MAX);
    EXPECT_FALSE(ParseSigned("9223372036854775808"));
    EXPECT_FALSE(ParseSigned("-"));
}

TEST(ApiRouteTest, EveryEndpointByMethod) {
    struct Case {
        const char* method;
        const char* path;
        Endpoint endpoint;
        const char* key;
    };
    const Case cases[] = {
        {"GET", "/", Endpoint::kPage, ""},
        {"GET", "/app.js", Endpoint::kAsset, ""},
        {"GET", "/healthz", Endpoint::kHealthz, ""},
        {"GET", "/metrics", Endpoint::kMetrics, ""},
        {"GET", "/api/v1/status", Endpoint::kStatus, ""},
        {"GET", "/api/v1/readers", Endpoint::kReaders, ""},
        {"GET", "/api/v1/readers/1.2.3.4:5", Endpoint::kReader, "1.2.3.4:5"},
        {"DELETE", "/api/v1/readers/1.2.3.4:5", Endpoint::kDisconnect, "1.2.3.4:5"},
        {"POST", "/api/v1/readers/k/start-read", Endpoint::kStartRead, "k"},
        {"POST", "/api/v1/readers/k/stop-read", Endpoint::kStopRead, "k"},
        {"POST", "/api/v1/readers/k/query-info", Endpoint::kQueryInfo, "k"},
        {"POST", "/api/v1/readers/k/atten", Endpoint::kAtten, "k"},
        {"POST", "/api/v1/readers/k/carrier", Endpoint::kCarrier, "k"},
        {"GET", "/api/v1/tags", Endpoint::kTags, ""},
        {"DELETE", "/api/v1/tags", Endpoint::kClearTags, ""},
        {"GET", "/api/v1/tags/export", Endpoint::kTagsExport, ""},
        {"GET", "/api/v1/reads", Endpoint::kReads, ""},
        {"GET", "/api/v1/presence", Endpoint::kPresence, ""},
        {"GET", "/api/v1/stream", Endpoint::kStream, ""},
        {"GET", "/api/v1/zones", Endpoint::kZones, ""},
        {"GET", "/api/v1/zones/events", Endpoint::kZoneEvents, ""},
        // A zone's name is everything after "zones/": '/' and a zone named "events" included.
        {"GET", "/api/v1/zones/Dock B/tags", Endpoint::kZoneTags, "Dock B"},
        {"GET", "/api/v1/zones/a/b/tags", Endpoint::kZoneTags, "a/b"},
        {"GET", "/api/v1/zones/events/tags", Endpoint::kZoneTags, "events"},
        {"PUT", "/api/v1/zones/a/b", Endpoint::kSetZone, "a/b"},
        {"PUT", "/api/v1/zones/events", Endpoint::kSetZone, "events"},
        {"PUT", "/api/v1/zones/x/tags", Endpoint::kSetZone, "x/tags"},
        {"DELETE", "/api/v1/zones/Dock B", Endpoint::kRemoveZone, "Dock B"},
        {"GET", "/api/v1/assets", Endpoint::kAssets, ""},
        {"PUT", "/api/v1/assets/17", Endpoint::kSetAsset, "17"},
        {"DELETE", "/api/v1/assets/17", Endpoint::kRemoveAsset, "17"},
        {"POST", "/api/v1/assets/import", Endpoint::kImportAssets, ""},
        {"GET", "/api/v1/where/6000123", Endpoint::kWhere, "6000123"},
        {"GET", "/api/v1/where/Pallet 7/blue", Endpoint::kWhere, "Pallet 7/blue"},
        {"GET", "/api/v1/alerts/events", Endpoint::kAlertEvents, ""},
        {"GET", "/api/v1/alerts", Endpoint::kAlerts, ""},
        {"POST", "/api/v1/alerts/41/ack", Endpoint::kAckAlert, "41"},
        {"GET", "/api/v1/rules", Endpoint::kRules, ""},
        {"PUT", "/api/v1/rules/cold room", Endpoint::kSetRule, "cold room"},
        {"DELETE", "/api/v1/rules/a/b", Endpoint::kRemoveRule, "a/b"},
        // Wrong methods, unknown paths and actions.
        {"POST", "/api/v1/status", Endpoint::kMethodNotAllowed, ""},
        {"GET", "/api/v1/readers/k/start-read", Endpoint::kMethodNotAllowed, "k"},
        {"GET", "/api/v1/zones/Dock B", Endpoint::kMethodNotAllowed, "Dock B"},
        {"PUT", "/api/v1/zones", Endpoint::kMethodNotAllowed, ""},
        {"GET", "/api/v1/assets/import", Endpoint::kMethodNotAllowed, ""},
        {"POST", "/api/v1/where/x", Endpoint::kMethodNotAllowed, "x"},
        {"DELETE", "/api/v1/alerts/events", Endpoint::kMethodNotAllowed, ""},
        {"GET", "/api/v1/alerts/41/ack", Endpoint::kMethodNotAllowed, "41"},
        {"GET", "/api/v1/rules/x", Endpoint::kMethodNotAllowed, "x"},
        {"POST", "/api/v1/alerts/ack", Endpoint::kNotFound, ""},
        {"GET", "/api/v1/alerts/events/x", Endpoint::kNotFound, ""},
        {"GET", "/api/v1/zones/", Endpoint::kNotFound, ""},
        {"GET", "/api/v1/where/", Endpoint::kNotFound, ""},
        {"HEAD", "/", Endpoint::kMethodNotAllowed, ""},
        {"GET", "/api/v1/readers/", Endpoint::kNotFound, ""},
        {"POST", "/api/v1/readers/k/reboot", Endpoint::kNotFound, ""},
        {"GET", "/api/v2/status", Endpoint::kNotFound, ""},
        {"GET", "/etc/passwd", Endpoint::kNotFound, ""},
    };
    for (const Case& c : cases) {
        const Route r = RouteRequest(c.method, c.path);
        EXPECT_EQ(r.endpoint, c.endpoint) << c.method << ' ' << c.path;
        EXPECT_EQ(r.key, c.key) << c.method << ' ' << c.path;
    }
}

TEST(ApiAccessTest, LoopbackOpensReadsOnlyAndTokensMustMatchExactly) {
    const std::string token = "s3cret-token";
    const std::string good = "Bearer " + token;
    for (const Endpoint read :
         {Endpoint::kStatus, Endpoint::kTags, Endpoint::kMetrics, Endpoint::kPage,
          Endpoint::kStream, Endpoint::kZones, Endpoint::kZoneTags, Endpoint::kZoneEvents,
          Endpoint::kAssets, Endpoint::kWhere, Endpoint::kAlertEvents}) {
        EXPECT_FALSE(IsReaderCommand(read));
        EXPECT_EQ(CheckAccess(read, true, "", token), Access::kAllowed);
        EXPECT_EQ(CheckAccess(read, false, "", token), Access::kUnauthorized);
        EXPECT_EQ(CheckAccess(read, false, good, token), Access::kAllowed);
    }
    EXPECT_EQ(CheckAccess(Endpoint::kHealthz, false, "", token), Access::kAllowed);
    // Clear All Record, every reader command (the endpoints the router hands to Command) and
    // every change of the site register.
    const Endpoint siteChanges[] = {Endpoint::kSetZone, Endpoint::kRemoveZone, Endpoint::kSetAsset,
                                    Endpoint::kRemoveAsset, Endpoint::kImportAssets};
    for (const Endpoint change :
         {Endpoint::kClearTags, Endpoint::kStartRead, Endpoint::kStopRead, Endpoint::kQueryInfo,
          Endpoint::kAtten, Endpoint::kCarrier, Endpoint::kDisconnect, siteChanges[0],
          siteChanges[1], siteChanges[2], siteChanges[3], siteChanges[4]}) {
        const bool site = std::find(std::begin(siteChanges), std::end(siteChanges), change) !=
                          std::end(siteChanges);
        EXPECT_EQ(IsReaderCommand(change), change != Endpoint::kClearTags && !site);
        EXPECT_EQ(ChangesSite(change), site);
        EXPECT_EQ(CheckAccess(change, true, "", token), Access::kUnauthorized);
        EXPECT_EQ(CheckAccess(change, true, good, token), Access::kAllowed);
        // No token configured: nothing that changes is allowed, whatever is sent.
        EXPECT_EQ(CheckAccess(change, true, "Bearer ", ""), Access::kUnauthorized);
    }
    for (const std::string& bad :
         {std::string("bearer ") + token, std::string("Bearer  ") + token, good + "x",
          good.substr(0, good.size() - 1), std::string("Basic ") + token, token}) {
        EXPECT_FALSE(BearerMatches(bad, token)) << bad;
    }
    EXPECT_TRUE(BearerMatches(good, token));
}

TEST(ApiAccessTest, HostAndOriginNameThisServerOnly) {
    EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackAddress("127.8.9.1"));
    EXPECT_TRUE(IsLoopbackAddress("::1"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackAddress("127.example.com"));

    for (const char* ok :
         {"127.0.0.1:7089", "localhost:7089", "LOCALHOST", "[::1]:7089", "127.0.0.1"}) {
        EXPECT_TRUE(HostAllowed(ok, "127.0.0.1")) << ok;
    }
    EXPECT_TRUE(HostAllowed("192.168.4.2:7089", "192.168.4.2"));
    // A rebinding name, another address, an empty Host.
    for (const char* bad :
         {"evil.example:7089", "192.168.4.3:7089", "", ":7089", "127.0.0.1.evil.example"}) {
        EXPECT_FALSE(HostAllowed(bad, "192.168.4.2")) << bad;
    }
    // Listening on every address: any IP literal, still no names.
    EXPECT_TRUE(HostAllowed("10.1.2.3:7089", "0.0.0.0"));
    EXPECT_FALSE(HostAllowed("printer.local:7089", "0.0.0.0"));

    EXPECT_TRUE(OriginAllowed("http://127.0.0.1:7089", "127.0.0.1"));
    EXPECT_TRUE(OriginAllowed("http://localhost:7089", "127.0.0.1"));
    for (const char* bad : {"null", "http://evil.example", "file://", "127.0.0.1",
                            "http://127.0.0.1:7089/path", "ws://127.0.0.1"}) {
        EXPECT_FALSE(OriginAllowed(bad, "127.0.0.1")) << bad;
    }
}

TEST(ApiBodyTest, IndexBodyIsStrict) {
    EXPECT_EQ(ParseIndexBody("{\"index\":3}"), 3);
    EXPECT_EQ(ParseIndexBody(" {\r\n \"index\" :\t15 } \n"), 15);
    EXPECT_EQ(ParseIndexBody("{\"index\":-1}"), -1);
    EXPECT_EQ(ParseIndexBody("{\"index\":0}"), 0);
    for (const char* bad :
         {"", "3", "{}", "{\"index\":}", "{\"index\":\"3\"}", "{index:3}", "{\"index\":3,\"x\":1}",
          "{\"index\":3}x", "{\"index\":1.0}", "{\"index\":1e1}", "{\"index\":03}",
          "{\"index\":99999999999}", "{\"Index\":3}", "[3]"}) {
        EXPECT_FALSE(ParseIndexBody(bad)) << bad;
    }
}

TEST(ApiJsonTest, StringsAreEscapedAndAlwaysValidUtf8) {
    JsonWriter w;
    w.BeginObject()
        .Field("a", std::string_view("q\"b\\s/\n\r\t\x01\x7f"))
        .Field("cn", std::string_view("\xE9\x97\xA8"))  // 门
        .Key("list")
        .BeginArray()
        .Int(-5)
        .UInt(UINT64_MAX)
        .Bool(true)
        .Null()
        .EndArray()
        .EndObject();
    EXPECT_EQ(w.Text(),
              "{\"a\":\"q\\\"b\\\\s/\\n\\r\\t\\u0001\x7f\",\"cn\":\"\xE9\x97\xA8\","
              "\"list\":[-5,18446744073709551615,true,null]}");
    // GBK bytes that were never converted, a lone continuation byte, an overlong slash, a
    // surrogate and a truncated sequence each become U+FFFD; the next valid byte survives.
    std::string out;
    AppendJsonString(out, std::string_view("\xC3\xC5|\x80|\xC0\xAF|\xED\xA0\x80|\xE9\x97"));
    EXPECT_EQ(out,
              "\"\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(ErrorJson("Failed to set!"), "{\"error\":\"Failed to set!\"}");
}

TEST(ApiMetricsTest, LabelValuesAreEscaped) {
    MetricsText m;
    m.Family("trelvane_x_total", "counter", "X.");
    m.Sample("trelvane_x_total", std::uint64_t{7}, {{"reader", "Dock \"7\"\\B\nC"}});
    m.Sample("trelvane_x_total", std::uint64_t{0});
    EXPECT_EQ(m.Take(),
              "# HELP trelvane_x_total X.\n# TYPE trelvane_x_total counter\n"
              "trelvane_x_total{reader=\"Dock \\\"7\\\"\\\\B\\nC\"} 7\ntrelvane_x_total 0\n");
}

TEST(ApiConfigTest, SectionDefaultsPerProgramAndBadValues) {
    test::TempFolder dir;
    const auto read = [&](const std::string& text, bool enabledByDefault) {
        test::WriteFile(dir / "SysConf.ini", text);
        return ReadApiConfig(dir / "SysConf.ini", enabledByDefault);
    };
    const auto none = read("[Service_Param]\r\nService_Port=7088\r\n", true);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->enabled);
    EXPECT_EQ(none->address, "127.0.0.1");
    EXPECT_EQ(none->port, 7089);
    EXPECT_EQ(none->token, "");
    EXPECT_FALSE(read("[Service_Param]\r\n", false)->enabled);

    const auto set =
        read("[Api]\r\nEnabled=1\r\nAddress=0.0.0.0\r\nPort=8080\r\nToken=abc\r\n", false);
    EXPECT_EQ(*set, (ApiConfig{true, "0.0.0.0", 8080, "abc"}));
    const auto bad = read("[Api]\r\nEnabled=yes\r\nPort=70000\r\n", false);
    EXPECT_FALSE(bad->enabled);
    EXPECT_EQ(bad->port, 7089);
    EXPECT_EQ(read("[Api]\r\nEnabled=0\r\nPort=-1\r\n", true)->enabled, false);
    EXPECT_EQ(read("[Api]\r\nPort=-1\r\n", true)->port, 7089);
    EXPECT_FALSE(ReadApiConfig(dir / "absent.ini", true));
}

}  // namespace
}  // namespace trelvane::api
