#pragma once

// The Prompter of every suite: shows nothing, records every prompt (kind, text, caption, icon,
// the Save As request) and every beep in order, and answers from scripts the test fills
// beforehand. A question nobody scripted is answered No (a file dialog is cancelled) and counted in
// `unscripted`, so a test can tell an unexpected prompt from an expected one.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "support/QtPrinters.h"
#include "ui-common/Prompter.h"

namespace trelvane::test {

class ScriptedPrompter final : public Prompter {
  public:
    enum class Kind { kInform, kAskYesNo, kSaveAs, kOpenFile };

    struct Prompt {
        Kind kind;
        QString text;
        QString caption;
        Icon icon = Icon::kInformation;
        SaveAsRequest request;
        QWidget* parent = nullptr;
    };

    void Inform(QWidget* parent, const QString& text, const QString& caption,
                Icon icon = Icon::kInformation) override {
        prompts.push_back({Kind::kInform, text, caption, icon, {}, parent});
        if (onInform) {
            onInform(prompts.back());
        }
    }

    bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override {
        prompts.push_back({Kind::kAskYesNo, text, caption, Icon::kInformation, {}, parent});
        if (yesNo.empty()) {
            ++unscripted;
            return false;
        }
        const bool answer = yesNo.front();
        yesNo.pop_front();
        return answer;
    }

    std::optional<QString> SaveAs(QWidget* parent, const SaveAsRequest& request) override {
        prompts.push_back(
            {Kind::kSaveAs, QString(), request.title, Icon::kInformation, request, parent});
        if (saveAs.empty()) {
            ++unscripted;
            return std::nullopt;
        }
        const QString answer = saveAs.front();
        saveAs.pop_front();
        if (answer.isNull()) {
            return std::nullopt;
        }
        return answer;
    }

    // The prompt's caption is the title; its request holds the filters.
    std::optional<QString> OpenFile(QWidget* parent, const QString& title,
                                    const QStringList& filters) override {
        SaveAsRequest shown;
        shown.title = title;
        shown.filters = filters;
        prompts.push_back({Kind::kOpenFile, QString(), title, Icon::kInformation, shown, parent});
        if (openFile.empty()) {
            ++unscripted;
            return std::nullopt;
        }
        const QString answer = openFile.front();
        openFile.pop_front();
        if (answer.isNull()) {
            return std::nullopt;
        }
        return answer;
    }

    void Beep() override { ++beeps; }

    void AnswerYes() { yesNo.push_back(true); }
    void AnswerNo() { yesNo.push_back(false); }
    void AnswerSaveAs(const QString& path) { saveAs.push_back(path); }
    void CancelSaveAs() { saveAs.push_back(QString()); }
    void AnswerOpenFile(const QString& path) { openFile.push_back(path); }

    // The texts of the messages and questions so far (a file dialog has none), for compact
    // assertions.
    std::vector<QString> Texts() const {
        std::vector<QString> texts;
        for (const Prompt& prompt : prompts) {
            if (prompt.kind != Kind::kSaveAs && prompt.kind != Kind::kOpenFile) {
                texts.push_back(prompt.text);
            }
        }
        return texts;
    }

    // The last prompt; fails the test when there was none.
    const Prompt& Last() const {
        static const Prompt none{Kind::kInform,      QString(), QString(),
                                 Icon::kInformation, {},        nullptr};
        if (prompts.empty()) {
            ADD_FAILURE() << "no prompt was shown";
            return none;
        }
        return prompts.back();
    }

    std::vector<Prompt> prompts;
    std::deque<bool> yesNo;
    std::deque<QString> saveAs;    // a null text cancels
    std::deque<QString> openFile;  // a null text cancels
    int unscripted = 0;
    int beeps = 0;
    // Runs as each message is shown (before Inform returns), to look at the window then.
    std::function<void(const Prompt&)> onInform;
};

}  // namespace trelvane::test
