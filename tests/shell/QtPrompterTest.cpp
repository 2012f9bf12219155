#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>
#include <functional>

#include "shell/QtPrompter.h"
#include "support/ModalScript.h"
#include "support/QtPrinters.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using namespace Qt::Literals::StringLiterals;
using test::ModalScript;

void Click(QWidget* modal, QMessageBox::StandardButton which) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    box->button(which)->click();
}

TEST(QtPrompterTest, FilterSuffixNamesTheOneExtensionOfAFilter) {
    EXPECT_EQ(FilterSuffix(u"文本文档(*.txt)"_s), u"txt"_s);
    EXPECT_EQ(FilterSuffix(u"Microsoft Office Excel(*.xls)"_s), u"xls"_s);
    EXPECT_EQ(FilterSuffix(u"All Files(*.*)"_s), QString());
    EXPECT_EQ(FilterSuffix(u"Logs (*.txt *.log)"_s), QString());
    EXPECT_EQ(FilterSuffix(u"No pattern"_s), QString());
}

TEST(QtPrompterTest, QuestionHasCaptionTextInformationIconAndYesNo) {
    QtPrompter prompter;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    ModalScript script({[&](QWidget* modal) {
                            auto* box = qobject_cast<QMessageBox*>(modal);
                            ASSERT_NE(box, nullptr);
                            title = box->windowTitle();
                            text = box->text();
                            icon = box->icon();
                            buttons = box->standardButtons();
                            Click(modal, QMessageBox::No);
                        },
                        [](QWidget* modal) { Click(modal, QMessageBox::Yes); }});
    EXPECT_FALSE(prompter.AskYesNo(nullptr, u"Are you sure exit\uFF1F"_s, u"Exit"_s));
    EXPECT_EQ(title, u"Exit"_s);
    EXPECT_EQ(text, u"Are you sure exit\uFF1F"_s);
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(prompter.AskYesNo(nullptr, u"q"_s, u"c"_s));
    EXPECT_TRUE(script.Finished());
}

TEST(QtPrompterTest, SaveAsHonoursTheRequestAndAsksBeforeCreating) {
    test::TempFolder folder;
    const QString target = QString::fromStdString((folder.Path() / "list").string());
    Prompter::SaveAsRequest request;
    request.title = u"Export read id record"_s;
    request.filters = {u"文本文档(*.txt)"_s, u"Microsoft Office Excel(*.xls)"_s,
                       u"All Files(*.*)"_s};
    request.defaultSuffix = u"txt"_s;

    QStringList filtersSeen;
    QString titleSeen;
    QString selectedFilter;
    const auto chooseFile = [&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        titleSeen = dialog->windowTitle();
        filtersSeen = dialog->nameFilters();
        selectedFilter = dialog->selectedNameFilter();
        EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_FALSE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
        // Typed as a person would (selectFile leaves a focused name field alone).
        auto* name = dialog->findChild<QLineEdit*>(u"fileNameEdit"_s);
        ASSERT_NE(name, nullptr);
        name->setText(target);
        static_cast<QDialog*>(dialog)->accept();  // the file dialog's own accept runs
    };
    QtPrompter prompter;
    QString question;
    std::optional<QString> chosen;
    {
        // The file does not exist: the prompter asks; No brings the dialog back, Yes takes it.
        ModalScript script({chooseFile,
                            [&](QWidget* modal) {
                                question = qobject_cast<QMessageBox*>(modal)->text();
                                Click(modal, QMessageBox::No);
                            },
                            chooseFile, [](QWidget* modal) { Click(modal, QMessageBox::Yes); }});
        chosen = prompter.SaveAs(nullptr, request);
        EXPECT_TRUE(script.Finished());
    }
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, target + u".txt"_s) << "the default suffix of the selected filter";
    EXPECT_EQ(titleSeen, request.title);
    EXPECT_EQ(filtersSeen, request.filters);
    EXPECT_EQ(selectedFilter, request.filters.front());
    EXPECT_TRUE(question.contains(target + u".txt"_s));

    // Cancelling gives nothing.
    ModalScript cancel({[](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); }});
    EXPECT_FALSE(prompter.SaveAs(nullptr, request).has_value());
    EXPECT_TRUE(cancel.Finished());
}

