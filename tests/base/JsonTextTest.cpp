// The one JSON string writer of the API, the MQTT payloads and trelvane-history: what a client's
// parser needs (quotes, backslashes, control bytes) and nothing but UTF-8 out, whatever a
// reader's name holds.
#include "base/JsonText.h"

#include <gtest/gtest.h>

namespace trelvane {
namespace {

std::string Json(std::string_view s) {
    std::string out;
    AppendJsonString(out, s);
    return out;
}

TEST(JsonTextTest, QuotesBackslashesAndControlBytesAreEscaped) {
    EXPECT_EQ(Json("plain"), "\"plain\"");
    EXPECT_EQ(Json(""), "\"\"");
    EXPECT_EQ(Json("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
    EXPECT_EQ(Json(std::string_view("\b\f\n\r\t\x01\x1f\x7f", 8)),
              "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\"");
    EXPECT_EQ(Json(std::string_view("nul\0x", 5)), "\"nul\\u0000x\"");
    EXPECT_EQ(Json("门禁 ✓ 😀"), "\"门禁 ✓ 😀\"");
    // Appends: what was there stays.
    std::string out = "[";
    AppendJsonString(out, "a\"");
    EXPECT_EQ(out, "[\"a\\\"\"");
}

TEST(JsonTextTest, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(ValidUtf8("门禁 ✓ 😀 Ünï"), "门禁 ✓ 😀 Ünï");
    EXPECT_TRUE(IsValidUtf8("门禁 ✓ 😀 Ünï"));
    EXPECT_TRUE(IsValidUtf8(std::string_view("\0\x7f", 2)));
    // Stray, overlong, surrogate, beyond U+10FFFF, truncated, lone continuation.
    const std::string bad[] = {
        "\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe4\xb8", "\x80"};
    for (const std::string& b : bad) {
        const std::string fixed = ValidUtf8("a" + b + "z");
        EXPECT_EQ(fixed.front(), 'a');
        EXPECT_EQ(fixed.back(), 'z');
        EXPECT_NE(fixed.find("\xEF\xBF\xBD"), std::string::npos);
        EXPECT_EQ(ValidUtf8(fixed), fixed);  // valid now
        EXPECT_TRUE(IsValidUtf8(fixed));
        EXPECT_FALSE(IsValidUtf8("a" + b + "z")) << fixed;
        EXPECT_FALSE(IsValidUtf8(b));
        EXPECT_EQ(Json("a" + b + "z"), "\"" + fixed + "\"");
    }
    // GBK bytes never converted, each byte of an invalid sequence replaced on its own, the next
    // valid byte kept; an escape after a replacement still applies.
    EXPECT_EQ(Json(std::string_view("\xC3\xC5|\x80|\xC0\xAF|\xED\xA0\x80|\xE9\x97\"")),
              "\"\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\\\"\"");
}

}  // namespace
}  // namespace trelvane
