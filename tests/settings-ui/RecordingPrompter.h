#pragma once

// A Prompter that shows nothing: it records every message and beep, in order, so tests assert
// exactly what the operator would have been told.

#include <QString>
#include <functional>
#include <vector>

#include "ui-common/Prompter.h"

namespace trelvane::test {

class RecordingPrompter final : public Prompter {
  public:
    struct Message {
        QString text;
        QString caption;
        Icon icon;
    };

    void Inform(QWidget* /*parent*/, const QString& text, const QString& caption,
                Icon icon) override {
        messages.push_back({text, caption, icon});
        if (onInform) {
            onInform(messages.back());
        }
    }
    bool AskYesNo(QWidget* /*parent*/, const QString& text, const QString& caption) override {
        messages.push_back({text, caption, Icon::kInformation});
        return false;
    }
    std::optional<QString> SaveAs(QWidget* /*parent*/, const SaveAsRequest& /*request*/) override {
        return std::nullopt;
    }
    void Beep() override { ++beeps; }

    // The texts told so far, for compact assertions.
    std::vector<QString> Texts() const {
        std::vector<QString> texts;
        for (const Message& message : messages) {
            texts.push_back(message.text);
        }
        return texts;
    }

    std::vector<Message> messages;
    int beeps = 0;
    // Runs as each message is shown, to look at the window at that moment.
    std::function<void(const Message&)> onInform;
};

}  // namespace trelvane::test
