// The Assets and Zones window over a real register file: zones and assets edited through its
// dialogs reach the register (and a refusal shows the register's message and keeps the
// dialog), imports and exports with their progress dialog (a bad line or a cancel changes
// nothing), the asset list read page by page and searched, and the window without a register.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTreeWidget>
#include <sstream>

#include "records/StringTable.h"
#include "shell/AssetModel.h"
#include "shell/SiteDialogs.h"
#include "shell/SiteWnd.h"
#include "support/ModalScript.h"
#include "support/QtWait.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using namespace Qt::Literals::StringLiterals;
using test::ModalScript;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;
using Kind = test::ScriptedPrompter::Kind;

std::string ExportOf(site::Register& reg) {
    std::ostringstream out;
    EXPECT_EQ(reg.ExportCsv(out), std::nullopt);
    return out.str();
}

// `count` assets from tag `first` on: "Pallet <n>" in group "pallets", every third a forklift.
std::string Csv(std::uint32_t first, std::uint32_t count) {
    std::string csv = "tag,label,group,note\n";
    for (std::uint32_t i = 0; i < count; ++i) {
        const bool forklift = i % 3 == 0;
        csv += std::to_string(first + i) + (forklift ? ",Forklift " : ",Pallet ") +
               std::to_string(i) + (forklift ? ",forklifts," : ",pallets,") + "\n";
    }
    return csv;
}

std::vector<std::string> ZoneNames(site::Register& reg) {
    std::vector<std::string> names;
    for (const site::Zone& zone : reg.Zones()) {
        names.push_back(zone.name);
    }
    return names;
}

template <class Dialog>
Dialog* As(QWidget* modal) {
    auto* dialog = qobject_cast<Dialog*>(modal);
    EXPECT_NE(dialog, nullptr) << "another window: " << modal->windowTitle().toStdString();
    return dialog;
}

QTreeWidgetItem* ReaderItem(ZoneDialog& dialog, const QString& name) {
    QTreeWidget* list = dialog.ReaderList();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(ZoneDialog::kReader) == name) {
            return list->topLevelItem(i);
        }
    }
    ADD_FAILURE() << "no reader " << name.toStdString();
    return nullptr;
}

class SiteWindowTest : public ::testing::Test {
  protected:
    SiteWindowTest() {
        site::Fault fault;
        reg = site::Register::Open(folder / "site.db", fault);
        EXPECT_NE(reg, nullptr) << fault.text;
        access.site = reg;
    }

    void SetUp() override {
        window = std::make_unique<SiteWindow>([this] { return access; },
                                              [this] { return connected; }, prompter);
        window->show();
    }

    void TearDown() override { SetLanguagePack(nullptr); }

    // Runs a command that opens a modal dialog, with the steps that handle it.
    void WithDialogs(const std::function<void()>& command,
                     std::deque<std::function<void(QWidget*)>> steps) {
        ModalScript script(std::move(steps));
        command();
        EXPECT_TRUE(script.Finished());
    }

    void SelectAsset(std::uint32_t tag) {
        AssetModel* model = window->Assets();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->AssetAt(row)->tag == tag) {
                window->AssetView()->selectRow(row);
                return;
            }
        }
        ADD_FAILURE() << "no row of tag " << tag;
    }

    void SelectZone(const QString& name) {
        const auto found = window->ZoneTable()->findItems(name, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty()) << name.toStdString();
        window->ZoneTable()->selectRow(found.front()->row());
    }

    TempFolder folder;
    std::shared_ptr<site::Register> reg;
    SiteAccess access;
    std::vector<std::string> connected = {"R01", "R07"};
    test::ScriptedPrompter prompter;
    std::unique_ptr<SiteWindow> window;
};

