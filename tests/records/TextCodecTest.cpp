#include "records/TextCodec.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace trelvane {
namespace {

TextCodec Codec(int codePage) {
    const auto codec = TextCodec::ForCodePage(codePage);
    EXPECT_TRUE(codec.has_value()) << codePage;
    return codec.value_or(*TextCodec::ForCodePage(65001));
}

TEST(TextCodecTest, KnownAndUnknownCodePages) {
    for (int codePage : {936, 950, 1252, 65001}) {
        const auto codec = TextCodec::ForCodePage(codePage);
        ASSERT_TRUE(codec) << codePage;
        EXPECT_EQ(codec->CodePage(), codePage);
    }
    for (int codePage : {0, -1, 437, 54936, 1200}) {
        EXPECT_FALSE(TextCodec::ForCodePage(codePage)) << codePage;
    }
}

TEST(TextCodecTest, ProgramTextsInEachCodePage) {
    const std::string colon = "：";  // U+FF1A
    EXPECT_EQ(Codec(936).FromUtf8(colon), "\xA3\xBA");
    EXPECT_EQ(Codec(950).FromUtf8(colon), "\xA1\x47");
    EXPECT_EQ(Codec(65001).FromUtf8(colon), "\xEF\xBC\x9A");
    EXPECT_EQ(Codec(1252).FromUtf8(colon), "?") << "Western has no full-width colon";

    // The export dialog's text-document filter, as stored in code page 936.
    EXPECT_EQ(Codec(936).FromUtf8("文本文档(*.txt)"), "\xCE\xC4\xB1\xBE\xCE\xC4\xB5\xB5(*.txt)");
    EXPECT_EQ(Codec(936).ToUtf8("\xCE\xC4\xB1\xBE\xCE\xC4\xB5\xB5(*.txt)"), "文本文档(*.txt)");
    EXPECT_EQ(Codec(950).FromUtf8("序號"), "\xA7\xC7\xB8\xB9");
    EXPECT_EQ(Codec(950).ToUtf8("\xA7\xC7\xB8\xB9"), "序號");
    // The euro sign is 0x80 in both Windows code pages that have it.
    EXPECT_EQ(Codec(936).FromUtf8("€"), "\x80");
    EXPECT_EQ(Codec(1252).FromUtf8("é€"), "\xE9\x80");
    EXPECT_EQ(Codec(1252).ToUtf8("\xE9\x80"), "é€");
    // NUL bytes are characters like any other.
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(Codec(936).FromUtf8(withNul), withNul);
    EXPECT_EQ(Codec(936).ToUtf8(withNul), withNul);
    EXPECT_EQ(Codec(936).FromUtf8(""), "");
}

TEST(TextCodecTest, UnconvertibleCharactersBecomeOneQuestionMarkEach) {
    // A character outside the target: one '?', whatever its UTF-8 length, and the text goes on.
    EXPECT_EQ(Codec(936).FromUtf8("a😀b"), "a?b");
    EXPECT_EQ(Codec(1252).FromUtf8("x文本y"), "x??y");
    EXPECT_EQ(Codec(950).FromUtf8("한1"), "?1");
}

TEST(TextCodecTest, InvalidInputNeverStopsTheConversion) {
    const TextCodec gbk = Codec(936);
    EXPECT_EQ(gbk.FromUtf8("a\xFF"
                           "b"),
              "a?b");
    EXPECT_EQ(gbk.FromUtf8("a\xE4\xB8"), "a?") << "a character cut off at the end";
    EXPECT_EQ(gbk.FromUtf8("\x80z"), "?z") << "a lone continuation byte";
    EXPECT_EQ(gbk.FromUtf8("\xC0\xAF"), "??") << "an overlong form is two bad bytes";
    EXPECT_EQ(gbk.FromUtf8("\xED\xA0\x80!"),
              "???"
              "!")
        << "a surrogate is not a character";
    EXPECT_EQ(gbk.ToUtf8("a\x81 b"), "a? b") << "a lead byte without its trail byte";
    EXPECT_EQ(gbk.ToUtf8("ok\xFF"), "ok?");
    EXPECT_EQ(gbk.ToUtf8("\xCE"), "?");
    const TextCodec utf8 = Codec(65001);
    EXPECT_EQ(utf8.ToUtf8("a\xFE"
                          "b\xE6\x96\x87"),
              "a?b文")
        << "UTF-8 to UTF-8 still checks the input";
    EXPECT_EQ(utf8.FromUtf8("\xF4\x90\x80\x80"), "????") << "beyond U+10FFFF";
    EXPECT_EQ(utf8.FromUtf8("\xF0\x9F\x98"), "???") << "a character cut off at the end";
    EXPECT_EQ(utf8.FromUtf8("😀"), "😀");

    // Arbitrary bytes through every code page, both ways: terminates, and never gives more
    // than a few bytes out per byte in.
    std::string noise;
    for (int i = 0; i < 4096; ++i) {
        noise += static_cast<char>((i * 131 + 7) & 0xFF);
    }
    for (int codePage : {936, 950, 1252, 65001}) {
        const TextCodec codec = Codec(codePage);
        EXPECT_LE(codec.ToUtf8(noise).size(), noise.size() * 3) << codePage;
        EXPECT_LE(codec.FromUtf8(noise).size(), noise.size() * 4) << codePage;
    }
}

TEST(TextCodecTest, LongTextsGrowTheOutput) {
    std::string utf8;
    for (int i = 0; i < 100'000; ++i) {
        utf8 += "文a€";
    }
    const std::string gbk = Codec(936).FromUtf8(utf8);
    ASSERT_EQ(gbk.size(), 100'000u * 4);
    EXPECT_EQ(gbk.substr(0, 8),
              "\xCE\xC4"
              "a\x80\xCE\xC4"
              "a\x80");
    EXPECT_EQ(Codec(936).ToUtf8(gbk), utf8);
    // 1252 to UTF-8 triples the euro signs.
    EXPECT_EQ(Codec(1252).ToUtf8(std::string(50'000, '\x80')).size(), 150'000u);
}

TEST(TextCodecTest, OneCodecFromSeveralThreads) {
    const TextCodec gbk = Codec(936);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const std::string text = "ID：" + std::to_string(t * 1000 + i) + "\xFF";
                const std::string expected = "ID\xA3\xBA" + std::to_string(t * 1000 + i) + "?";
                if (gbk.FromUtf8(text) != expected ||
                    gbk.ToUtf8(expected) != "ID：" + std::to_string(t * 1000 + i) + "?") {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace trelvane
