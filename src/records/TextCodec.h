#pragma once

// Conversion between the program's UTF-8 texts and the bytes of a Windows code page, which is
// how every file the program writes is encoded (936, GBK, unless configured otherwise).
//
// A conversion never fails as a whole: a character the target cannot represent, or a byte
// sequence that is not valid in the source, becomes one '?', and the conversion carries on
// behind it. Every call opens its own iconv descriptor (an iconv_t carries conversion state and
// must not be shared), so one TextCodec may be used from several threads at once.

#include <optional>
#include <string>
#include <string_view>

namespace trelvane {

class TextCodec {
  public:
    // 936 (GBK, the default), 950 (Big5), 1252 (Western), 65001 (UTF-8). Nothing for a code
    // page this build does not know or whose converters the C library cannot open.
    static std::optional<TextCodec> ForCodePage(int codePage);
    // Never fails: `codePage` when it can be used, else 936, else UTF-8 (which needs no
    // converter). For the places that must encode something whatever the system offers.
    static TextCodec Usable(int codePage);

    int CodePage() const { return codePage_; }

    // UTF-8 to code-page bytes.
    std::string FromUtf8(std::string_view utf8) const;
    // Code-page bytes to UTF-8.
    std::string ToUtf8(std::string_view bytes) const;
    // Code-page bytes to UTF-8 that is safe to print where a person or a line-oriented program
    // reads it: control characters (C0, DEL, C1) and bytes not valid in the code page become
    // \xNN (one per byte), and '\' becomes "\\", so no escape can be forged. For texts that
    // come from readers (names, identity texts); files keep the bytes as they stand.
    std::string ToTerminalText(std::string_view bytes) const;

  private:
    TextCodec(int codePage, const char* charset) : codePage_(codePage), charset_(charset) {}

    int codePage_;
    const char* charset_;  // iconv's name of the code page; static storage
};

}  // namespace trelvane