TEST(QtPrompterTest, OpenFileOffersExistingFilesThroughTheFilters) {
    test::TempFolder folder;
    test::WriteFile(folder / "assets.csv", "tag,label,group,note\n");
    const QString existing = QString::fromStdString((folder / "assets.csv").string());
    const QStringList filters = {u"CSV files (*.csv)"_s, u"All Files(*.*)"_s};
    QtPrompter prompter;
    ModalScript script({[&](QWidget* modal) {
                            auto* dialog = qobject_cast<QFileDialog*>(modal);
                            ASSERT_NE(dialog, nullptr);
                            EXPECT_EQ(dialog->windowTitle(), u"Import assets"_s);
                            EXPECT_EQ(dialog->nameFilters(), filters);
                            EXPECT_EQ(dialog->selectedNameFilter(), filters.front());
                            EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
                            EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
                            dialog->findChild<QLineEdit*>(u"fileNameEdit"_s)->setText(existing);
                            static_cast<QDialog*>(dialog)->accept();
                        },
                        [](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); }});
    EXPECT_EQ(prompter.OpenFile(nullptr, u"Import assets"_s, filters), existing);
    EXPECT_EQ(prompter.OpenFile(nullptr, u"Import assets"_s, filters), std::nullopt);
    EXPECT_TRUE(script.Finished());
}

Prompter::SaveAsRequest ExportRequest() {
    Prompter::SaveAsRequest request;
    request.title = u"Export read id record"_s;
    request.filters = {u"文本文档(*.txt)"_s, u"Microsoft Office Excel(*.xls)"_s,
                       u"All Files(*.*)"_s};
    request.defaultSuffix = u"txt"_s;
    return request;
}

// The file list's columns (name, size, type, date) fit in the list: none is cut off and no
// horizontal scroll bar is needed, whatever size the dialog would have opened at.
void ExpectColumnsFit(QFileDialog& dialog, const char* when) {
    auto* list = dialog.findChild<QTreeView*>(u"treeView"_s);
    ASSERT_NE(list, nullptr) << when;
    ASSERT_TRUE(list->isVisible()) << when << ": the detail list is what shows";
    QHeaderView* header = list->header();
    int columns = 0;
    for (int section = 0; section < header->count(); ++section) {
        if (!header->isSectionHidden(section)) {
            EXPECT_GT(header->sectionSize(section), 0) << when << ", column " << section;
            columns += header->sectionSize(section);
        }
    }
    EXPECT_GE(header->count(), 4) << when;
    // The date column holds a whole short date and time.
    const QString date =
        QLocale().toString(QDateTime(QDate(2026, 12, 28), QTime(23, 59, 59)), QLocale::ShortFormat);
    EXPECT_GT(header->sectionSize(3), list->fontMetrics().horizontalAdvance(date)) << when;
    EXPECT_GE(list->viewport()->width(), columns) << when;
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0) << when;
    EXPECT_GE(dialog.width(), columns) << when;
}

TEST(QtPrompterTest, SaveAsIsQtsOwnDialogOpenedWideEnoughForItsColumns) {
    test::TempFolder folder;
    test::WriteFile(folder.Path() / "2026-03-08 ReadIdRec.txt", "x");
    {
        const auto dialog = CreateSaveAsDialog(nullptr, ExportRequest());
        EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_EQ(dialog->viewMode(), QFileDialog::Detail);
        dialog->setDirectory(QString::fromStdString(folder.Path().string()));
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        ExpectColumnsFit(*dialog, "default size");
    }
    {
        // Far too narrow, as a small screen's default or a remembered size may be.
        const auto dialog = CreateSaveAsDialog(nullptr, ExportRequest());
        dialog->resize(200, 300);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        ExpectColumnsFit(*dialog, "opened narrow");
        // Shown again after a question, it still fits.
        dialog->hide();
        dialog->resize(200, 300);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        ExpectColumnsFit(*dialog, "shown again");
    }
}

}  // namespace
}  // namespace trelvane
