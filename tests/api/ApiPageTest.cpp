// The status page in a real browser: Debian's chromium, headless, against an engine with
// simulated readers; the test reads the rendered DOM.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <fstream>
#include <nlohmann/json.hpp>

#include "api/ApiFixture.h"

namespace trelvane::test {
namespace {

using ApiPageTest = ApiFixture;

// A headless chromium the test reads while the page runs, through the browser's DevTools
// protocol on loopback (a --dump-dom shows the page only once, at the end). Each evaluation
// runs on a thread of its own while the test's event loop turns: the page's requests are
// answered on that loop.
class LivePage {
  public:
    LivePage(const QString& chromium, const QString& url, const std::filesystem::path& profile) {
        browser_.setStandardOutputFile(QProcess::nullDevice());
        browser_.setStandardErrorFile(QProcess::nullDevice());
        browser_.start(chromium,
                       {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                        QStringLiteral("--disable-gpu"),
                        QStringLiteral("--user-data-dir=") + QString::fromStdString(profile),
                        QStringLiteral("--remote-debugging-port=0"), url});
        // The browser writes the port it took into the profile; the page's socket is listed.
        int port = 0;
        std::string target;
        const bool found = WaitUntil(
            [&] {
                std::ifstream(profile / "DevToolsActivePort") >> port;
                const Reply list = port > 0 ? Fetch(static_cast<std::uint16_t>(port),
                                                    {"GET", "/json/list", "127.0.0.1", {}, {}})
                                            : Reply{};
                for (const auto& t : nlohmann::json::parse(list.body, nullptr, false)) {
                    if (t.is_object() && t.value("type", "") == "page") {
                        const std::string ws = t.value("webSocketDebuggerUrl", "");
                        target = ws.substr(ws.find('/', 5));
                        return true;
                    }
                }
                return false;
            },
            20000);
        try {
            ws_.emplace(ioc_);
            beast::get_lowest_layer(*ws_).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"),
                                                                static_cast<std::uint16_t>(port)));
            ws_->handshake("127.0.0.1:" + std::to_string(port), target);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "DevTools (listed: " << found << "): " << e.what();
            ws_.reset();
        }
    }
    ~LivePage() {
        browser_.kill();
        browser_.waitForFinished(5000);
    }

    // The value of `expression` in the page; null when there was none within 15 s.
    nlohmann::json Evaluate(const std::string& expression) {
        if (!ws_) {
            return nullptr;
        }
        const int id = ++lastId_;
        const std::string call =
            nlohmann::json{{"id", id},
                           {"method", "Runtime.evaluate"},
                           {"params", {{"expression", expression}, {"returnByValue", true}}}}
                .dump();
        auto answer = std::async(std::launch::async, [&]() -> nlohmann::json {
            try {
                ws_->write(net::buffer(call));
                for (int i = 0; i < 1000; ++i) {  // anything else is an event: skipped
                    beast::flat_buffer buffer;
                    ws_->read(buffer);
                    const auto reply = nlohmann::json::parse(
                        beast::buffers_to_string(buffer.data()), nullptr, false);
                    if (reply.is_object() && reply.value("id", 0) == id) {
                        return reply["result"]["result"].value("value", nlohmann::json());
                    }
                }
            } catch (const std::exception&) {
            }
            return nullptr;
        });
        if (!WaitUntil(
                [&] {
                    return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                },
                15000)) {
            ADD_FAILURE() << "no answer to " << expression;
            browser_.kill();  // ends the read
            browser_.waitForFinished(5000);
        }
        nlohmann::json value = answer.get();
        if (browser_.state() == QProcess::NotRunning) {
            ws_.reset();
        }
        return value;
    }

  private:
    QProcess browser_;
    net::io_context ioc_;
    std::optional<websocket::stream<tcp::socket>> ws_;
    int lastId_ = 0;
};

// Runs chromium on `url` with `mode` (--dump-dom, --screenshot=FILE) while the event loop turns.
QByteArray RunBrowser(const QString& chromium, const QString& url, const QString& mode,
                      const QString& profile) {
    QProcess browser;
    browser.setProcessChannelMode(QProcess::SeparateChannels);
    browser.start(chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                             QStringLiteral("--disable-gpu"), QStringLiteral("--hide-scrollbars"),
                             QStringLiteral("--window-size=1280,1000"),
                             QStringLiteral("--user-data-dir=") + profile,
                             // The page's fetches and timers run within this much virtual time.
                             QStringLiteral("--virtual-time-budget=3000"), mode, url});
    if (!browser.waitForStarted(10000)) {
        ADD_FAILURE() << "chromium did not start";
        return {};
    }
    EXPECT_TRUE(WaitUntil([&] { return browser.state() == QProcess::NotRunning; }, 45000));
    if (browser.state() != QProcess::NotRunning) {
        browser.kill();
        browser.waitForFinished(5000);
    }
    return browser.readAllStandardOutput();
}

