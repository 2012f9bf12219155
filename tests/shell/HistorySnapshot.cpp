// Renders the History window to PNG for looking at it: over a small history made here (three
// gates, a morning of reads, arrivals and departures) and a site register that labels its tags,
// in the program's own texts and, when the language folder holds zh_TW.qm, in Traditional
// Chinese; its events tab, its presence tab, the reads of one asset (a label two tags share)
// and the message of a history that is off.
//   history_snapshot <output folder> <language folder>
// writes history-window.png, history-presence.png, history-asset.png, history-off.png and the
// same with -zh_TW.
// Not a test.

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <cstdio>
#include <deque>
#include <fstream>

#include "history/Writer.h"
#include "records/StringTable.h"
#include "shell/HistoryModel.h"
#include "shell/HistoryWnd.h"
#include "shell/LauguageOp.h"
#include "site/Register.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace {

using namespace trelvane;

constexpr std::int64_t kMorning = 1796691600000;  // 2026-12-08T09:00:00+08:00

bool MakeHistory(const std::filesystem::path& db) {
    history::Result<history::Writer> w = history::Writer::Open({db});
    if (!w.ok()) {
        return false;
    }
    std::deque<std::string> keep;
    std::vector<history::Read> reads;
    std::vector<history::PresenceEvent> presence;
    std::vector<history::DeviceEvent> devices;
    const char* names[] = {"Gate North", "Dock B", "门禁 北"};
    std::uint64_t seq = 0;
    for (int r = 0; r < 3; ++r) {
        const std::string& device = keep.emplace_back("10.0.0." + std::to_string(7 + r) + ":4001");
        devices.push_back(
            {++seq, kMorning + r * 400, history::DeviceEventKind::kConnected, device, device});
        devices.push_back(
            {++seq, kMorning + r * 400 + 5, history::DeviceEventKind::kNamed, names[r], device});
    }
    for (int i = 0; i < 600; ++i) {
        const int r = i % 3;
        const std::uint32_t tag = 20260300u + static_cast<std::uint32_t>(i % 12);
        const std::string& device = keep.emplace_back("10.0.0." + std::to_string(7 + r) + ":4001");
        const std::int64_t t = kMorning + 2000 + i * 1500;
        if (i < 12) {
            presence.push_back({++seq, t, tag, names[r], device, history::PresenceKind::kArrive});
        }
        reads.push_back({++seq, t, tag, names[r], device,
                         ReaderTime{26, 12, 8, 9, static_cast<std::uint8_t>(t / 60000 % 60),
                                    static_cast<std::uint8_t>(t / 1000 % 60)}});
        if (i >= 588) {
            presence.push_back(
                {++seq, t + 30000, tag, names[r], device, history::PresenceKind::kDepart});
        }
    }
    return w->Append(history::Batch{reads, devices, presence}).ok();
}

// Labels for the history's twelve tags: two forklifts share a label (one was replaced and its
// tag kept), the rest are carts and pallets.
bool MakeSite(const std::filesystem::path& db) {
    site::Fault fault;
    const std::unique_ptr<site::Register> site = site::Register::Open(db, fault);
    if (!site) {
        return false;
    }
    for (std::uint32_t i = 0; i < 12; ++i) {
        const std::uint32_t tag = 20260300u + i;
        site::Asset asset{tag, "Cart " + std::to_string(i + 1), "carts", ""};
        if (i < 4) {
            asset = {tag, "Forklift " + std::to_string(i == 3 ? 2 : i + 1), "forklifts", ""};
        } else if (i >= 9) {
            asset = {tag, "Pallet " + std::to_string(i - 8), "pallets", ""};
        }
        if (site->SetAsset(asset)) {
            return false;
        }
    }
    return true;
}

bool Save(QWidget& widget, const QString& path) {
    QTest::qWait(150);
    const bool saved = widget.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s (%dx%d)\n", saved ? "wrote" : "FAILED", qPrintable(path),
                 widget.width(), widget.height());
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The times as a reader in UTC+8 sees them.
    qputenv("TZ", "CST-8");
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: history_snapshot <output folder> <language folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const std::filesystem::path packs = argv[2];
    const test::TempFolder scratch;
    const std::filesystem::path& work = scratch.Path();
    bool ok = MakeHistory(work / "trelvane.db") && MakeSite(work / "site.db");
    const auto ini = [&](bool enabled) {
        std::ofstream(work / "SysConf.ini", std::ios::binary)
            << "[Service_Param]\r\nService_IP=0.0.0.0\r\nService_Port=4001\r\n[History]\r\nEnabled="
            << (enabled ? 1 : 0) << "\r\n";
    };
    test::ScriptedPrompter prompter;
    HistoryWindow window([&] { return LocateHistory(work, work / "SysConf.ini"); }, prompter);
    window.SetNow([] { return kMorning + 20 * 60000; });
    window.SetSite([&] { return ReadSiteLabels(work, work / "SysConf.ini"); });
    window.resize(900, 520);
    window.show();

    for (const bool chinese : {false, true}) {
        QString suffix;
        if (chinese) {
            const auto pack = LoadLanguagePackFile(packs / "zh_TW.qm");
            if (!pack) {
                break;
            }
            SetLanguagePack(std::make_shared<LanguagePack>(*pack));
            window.Retext();
            suffix = QStringLiteral("-zh_TW");
        }
        ini(true);
        window.SetRange(HistoryWindow::Range::kToday);
        window.SetKind(events::Kind::kReads);
        ok &= window.Search();
        window.Model()->IndexAll();
        window.Tabs()->setCurrentIndex(0);
        ok &= Save(window, out.filePath(QStringLiteral("history-window%1.png").arg(suffix)));
        window.Tabs()->setCurrentIndex(1);
        ok &= Save(window, out.filePath(QStringLiteral("history-presence%1.png").arg(suffix)));
        window.SetAssetText(QStringLiteral("Forklift 2"));
        ok &= window.Search();
        window.Model()->IndexAll();
        window.Tabs()->setCurrentIndex(0);
        ok &= Save(window, out.filePath(QStringLiteral("history-asset%1.png").arg(suffix)));
        window.SetAssetText({});
        ini(false);
        window.Search();
        ok &= Save(window, out.filePath(QStringLiteral("history-off%1.png").arg(suffix)));
    }
    return ok ? 0 : 1;
}
