#pragma once

// The interface languages and the language packs. The program's own texts (tagged Chinese
// (P.R.C), 2052, although they are the English ones) are always there; Traditional Chinese and
// English come from Qt translation files in the language folder beside the program
// (Lang/zh_TW.qm, Lang/en_US.qm) whose messages are keyed by string id.
//
// At start-up the folder is created and scanned; nothing is loaded, so the window starts with
// the program's own texts. A language switch selects a pack: it unloads the current one, loads
// the new one into the string table (SetLanguagePack) and the window re-texts itself.
//
// Qt's own texts (the Yes, No and OK buttons, the Save As dialog) follow the pack: with a pack
// whose language Qt does not speak by itself, Qt's translation of it (qtbase_zh_TW.qm from
// Qt's translations folder) is installed on the application beside the pack, and removed when
// the pack goes. A missing Qt translation only leaves those texts in English.
//
// Thread-safety: the user-interface thread only (the string table itself may be read anywhere;
// installing a translator posts language-change events to every widget).

#include <QLocale>
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "records/StringTable.h"
#include "shell/ProgramFolders.h"

class QTranslator;

namespace trelvane {

inline constexpr std::uint16_t kLanguageEnglish = 0x0409;
inline constexpr std::uint16_t kLanguageChinesePrc = 0x0804;  // the program's own texts
inline constexpr std::uint16_t kLanguageTraditionalChinese = 0x0404;

struct LanguageEntry {
    std::uint16_t id;
    const char* shortName;
    bool available;        // a pack file was found by the last scan
    const char* packName;  // file base name in the language folder
    int codePage;
    const char* qtTexts;  // Qt's translation of its own texts; nullptr: Qt's built-in English
};

// The table of languages in its fixed order. The entry for 2052 stands for the program's own
// texts and never has a pack.
std::array<LanguageEntry, 3> DefaultLanguageTable();

// The pack file of `packName` in `folder`: "<packName>.qm", the name compared without regard to
// case (the exact spelling preferred); directories never count. Nothing when there is none.
std::optional<std::filesystem::path> FindPackFile(const std::filesystem::path& folder,
                                                  const char* packName);

// Reads a translation file and takes from it the text of every id of the program's own table
// that it translates. Nothing when the file cannot be loaded as a translation file.
std::optional<LanguagePack> LoadLanguagePackFile(const std::filesystem::path& file);

// The folder Qt's own translations are installed in (QLibraryInfo's TranslationsPath).
std::filesystem::path QtTranslationsFolder();

// The language identifier of a locale (the one the platform would report for it); 0 for a
// locale this program has no identifier for.
std::uint16_t LanguageOfLocale(const QLocale& locale);

class LanguageState {
  public:
    // Creates the language folder (through `folders`, with the create flag) and scans it.
    // `threadLanguage` is the identifier of the user's locale, the first choice of the switch's
    // fallback and the current language until a switch.
    LanguageState(ProgramFolders& folders, std::uint16_t threadLanguage);
    // The same with the folder given directly (created and scanned likewise).
    LanguageState(std::filesystem::path folder, std::uint16_t threadLanguage);
    // Removes Qt's translation if one is installed.
    ~LanguageState();
    LanguageState(const LanguageState&) = delete;
    LanguageState& operator=(const LanguageState&) = delete;

    // Where Select looks for Qt's translations (QtTranslationsFolder() unless changed); takes
    // effect at the next Select.
    void SetQtTranslationsFolder(std::filesystem::path folder) { qtFolder_ = std::move(folder); }
    // The Qt translation installed on the application now; nothing when Qt speaks English.
    std::optional<std::filesystem::path> QtTranslation() const { return qtFile_; }

    const std::filesystem::path& Folder() const { return folder_; }
    const std::array<LanguageEntry, 3>& Table() const { return table_; }
    bool Available(std::uint16_t language) const;
    // Marks available exactly the languages whose pack file the folder holds now.
    void Rescan();

    std::uint16_t Current() const { return current_; }
    void SetCurrent(std::uint16_t language) { current_ = language; }
    // The language whose texts the string table serves: a loaded pack's, else 2052.
    std::uint16_t Loaded() const { return loaded_ == 0 ? kLanguageChinesePrc : loaded_; }

    // Selects `language` if the table has it available: unloads the loaded pack and Qt's
    // translation, then loads the language's pack (none for 2052) and, when the pack loaded,
    // installs Qt's translation for it if the Qt translations folder has one. False, and
    // nothing changed, when it is not available; false, and no pack loaded, when its file
    // cannot be loaded.
    bool Select(std::uint16_t language);
    // Makes the current language the one in effect: the current one if it can be selected,
    // otherwise the user's locale's, otherwise the program's own texts; `Current()` then names
    // the language selected.
    void ApplyCurrent();

    // The pack file of `language` exists and can be opened for reading now (always true for
    // the program's own texts).
    bool PackReadable(std::uint16_t language) const;

  private:
    const LanguageEntry* Entry(std::uint16_t language) const;
    void InstallQtTranslation(const LanguageEntry& entry);
    void RemoveQtTranslation();

    std::filesystem::path folder_;
    std::array<LanguageEntry, 3> table_;
    std::uint16_t threadLanguage_;
    std::uint16_t current_;
    std::uint16_t loaded_ = 0;  // 0: no pack loaded
    std::filesystem::path qtFolder_;
    std::unique_ptr<QTranslator> qtTranslator_;  // installed on the application while set
    std::optional<std::filesystem::path> qtFile_;
};

}  // namespace trelvane
