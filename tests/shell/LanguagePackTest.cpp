#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <algorithm>
#include <regex>

#include "records/StringTable.h"
#include "records/TextCodec.h"
#include "shell/LauguageOp.h"
#include "shell/QtPrompter.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using namespace Qt::Literals::StringLiterals;
using test::TempFolder;

// The packs as the build installs them beside the program.
const std::filesystem::path kBuiltPacks = TRELVANE_LANG_DIR;

// What a translation must keep of a text: its conversions (%s, %1, ...), TABs, line breaks and
// whether it ends in CR LF. A pack that changes these breaks the log, the export or a message.
struct Shape {
    std::vector<std::string> conversions;
    long tabs = 0;
    long newlines = 0;
    bool crlfAtEnd = false;
    friend bool operator==(const Shape&, const Shape&) = default;
};

Shape ShapeOf(const std::string& text) {
    Shape shape;
    static const std::regex conversion("%[s1-9%]");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), conversion);
         it != std::sregex_iterator(); ++it) {
        shape.conversions.push_back(it->str());
    }
    std::sort(shape.conversions.begin(), shape.conversions.end());
    shape.tabs = std::count(text.begin(), text.end(), '\t');
    shape.newlines = std::count(text.begin(), text.end(), '\n');
    shape.crlfAtEnd = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    return shape;
}

class LanguagePackTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLanguagePack(nullptr); }
};

TEST_F(LanguagePackTest, EnglishPackHoldsTheProgramsOwnTextsForEveryId) {
    const auto pack = LoadLanguagePackFile(kBuiltPacks / "en_US.qm");
    ASSERT_TRUE(pack.has_value());
    for (const int id : OwnTextIds()) {
        const auto it = pack->find(id);
        ASSERT_NE(it, pack->end()) << "no English text for " << id;
        EXPECT_EQ(it->second, OwnText(id)) << id;
    }
}

TEST_F(LanguagePackTest, TraditionalChinesePackTranslatesEveryIdKeepingItsShape) {
    const auto pack = LoadLanguagePackFile(kBuiltPacks / "zh_TW.qm");
    ASSERT_TRUE(pack.has_value());
    const auto codec = TextCodec::ForCodePage(950).value();
    int translated = 0;
    for (const int id : OwnTextIds()) {
        const auto it = pack->find(id);
        ASSERT_NE(it, pack->end()) << "no Traditional Chinese text for " << id;
        EXPECT_FALSE(it->second.empty()) << id;
        EXPECT_EQ(ShapeOf(it->second), ShapeOf(OwnText(id))) << id << ": " << it->second;
        // Every text can be written in the language's own code page.
        const std::string bytes = codec.FromUtf8(it->second);
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '?'),
                  std::count(it->second.begin(), it->second.end(), '?'))
            << id << ": a character Big5 cannot hold";
        translated += it->second != OwnText(id) ? 1 : 0;
    }
    // Only names and versions stay as they are.
    EXPECT_GE(translated, static_cast<int>(OwnTextIds().size()) - 3);
}

TEST_F(LanguagePackTest, LogLineAndExportHeaderOfThePackFitTheDefaultCodePage) {
    LanguageState language(kBuiltPacks, kLanguageChinesePrc);
    ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
    const auto gbk = TextCodec::ForCodePage(936).value();
    const std::string line = FormatText(LoadText(ids::kReadLogLine), {"7", "R01", "t"});
    EXPECT_EQ(gbk.FromUtf8(line).find('?'), std::string::npos) << line;
    EXPECT_EQ(gbk.FromUtf8(LoadText(ids::kExportHeader)).find('?'), std::string::npos);
}

