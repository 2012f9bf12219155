#pragma once

// The string table's texts as Qt strings, for the desktop's windows and pages. Callers bring the
// names into their file (`using ui::Text;`) and write Text(ids::kTips).

#include <QString>

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

}  // namespace trelvane::ui
