#pragma once

// A fresh, empty folder for one test (or one run of a snapshot program), removed with everything
// in it afterwards; and the file helpers tests use on what they find there. Every suite takes its
// scratch folders from here.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace trelvane::test {

class TempFolder {
  public:
    // A name of its own under the system's temporary folder (TMPDIR), made by mkdtemp, so that
    // suites run in parallel, or two folders of one test, never meet.
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "trelvane-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            // Nothing a test could do without its folder would mean anything.
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        // A test that made the folder read-only (a refused write) must not stop the clean-up.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

// The whole file as bytes ("" when it cannot be read).
inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file with exactly `bytes`.
inline void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The entries (files and folders) in `folder`, e.g. to check that no temporary file is left.
inline std::size_t FilesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator()));
}

}  // namespace trelvane::test
