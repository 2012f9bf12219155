// The status page in a real browser: Debian's chromium, headless, against an engine with
// simulated readers; the test reads the rendered DOM.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include "api/ApiFixture.h"

namespace trelvane::test {
namespace {

using ApiPageTest = ApiFixture;

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

}  // namespace
}  // namespace trelvane::test