TEST_F(SiteWindowTest, ZonesEditedThroughTheWindowChangeTheRegister) {
    // Add: a connected reader ticked, one not connected typed.
    WithDialogs([&] { window->AddZone(); }, {[&](QWidget* modal) {
                    ZoneDialog* dialog = As<ZoneDialog>(modal);
                    ASSERT_NE(dialog, nullptr);
                    EXPECT_EQ(dialog->windowTitle(), u"Add zone"_s);
                    dialog->NameEdit()->setText(u" Dock B "_s);
                    ReaderItem(*dialog, u"R07"_s)->setCheckState(ZoneDialog::kReader, Qt::Checked);
                    dialog->OtherReaderEdit()->setText(u"R08"_s);
                    Q_EMIT dialog->OtherReaderEdit()->returnPressed();
                    EXPECT_TRUE(dialog->isVisible()) << "Enter in the reader field adds it";
                    dialog->accept();
                }});
    ASSERT_EQ(reg->Zones(), (std::vector<site::Zone>{{"Dock B", {"R07", "R08"}}}));
    EXPECT_EQ(window->ZoneTable()->rowCount(), 1);
    EXPECT_EQ(window->ZoneTable()->item(0, 1)->text(), u"R07, R08"_s);
    EXPECT_EQ(window->StatusText(), u"Zone Dock B saved."_s);

    // The readers offered: the connected ones and those a zone names, each with its zone.
    const std::vector<ReaderChoice> choices = window->ReaderChoices();
    ASSERT_EQ(choices.size(), 3u);
    EXPECT_EQ(choices[0].name, "R01");
    EXPECT_TRUE(choices[0].connected);
    EXPECT_EQ(choices[0].zone, "");
    EXPECT_EQ(choices[1].name, "R07");
    EXPECT_TRUE(choices[1].connected);
    EXPECT_EQ(choices[1].zone, "Dock B");
    EXPECT_EQ(choices[2].name, "R08");
    EXPECT_FALSE(choices[2].connected);
    EXPECT_EQ(choices[2].zone, "Dock B");

    // A reader another zone holds: the register's message, the dialog stays with what was
    // typed; nothing changes until a reader of its own is chosen instead.
    WithDialogs(
        [&] { window->AddZone(); }, {[&](QWidget* modal) {
            ZoneDialog* dialog = As<ZoneDialog>(modal);
            ASSERT_NE(dialog, nullptr);
            dialog->NameEdit()->setText(u"Gate"_s);
            EXPECT_EQ(ReaderItem(*dialog, u"R08"_s)->text(ZoneDialog::kZone), u"Dock B"_s);
            ReaderItem(*dialog, u"R08"_s)->setCheckState(ZoneDialog::kReader, Qt::Checked);
            dialog->accept();
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(prompter.Last().text, u"reader \"R08\" belongs to zone \"Dock B\""_s);
            EXPECT_EQ(ZoneNames(*reg), std::vector<std::string>{"Dock B"});
            ReaderItem(*dialog, u"R08"_s)->setCheckState(ZoneDialog::kReader, Qt::Unchecked);
            ReaderItem(*dialog, u"R01"_s)->setCheckState(ZoneDialog::kReader, Qt::Checked);
            dialog->accept();
        }});
    EXPECT_EQ(ZoneNames(*reg), (std::vector<std::string>{"Dock B", "Gate"}));

    // Edit: another name makes the zone anew with the readers ticked; a name another zone has
    // is refused and changes nothing.
    SelectZone(u"Dock B"_s);
    WithDialogs(
        [&] { window->EditZone(); }, {[&](QWidget* modal) {
            ZoneDialog* dialog = As<ZoneDialog>(modal);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->NameEdit()->text(), u"Dock B"_s);
            EXPECT_EQ(ReaderItem(*dialog, u"R08"_s)->checkState(ZoneDialog::kReader), Qt::Checked);
            EXPECT_EQ(ReaderItem(*dialog, u"R08"_s)->text(ZoneDialog::kZone), u""_s)
                << "its own zone goes without saying";
            dialog->NameEdit()->setText(u"Gate"_s);
            dialog->accept();
            EXPECT_EQ(prompter.Last().text, u"A zone named Gate exists already."_s);
            EXPECT_EQ(reg->Zones()[0], (site::Zone{"Dock B", {"R07", "R08"}}));
            dialog->NameEdit()->setText(u"Dock C"_s);
            ReaderItem(*dialog, u"R07"_s)->setCheckState(ZoneDialog::kReader, Qt::Unchecked);
            dialog->accept();
        }});
    EXPECT_EQ(reg->Zones(), (std::vector<site::Zone>{{"Dock C", {"R08"}}, {"Gate", {"R01"}}}));

    // A renamed zone that the register refuses is made again as it was.
    SelectZone(u"Dock C"_s);
    WithDialogs([&] { window->EditZone(); }, {[&](QWidget* modal) {
                    ZoneDialog* dialog = As<ZoneDialog>(modal);
                    ASSERT_NE(dialog, nullptr);
                    dialog->NameEdit()->setText(u"Dock D"_s);
                    dialog->TickReader(u"R01"_s);
                    dialog->accept();
                    EXPECT_EQ(prompter.Last().text, u"reader \"R01\" belongs to zone \"Gate\""_s);
                    dialog->reject();
                }});
    EXPECT_EQ(reg->Zones(), (std::vector<site::Zone>{{"Dock C", {"R08"}}, {"Gate", {"R01"}}}));

    // Remove asks first.
    SelectZone(u"Gate"_s);
    prompter.AnswerNo();
    window->RemoveZone();
    EXPECT_EQ(ZoneNames(*reg).size(), 2u);
    prompter.AnswerYes();
    window->RemoveZone();
    EXPECT_EQ(prompter.Last().text, u"Remove zone Gate? The tags in it leave it at once."_s);
    EXPECT_EQ(ZoneNames(*reg), std::vector<std::string>{"Dock C"});
    EXPECT_EQ(window->ZoneTable()->rowCount(), 1);
    EXPECT_EQ(prompter.unscripted, 0);
}