TEST_F(ApiPageTest, ChromiumShowsTheReadersAndDrawsThePlot) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    }
    // The plot covers the browser's last minutes: the engine's clock reads the real time now.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    SetLocalTime(now.date().year(), now.date().month(), now.date().day(), now.time().hour(),
                 now.time().minute(), now.time().second());
    StartAll();
    SimReaderOptions o;
    o.rate = 50;
    o.deviceName = "North Gate";
    SimReader& a = Connect(o);
    o.deviceName = "\xC3\xC5\xBF\xDA";  // "门口" in code page 936
    o.firstTag = 777;
    SimReader& b = Connect(o);
    Handshake({&a, &b});
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 200; }, 10000));
    // Reads in the history give the plot its points before the feed adds more.
    ASSERT_TRUE(WaitUntil([&] { return Engine().History()->rows >= 200; }, 10000));

    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(Port());
    const QString dom = QString::fromUtf8(RunBrowser(chromium, url, QStringLiteral("--dump-dom"),
                                                     QString::fromStdString(dir.Path().string())));
    ASSERT_FALSE(dom.isEmpty());
    EXPECT_TRUE(dom.contains(QStringLiteral("class=\"reader-name\">North Gate<")))
        << dom.left(2000).toStdString();
    EXPECT_TRUE(dom.contains(QStringLiteral("class=\"reader-name\">门口<")));
    const QRegularExpressionMatch points =
        QRegularExpression(QStringLiteral("id=\"plot\"[^>]*data-points=\"(\\d+)\"")).match(dom);
    ASSERT_TRUE(points.hasMatch());
    EXPECT_GT(points.captured(1).toInt(), 0);
    const QRegularExpressionMatch reads =
        QRegularExpression(QStringLiteral("data-reads=\"(\\d+)\"")).match(dom);
    ASSERT_TRUE(reads.hasMatch());
    EXPECT_GE(reads.captured(1).toInt(), 200);
    EXPECT_TRUE(dom.contains(QStringLiteral("badge badge-ok\">listening<")));
    // Commands wait for a token.
    EXPECT_TRUE(dom.contains(QStringLiteral("disabled=\"\"")));

    // TRELVANE_SCREENSHOT=FILE keeps a picture of the page (the README's).
    const QString shot = qEnvironmentVariable("TRELVANE_SCREENSHOT");
    if (!shot.isEmpty()) {
        RunBrowser(chromium, url, QStringLiteral("--screenshot=") + shot,
                   QString::fromStdString(dir.Path().string()));
        EXPECT_TRUE(QFile::exists(shot));
    }
}

TEST_F(ApiPageTest, ChromiumShowsTheZonesTheTagsInOneAndWhereATagIs) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    }
    StartAll();
    ASSERT_EQ(Send("PUT", "/api/v1/zones/Dock%20A", R"({"readers":["R01"]})").status, 200);
    ASSERT_EQ(Send("PUT", "/api/v1/zones/Yard", R"({"readers":["R02"]})").status, 200);
    ASSERT_EQ(
        Send("PUT", "/api/v1/assets/6000123", R"({"label":"Forklift 12","group":"forklifts"})")
            .status,
        200);
    ASSERT_EQ(Send("PUT", "/api/v1/assets/6000124", R"({"label":"Pallet <7>"})").status, 200);
    SimReaderOptions o;
    o.deviceName = "R01";
    o.firstTag = 6000123;
    o.tagCount = 3;
    o.rate = 30;
    SimReader& reader = Connect(o);
    Handshake(reader);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Zones().InZones() == 3; }, 10000));

    // The hash opens a zone and asks where a label is, as a click and a search would.
    const QString url =
        QStringLiteral("http://127.0.0.1:%1/#zone=Dock%20A&where=Forklift%2012").arg(Port());
    const QString dom = QString::fromUtf8(RunBrowser(chromium, url, QStringLiteral("--dump-dom"),
                                                     QString::fromStdString(dir.Path().string())));
    ASSERT_FALSE(dom.isEmpty());
    const auto countOf = [&](const QString& zone) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("data-zone=\"%1\" data-count=\"(\\d+)\"").arg(zone))
                .match(dom);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    EXPECT_EQ(countOf(QStringLiteral("Dock A")), 3) << dom.left(3000).toStdString();
    EXPECT_EQ(countOf(QStringLiteral("Yard")), 0);
    // The zone's tags with their labels, text not markup.
    EXPECT_TRUE(dom.contains(QStringLiteral("<td class=\"label\">Forklift 12</td>")));
    EXPECT_TRUE(dom.contains(QStringLiteral("<td class=\"label\">Pallet &lt;7&gt;</td>")));
    EXPECT_TRUE(dom.contains(QStringLiteral("Dock A · 3 tags")));
    EXPECT_TRUE(dom.contains(QStringLiteral("id=\"where-zone\">in Dock A<")));

    // TRELVANE_ZONES_SCREENSHOT=FILE keeps a picture of it (doc/api-zones.png).
    const QString shot = qEnvironmentVariable("TRELVANE_ZONES_SCREENSHOT");
    if (!shot.isEmpty()) {
        RunBrowser(chromium, url, QStringLiteral("--screenshot=") + shot,
                   QString::fromStdString(dir.Path().string()));
        EXPECT_TRUE(QFile::exists(shot));
    }
}

