// Reader-supplied texts printed for people and log parsers: nothing in them may act as a
// control sequence, end a line, or look like one of the escapes themselves.

#include <gtest/gtest.h>

#include "records/TextCodec.h"

namespace trelvane {
namespace {

std::string Terminal(int codePage, std::string_view bytes) {
    const auto codec = TextCodec::ForCodePage(codePage);
    EXPECT_TRUE(codec.has_value()) << codePage;
    return codec ? codec->ToTerminalText(bytes) : std::string();
}

TEST(TerminalTextTest, ControlsAndBackslashesAreEscapedInEveryCodePage) {
    for (const int codePage : {936, 950, 1252, 65001}) {
        SCOPED_TRACE(codePage);
        EXPECT_EQ(Terminal(codePage, "R01"), "R01");
        EXPECT_EQ(Terminal(codePage, "\x1B[2J\x1B]0;owned\x07"), "\\x1B[2J\\x1B]0;owned\\x07");
        EXPECT_EQ(Terminal(codePage, "R1\r\nremoved 10.0.0.1:5"), "R1\\x0D\\x0Aremoved 10.0.0.1:5");
        EXPECT_EQ(Terminal(codePage, std::string_view("a\0b\x7F", 4)), "a\\x00b\\x7F");
        // A name that spells an escape stays distinguishable from a real one.
        EXPECT_EQ(Terminal(codePage, "\\x1B"), "\\\\x1B");
        EXPECT_EQ(Terminal(codePage, ""), "");
    }
}

TEST(TerminalTextTest, TextOfTheCodePageIsShownAsUtf8) {
    EXPECT_EQ(Terminal(936, "\xC3\xC5\xB8\xDA"), "\xE9\x97\xA8\xE5\xB2\x97");  // 门岗
    EXPECT_EQ(Terminal(950, "\xAA\xF9"), "\xE9\x96\x80");                      // 門
    EXPECT_EQ(Terminal(1252, "Caf\xE9"), "Caf\xC3\xA9");
    EXPECT_EQ(Terminal(65001, "\xE9\x97\xA8"), "\xE9\x97\xA8");
    // In GBK a backslash byte can be the second half of a character; it is not escaped then.
    EXPECT_EQ(Terminal(936, "\x81\x5C"), "\xE4\xB9\x97");  // U+4E57
}

TEST(TerminalTextTest, InvalidBytesAndC1ControlsBecomeHexEscapes) {
    // UTF-8: a lone continuation byte, a truncated sequence, an overlong form, CSI as U+009B.
    EXPECT_EQ(Terminal(65001, "a\x80z"), "a\\x80z");
    EXPECT_EQ(Terminal(65001, "a\xE9\x97"), "a\\xE9\\x97");
    EXPECT_EQ(Terminal(65001, "\xC0\xAF"), "\\xC0\\xAF");
    EXPECT_EQ(Terminal(65001,
                       "\xC2\x9B"
                       "31m"),
              "\\xC2\\x9B31m");
    EXPECT_EQ(Terminal(65001, "\xC2\xA0"), "\xC2\xA0") << "U+00A0 is printable";
    // GBK: a lead byte without its second half at the end, and 0xFF, which GBK never uses.
    EXPECT_EQ(Terminal(936, "R\x81"), "R\\x81");
    EXPECT_EQ(Terminal(936, "\xFFR"), "\\xFFR");
    // 1252 leaves a few bytes undefined (0x81); they are escaped, not turned into '?'.
    EXPECT_EQ(Terminal(1252, "\x81!"), "\\x81!");
}

}  // namespace
}  // namespace trelvane
