// trelvane: the Trelvane reader service with its desktop window.
#include <QApplication>
#include <QFile>
#include <QLocale>
#include <cstdio>
#include <cstring>

#include "shell/Korvex.h"
#include "shell/LauguageOp.h"
#include "shell/ProgramFolders.h"
#include "shell/QtPrompter.h"
#include "shell/SocketLibrary.h"
#include "trelvane/BuildInfo.h"

namespace {

// --help and --version are answered before QApplication exists, so they need no display and
// never open the window. Every other argument is Qt's (-platform, -style, ...).
constexpr const char* kDesktopUsage =
    "Usage: trelvane [Qt options]\n"
    "\n"
    "Opens the Trelvane window with the service stopped. Start Service reads SysConf.ini in the\n"
    "current directory, where the daily read logs are written too. Language packs are looked\n"
    "for in Lang/ beside the program, then in the installed data directory.\n"
    "\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0.\n";

int AnswerInfoOptions(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            break;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kDesktopUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("trelvane %s\n", trelvane::kVersion);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const int code = AnswerInfoOptions(argc, argv); code >= 0) {
        return code;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trelvane"));
    QApplication::setApplicationVersion(QLatin1String(trelvane::kVersion));

    // The language folder beside the program file exists, and has been scanned, before any
    // window is built.
    trelvane::ProgramFolders folders(
        QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString());
    trelvane::LanguageState language(
        trelvane::ChooseLanguageFolder(folders.Get(trelvane::ProgramFolders::kLanguage, true),
                                       std::filesystem::path(trelvane::kInstalledDataDir) / "Lang"),
        trelvane::LanguageOfLocale(QLocale::system()));

    trelvane::QtPrompter prompter;
    trelvane::PosixSocketLibrary sockets;
    trelvane::CKorvexApp theApp(sockets, prompter,
                                [&] { trelvane::RunMainWindow(language, prompter); });
    theApp.InitInstance();
    return theApp.ExitInstance();
}