TEST_F(LanguagePackTest, SelectLoadsUnloadsAndFallsBack) {
    TempFolder lang;
    std::filesystem::copy_file(kBuiltPacks / "zh_TW.qm", lang.Path() / "zh_TW.qm");
    test::WriteFile(lang.Path() / "en_US.qm", "this is not a translation file");
    LanguageState language(lang.Path(), kLanguageEnglish);
    ASSERT_TRUE(language.Available(kLanguageTraditionalChinese));
    ASSERT_TRUE(language.Available(kLanguageEnglish));

    EXPECT_TRUE(language.Select(kLanguageTraditionalChinese));
    EXPECT_EQ(LoadText(142), "系統控制");
    EXPECT_EQ(OwnText(142), "System Control") << "the own table is never changed by a pack";
    EXPECT_EQ(language.Loaded(), kLanguageTraditionalChinese);

    EXPECT_FALSE(language.Select(kLanguageEnglish)) << "its file is no translation file";
    EXPECT_EQ(LoadText(142), "System Control") << "the previous pack was unloaded";
    EXPECT_EQ(language.Loaded(), kLanguageChinesePrc);

    EXPECT_FALSE(language.Select(0x0407)) << "not in the table";

    // English cannot be loaded and the user's locale is English too: the own texts.
    ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
    language.SetCurrent(kLanguageEnglish);
    language.ApplyCurrent();
    EXPECT_EQ(language.Current(), kLanguageChinesePrc);
    EXPECT_EQ(LoadText(142), "System Control");
}

TEST_F(LanguagePackTest, ApplyFallsBackToTheUsersLocaleFirst) {
    TempFolder lang;
    std::filesystem::copy_file(kBuiltPacks / "zh_TW.qm", lang.Path() / "zh_TW.qm");
    LanguageState language(lang.Path(), kLanguageTraditionalChinese);
    language.SetCurrent(kLanguageEnglish);  // no pack for it
    language.ApplyCurrent();
    EXPECT_EQ(language.Current(), kLanguageTraditionalChinese);
    EXPECT_EQ(LoadText(ids::kTips), "提示");
}

// Qt's standard button texts as every Qt dialog takes them.
QString QtYes() {
    return QCoreApplication::translate("QPlatformTheme", "&Yes");
}

// Qt's own translation of Traditional Chinese as the Debian package qt6-translations-l10n
// installs it; without it there is nothing to follow.
std::optional<std::filesystem::path> QtTraditionalChinese() {
    const auto file = QtTranslationsFolder() / "qtbase_zh_TW.qm";
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    return file;
}

class QtTextsTest : public LanguagePackTest {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(kBuiltPacks / "zh_TW.qm", lang.Path() / "zh_TW.qm");
        std::filesystem::copy_file(kBuiltPacks / "en_US.qm", lang.Path() / "en_US.qm");
        ASSERT_EQ(QtYes(), u"&Yes"_s) << "a Qt translation left installed by another test";
    }
    TempFolder lang;
};

