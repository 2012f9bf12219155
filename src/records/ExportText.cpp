#include "records/ExportText.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "records/StringTable.h"

namespace trelvane {

std::string BuildExportText(const TagListModel& list, const TextCodec& codec) {
    std::string text = codec.FromUtf8(LoadText(ids::kExportHeader));
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
        for (int column = TagListModel::kColumnNo; column < TagListModel::kColumns; ++column) {
            text += list.Cell(row, column);
            text += '\t';
        }
        text += "\r\n";
    }
    return text;
}

bool WriteExportFile(const std::filesystem::path& file, std::string_view bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
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
    return ok;
}

}  // namespace trelvane
