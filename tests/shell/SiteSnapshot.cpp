// Renders the Assets and Zones window to PNG for looking at it, over a register made here: four
// zones (one reader typed, not connected) and `assets` assets (a million by default), in the
// program's own texts and, when the language folder holds zh_TW.qm, in Traditional Chinese.
// Prints how long the register and the window take over that many assets.
//   site_snapshot <output folder> <language folder> [assets]
// writes assets-zones.png (the zones), assets-zones-assets.png (the assets, scrolled far down),
// assets-zones-search.png, assets-zones-import.png (the progress of the import),
// assets-zones-zone-dialog.png, assets-zones-asset-dialog.png, assets-zones-none.png (before
// the service started) and the first two with -zh_TW.
// Not a test.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProgressDialog>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "records/StringTable.h"
#include "shell/AssetModel.h"
#include "shell/LauguageOp.h"
#include "shell/SiteDialogs.h"
#include "shell/SiteWnd.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"
#include "ui-common/UiText.h"

namespace {

using namespace trelvane;

bool Save(QWidget& widget, const QString& path) {
    QTest::qWait(150);
    const bool saved = widget.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s (%dx%d)\n", saved ? "wrote" : "FAILED", qPrintable(path),
                 widget.width(), widget.height());
    return saved;
}

void Took(const char* what, QElapsedTimer& timer) {
    std::fprintf(stderr, "%-48s %7lld ms\n", what, static_cast<long long>(timer.restart()));
}

std::string AssetCsv(std::uint32_t count) {
    const char* kinds[] = {"Forklift", "Pallet", "Trolley", "Scanner", "Cage"};
    const char* groups[] = {"forklifts", "pallets", "trolleys", "scanners", "cages"};
    std::string csv = "tag,label,group,note\n";
    csv.reserve(static_cast<std::size_t>(count) * 40);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t kind = i % 5;
        csv += std::to_string(6000000u + i) + ',' + kinds[kind] + ' ' + std::to_string(i / 5 + 1) +
               ',' + groups[kind] + ',' + (i % 7 == 0 ? "\"serviced, May\"" : "") + '\n';
    }
    return csv;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: site_snapshot <output folder> <language folder> [assets]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const std::filesystem::path packs = argv[2];
    const auto count = static_cast<std::uint32_t>(argc == 4 ? std::stoul(argv[3]) : 1000000);
    const test::TempFolder scratch;
    bool ok = true;

    test::ScriptedPrompter prompter;
    SiteAccess access;
    SiteWindow window([&] { return access; },
                      [] {
                          return std::vector<std::string>{"R01", "R02", "R05", "R07", "R08"};
                      },
                      prompter);
    window.resize(900, 560);
    window.show();
    ok &= Save(window, out.filePath(QStringLiteral("assets-zones-none.png")));

    QElapsedTimer timer;
    timer.start();
    site::Fault fault;
    access.site = site::Register::Open(scratch / "site.db", fault);
    if (!access.site) {
        std::fprintf(stderr, "%s\n", fault.text.c_str());
        return 1;
    }
    site::Register& reg = *access.site;
    window.Reload();
    window.Tabs()->setCurrentIndex(1);
    test::WriteFile(scratch / "assets.csv", AssetCsv(count));
    Took("register opened, CSV written", timer);
    // The progress dialog as it shows a second into the import.
    QObject::connect(&window, &SiteWindow::TransferStarted, [&] {
        QTimer::singleShot(1000, [&] {
            if (auto* progress = window.findChild<QProgressDialog*>()) {
                ok &= Save(*progress, out.filePath(QStringLiteral("assets-zones-import.png")));
            }
        });
    });
    ok &= window.ImportFrom(scratch / "assets.csv", false);
    Took("import through the window", timer);
    std::fprintf(stderr, "%s\n", qPrintable(window.StatusText()));
    ok &= !reg.SetZone("Dock A", {"R01", "R02"});
    ok &= !reg.SetZone("Dock B", {"R07", "R08"});
    ok &= !reg.SetZone("Gate North", {"R05"});
    ok &= !reg.SetZone("Yard", {"R11"});
    Took("four zones", timer);
    ok &= !reg.SetAsset({6000001, "Pallet 1", "pallets", "left at Dock B"});
    Took("one asset changed (a new snapshot)", timer);

    window.Reload();
    Took("window shows the register", timer);

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
        window.Tabs()->setCurrentIndex(0);
        window.ZoneTable()->selectRow(1);
        ok &= Save(window, out.filePath(QStringLiteral("assets-zones%1.png").arg(suffix)));
        window.Tabs()->setCurrentIndex(1);
        timer.restart();
        QScrollBar* scroll = window.AssetView()->verticalScrollBar();
        scroll->setValue(scroll->maximum() * 7 / 10);
        window.AssetView()->repaint();
        Took("paint rows 70% down", timer);
        window.AssetView()->selectRow(window.AssetView()->rowAt(40));
        ok &= Save(window, out.filePath(QStringLiteral("assets-zones-assets%1.png").arg(suffix)));
    }
    SetLanguagePack(nullptr);
    window.Retext();

    timer.restart();
    window.SetSearch(QStringLiteral("forklift 12"));
    Took("search a label", timer);
    ok &= Save(window, out.filePath(QStringLiteral("assets-zones-search.png")));
    timer.restart();
    window.AssetView()->scrollToBottom();
    window.AssetView()->repaint();
    Took("paint the last rows of the search", timer);
    std::fprintf(stderr, "pages read since the search: %zu; %s\n", window.Assets()->PagesRead(),
                 qPrintable(window.CountText()));

    // The dialogs as Edit opens them, painted without running them.
    window.Tabs()->setCurrentIndex(0);
    ZoneDialog zone(ui::Text(ids::kEditZone), reg.Zones()[1], window.ReaderChoices(), {}, &window);
    zone.TickReader(QStringLiteral("R09"));
    zone.show();
    ok &= Save(zone, out.filePath(QStringLiteral("assets-zones-zone-dialog.png")));
    AssetDialog asset(ui::Text(ids::kEditAsset), reg.AssetOf(6000001), {}, &window);
    asset.show();
    ok &= Save(asset, out.filePath(QStringLiteral("assets-zones-asset-dialog.png")));
    return ok ? 0 : 1;
}
