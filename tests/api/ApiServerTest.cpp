// The REST endpoints against the engine's tables, the commands as the frames the window sends,
// and the access rules, over loopback with simulated readers.
#include <gtest/gtest.h>

#include "api/ApiFixture.h"
#include "protocol/RadioTables.h"
#include "records/ExportText.h"
#include "records/TextCodec.h"
#include "sim/SimHost.h"

namespace trelvane::test {
namespace {

using ApiServerTest = ApiFixture;

// The frames of `command` a reader received, unescaped.
std::vector<Bytes> FramesWith(const SimReader& reader, std::uint8_t command) {
    std::vector<Bytes> out;
    for (const auto& f : reader.ReceivedFrames()) {
        if (f.size() > 4 && f[4] == command) {
            out.push_back(f);
        }
    }
    return out;
}

// The frame the window's call sends for `type` and `parameter`, as the reader unescapes it.
Bytes WindowFrame(int type, unsigned parameter) {
    return DecodeFrames(HostCommand(type, parameter)).at(0);
}

TEST_F(ApiServerTest, ReadersStatusAndTagsAnswerWithTheEngineTables) {
    StartAll();
    SimReaderOptions gbk;
    gbk.deviceName = "\xC3\xC5\xBF\xDA-1";  // "门口-1" in code page 936
    gbk.productType = "K314B";
    gbk.serialNo = "SN-77";
    gbk.rate = 200;
    gbk.firstTag = 5000;
    gbk.tagCount = 40;
    SimReaderOptions plain;
    plain.deviceName = "Dock 2";
    plain.rate = 200;
    plain.firstTag = 9000;
    plain.tagCount = 25;
    SimReader& a = Connect(gbk);
    SimReader& b = Connect(plain);
    Handshake({&a, &b});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 150; }, 10000));
    Quiesce();
    // The identity texts come with Query (Device Info), not with the handshake.
    for (SimReader* r : {&a, &b}) {
        ASSERT_EQ(Send("POST", "/api/v1/readers/" + Key(*r) + "/query-info").status, 200);
        ASSERT_TRUE(WaitUntil([&] { return !Device(*r)->Text(DeviceText::kHardwareVer).empty(); }));
    }

    const Reply all = Get("/api/v1/readers");
    ASSERT_EQ(all.status, 200) << all.body << all.error;
    EXPECT_EQ(all.headers.at("Content-Type"), "application/json");
    const std::vector<J> list = Json(all)["readers"].toArray();
    ASSERT_EQ(list.size(), 2u);
    for (const J& r : list) {
        const std::string key = Str(r["device"]);
        const DeviceRecord d = Engine().FindDevice(key);
        ASSERT_TRUE(d) << key;
        const bool isA = key == Key(a);
        EXPECT_EQ(Str(r["name"]), isA ? "\xE9\x97\xA8\xE5\x8F\xA3-1" : "Dock 2");
        EXPECT_EQ(Str(r["product_type"]), isA ? "K314B" : "K314");
        EXPECT_EQ(Str(r["serial_no"]), isA ? "SN-77" : plain.serialNo);
        EXPECT_EQ(Str(r["software_ver"]), "V2.1.0");
        EXPECT_EQ(r["tag_count"].toInt(), d->tagCount.load());
        EXPECT_EQ(Str(r["login_time"]), d->loginTime);
        EXPECT_EQ(Str(r["last_reg_time"]), d->Text(DeviceText::kLastRegTime));
        EXPECT_TRUE(r["reading"].toBool());
        EXPECT_TRUE(r["online"].toBool());
        EXPECT_EQ(r["atten"].toObject()["steps"].toInt(), isA ? 4 : 16);
    }
    const Reply one = Get("/api/v1/readers/" + Key(b));
    ASSERT_EQ(one.status, 200);
    EXPECT_EQ(Str(Json(one)["name"]), "Dock 2");
    const Reply unknown = Get("/api/v1/readers/10.9.9.9:1");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.body, "{\"error\":\"unknown reader\"}");

    const J status = Json(Get("/api/v1/status"));
    EXPECT_EQ(status["readers"].toObject()["reading"].toInt(), 2);
    EXPECT_EQ(status["tags"].toObject()["distinct"].toInt(), 65);
    EXPECT_EQ(status["tags"].toObject()["reads_total"].toInteger(),
              static_cast<qint64>(Engine().Tags().TotalReads()));
    EXPECT_EQ(status["pipeline"].toObject()["bytes_received"].toInteger(),
              static_cast<qint64>(Engine().PipelineStats().bytesReceived.load()));
    EXPECT_TRUE(status["service"].toObject()["listening"].toBool());
    EXPECT_EQ(status["sinks"].toArray().size(), Engine().Sinks().size());

    // The tag list, page by page, cell by cell.
    const Reply page = Get("/api/v1/tags?offset=10&limit=20");
    ASSERT_EQ(page.status, 200);
    const J tags = Json(page);
    const TagListModel& rows = Engine().TagList();
    EXPECT_EQ(tags["total"].toInt(), static_cast<int>(rows.RowCount()));
    const std::vector<J> tagRows = tags["rows"].toArray();
    ASSERT_EQ(tagRows.size(), 20u);
    const TextCodec codec = TextCodec::Usable(936);
    for (int i = 0; i < 20; ++i) {
        const J row = tagRows[static_cast<std::size_t>(i)];
        const auto at = static_cast<std::size_t>(10 + i);
        EXPECT_EQ(row["no"].toInt(), static_cast<int>(at + 1));
        EXPECT_EQ(Str(row["id"]), rows.Cell(at, TagListModel::kColumnId));
        EXPECT_EQ(Str(row["device"]), codec.ToUtf8(rows.Cell(at, TagListModel::kColumnDevice)));
        EXPECT_EQ(row["read_count"].toInt(), rows.RowReadCount(at));
        EXPECT_EQ(Str(row["last_read_time"]), rows.Cell(at, TagListModel::kColumnLastReadTime));
    }
    EXPECT_EQ(Json(Get("/api/v1/tags?offset=1000"))["rows"].toArray().size(), 0u);
    for (const char* bad : {"/api/v1/tags?limit=x", "/api/v1/tags?limit=0",
                            "/api/v1/tags?offset=-1", "/api/v1/tags?limit=1e3"}) {
        const Reply r = Get(bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_NE(r.body.find("\"error\""), std::string::npos) << bad;
    }

    // Export List Record's bytes, in the code page, as a download.
    const Reply exported = Get("/api/v1/tags/export");
    ASSERT_EQ(exported.status, 200);
    EXPECT_EQ(exported.body, BuildExportText(Engine().TagList(), codec));
    EXPECT_EQ(exported.headers.at("Content-Type"), "text/plain; charset=GBK");
    EXPECT_NE(exported.headers.at("Content-Disposition").find("attachment"), std::string::npos);

    // Clear All Record needs the token, then empties the table and the list.
    EXPECT_EQ(Send("DELETE", "/api/v1/tags", {}, "").status, 401);
    EXPECT_EQ(Engine().Tags().Size(), 65u);
    const Reply cleared = Send("DELETE", "/api/v1/tags");
    EXPECT_EQ(cleared.status, 200);
    EXPECT_EQ(cleared.body, "{\"cleared\":65}");
    EXPECT_EQ(Engine().Tags().Size(), 0u);
    EXPECT_EQ(Engine().TagList().RowCount(), 0u);
}