TEST_F(QtTextsTest, TraditionalChinesePackBringsQtsTranslationAndSwitchingBackRemovesIt) {
    const auto qtFile = QtTraditionalChinese();
    if (!qtFile) {
        GTEST_SKIP() << "no qtbase_zh_TW.qm in " << QtTranslationsFolder()
                     << " (Debian package qt6-translations-l10n)";
    }
    {
        LanguageState language(lang.Path(), kLanguageChinesePrc);
        EXPECT_FALSE(language.QtTranslation().has_value()) << "nothing is loaded at start";

        ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
        EXPECT_EQ(language.QtTranslation(), qtFile);
        EXPECT_EQ(QtYes(), u"是(&Y)"_s);
        {
            // A question asked now shows its standard buttons in the language.
            QMessageBox box(QMessageBox::Information, u"c"_s, u"t"_s,
                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
            EXPECT_EQ(box.button(QMessageBox::Yes)->text(), u"是(&Y)"_s);
            EXPECT_EQ(box.button(QMessageBox::No)->text(), u"否(&N)"_s);
            EXPECT_EQ(box.button(QMessageBox::Ok)->text(), u"確定"_s);
        }
        {
            // And so does the Save As dialog.
            Prompter::SaveAsRequest request;
            request.filters = {u"All Files(*.*)"_s};
            const auto dialog = CreateSaveAsDialog(nullptr, request);
            const auto* typeLabel = dialog->findChild<QLabel*>(u"fileTypeLabel"_s);
            ASSERT_NE(typeLabel, nullptr);
            EXPECT_EQ(typeLabel->text(), u"檔案型態："_s);
        }
        // Selecting it again keeps exactly one translation installed.
        ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
        ASSERT_TRUE(language.Select(kLanguageEnglish));
        EXPECT_EQ(QtYes(), u"&Yes"_s) << "English needs no translation of Qt's texts";
        EXPECT_FALSE(language.QtTranslation().has_value());

        ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
        ASSERT_EQ(QtYes(), u"是(&Y)"_s);
        ASSERT_TRUE(language.Select(kLanguageChinesePrc));
        EXPECT_EQ(QtYes(), u"&Yes"_s) << "the built-in texts drop it again";
        EXPECT_EQ(LoadText(142), "System Control");

        ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
        ASSERT_EQ(QtYes(), u"是(&Y)"_s);
        // A pack that cannot be selected changes nothing; one that fails to load takes Qt's
        // translation with it.
        EXPECT_FALSE(language.Select(0x0407));
        EXPECT_EQ(QtYes(), u"是(&Y)"_s);
        test::WriteFile(lang.Path() / "en_US.qm", "broken");
        EXPECT_FALSE(language.Select(kLanguageEnglish));
        EXPECT_EQ(QtYes(), u"&Yes"_s);

        ASSERT_TRUE(language.Select(kLanguageTraditionalChinese));
    }
    EXPECT_EQ(QtYes(), u"&Yes"_s) << "the language state takes its translation with it";
}

TEST_F(QtTextsTest, MissingOrNeighbouringQtTranslationIsNoError) {
    TempFolder qtFolder;
    LanguageState language(lang.Path(), kLanguageChinesePrc);
    language.SetQtTranslationsFolder(qtFolder.Path());
    EXPECT_TRUE(language.Select(kLanguageTraditionalChinese)) << "the pack alone is enough";
    EXPECT_EQ(LoadText(142), "系統控制");
    EXPECT_FALSE(language.QtTranslation().has_value());
    EXPECT_EQ(QtYes(), u"&Yes"_s);

    // Another language's file under a name QTranslator would fall back to is not taken, nor is
    // a file of the right name that holds no translation.
    if (const auto real = QtTraditionalChinese()) {
        std::filesystem::copy_file(*real, qtFolder.Path() / "qtbase_zh.qm");
        std::filesystem::copy_file(*real, qtFolder.Path() / "qtbase.qm");
    }
    std::filesystem::create_directory(qtFolder.Path() / "qtbase_zh_TW");
    EXPECT_TRUE(language.Select(kLanguageTraditionalChinese));
    EXPECT_FALSE(language.QtTranslation().has_value());
    EXPECT_EQ(QtYes(), u"&Yes"_s);

    test::WriteFile(qtFolder.Path() / "qtbase_zh_TW.qm", std::string(64, '\0'));
    EXPECT_TRUE(language.Select(kLanguageTraditionalChinese));
    EXPECT_FALSE(language.QtTranslation().has_value());
    EXPECT_EQ(QtYes(), u"&Yes"_s);
    EXPECT_EQ(LoadText(ids::kTips), "提示");
}

TEST_F(LanguagePackTest, PackFileThatIsNotATranslationGivesNothing) {
    TempFolder lang;
    test::WriteFile(lang.Path() / "x.qm", std::string(64, '\0'));
    EXPECT_FALSE(LoadLanguagePackFile(lang.Path() / "x.qm").has_value());
    EXPECT_FALSE(LoadLanguagePackFile(lang.Path() / "missing.qm").has_value());
}

}  // namespace
}  // namespace trelvane