TEST_F(SiteWindowTest, AssetsEditedThroughTheWindowChangeTheRegister) {
    int changes = 0;
    QObject::connect(window.get(), &SiteWindow::SiteChanged, [&] { ++changes; });
    // Add: a tag that is no number, then a label the register refuses, then what it takes.
    WithDialogs([&] { window->AddAsset(); }, {[&](QWidget* modal) {
                    AssetDialog* dialog = As<AssetDialog>(modal);
                    ASSERT_NE(dialog, nullptr);
                    dialog->TagEdit()->setText(u"60001x"_s);
                    dialog->LabelEdit()->setText(u"Forklift 12"_s);
                    dialog->accept();
                    EXPECT_EQ(prompter.Last().text,
                              u"The tag ID is a decimal number from 0 to 4294967295."_s);
                    dialog->TagEdit()->setText(u"6000123"_s);
                    dialog->LabelEdit()->setText(u"  "_s);
                    dialog->accept();
                    EXPECT_EQ(prompter.Last().text, u"the label is empty"_s);
                    EXPECT_TRUE(dialog->isVisible());
                    dialog->LabelEdit()->setText(u"Forklift 12"_s);
                    dialog->GroupEdit()->setText(u"forklifts"_s);
                    dialog->NoteEdit()->setPlainText(u"blue, left side\nservice due"_s);
                    dialog->accept();
                }});
    EXPECT_EQ(reg->AssetOf(6000123),
              (site::Asset{6000123, "Forklift 12", "forklifts", "blue, left side\nservice due"}));
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(window->Assets()->rowCount(), 1);
    EXPECT_EQ(window->Assets()->index(0, AssetModel::kNote).data().toString(),
              u"blue, left side service due"_s);
    EXPECT_EQ(window->CountText(), u"1 assets"_s);

    // Adding a tag that is registered asks before replacing it; No keeps the dialog.
    WithDialogs([&] { window->AddAsset(); }, {[&](QWidget* modal) {
                    AssetDialog* dialog = As<AssetDialog>(modal);
                    ASSERT_NE(dialog, nullptr);
                    dialog->TagEdit()->setText(u"6000123"_s);
                    dialog->LabelEdit()->setText(u"Other"_s);
                    prompter.AnswerNo();
                    dialog->accept();
                    EXPECT_EQ(prompter.Last().text,
                              u"Tag 6000123 is registered already, as Forklift 12. Replace it?"_s);
                    EXPECT_TRUE(dialog->isVisible());
                    dialog->reject();
                }});
    EXPECT_EQ(reg->AssetOf(6000123)->label, "Forklift 12");

    // Edit: the tag stays, the texts change; an over-long group is the register's to refuse.
    SelectAsset(6000123);
    WithDialogs([&] { window->EditAsset(); }, {[&](QWidget* modal) {
                    AssetDialog* dialog = As<AssetDialog>(modal);
                    ASSERT_NE(dialog, nullptr);
                    EXPECT_TRUE(dialog->TagEdit()->isReadOnly());
                    EXPECT_EQ(dialog->LabelEdit()->text(), u"Forklift 12"_s);
                    dialog->GroupEdit()->setText(QString(201, u'g'));
                    dialog->accept();
                    EXPECT_EQ(prompter.Last().text, u"the group is longer than 200 bytes"_s);
                    dialog->LabelEdit()->setText(u"Forklift 12b"_s);
                    dialog->GroupEdit()->setText(QString());
                    dialog->accept();
                }});
    EXPECT_EQ(reg->AssetOf(6000123),
              (site::Asset{6000123, "Forklift 12b", "", "blue, left side\nservice due"}))
        << "the note kept as it was";
    EXPECT_EQ(window->Assets()->index(0, AssetModel::kLabel).data().toString(), u"Forklift 12b"_s);

    // Remove asks first.
    SelectAsset(6000123);
    prompter.AnswerYes();
    window->RemoveAsset();
    EXPECT_EQ(prompter.Last().text, u"Remove asset Forklift 12b (tag 6000123)?"_s);
    EXPECT_FALSE(reg->AssetOf(6000123));
    EXPECT_EQ(window->Assets()->rowCount(), 0);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(prompter.unscripted, 0);
}

