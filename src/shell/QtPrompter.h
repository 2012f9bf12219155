#pragma once

// The desktop's prompts: QMessageBox for messages and Yes/No questions, QFileDialog for Save As
// and Open.
//
// Threading: the user-interface thread only.

#include <memory>

#include "ui-common/Prompter.h"

class QFileDialog;

namespace trelvane {

class QtPrompter final : public Prompter {
  public:
    void Inform(QWidget* parent, const QString& text, const QString& caption,
                Icon icon = Icon::kInformation) override;
    bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override;
    // Honours the request: title, filters in order (the first selected), the default suffix
    // (the selected filter's own extension when it names one), the overwrite question and, with
    // confirmCreate, a question before a file that does not exist yet is created.
    std::optional<QString> SaveAs(QWidget* parent, const SaveAsRequest& request) override;
    // Qt's own dialog, like SaveAs: an existing file only.
    std::optional<QString> OpenFile(QWidget* parent, const QString& title,
                                    const QStringList& filters) override;
    void Beep() override;
};

// The dialog SaveAs runs, set up from `request` but not shown: Qt's own file dialog rather than
// the desktop's, so that it looks and behaves the same everywhere and its file list can be
// measured. When it shows it widens itself until the list's columns fit (FitFileListColumns).
std::unique_ptr<QFileDialog> CreateSaveAsDialog(QWidget* parent,
                                                const Prompter::SaveAsRequest& request);

// Widens a shown file dialog, keeping it on its screen, until the columns of its detail list
// fit beside the sidebar without clipping or a horizontal scroll bar. Nothing for a dialog
// without that list.
void FitFileListColumns(QFileDialog& dialog);

// The extension a name filter such as "Microsoft Office Excel(*.xls)" stands for ("xls"), or
// an empty text when it names none or several ("*.*", "*.txt *.log").
QString FilterSuffix(const QString& filter);

}  // namespace trelvane
