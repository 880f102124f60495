// Names from the volume in the user's 8-bit code page, and back to UTF-8.
#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qm {
namespace {

// 报告.txt, "Привет", an emoji (a surrogate pair) and a lone surrogate.
const std::u16string kChinese = u"\u62A5\u544A.txt";
const std::u16string kCyrillic = u"\u041F\u0440\u0438\u0432\u0435\u0442";
const std::u16string kEmoji = u"a\U0001F600b";
const std::u16string kLoneSurrogate = std::u16string(u"x") + char16_t(0xD800) + u"y";

TEST(Utf16ToUtf8, EncodesEveryRangeAndReplacesLoneSurrogates) {
    EXPECT_EQ(Utf16ToUtf8(u"A\u00E9\u62A5"), "A\xC3\xA9\xE6\x8A\xA5");
    EXPECT_EQ(Utf16ToUtf8(kEmoji),
              "a\xF0\x9F\x98\x80"
              "b");
    EXPECT_EQ(Utf16ToUtf8(kLoneSurrogate), "x\xEF\xBF\xBDy");
    // A low surrogate first, then a high one at the very end.
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00), char16_t(0xD800)}),
              "\xEF\xBF\xBD\xEF\xBF\xBD");
}

#if !defined(_WIN32)
using test::ScopedLocale;

TEST(AnsiText, Utf8LocaleIsPlainUtf8) {
    ScopedLocale loc(LC_CTYPE, "C.UTF-8");
    if (!loc.ok()) GTEST_SKIP() << "no C.UTF-8 locale";
    for (const auto& s : {kChinese, kCyrillic, kEmoji, kLoneSurrogate})
        EXPECT_EQ(Utf16ToAnsi(s), Utf16ToUtf8(s));
    EXPECT_EQ(AnsiToUtf8(Utf16ToUtf8(kChinese)), Utf16ToUtf8(kChinese));
    EXPECT_EQ(AnsiToUtf8("ok\xFF"), "ok\xEF\xBF\xBD");
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(IsDbcsLeadByte(static_cast<unsigned char>(b)));
}

TEST(AnsiText, AsciiLocaleMarksEveryOtherCharacter) {
    ScopedLocale loc(LC_CTYPE, "C");
    ASSERT_TRUE(loc.ok());
    EXPECT_EQ(Utf16ToAnsi(kChinese), "??.txt");
    EXPECT_EQ(Utf16ToAnsi(kEmoji), "a?b");  // one mark for the whole pair
    EXPECT_EQ(Utf16ToAnsi(kLoneSurrogate), "x?y");
    EXPECT_EQ(AnsiToUtf8("plain"), "plain");
    EXPECT_FALSE(IsDbcsLeadByte(0xB1));
}

TEST(AnsiText, GbkLocaleUsesDoubleByteCharacters) {
    ScopedLocale loc(LC_CTYPE, "zh_CN.GBK");
    if (!loc.ok()) GTEST_SKIP() << "no zh_CN.GBK locale";
    // 报 = B1 A8, 告 = B8 E6 in GBK; Cyrillic is in GBK too, the emoji is not.
    EXPECT_EQ(Utf16ToAnsi(kChinese), "\xB1\xA8\xB8\xE6.txt");
    EXPECT_EQ(Utf16ToAnsi(kEmoji), "a?b");
    EXPECT_EQ(Utf16ToAnsi(kLoneSurrogate), "x?y");
    EXPECT_EQ(AnsiToUtf8(Utf16ToAnsi(kChinese)), Utf16ToUtf8(kChinese));
    EXPECT_EQ(AnsiToUtf8(Utf16ToAnsi(kCyrillic)), Utf16ToUtf8(kCyrillic));
    // A lead byte cut off at the end, and a byte GBK never uses.
    EXPECT_EQ(AnsiToUtf8("a\xB1"), "a\xEF\xBF\xBD");
    EXPECT_EQ(AnsiToUtf8("\xFF"
                         "b"),
              "\xEF\xBF\xBD"
              "b");
    EXPECT_FALSE(IsDbcsLeadByte(0x80));
    EXPECT_TRUE(IsDbcsLeadByte(0x81));
    EXPECT_TRUE(IsDbcsLeadByte(0xB1));
    EXPECT_TRUE(IsDbcsLeadByte(0xFE));
    EXPECT_FALSE(IsDbcsLeadByte(0xFF));
    EXPECT_FALSE(IsDbcsLeadByte('.'));
}

TEST(AnsiText, SingleByteLocaleKeepsItsOwnLetters) {
    ScopedLocale loc(LC_CTYPE, "de_DE.ISO-8859-1");
    if (!loc.ok()) GTEST_SKIP() << "no de_DE.ISO-8859-1 locale";
    EXPECT_EQ(Utf16ToAnsi(u"Gr\u00FC\u00DFe \u20AC"),
              "Gr\xFC\xDF"
              "e ?");
    EXPECT_EQ(AnsiToUtf8("\xFC"), "\xC3\xBC");
    EXPECT_FALSE(IsDbcsLeadByte(0xFC));
}
#else
TEST(AnsiText, FollowsTheActiveCodePage) {
    // Whatever the code page, ASCII survives, what it lacks becomes '?', and
    // the way back gives the same text for what it has.
    EXPECT_EQ(Utf16ToAnsi(u"name.txt"), "name.txt");
    EXPECT_EQ(Utf16ToAnsi(kLoneSurrogate), "x?y");
    const std::string cyr = Utf16ToAnsi(kCyrillic);
    if (cyr.find('?') == std::string::npos) {
        EXPECT_EQ(AnsiToUtf8(cyr), Utf16ToUtf8(kCyrillic));
    }
    if (GetACP() == 936) {
        EXPECT_TRUE(IsDbcsLeadByte(0xB1));
    }
    if (GetACP() == 1252) {
        EXPECT_FALSE(IsDbcsLeadByte(0xB1));
    }
    EXPECT_FALSE(IsDbcsLeadByte('.'));
}
#endif

}  // namespace
}  // namespace qm
