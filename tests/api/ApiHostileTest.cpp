// Hostile HTTP: oversized headers and bodies, headers that trickle, bad numbers, and more
// connections than the limit. The server stays up and the readers keep reading.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <QElapsedTimer>

#include "api/ApiFixture.h"

namespace trelvane::test {
namespace {

using ApiHostileTest = ApiFixture;

// Reads what the server sends until it closes; the bytes, or what arrived within `ms`.
std::string ReadUntilClosed(tcp::socket& socket, int ms) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    socket.non_blocking(true);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        beast::error_code ec;
        const std::size_t n = socket.read_some(net::buffer(buf), ec);
        if (ec == net::error::would_block) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (ec) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

TEST_F(ApiHostileTest, OversizedHeadersAndBodiesAre413BadNumbers400) {
    StartAll();
    RequestParts big{
        "GET", "/api/v1/status", "127.0.0.1", {}, {{"X-Fill", std::string(9000, 'a')}}};
    const Reply headers = Request(big);
    EXPECT_EQ(headers.status, 413) << headers.error;
    EXPECT_EQ(headers.body, "{\"error\":\"request headers too large\"}");
    // Just under the limit passes.
    RequestParts fits{
        "GET", "/api/v1/status", "127.0.0.1", {}, {{"X-Fill", std::string(7000, 'a')}}};
    EXPECT_EQ(Request(fits).status, 200);

    SimReader& reader = Connect();
    const std::string atten = "/api/v1/readers/" + Key(reader) + "/atten";
    const Reply body = Send("POST", atten, std::string(64 * 1024 + 1, ' '));
    EXPECT_EQ(body.status, 413);
    EXPECT_EQ(body.body, "{\"error\":\"request body too large\"}");
    // 64 KiB exactly is read, and refused for what it says.
    const Reply padded = Send("POST", atten, "{\"index\":1}" + std::string(64 * 1024 - 11, ' '));
    EXPECT_EQ(padded.status, 200) << padded.body;

    for (const char* bad :
         {"/api/v1/reads?since=yesterday", "/api/v1/reads?limit=-5", "/api/v1/reads?tag=4294967296",
          "/api/v1/presence?after_seq=1.5", "/api/v1/reads?until=1e9", "/api/v1/reads?limit=0"}) {
        const Reply r = Get(bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.body.rfind("{\"error\":\"bad number: ", 0), 0u) << r.body;
    }
    EXPECT_EQ(Get("/api/v1/reads?limit=50000").status, 200);  // clamped, not refused
    EXPECT_EQ(Get("/api/v1/nothing").status, 404);
    EXPECT_EQ(Request({"PUT", "/api/v1/tags", "127.0.0.1", {}, {}}).status, 405);
    EXPECT_EQ(Get("/api/v1/stream").status, 400);  // not an upgrade
    EXPECT_EQ(Get("/healthz").status, 200);
}

TEST_F(ApiHostileTest, HeadersThatTrickleAreCutAtTheLimit) {
    EXPECT_EQ(api::DefaultLimits().headerTimeoutMs, 10'000);
    ApiServer::Options options;
    options.limits.headerTimeoutMs = 600;
    StartAll(options);
    const std::uint16_t port = Port();
    auto measured = std::async(std::launch::async, [port] {
        net::io_context ioc;
        tcp::socket socket(ioc);
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        const auto started = std::chrono::steady_clock::now();
        const std::string request = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        beast::error_code ec;
        // One byte every 20 ms would never finish; the server must cut it.
        for (int i = 0; i < 400 && !ec; ++i) {
            const char byte =
                i < static_cast<int>(request.size()) ? request[static_cast<std::size_t>(i)] : 'x';
            net::write(socket, net::buffer(&byte, 1), ec);
            char probe;
            socket.non_blocking(true);
            beast::error_code readEc;
            socket.read_some(net::buffer(&probe, 1), readEc);
            socket.non_blocking(false);
            if (readEc && readEc != net::error::would_block) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - started)
            .count();
    });
    ASSERT_TRUE(WaitUntil(
        [&] { return measured.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        15000));
    const auto ms = measured.get();
    EXPECT_GE(ms, 550);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(Get("/healthz").status, 200);
}

TEST_F(ApiHostileTest, FiveHundredConnectionsAtOnceLeaveTheServerAndReadersWorking) {
    StartAll();
    SimReaderOptions o;
    o.rate = 200;
    SimReader& reader = Connect(o);
    Handshake(reader);
    const std::uint16_t port = Port();
    struct Outcome {
        int busy = 0;    // answered 503 at once
        int held = 0;    // accepted and kept open
        int failed = 0;  // could not connect
    };
    std::atomic<bool> release{false};
    auto storm = std::async(std::launch::async, [port, &release] {
        Outcome outcome;
        net::io_context ioc;
        std::vector<tcp::socket> sockets;
        sockets.reserve(500);
        for (int i = 0; i < 500; ++i) {
            sockets.emplace_back(ioc);
            beast::error_code ec;
            sockets.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
            if (ec) {
                ++outcome.failed;
            }
        }
        // Held connections send nothing; refused ones get a 503 and are closed.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (auto& s : sockets) {
            if (!s.is_open()) {
                continue;
            }
            const std::string got = ReadUntilClosed(s, 5);
            if (got.rfind("HTTP/1.1 503", 0) == 0) {
                ++outcome.busy;
            } else {
                ++outcome.held;
            }
        }
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return outcome;
    });
    // While the 64 slots are taken, the readers go on reading.
    const std::uint64_t before = Engine().Tags().TotalReads();
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= before + 100; }, 10000));
    release = true;
    ASSERT_TRUE(WaitUntil(
        [&] { return storm.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        20000));
    const Outcome outcome = storm.get();
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_EQ(outcome.held, 64);
    EXPECT_EQ(outcome.busy, 436);
    // The held connections closed with the storm: the server answers again.
    ASSERT_TRUE(WaitUntil([&] { return Get("/healthz").status == 200; }, 10000));
    EXPECT_NE(Get("/metrics").body.find("trelvane_api_refused_connections_total 436\n"),
              std::string::npos);
    EXPECT_TRUE(Device(reader)->reading.load());
    Quiesce();
    EXPECT_EQ(Engine().Tags().TotalReads(), ReportsSent());
}

}  // namespace
}  // namespace trelvane::test
