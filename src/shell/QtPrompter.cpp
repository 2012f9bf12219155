#include "shell/QtPrompter.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

namespace trelvane {

QString FilterSuffix(const QString& filter) {
    static const QRegularExpression pattern(QStringLiteral("\\(\\s*\\*\\.([^*?.\\s()]+)\\s*\\)$"));
    const auto match = pattern.match(filter);
    return match.hasMatch() ? match.captured(1) : QString();
}

void QtPrompter::Inform(QWidget* parent, const QString& text, const QString& caption, Icon icon) {
    QMessageBox::Icon boxIcon = QMessageBox::Information;
    if (icon == Icon::kWarning) {
        boxIcon = QMessageBox::Warning;
    } else if (icon == Icon::kError) {
        boxIcon = QMessageBox::Critical;
    }
    QMessageBox box(boxIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompter::AskYesNo(QWidget* parent, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtPrompter::SaveAs(QWidget* parent, const SaveAsRequest& request) {
    QFileDialog dialog(parent, request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.filters);
    if (!request.filters.isEmpty()) {
        dialog.selectNameFilter(request.filters.front());
    }
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    const auto suffixFor = [&request](const QString& filter) {
        const QString own = FilterSuffix(filter);
        return own.isEmpty() ? request.defaultSuffix : own;
    };
    dialog.setDefaultSuffix(suffixFor(request.filters.value(0)));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, suffixFor](const QString& filter) {
                         dialog.setDefaultSuffix(suffixFor(filter));
                     });
    for (;;) {
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        const QString chosen = dialog.selectedFiles().front();
        if (!request.confirmCreate || QFileInfo::exists(chosen)) {
            return chosen;
        }
        const QString question =
            QStringLiteral("%1\nThis file does not exist.\nCreate the file?").arg(chosen);
        if (AskYesNo(parent, question, request.title)) {
            return chosen;
        }
    }
}

void QtPrompter::Beep() {
    QApplication::beep();
}

}  // namespace trelvane