// The Zones panel follows the live feed: a zone's count changes with each enter and exit while
// the page does not read /api/v1/zones again (it re-reads only every minute, and when its feed
// connects). A new feed reads the counts once and applies only the events after them: a feed
// that replays everything from the first event counts nothing twice.
TEST_F(ApiPageTest, ZoneCountsFollowTheFeedWithoutReadingTheZonesAgain) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    }
    StartAll();
    ASSERT_EQ(Send("PUT", "/api/v1/zones/Dock%20A", R"({"readers":["R01"]})").status, 200);
    ASSERT_EQ(Send("PUT", "/api/v1/zones/Yard", R"({"readers":["R02"]})").status, 200);
    LivePage page(chromium, QStringLiteral("http://127.0.0.1:%1/").arg(Port()),
                  dir.Path() / "live-profile");
    const auto number = [&](const std::string& expression) {
        const nlohmann::json v = page.Evaluate(expression);
        return v.is_number() ? v.get<std::int64_t>() : -1;
    };
    const auto dockA = [&] {
        return number("Number(document.querySelector('[data-zone=\"Dock A\"]').dataset.count)");
    };
    // The page's reads of the counts, as the browser timed its requests.
    const auto zoneReads = [&] {
        return number(
            "performance.getEntriesByType('resource').filter((e) => "
            "new URL(e.name).pathname === '/api/v1/zones').length");
    };
    const auto settled = [&] {
        return page.Evaluate("state.socket?.readyState === WebSocket.OPEN && !state.zoneReading") ==
               true;
    };
    ASSERT_TRUE(WaitUntil(settled, 30000));
    EXPECT_EQ(dockA(), 0);
    const std::int64_t reads = zoneReads();
    EXPECT_EQ(reads, 2);  // at the start, and when the feed opened

    SimReaderOptions o;
    o.deviceName = "R01";
    o.firstTag = 6000123;
    o.tagCount = 3;
    o.rate = 30;
    SimReader& reader = Connect(o);
    Handshake(reader);
    ASSERT_TRUE(WaitUntil([&] { return Engine().Zones().InZones() == 3; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return dockA() == 3; }, 10000));
    EXPECT_EQ(zoneReads(), reads);

    // A new feed that replays every event from the first: the three enters come again.
    ASSERT_TRUE(WaitUntil([&] { return Engine().Tags().TotalReads() >= 20; }, 10000));
    Quiesce();
    std::vector<J> enters;
    ASSERT_TRUE(WaitUntil(
        [&] {
            enters = Json(Get("/api/v1/zones/events?limit=100"))["zones"].toArray();
            return enters.size() == 3;
        },
        10000));
    EXPECT_EQ(page.Evaluate("state.lastSeq = 1; state.socket.close(); true"), true);
    ASSERT_TRUE(WaitUntil([&] { return zoneReads() == reads + 1 && settled(); }, 15000));
    // The replay comes in order: once the page has a later read, it has had every enter.
    EXPECT_TRUE(WaitUntil(
        [&] { return number("state.lastSeq") > enters.back()["seq"].toInteger(); }, 15000));
    EXPECT_EQ(dockA(), 3);

    // The reader has gone quiet; its tags exit once ExitAfter has passed.
    Advance(std::chrono::seconds(35));
    ASSERT_TRUE(WaitUntil([&] { return Engine().Zones().InZones() == 0; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return dockA() == 0; }, 10000));
    EXPECT_EQ(zoneReads(), reads + 1);
}

}  // namespace
}  // namespace trelvane::test