TEST_F(SiteWindowTest, AnImportWithABadLineShowsItsLineAndChangesNothing) {
    std::istringstream start(Csv(100, 5));
    site::Fault fault;
    ASSERT_TRUE(reg->ImportCsv(start, false, fault));
    window->Reload();
    const std::string before = ExportOf(*reg);

    WriteFile(folder / "bad.csv", "tag,label,group,note\n7,Good,,\n8,,pallets,\n9,Also good,,\n");
    for (const bool replace : {false, true}) {
        if (replace) {
            prompter.AnswerYes();
        }
        prompter.AnswerOpenFile(QString::fromStdString((folder / "bad.csv").string()));
        window->Import(replace);
        const QString shown = u"The import changed nothing: line 3: the label is empty"_s;
        EXPECT_EQ(prompter.Last().text, shown);
        EXPECT_EQ(prompter.Last().icon, Prompter::Icon::kError);
        EXPECT_EQ(window->StatusText(), shown) << "it stays readable in the window";
        EXPECT_EQ(ExportOf(*reg), before);
        EXPECT_EQ(window->Assets()->rowCount(), 5);
    }
    EXPECT_EQ(prompter.prompts[0].kind, Kind::kOpenFile);
    EXPECT_EQ(prompter.prompts[0].request.filters,
              QStringList({u"CSV files (*.csv)"_s, u"All Files(*.*)"_s}));
    EXPECT_EQ(prompter.unscripted, 0);
}

TEST_F(SiteWindowTest, ImportAndExportRunBehindAProgressDialogWhoseCancelChangesNothing) {
    WriteFile(folder / "first.csv", Csv(1000, 30000));
    ASSERT_TRUE(window->ImportFrom(folder / "first.csv", false));
    EXPECT_EQ(window->StatusText(), u"Imported first.csv: 30000 added, 0 updated, 0 removed."_s);
    EXPECT_EQ(window->Assets()->rowCount(), 30000);

    // Replace, asked first: the file becomes the whole list.
    WriteFile(folder / "second.csv", Csv(20000, 20000));
    prompter.AnswerOpenFile(QString::fromStdString((folder / "second.csv").string()));
    prompter.AnswerYes();
    window->Import(true);
    EXPECT_EQ(window->StatusText(),
              u"Imported second.csv: 9000 added, 11000 updated, 19000 removed."_s);
    EXPECT_EQ(window->Assets()->rowCount(), 20000);
    EXPECT_EQ(reg->Current()->AssetCount(), 20000u);
    const std::string before = ExportOf(*reg);

    // Cancel, as the progress dialog's button does it, once the import has started.
    bool progressShown = false;
    const auto cancel = QObject::connect(window.get(), &SiteWindow::TransferStarted, [&] {
        auto* progress = window->findChild<QProgressDialog*>();
        ASSERT_NE(progress, nullptr);
        progressShown = progress->windowModality() == Qt::ApplicationModal;
        progress->findChild<QPushButton*>()->click();
    });
    EXPECT_FALSE(window->ImportFrom(folder / "first.csv", true));
    EXPECT_TRUE(progressShown);
    EXPECT_EQ(window->StatusText(), u"The import was cancelled; nothing was changed."_s);
    EXPECT_TRUE(ExportOf(*reg) == before);  // not EXPECT_EQ: a diff of 20,000 lines takes minutes

    // An export cancelled leaves the older file as it was and no part file.
    WriteFile(folder / "out.csv", "older");
    EXPECT_FALSE(window->ExportTo(folder / "out.csv"));
    EXPECT_EQ(window->StatusText(), u"The export was cancelled."_s);
    EXPECT_EQ(ReadFile(folder / "out.csv"), "older");
    EXPECT_FALSE(std::filesystem::exists(folder / "out.csv.part"));
    QObject::disconnect(cancel);

    prompter.AnswerSaveAs(QString::fromStdString((folder / "out.csv").string()));
    window->Export();
    EXPECT_TRUE(ReadFile(folder / "out.csv") == before);
    EXPECT_EQ(window->StatusText(),
              QString::fromStdString("20000 assets exported to " + (folder / "out.csv").string()));
    EXPECT_EQ(prompter.prompts.back().request.title, u"Export assets"_s);
    EXPECT_EQ(prompter.unscripted, 0);
}

