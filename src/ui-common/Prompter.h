#pragma once

// Every message box, Yes/No question and Save As dialog of the program goes through Prompter,
// so window logic is tested without a display: the desktop uses QtPrompter (shell/QtPrompter.h:
// QMessageBox, QFileDialog), tests a scripted one that records what was asked and answers from a
// script. The settings pages and the main window both prompt through it, so it sits below both.

#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace trelvane {

class Prompter {
  public:
    enum class Icon { kInformation, kWarning, kError };

    virtual ~Prompter() = default;
    // A message with an OK button. `caption` is the window title ("Tips", "Error", "Notice",
    // or the application title).
    virtual void Inform(QWidget* parent, const QString& text, const QString& caption,
                        Icon icon = Icon::kInformation) = 0;
    // A question with Yes and No buttons and the information icon; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) = 0;

    struct SaveAsRequest {
        QString title;
        QStringList filters;  // "description (patterns)" entries, in order; the first is selected
        QString defaultSuffix;
        bool confirmOverwrite = true;
        bool confirmCreate = true;
    };
    // The chosen file path, or nothing when the user cancelled.
    virtual std::optional<QString> SaveAs(QWidget* parent, const SaveAsRequest& request) = 0;
    // An existing file to read, through `filters` ("description (patterns)", the first
    // selected); nothing when the user cancelled.
    virtual std::optional<QString> OpenFile(QWidget* parent, const QString& title,
                                            const QStringList& filters) = 0;
    // The default beep (the port field refuses a character).
    virtual void Beep() = 0;
};

}  // namespace trelvane
