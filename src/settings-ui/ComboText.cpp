#include "settings-ui/ComboText.h"

#include <QComboBox>

#include "records/TextCodec.h"
#include "settings/ServiceConfig.h"

namespace trelvane {

bool SelectEntry(QComboBox& box, const QString& text, bool prefixMatch) {
    if (text.isEmpty()) {
        return false;
    }
    int index = box.findText(text, Qt::MatchFixedString);
    if (index < 0 && prefixMatch) {
        index = box.findText(text, Qt::MatchStartsWith);
    }
    if (index < 0) {
        return false;
    }
    box.setCurrentIndex(index);
    return true;
}

QString FromCodePage(const TextCodec& codec, std::string_view bytes) {
    return QString::fromStdString(codec.ToUtf8(bytes));
}

std::string ToCodePage(const TextCodec& codec, const QString& text) {
    return codec.FromUtf8(text.toStdString());
}

TextCodec CodecOrDefault(int codePage) {
    return TextCodec::Usable(codePage);
}

}  // namespace trelvane
