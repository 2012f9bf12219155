// Renders the Export List Record Save As dialog to PNG, for looking at its layout:
// shell_snapshot <output folder> <language folder> writes save-as.png (as the program opens it),
// save-as-unfitted.png (the same dialog without the width fit) and, when the language folder
// holds zh_TW.qm, save-as-zh_TW.png and question-zh_TW.png. Not a test.

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QTest>
#include <cstdio>

#include "shell/LauguageOp.h"
#include "shell/QtPrompter.h"

namespace {

using namespace trelvane;

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QTest::qWait(100);
    const bool saved = widget.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s (%dx%d)\n", saved ? "wrote" : "FAILED", qPrintable(path),
                 widget.width(), widget.height());
    widget.hide();
    return saved;
}

Prompter::SaveAsRequest ExportRequest() {
    Prompter::SaveAsRequest request;
    request.title = QStringLiteral("Export read id record");
    request.filters = {QString::fromUtf8("文本文档(*.txt)"),
                       QStringLiteral("Microsoft Office Excel(*.xls)"),
                       QStringLiteral("All Files(*.*)")};
    request.defaultSuffix = QStringLiteral("txt");
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: shell_snapshot <output folder> <language folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    {
        const auto dialog = CreateSaveAsDialog(nullptr, ExportRequest());
        ok &= Save(*dialog, out.filePath(QStringLiteral("save-as.png")));
    }
    {
        QFileDialog plain(nullptr, ExportRequest().title);
        plain.setOption(QFileDialog::DontUseNativeDialog, true);
        plain.setAcceptMode(QFileDialog::AcceptSave);
        plain.setNameFilters(ExportRequest().filters);
        ok &= Save(plain, out.filePath(QStringLiteral("save-as-unfitted.png")));
    }
    LanguageState language(std::filesystem::path(argv[2]), kLanguageChinesePrc);
    if (language.Select(kLanguageTraditionalChinese)) {
        const auto dialog = CreateSaveAsDialog(nullptr, ExportRequest());
        ok &= Save(*dialog, out.filePath(QStringLiteral("save-as-zh_TW.png")));
        QMessageBox box(QMessageBox::Information, QStringLiteral("Exit"),
                        QString::fromUtf8("確定退出？"), QMessageBox::Yes | QMessageBox::No);
        ok &= Save(box, out.filePath(QStringLiteral("question-zh_TW.png")));
    }
    return ok ? 0 : 1;
}
