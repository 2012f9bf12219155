#include "shell/QtPrompter.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTreeView>
#include <algorithm>
#include <array>

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

namespace {

// Fits the file list once the dialog has been laid out for showing: at the Show event the
// children have their geometry, and the window is not on screen yet, so nothing flickers.
class FitOnShow final : public QObject {
  public:
    explicit FitOnShow(QFileDialog* dialog) : QObject(dialog), dialog_(dialog) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == dialog_ && event->type() == QEvent::Show) {
            FitFileListColumns(*dialog_);
        }
        return false;
    }

  private:
    QFileDialog* dialog_;
};

}  // namespace

void FitFileListColumns(QFileDialog& dialog) {
    auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (list == nullptr || !list->isVisibleTo(&dialog)) {
        return;
    }
    // The dialog's own column widths cut a date or a size short; give each column at least
    // the width of its longest usual text (the list fills in later, so it cannot be measured).
    QHeaderView* columns = list->header();
    const QFontMetrics metrics(list->font());
    const int padding = metrics.horizontalAdvance(QStringLiteral("MMM"));
    const std::array<QString, 3> samples = {
        QStringLiteral("1023.99 KiB"), QStringLiteral("Microsoft Office Excel"),
        QLocale().toString(QDateTime(QDate(2026, 12, 28), QTime(23, 59, 59)),
                           QLocale::ShortFormat)};
    for (int section = 1; section <= 3 && section < columns->count(); ++section) {
        const int wanted =
            metrics.horizontalAdvance(samples[static_cast<std::size_t>(section - 1)]) + padding;
        if (columns->sectionSize(section) < wanted) {
            columns->resizeSection(section, wanted);
        }
    }
    const QScreen* screen = dialog.screen();
    const int widest = screen != nullptr ? screen->availableGeometry().width() : QWIDGETSIZE_MAX;
    // Each pass moves the shortfall to the window; the splitter hands extra width to the list,
    // so one pass normally does, and a few are enough whatever the style does with it.
    for (int pass = 0; pass < 4; ++pass) {
        QHeaderView* header = list->header();
        const int needed =
            header->length() + 2 * list->frameWidth() +
            (list->verticalScrollBar()->isVisible() ? list->verticalScrollBar()->width() : 0);
        const int shortfall = needed - list->width();
        if (shortfall <= 0 || dialog.width() >= widest) {
            return;
        }
        dialog.resize(std::min(dialog.width() + shortfall, widest), dialog.height());
    }
}

std::unique_ptr<QFileDialog> CreateSaveAsDialog(QWidget* parent,
                                                const Prompter::SaveAsRequest& request) {
    auto dialog = std::make_unique<QFileDialog>(parent, request.title);
    QFileDialog& d = *dialog;
    d.setOption(QFileDialog::DontUseNativeDialog, true);
    d.setAcceptMode(QFileDialog::AcceptSave);
    d.setFileMode(QFileDialog::AnyFile);
    d.setViewMode(QFileDialog::Detail);
    d.setNameFilters(request.filters);
    if (!request.filters.isEmpty()) {
        d.selectNameFilter(request.filters.front());
    }
    d.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    const auto suffixFor = [request](const QString& filter) {
        const QString own = FilterSuffix(filter);
        return own.isEmpty() ? request.defaultSuffix : own;
    };
    d.setDefaultSuffix(suffixFor(request.filters.value(0)));
    QObject::connect(&d, &QFileDialog::filterSelected, &d, [&d, suffixFor](const QString& filter) {
        d.setDefaultSuffix(suffixFor(filter));
    });
    d.installEventFilter(new FitOnShow(&d));
    return dialog;
}

std::optional<QString> QtPrompter::SaveAs(QWidget* parent, const SaveAsRequest& request) {
    const std::unique_ptr<QFileDialog> created = CreateSaveAsDialog(parent, request);
    QFileDialog& dialog = *created;
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

std::optional<QString> QtPrompter::OpenFile(QWidget* parent, const QString& title,
                                            const QStringList& filters) {
    QFileDialog dialog(parent, title);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setViewMode(QFileDialog::Detail);
    dialog.setNameFilters(filters);
    if (!filters.isEmpty()) {
        dialog.selectNameFilter(filters.front());
    }
    dialog.installEventFilter(new FitOnShow(&dialog));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front();
}

void QtPrompter::Beep() {
    QApplication::beep();
}

}  // namespace trelvane
