#include "records/FileWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace trelvane {
namespace {

// Bytes of `bytes` written to `fd`, stopping at the first error other than an interruption.
std::size_t WriteAll(int fd, std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    return written;
}

// How many lines end at or before `bytes`.
std::size_t WholeLines(std::span<const std::size_t> lineEnds, std::size_t bytes) {
    return static_cast<std::size_t>(std::upper_bound(lineEnds.begin(), lineEnds.end(), bytes) -
                                    lineEnds.begin());
}

bool Truncate(int fd, off_t size) {
    int rc = 0;
    do {
        rc = ::ftruncate(fd, size);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Appends `bytes` to `fd`, whose end is at `start`; when not all of it goes in, cuts the file
// back to the last whole line that did.
LineAppendResult WriteWholeLines(int fd, off_t start, std::string_view bytes,
                                 std::span<const std::size_t> lineEnds) {
    const std::size_t written = WriteAll(fd, bytes);
    LineAppendResult result{FileWriteResult::kDone, lineEnds.size()};
    if (written < bytes.size()) {
        result.status = FileWriteResult::kWriteFailed;
        result.linesWritten = WholeLines(lineEnds, written);
        const std::size_t keep = result.linesWritten == 0 ? 0 : lineEnds[result.linesWritten - 1];
        if (keep < written) {
            Truncate(fd, start + static_cast<off_t>(keep));
        }
    }
    return result;
}

// A close that failed after every byte was handed over (a network file system may only learn of
// a full disk then): look at what the file really holds and cut it back to whole lines.
LineAppendResult CheckAfterFailedClose(const std::filesystem::path& file, off_t start,
                                       std::span<const std::size_t> lineEnds) {
    const std::size_t total = lineEnds.empty() ? 0 : lineEnds.back();
    const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        return {FileWriteResult::kWriteFailed, 0};
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {FileWriteResult::kWriteFailed, 0};
    }
    const std::size_t there =
        st.st_size <= start ? 0 : std::min(total, static_cast<std::size_t>(st.st_size - start));
    const std::size_t lines = WholeLines(lineEnds, there);
    if (lines == lineEnds.size()) {
        ::close(fd);
        return {FileWriteResult::kDone, lines};
    }
    const std::size_t keep = lines == 0 ? 0 : lineEnds[lines - 1];
    Truncate(fd, start + static_cast<off_t>(keep));
    ::close(fd);
    return {FileWriteResult::kWriteFailed, lines};
}

}  // namespace

FileWriteResult WriteFileBytes(const std::filesystem::path& file, std::string_view bytes,
                               FileOpenMode mode) {
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | (mode == FileOpenMode::kAppend ? O_APPEND : O_TRUNC);
    const int fd = ::open(file.c_str(), flags, 0644);
    if (fd < 0) {
        return FileWriteResult::kCannotOpen;
    }
    bool ok = WriteAll(fd, bytes) == bytes.size();
    // A full disk may only show at close on some file systems.
    if (::close(fd) != 0) {
        ok = false;
    }
    return ok ? FileWriteResult::kDone : FileWriteResult::kWriteFailed;
}

LineAppendResult AppendWholeLines(const std::filesystem::path& file, std::string_view bytes,
                                  std::span<const std::size_t> lineEnds) {
    int fd = -1;
    do {
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return {FileWriteResult::kCannotOpen, 0};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {FileWriteResult::kCannotOpen, 0};
    }
    const off_t start = st.st_size;
    const LineAppendResult result = WriteWholeLines(fd, start, bytes, lineEnds);
    if (::close(fd) != 0 && result.status == FileWriteResult::kDone) {
        return CheckAfterFailedClose(file, start, lineEnds);
    }
    return result;
}

LineAppender::~LineAppender() {
    Close();
}

void LineAppender::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool LineAppender::StillNames(const std::filesystem::path& file, off_t& size) const {
    if (fd_ < 0 || file != file_) {
        return false;
    }
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != device_ ||
        st.st_ino != inode_) {
        return false;
    }
    size = st.st_size;
    return true;
}

LineAppendResult LineAppender::Append(const std::filesystem::path& file, std::string_view bytes,
                                      std::span<const std::size_t> lineEnds) {
    off_t start = 0;
    if (!StillNames(file, start)) {
        Close();
        do {
            fd_ = ::open(file.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            return {FileWriteResult::kCannotOpen, 0};
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            Close();
            return {FileWriteResult::kCannotOpen, 0};
        }
        file_ = file;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        start = st.st_size;
    }
    const LineAppendResult result = WriteWholeLines(fd_, start, bytes, lineEnds);
    if (result.status != FileWriteResult::kDone) {
        Close();  // opened afresh next time: whatever failed may have been the open file itself
    }
    return result;
}

}  // namespace trelvane
