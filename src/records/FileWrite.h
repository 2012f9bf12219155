#pragma once

// The one way the records layer puts bytes into a file: open, write everything (retrying short
// and interrupted writes), close, and say whether all of it got there.

#include <filesystem>
#include <string_view>

namespace trelvane {

enum class FileOpenMode { kTruncate, kAppend };

enum class FileWriteResult {
    kDone,
    kCannotOpen,   // nothing written
    kWriteFailed,  // opened, but not every byte was written or the close reported an error
};

// Creates the file when it is missing (mode 0644 before the umask).
FileWriteResult WriteFileBytes(const std::filesystem::path& file, std::string_view bytes,
                               FileOpenMode mode);

}  // namespace trelvane
