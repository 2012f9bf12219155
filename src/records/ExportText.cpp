#include "records/ExportText.h"

#include "records/FileWrite.h"
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
    return WriteFileBytes(file, bytes, FileOpenMode::kTruncate) == FileWriteResult::kDone;
}

}  // namespace trelvane