TEST_F(ApiServerTest, CommandsReachTheReaderAsTheWindowsFrames) {
    StartAll();
    SimReaderOptions shortRange;
    shortRange.deviceName = "Gate";
    shortRange.productType = "K314B";
    shortRange.rate = 20;
    SimReader& reader = Connect(shortRange);
    SimReaderOptions standardOptions;
    standardOptions.deviceName = "Yard";
    SimReader& standard = Connect(standardOptions);
    Handshake({&reader, &standard});
    const std::string base = "/api/v1/readers/" + Key(reader);

    reader.ClearReceivedFrames();
    Reply r = Send("POST", base + "/query-info");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "{\"sent\":true}");
    ASSERT_TRUE(WaitForFrames(reader, 0x01, 5));
    const std::vector<Bytes> queries = FramesWith(reader, 0x01);
    const std::vector<Bytes> expected = {
        WindowFrame(CMD_QUERY_INFO, kItemDeviceName), WindowFrame(CMD_QUERY_INFO, kItemProductType),
        WindowFrame(CMD_QUERY_INFO, kItemSerialNo), WindowFrame(CMD_QUERY_INFO, kItemSoftwareVer),
        WindowFrame(CMD_QUERY_INFO, kItemHardwareVer)};
    EXPECT_EQ(queries, expected);

    // ATTEN: a short-range reader offers indexes 0..3 only; the answer shows in the record.
    EXPECT_EQ(Send("POST", base + "/atten", "{\"index\":4}").status, 400);
    EXPECT_EQ(Send("POST", base + "/atten", "{\"index\":-1}").status, 400);
    EXPECT_EQ(Send("POST", base + "/atten", "index=3").status, 400);
    EXPECT_TRUE(FramesWith(reader, 0x11).empty());
    ASSERT_EQ(Send("POST", base + "/atten", "{\"index\":3}").status, 200);
    ASSERT_TRUE(WaitForFrames(reader, 0x11, 1));
    EXPECT_EQ(FramesWith(reader, 0x11), std::vector<Bytes>{WindowFrame(CMD_SET_ATTEN, 3)});
    EXPECT_EQ(Json(Get(base))["atten"].toObject()["index"].toInt(), 3);
    // A standard reader takes 15, not 16.
    const std::string yard = "/api/v1/readers/" + Key(standard);
    EXPECT_EQ(Send("POST", yard + "/atten", "{\"index\":16}").status, 400);
    EXPECT_EQ(Send("POST", yard + "/atten", "{\"index\":15}").status, 200);
    ASSERT_TRUE(WaitForFrames(standard, 0x11, 1));
    EXPECT_EQ(FramesWith(standard, 0x11).back(), WindowFrame(CMD_SET_ATTEN, 15));

    EXPECT_EQ(Send("POST", base + "/carrier", "{\"index\":24}").status, 400);
    ASSERT_EQ(Send("POST", base + "/carrier", "{\"index\":23}").status, 200);
    ASSERT_TRUE(WaitForFrames(reader, 0x13, 1));
    EXPECT_EQ(FramesWith(reader, 0x13), std::vector<Bytes>{WindowFrame(CMD_SET_CARRIER, 23)});
    EXPECT_EQ(Json(Get(base))["carrier"].toObject()["mhz"].toInt(), CarrierMhz(23));

    // Stop Read starts the stop sequence; Start Read sends one CMD_START_READ.
    const std::size_t stopsBefore = FramesWith(reader, 0x6F).size();
    ASSERT_EQ(Send("POST", base + "/stop-read").status, 200);
    ASSERT_TRUE(WaitForFrames(reader, 0x6F, stopsBefore + 1));
    EXPECT_EQ(FramesWith(reader, 0x6F).back(), WindowFrame(CMD_STOP_READ, 0));
    const std::size_t startsBefore = FramesWith(reader, 0x62).size();
    ASSERT_EQ(Send("POST", base + "/start-read").status, 200);
    ASSERT_TRUE(WaitUntil([&] { return FramesWith(reader, 0x62).size() > startsBefore; }));
    EXPECT_EQ(FramesWith(reader, 0x62).back(), WindowFrame(CMD_START_READ, 0));

    // Unknown keys are 404 for every command; Disconnect drops the reader once.
    for (const char* path : {"/start-read", "/stop-read", "/query-info"}) {
        const Reply none = Send("POST", std::string("/api/v1/readers/10.0.0.9:7") + path);
        EXPECT_EQ(none.status, 404) << path;
        EXPECT_EQ(none.body, "{\"error\":\"unknown reader\"}");
    }
    EXPECT_EQ(Send("POST", "/api/v1/readers/10.0.0.9:7/atten", "{\"index\":1}").status, 404);
    ASSERT_EQ(Send("DELETE", base).status, 200);
    EXPECT_FALSE(Engine().FindDevice(Key(reader)));
    EXPECT_TRUE(WaitUntil([&] { return !reader.IsConnected(); }));
    EXPECT_EQ(Send("DELETE", base).status, 404);
    EXPECT_TRUE(Engine().FindDevice(Key(standard)));
}

