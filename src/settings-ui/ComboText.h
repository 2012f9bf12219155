#pragma once

// Text exchange between a page's fields and its combo boxes, and between the UTF-8 texts the
// widgets show and the code-page bytes the files and device records hold.

#include <QString>
#include <string>
#include <string_view>

class QComboBox;

namespace trelvane {

class TextCodec;

// Selects the entry `text` names: the entry equal to it, else (when `prefixMatch`) the first
// entry that begins with it, compared without regard to case. False, with the box unchanged,
// when the text is empty or nothing matches.
bool SelectEntry(QComboBox& box, const QString& text, bool prefixMatch);

QString FromCodePage(const TextCodec& codec, std::string_view bytes);
std::string ToCodePage(const TextCodec& codec, const QString& text);

// The codec of `codePage`, or of code page 936 when this build cannot convert that one.
TextCodec CodecOrDefault(int codePage);

}  // namespace trelvane
