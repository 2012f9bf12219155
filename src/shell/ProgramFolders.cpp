#include "shell/ProgramFolders.h"

#include <system_error>

namespace trelvane {
namespace {

constexpr std::array<const char*, 5> kSubFolders = {"", "Doc", "Lang", "Res", "Conf"};

bool HoldsPack(const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".qm" && !it->is_directory(error)) {
            return true;
        }
    }
    return false;
}

}  // namespace

ProgramFolders::ProgramFolders(std::filesystem::path programFile)
    : programFile_(std::move(programFile)) {}

std::filesystem::path ProgramFolders::Get(Folder folder, bool create) {
    auto& slot = folders_.at(static_cast<std::size_t>(folder));
    if (slot) {
        return *slot;
    }
    std::filesystem::path path = programFile_.parent_path();
    if (folder != kBase) {
        path /= kSubFolders.at(static_cast<std::size_t>(folder));
    }
    slot = path;
    if (create) {
        std::error_code error;
        std::filesystem::create_directories(path, error);  // read-only medium: own texts
    }
    return path;
}

std::filesystem::path ChooseLanguageFolder(const std::filesystem::path& beside,
                                           const std::filesystem::path& installed) {
    if (HoldsPack(beside) || !HoldsPack(installed)) {
        return beside;
    }
    return installed;
}

}  // namespace trelvane
