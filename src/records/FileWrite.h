#pragma once

// The ways the records layer puts bytes into a file: open, write everything (retrying short and
// interrupted writes), close, and say what got there.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <span>
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

struct LineAppendResult {
    // kCannotOpen: nothing written (also when the name is not a regular file). kWriteFailed: at
    // least one line is not in the file.
    FileWriteResult status = FileWriteResult::kDone;
    // Lines from the front of the batch that are in the file, whole.
    std::size_t linesWritten = 0;
};

// Appends a batch of lines to `file` so that every line ends up in the file whole or not at all:
// when the file system takes only part of the batch (full disk, file size limit), the file is cut
// back to the end of the last whole line that reached it, so it ends where a line of ours ends
// and the next append starts a line of its own. Keeping those lines rather than cutting back to
// where the append began keeps every read the disk had room for; they are counted as written.
//
// `lineEnds` holds, ascending, the offset in `bytes` just past each line; the last is
// bytes.size(). Lines are never empty.
//
// The file is created when missing (0644 before the umask) and opened without blocking: anything
// that is not a regular file once opened (a FIFO, a device, a symbolic link to one) is refused
// as kCannotOpen, so a FIFO named like the file can never stall the caller. A symbolic link to a
// regular file is followed. Nothing else may write the file meanwhile: the cut-back offset is
// the file's end when it was opened.
//
// Should the cut itself fail (it needs no space, so only an I/O error can do that), the part of
// a line stays behind and the result still counts only whole lines.
LineAppendResult AppendWholeLines(const std::filesystem::path& file, std::string_view bytes,
                                  std::span<const std::size_t> lineEnds);

// AppendWholeLines for a file written again and again (a daily log): the file stays open between
// appends, so each costs a stat and a write instead of an open, a stat, a write and a close. It
// is opened anew when the name changes, when the name no longer leads to the open file (moved,
// removed, replaced: the next lines go where the name now points, created if missing), and after
// any failure. The cut-back offset is the file's size just before each append.
//
// Unlike AppendWholeLines, a close error is not seen: the file closes only when it is replaced
// or the appender goes. Local file systems report a full disk at the write.
class LineAppender {
  public:
    LineAppender() = default;
    ~LineAppender();
    LineAppender(const LineAppender&) = delete;
    LineAppender& operator=(const LineAppender&) = delete;

    LineAppendResult Append(const std::filesystem::path& file, std::string_view bytes,
                            std::span<const std::size_t> lineEnds);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

  private:
    // The size of the open file when `file` still names it.
    bool StillNames(const std::filesystem::path& file, off_t& size) const;

    int fd_ = -1;
    std::filesystem::path file_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace trelvane
