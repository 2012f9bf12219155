#pragma once

// The desktop's prompts: QMessageBox for messages and Yes/No questions, QFileDialog for Save As.

#include "shell/Prompter.h"

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
    void Beep() override;
};

// The extension a name filter such as "Microsoft Office Excel(*.xls)" stands for ("xls"), or
// an empty text when it names none or several ("*.*", "*.txt *.log").
QString FilterSuffix(const QString& filter);

}  // namespace trelvane