// The list reads only the pages on screen, searches through the register, and shows a change
// made by another program within a second.
TEST_F(SiteWindowTest, TheAssetListReadsPagesAndSearches) {
    std::istringstream csv(Csv(5000000, 60000));
    site::Fault fault;
    ASSERT_TRUE(reg->ImportCsv(csv, false, fault)) << fault.text;
    window->Tabs()->setCurrentIndex(1);
    window->Reload();
    AssetModel* model = window->Assets();
    ASSERT_EQ(model->rowCount(), 60000);
    EXPECT_EQ(window->CountText(), u"60000 assets"_s);
    window->AssetView()->scrollToBottom();
    window->AssetView()->repaint();
    EXPECT_EQ(model->AssetAt(59999)->tag, 5059999u);
    EXPECT_EQ(model->AssetAt(30000)->label, "Forklift 30000");
    EXPECT_LE(model->PagesRead(), 4u) << "the first, the last and the middle";

    // Labels in any case; the count is checked against the labels Csv made.
    int forklifts = 0;
    int last = 0;
    for (int i = 0; i < 60000; i += 3) {
        if (std::to_string(i).starts_with("123")) {
            ++forklifts;
            last = i;
        }
    }
    window->SetSearch(u"forklift 123"_s);
    EXPECT_EQ(window->CountText(),
              QString::fromStdString(std::to_string(forklifts) + " of 60000 assets"));
    EXPECT_EQ(model->rowCount(), forklifts);
    EXPECT_EQ(model->AssetAt(0)->label, "Forklift 123");
    EXPECT_EQ(model->AssetAt(forklifts - 1)->label, "Forklift " + std::to_string(last));
    window->SetSearch(u"5000002"_s);
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->AssetAt(0)->label, "Pallet 2");
    window->SetSearch(QString());
    EXPECT_EQ(model->rowCount(), 60000);

    // Another connection, as trelvane-site would be; the service's Refresh brings it here.
    {
        std::unique_ptr<site::Register> other = site::Register::Open(folder / "site.db", fault);
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(other->SetAsset({1, "Crate", "", ""}), std::nullopt);
        ASSERT_EQ(other->SetZone("Yard", {"R11"}), std::nullopt);
    }
    ASSERT_TRUE(reg->Refresh());
    EXPECT_TRUE(test::WaitUntil(
        [&] { return model->rowCount() == 60001 && window->ZoneTable()->rowCount() == 1; }, 3000));
    EXPECT_EQ(model->AssetAt(0)->label, "Crate");
}

TEST_F(SiteWindowTest, WithoutARegisterTheWindowSaysWhyUntilThereIsOne) {
    access = SiteAccess{nullptr, ""};
    window->Reload();
    EXPECT_EQ(window->Message().toStdString(), OwnText(ids::kSiteNotStarted));
    window->AddZone();
    window->Import(false);
    EXPECT_TRUE(prompter.prompts.empty()) << "no command runs without a register";

    access = SiteAccess{nullptr, "site register /x/site.db: not a Trelvane site register"};
    window->Reload();
    EXPECT_EQ(window->Message(),
              u"The site register cannot be opened: site register /x/site.db: "
              u"not a Trelvane site register"_s);

    // The service starts: the window finds the register on its own.
    access.site = reg;
    EXPECT_TRUE(test::WaitUntil([&] { return window->Message().isEmpty(); }, 3000));
    EXPECT_EQ(window->Tabs()->count(), 2);
}

}  // namespace
}  // namespace trelvane