// A reader that has hung up stays in the table until it has been silent too long; commands to
// it cannot go out, and the API says so with the window's words instead of "sent".
TEST_F(ApiServerTest, ACommandThatCannotGoOutIs409WithTheWindowsText) {
    StartAll();
    SimReaderOptions options;
    options.deviceName = "Dock";
    SimReader& reader = Connect(options);
    Handshake({&reader});
    const std::string key = Key(reader);
    const std::string base = "/api/v1/readers/" + key;
    reader.Close();
    ASSERT_TRUE(WaitUntil([&] {
        const DeviceRecord record = Engine().FindDevice(key);
        return record && (!record->socket || !record->socket->IsOpen());
    }));
    ASSERT_TRUE(Engine().FindDevice(key)) << "the record must still be listed";

    const struct {
        const char* path;
        const char* body;
        const char* error;
    } cases[] = {
        {"/start-read", "", "Failed to set!"},
        {"/query-info", "", "Failed to send query CMD!"},
        {"/atten", "{\"index\":1}", "Failed to send set CMD!"},
        {"/carrier", "{\"index\":1}", "Failed to send set CMD!"},
    };
    for (const auto& c : cases) {
        const Reply r = Send("POST", base + c.path, c.body);
        EXPECT_EQ(r.status, 409) << c.path << ": " << r.body;
        EXPECT_EQ(Str(Json(r)["error"]), c.error) << c.path;
    }
    // Nothing was taken as the reader's value.
    const J record = Json(Get(base));
    EXPECT_NE(record["atten"].toObject()["index"].toInt(), 1);
    EXPECT_EQ(Get("/healthz").status, 200);
}

