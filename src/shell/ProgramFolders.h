#pragma once

// The folders beside the program file. Only the language folder is used: it is created at
// start-up and scanned for language packs. The settings file and the daily logs, by contrast,
// live in the process's working directory.
//
// A folder's path is computed once, on its first request, and then kept; only that first
// request can create it (an existing folder is left alone, a failure is ignored: the program
// then runs on its own texts).

#include <array>
#include <filesystem>
#include <optional>

namespace trelvane {

class ProgramFolders {
  public:
    enum Folder : int {
        kBase = 0,           // the program file's folder
        kDocuments = 1,      // Doc/
        kLanguage = 2,       // Lang/
        kResources = 3,      // Res/
        kConfiguration = 4,  // Conf/
    };

    // `programFile`: the full path of the running executable.
    explicit ProgramFolders(std::filesystem::path programFile);

    std::filesystem::path Get(Folder folder, bool create);

  private:
    std::filesystem::path programFile_;
    std::array<std::optional<std::filesystem::path>, 5> folders_;
};

// The language folder to scan: `beside` (Lang/ beside the program, a build tree's) when it holds
// a pack (*.qm), else `installed` (<datadir>/trelvane/Lang) when that holds one, else `beside`.
std::filesystem::path ChooseLanguageFolder(const std::filesystem::path& beside,
                                           const std::filesystem::path& installed);

}  // namespace trelvane
