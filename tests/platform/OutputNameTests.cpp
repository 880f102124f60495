// Names of recovered files: shortened to what the output file system takes,
// numbered when taken, and double-byte characters left whole.
#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"
#include "recover/OutputName.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace qm {
namespace {

std::string Repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(OutputNames, LongNamesKeepTheirExtensionAndWholeCharacters) {
    const std::string x300(300, 'x');
    struct Case {
        std::string name;
        std::size_t limit;
        std::string fitted;
    };
    for (const Case& c : std::vector<Case>{
             {"a.txt", 255, "a.txt"},
             {x300 + ".txt", 255, std::string(251, 'x') + ".txt"},
             {x300, 255, std::string(255, 'x')},
             {"archive." + x300, 255,
              std::string("archive.") + std::string(247, 'x')},  // no extension that long
             {"abcdef.txt", 8, "abcd.txt"},
             {".profile-with-more", 8, ".profile"},
         }) {
        const std::string fitted = FitName(c.name, c.limit, NameText::Utf8);
        EXPECT_EQ(fitted, c.fitted) << c.name;
    }
    struct Numbered {
        std::string name;
        unsigned n;
        std::string numbered;
    };
    for (const Numbered& c : std::vector<Numbered>{
             {"a.txt", 1, "a (1).txt"},
             {"a (1).txt", 2, "a (2).txt"},
             {"a (x).txt", 1, "a (x) (1).txt"},
             {"a(1).txt", 2, "a(1) (2).txt"},
             {"File_3", 1, "File_3 (1)"},
             {".profile", 1, ".profile (1)"},
             {"archive.tar.gz", 3, "archive.tar (3).gz"},
             {x300, 12, std::string(250, 'x') + " (12)"},
         })
        EXPECT_EQ(NumberedName(c.name, c.n, 255, NameText::Utf8), c.numbered) << c.name;
#ifndef _WIN32
    // Bytes on POSIX systems: a character is never cut in two.
    EXPECT_EQ(FitName(Repeat("\xC3\xA9", 200) + ".t", 255, NameText::Utf8),
              Repeat("\xC3\xA9", 126) + ".t");
    EXPECT_EQ(NumberedName(Repeat("\xE6\x96\x87", 100), 1, 255, NameText::Utf8),
              Repeat("\xE6\x96\x87", 83) + " (1)");
#else
    // UTF-16 units on Windows: 200 accented letters are 200 units, a character
    // beyond the BMP two.
    EXPECT_EQ(FitName(Repeat("\xC3\xA9", 200) + ".t", 255, NameText::Utf8),
              Repeat("\xC3\xA9", 200) + ".t");
    EXPECT_EQ(FitName(Repeat("\xF0\x9F\x98\x80", 130), 255, NameText::Utf8),
              Repeat("\xF0\x9F\x98\x80", 127));
#endif
}

TEST(OutputNames, PathsStayInTheFolder) {
    EXPECT_EQ(SafeOutputName("../../etc/passwd", NameText::Utf8), ".._.._etc_passwd");
    EXPECT_EQ(SafeOutputName("..", NameText::Utf8), "__");
    // A UTF-8 name is never read as double-byte text, whatever the locale.
    EXPECT_EQ(SafeOutputName("\xE6\x96\x87/x", NameText::Utf8), "\xE6\x96\x87_x");
    EXPECT_EQ(SafeOutputName("\x96/x"), "\x96_x");  // '/' is never a trail byte
    EXPECT_EQ(SafeOutputName(std::string("\x96\0x", 3)), std::string("\x96_x"));
    const std::string path = OutputPathByName("out", std::string(300, 'y') + ".bin");
    EXPECT_EQ(path.substr(4), std::string(NameLimit("out") - 4, 'y') + ".bin");
}

// 東 (96 7C), 淺 (9C 5C) and 乗 (81 5C) in GBK: their second bytes are '|' and
// '\' elsewhere, and are kept.
const std::string kGbkName = "\x96\x7C\x9C\x5C\x81\x5C.txt";

#ifndef _WIN32
TEST(OutputNames, DoubleByteCharactersOfAGbkLocaleStayWhole) {
    test::ScopedLocale loc(LC_CTYPE, "zh_CN.GBK");
    if (!loc.ok()) GTEST_SKIP() << "no zh_CN.GBK locale";
    EXPECT_EQ(SafeOutputName(kGbkName), kGbkName);
    EXPECT_EQ(SafeOutputName("a\\b/c"), "a_b_c");
    // Cut between characters, never after a lead byte.
    EXPECT_EQ(FitName("\x96\x7C\x9C\x5C\x81\x5C", 5, NameText::CodePage), "\x96\x7C\x9C\x5C");
}
#else
TEST(OutputNames, DoubleByteCharactersOfCodePage936StayWhole) {
    if (GetACP() != 936) GTEST_SKIP() << "code page " << GetACP() << ", not 936";
    EXPECT_EQ(SafeOutputName(kGbkName), kGbkName);
    EXPECT_EQ(SafeOutputName("a|b\\c"), "a_b_c");
    // UTF-16 units: a double-byte character counts one, and is never cut.
    const std::string twice = "\x96\x7C\x9C\x5C\x81\x5C\x96\x7C\x9C\x5C\x81\x5C.txt";
    EXPECT_EQ(FitName(twice, 9, NameText::CodePage),
              "\x96\x7C\x9C\x5C\x81\x5C\x96\x7C\x9C\x5C.txt");
}
#endif

}  // namespace
}  // namespace qm
