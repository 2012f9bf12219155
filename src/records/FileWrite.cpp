#include "records/FileWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace trelvane {

FileWriteResult WriteFileBytes(const std::filesystem::path& file, std::string_view bytes,
                               FileOpenMode mode) {
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | (mode == FileOpenMode::kAppend ? O_APPEND : O_TRUNC);
    const int fd = ::open(file.c_str(), flags, 0644);
    if (fd < 0) {
        return FileWriteResult::kCannotOpen;
    }
    bool ok = true;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    // A full disk may only show at close on some file systems.
    if (::close(fd) != 0) {
        ok = false;
    }
    return ok ? FileWriteResult::kDone : FileWriteResult::kWriteFailed;
}

}  // namespace trelvane
