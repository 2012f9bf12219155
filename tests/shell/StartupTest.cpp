#include <gtest/gtest.h>

#include <QApplication>
#include <fstream>

#include "records/StringTable.h"
#include "shell/Korvex.h"
#include "shell/LauguageOp.h"
#include "shell/ProgramFolders.h"
#include "shell/SocketLibrary.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace trelvane {
namespace {

using test::ScriptedPrompter;
using test::TempFolder;

// A socket layer that fails or grants what the test says, and counts start-ups and releases.
class FakeSocketLibrary final : public SocketLibrary {
  public:
    bool Startup(std::uint16_t requested, std::uint16_t& granted) override {
        ++startups;
        lastRequested = requested;
        if (!works) {
            return false;
        }
        granted = grant;
        return true;
    }
    void Cleanup() override { ++cleanups; }

    bool works = true;
    std::uint16_t grant = kSocketLibraryVersion;
    std::uint16_t lastRequested = 0;
    int startups = 0;
    int cleanups = 0;
};

struct AppRun {
    FakeSocketLibrary sockets;
    ScriptedPrompter prompter;
    int windowsRun = 0;
    bool initResult = true;
    int exitCode = -1;

    void Run() {
        CKorvexApp app(sockets, prompter, [this] { ++windowsRun; });
        initResult = app.InitInstance();
        exitCode = app.ExitInstance();
    }
};

TEST(StartupTest, WorkingSocketLayerRunsTheWindowOnceAndReleasesItAtExit) {
    AppRun run;
    run.Run();
    EXPECT_EQ(run.sockets.lastRequested, 0x0101);
    EXPECT_EQ(run.windowsRun, 1);
    EXPECT_TRUE(run.prompter.prompts.empty());
    EXPECT_FALSE(run.initResult) << "start-up always ends the program when it returns";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.sockets.startups, 1);
    EXPECT_EQ(run.sockets.cleanups, 1);
}

TEST(StartupTest, MissingSocketLayerRefusesBeforeAnyWindow) {
    AppRun run;
    run.sockets.works = false;
    run.Run();
    EXPECT_EQ(run.windowsRun, 0);
    ASSERT_EQ(run.prompter.prompts.size(), 1u);
    EXPECT_EQ(run.prompter.Last().kind, ScriptedPrompter::Kind::kInform);
    EXPECT_EQ(run.prompter.Last().text, QStringLiteral("there is no winsock DLL to use"));
    EXPECT_EQ(run.prompter.Last().caption, QStringLiteral("Trelvane"));
    EXPECT_EQ(run.sockets.cleanups, 0) << "nothing was started, so nothing is released";
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
}

TEST(StartupTest, AnyOtherGrantedVersionIsRefusedAndReleasedOnce) {
    for (const std::uint16_t granted :
         {SocketVersion(2, 2), SocketVersion(1, 0), SocketVersion(0, 1), SocketVersion(2, 1)}) {
        AppRun run;
        run.sockets.grant = granted;
        run.Run();
        EXPECT_EQ(run.windowsRun, 0) << granted;
        ASSERT_EQ(run.prompter.prompts.size(), 1u) << granted;
        // The text ends in a space: it is the program's own text as it stands.
        EXPECT_EQ(run.prompter.Last().text, QStringLiteral("there is not right winsock DLL "));
        EXPECT_EQ(run.sockets.startups, 1);
        EXPECT_EQ(run.sockets.cleanups, 1) << "released once, not again at exit";
    }
}

TEST(ProgramFoldersTest, LanguageFolderIsBesideTheProgramNotInTheWorkingDirectory) {
    TempFolder program;
    TempFolder elsewhere;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(elsewhere.Path());
    ProgramFolders folders(program.Path() / "trelvane");
    const auto lang = folders.Get(ProgramFolders::kLanguage, true);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(lang, program.Path() / "Lang");
    EXPECT_TRUE(std::filesystem::is_directory(program.Path() / "Lang"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere.Path() / "Lang"));
    EXPECT_EQ(folders.Get(ProgramFolders::kBase, false), program.Path());
}

TEST(ProgramFoldersTest, UncreatableLanguageFolderLeavesTheOwnTexts) {
    TempFolder program;
    // A file where the folder should be: creation fails, and is ignored.
    test::WriteFile(program.Path() / "Lang", "not a folder");
    ProgramFolders folders(program.Path() / "trelvane");
    LanguageState language(folders, kLanguageEnglish);
    EXPECT_FALSE(language.Available(kLanguageEnglish));
    EXPECT_FALSE(language.Available(kLanguageTraditionalChinese));
    EXPECT_TRUE(language.Available(kLanguageChinesePrc));
}

TEST(LanguageScanTest, PackNamesMatchWithoutRegardToCaseAndOnlyAsFiles) {
    TempFolder lang;
    test::WriteFile(lang.Path() / "EN_US.QM", "");
    test::WriteFile(lang.Path() / "zh_TW.txt", "");
    std::filesystem::create_directory(lang.Path() / "zh_TW.qm");
    test::WriteFile(lang.Path() / "fr_FR.qm", "");
    const LanguageState language(lang.Path(), 0);
    EXPECT_TRUE(language.Available(kLanguageEnglish));
    EXPECT_FALSE(language.Available(kLanguageTraditionalChinese))
        << "a folder named like a pack and a pack name with another extension do not count";
    EXPECT_TRUE(language.Available(kLanguageChinesePrc)) << "the program's own texts";
    EXPECT_EQ(FindPackFile(lang.Path(), "en_US"), lang.Path() / "EN_US.QM");
    EXPECT_EQ(FindPackFile(lang.Path(), "zh_TW"), std::nullopt);
}

TEST(LanguageScanTest, EmptyFolderIsCreatedAndOffersOnlyTheOwnTexts) {
    TempFolder program;
    const auto folder = program.Path() / "Lang";
    LanguageState language(folder, kLanguageEnglish);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(language.Current(), kLanguageEnglish) << "the user's locale until a switch";
    language.ApplyCurrent();
    EXPECT_EQ(language.Current(), kLanguageChinesePrc);
    EXPECT_EQ(LoadText(ids::kAppTitle), "Trelvane");
}

}  // namespace
}  // namespace trelvane