TEST_F(ApiServerTest, TokensHostsAndOriginsAreChecked) {
    StartAll();
    SimReader& reader = Connect();
    const std::string start = "/api/v1/readers/" + Key(reader) + "/start-read";
    const std::size_t before = FramesWith(reader, 0x62).size();
    EXPECT_EQ(Send("POST", start, {}, "").status, 401);
    EXPECT_EQ(Send("POST", start, {}, "s3cret-tokeN").status, 401);
    EXPECT_EQ(Send("POST", start, {}, "s3cret-token2").status, 401);
    const Reply refused = Send("POST", start, {}, "s3cret-toke");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.headers.at("WWW-Authenticate"), "Bearer");
    // Nothing went out for any of them.
    QCoreApplication::processEvents();
    EXPECT_EQ(FramesWith(reader, 0x62).size(), before);
    EXPECT_EQ(Send("POST", start).status, 200);

    // Reads are open on loopback; a foreign Host is refused whatever the path.
    EXPECT_EQ(Get("/api/v1/status").status, 200);
    for (const char* host : {"evil.example", "evil.example:7089", "192.168.1.20"}) {
        const Reply r = Request({"GET", "/api/v1/status", host, {}, {}});
        EXPECT_EQ(r.status, 403) << host;
        EXPECT_EQ(r.body, "{\"error\":\"Host not allowed\"}");
        EXPECT_EQ(Request({"GET", "/nowhere", host, {}, {}}).status, 403) << host;
    }
    EXPECT_EQ(Request({"GET", "/api/v1/status", "localhost:1234", {}, {}}).status, 200);

    // A foreign page's WebSocket is refused; our own page's is taken.
    {
        const auto upgrade = [&](const std::string& target, const std::string& origin) {
            return Request({"GET",
                            target,
                            "127.0.0.1",
                            {},
                            {{"Connection", "Upgrade"},
                             {"Upgrade", "websocket"},
                             {"Sec-WebSocket-Version", "13"},
                             {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                             {"Origin", origin}}});
        };
        const Reply foreign = upgrade("/api/v1/stream", "http://evil.example");
        EXPECT_EQ(foreign.status, 403);
        EXPECT_EQ(foreign.body, "{\"error\":\"Origin not allowed\"}");
        EXPECT_EQ(upgrade("/api/v1/stream?kinds=reads,tea", "http://127.0.0.1").status, 400);
        FeedReader own(Port(), "/api/v1/stream", "http://127.0.0.1:" + std::to_string(Port()));
        ASSERT_TRUE(WaitUntil([&] { return own.Open(); }));
        EXPECT_EQ(own.HandshakeStatus(), 101);
    }
}

TEST_F(ApiServerTest, WithoutATokenNothingChangesAndBeyondLoopbackNothingStarts) {
    StartAll({}, {}, "");
    SimReader& reader = Connect();
    EXPECT_EQ(Send("POST", "/api/v1/readers/" + Key(reader) + "/start-read", {}, "").status, 401);
    RequestParts empty{"POST",
                       "/api/v1/readers/" + Key(reader) + "/start-read",
                       "127.0.0.1",
                       {},
                       {{"Authorization", "Bearer "}}};
    EXPECT_EQ(Request(empty).status, 401);
    EXPECT_EQ(Get("/api/v1/readers").status, 200);
    EXPECT_EQ(Get("/healthz").status, 200);

    ApiServer other(Engine());
    ApiConfig open;
    open.enabled = true;
    open.address = "0.0.0.0";
    open.port = 0;
    EXPECT_EQ(other.Start(open), ApiServer::StartResult::kNoToken);
    EXPECT_NE(other.Problem().find("Token"), std::string::npos);
    EXPECT_FALSE(other.IsRunning());
    open.enabled = false;
    EXPECT_EQ(other.Start(open), ApiServer::StartResult::kDisabled);
    ApiConfig taken;
    taken.enabled = true;
    taken.port = Port();
    EXPECT_EQ(other.Start(taken), ApiServer::StartResult::kListenFailed);
    // The service was never touched by any of it.
    EXPECT_TRUE(Engine().IsReceiving());
}

TEST_F(ApiServerTest, HealthzFollowsTheListener) {
    StartAll();
    EXPECT_EQ(Get("/healthz").status, 200);
    Engine().StopReceiving();
    const Reply stopped = Get("/healthz");
    EXPECT_EQ(stopped.status, 503);
    Engine().StopService();
    EXPECT_EQ(Get("/healthz").status, 503);
    EXPECT_EQ(Get("/api/v1/status").status, 200);
}

}  // namespace
}  // namespace trelvane::test
