#pragma once

// The export of the tag list: a header line (string 139 in the code page), then one line per
// row top to bottom with columns 1 to 5 each followed by a TAB, ending in CR LF. The cells are
// written exactly as the list shows them; device names are the reader's own bytes. The same
// text serves every file extension the user picks.

#include <filesystem>
#include <string>
#include <string_view>

#include "records/TagListModel.h"
#include "records/TextCodec.h"

namespace trelvane {

std::string BuildExportText(const TagListModel& list, const TextCodec& codec);

// Creates or truncates `file` and writes `bytes` to it. False when the file cannot be created
// or not all bytes reach it.
bool WriteExportFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace trelvane
