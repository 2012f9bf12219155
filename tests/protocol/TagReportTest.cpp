#include "protocol/TagReport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace trelvane {
namespace {

std::string Printed(const ReaderTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

// The reader's fields are unchecked, so every byte value must print as snprintf would, three
// digits included; the fixed buffer must hold the widest text.
TEST(ReaderTimeText, EveryFieldValuePrintsAsSnprintfDoes) {
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<std::uint8_t>(v);
        const auto other = static_cast<std::uint8_t>(255 - v);
        for (const ReaderTime& t :
             {ReaderTime{b, other, b, other, b, other}, ReaderTime{other, b, other, b, other, b}}) {
            const std::string expected = Printed(t);
            ASSERT_EQ(FormatReaderTime(t).View(), expected) << v;
            ASSERT_EQ(ReaderTimeText(t), expected);
            std::string appended = "x";
            AppendReaderTimeText(appended, t);
            ASSERT_EQ(appended, "x" + expected);
        }
    }
    const ReaderTime widest{255, 255, 255, 255, 255, 255};
    EXPECT_EQ(FormatReaderTime(widest).View(), "2255-255-255 255:255:255");
    EXPECT_EQ(FormatReaderTime(ReaderTime{}).View(), "2000-00-00 00:00:00");
}

}  // namespace
}  // namespace trelvane
