// trelvane: the Trelvane reader service with its desktop window.
#include <QApplication>
#include <QFile>
#include <QLocale>

#include "shell/Korvex.h"
#include "shell/LauguageOp.h"
#include "shell/ProgramFolders.h"
#include "shell/QtPrompter.h"
#include "shell/SocketLibrary.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trelvane"));
    QApplication::setApplicationVersion(QStringLiteral("1.9.0"));

    // The language folder beside the program file exists, and has been scanned, before any
    // window is built.
    trelvane::ProgramFolders folders(
        QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString());
    trelvane::LanguageState language(folders, trelvane::LanguageOfLocale(QLocale::system()));

    trelvane::QtPrompter prompter;
    trelvane::PosixSocketLibrary sockets;
    trelvane::CKorvexApp theApp(sockets, prompter,
                                [&] { trelvane::RunMainWindow(language, prompter); });
    theApp.InitInstance();
    return theApp.ExitInstance();
}
