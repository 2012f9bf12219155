#pragma once

// The string table's texts as Qt strings, for the desktop's windows and pages. Callers bring the
// names into their file (`using ui::Text;`) and write Text(ids::kTips).

#include <QByteArray>
#include <QFile>
#include <QString>
#include <filesystem>
#include <string>
#include <vector>

#include "records/StringTable.h"

namespace trelvane::ui {

// The loaded language pack's text of `id`, else the program's own.
inline QString Text(int id) {
    return QString::fromStdString(LoadText(id));
}

// The program's own text of `id`, whatever pack is loaded (captions that stay as designed).
inline QString Own(int id) {
    return QString::fromStdString(OwnText(id));
}

// The text of `id` with its %s filled in from `args`.
inline QString Format(int id, const std::vector<std::string>& args) {
    return QString::fromStdString(FormatText(LoadText(id), args));
}

// A path as a person reads it (the file system's bytes decoded as Qt does for file names).
inline std::string PathText(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string())).toStdString();
}

}  // namespace trelvane::ui
