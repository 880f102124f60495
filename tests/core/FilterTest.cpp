// The row filters of scan and recover: globs, sizes, dates, and the options.
#include <gtest/gtest.h>

#include "scan/Filter.h"

namespace qm {
namespace {

TEST(Filter, Globs) {
    struct Case {
        std::u16string pattern, text;
        bool match;
    };
    const std::vector<Case> cases = {
        {u"*.jpg", u"IMG_0001.JPG", true},
        {u"img_????.jpg", u"IMG_0001.jpg", true},
        {u"img_???.jpg", u"IMG_0001.jpg", false},
        {u"*", u"", true},
        {u"", u"a", false},
        {u"a*b*c", u"aXbYbZc", true},
        {u"a*b*c", u"aXbYbZ", false},
        {u"/Photos/*", u"/Photos/2024/a.jpg", true},
        {u"ПИСЬМО*", u"письмо.txt", true},
        {u"ÉTÉ.*", u"été.png", true},
        {u"*a", u"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GlobMatch(c.pattern, c.text), c.match)
            << std::string(c.pattern.begin(), c.pattern.end());
}

TEST(Filter, SizesAndDates) {
    EXPECT_EQ(ParseSizeText("123"), 123u);
    EXPECT_EQ(ParseSizeText("10K"), 10240u);
    EXPECT_EQ(ParseSizeText("2m"), 2u << 20);
    EXPECT_EQ(ParseSizeText("1G"), 1u << 30);
    for (const char* bad : {"", "K", "1.5M", "-1", "12T", "99999999999999999999", "17179869184G"})
        EXPECT_FALSE(ParseSizeText(bad)) << bad;

    // 2004-02-29T20:00:29Z as a FILETIME.
    EXPECT_EQ(ParseIsoDate("2004-02-29T20:00:29Z"), 127225584290000000ull);
    EXPECT_EQ(ParseIsoDate("1601-01-01"), 0u);
    EXPECT_EQ(*ParseIsoDate("2004-03-01") - *ParseIsoDate("2004-02-29"), 864000000000ull);
    EXPECT_EQ(ParseIsoDate("2004-02-29 20:00"), ParseIsoDate("2004-02-29T20:00:00"));
    for (const char* bad : {"2004-2-29", "2004-13-01", "1600-01-01", "2004-02-29T25:00",
                            "2004-02-29T20", "2004-02-29x", "yesterday"})
        EXPECT_FALSE(ParseIsoDate(bad)) << bad;
}

ScanRow Row(std::u16string name, std::uint64_t size, std::uint8_t recoverable,
            RowKind kind = RowKind::File) {
    ScanRow r;
    r.name = std::move(name);
    r.size = size;
    r.modified = *ParseIsoDate("2024-06-15T12:00:00");
    r.recoverable = recoverable;
    r.kind = kind;
    return r;
}

RowFilter FilterOf(std::vector<std::string> args) {
    RowFilter f;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto taken = TakeFilterOption(args, i, f);
        EXPECT_TRUE(taken.ok() && *taken) << args[i];
    }
    return f;
}

TEST(Filter, RowsTakenAndLeft) {
    struct Case {
        std::vector<std::string> args;
        ScanRow row;
        std::u16string path;
        bool orphan;
        bool match;
    };
    const std::vector<Case> cases = {
        {{}, Row(u"a.txt", 1, 100), u"/a.txt", false, true},
        {{"--name", "*.TXT"}, Row(u"a.txt", 1, 100), u"/a.txt", false, true},
        {{"--name=b*"}, Row(u"a.txt", 1, 100), u"/a.txt", false, false},
        {{"--path", "/Photos/*"}, Row(u"a.jpg", 1, 100), u"/Photos/2024/a.jpg", false, true},
        {{"--path", "/Photos/*"}, Row(u"a.jpg", 1, 100), u"$Orphan/a.jpg", true, false},
        {{"--ext", "jpg,.PNG"}, Row(u"b.png", 1, 100), u"/b.png", false, true},
        {{"--ext", "jpg"}, Row(u"jpg", 1, 100), u"/jpg", false, false},
        {{"--min-size", "1K"}, Row(u"a", 1024, 100), u"/a", false, true},
        {{"--min-size", "1K"}, Row(u"a", 1023, 100), u"/a", false, false},
        {{"--max-size", "1K"}, Row(u"a", 1025, 100), u"/a", false, false},
        {{"--min-size", "0"},
         Row(u"dir", 0, kRecoverableUnknown, RowKind::Folder),
         u"/dir",
         false,
         false},
        {{"--modified-after", "2024-06-15"}, Row(u"a", 1, 100), u"/a", false, true},
        {{"--modified-after", "2024-06-16"}, Row(u"a", 1, 100), u"/a", false, false},
        {{"--modified-before", "2024-06-15T12:00"}, Row(u"a", 1, 100), u"/a", false, false},
        {{"--modified-before", "2024-06-16"}, Row(u"a", 1, 100), u"/a", false, true},
        {{"--recoverable", "50"}, Row(u"a", 1, 50), u"/a", false, true},
        {{"--recoverable", "50"}, Row(u"a", 1, 49), u"/a", false, false},
        {{"--recoverable", "0"}, Row(u"a", 1, kRecoverableUnknown), u"/a", false, false},
        {{"--no-orphans"}, Row(u"a", 1, 100), u"$Orphan/a", true, false},
        {{"--no-orphans", "--include-orphans"}, Row(u"a", 1, 100), u"$Orphan/a", true, true},
    };
    for (const Case& c : cases) {
        const RowFilter f = FilterOf(c.args);
        EXPECT_EQ(f.Matches(c.row, c.path, c.orphan), c.match) << ::testing::PrintToString(c.args);
        EXPECT_EQ(f.Active(), !c.args.empty() && c.args.back() != "--include-orphans");
    }
}

TEST(Filter, MalformedOptionsNameThemselves) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--min-size", "lots"},
                                          {"--max-size"},
                                          {"--recoverable", "101"},
                                          {"--recoverable=x"},
                                          {"--modified-after", "2024-13-01"},
                                          {"--ext", ","}}) {
        RowFilter f;
        std::size_t i = 0;
        auto taken = TakeFilterOption(args, i, f);
        ASSERT_FALSE(taken.ok()) << args[0];
        EXPECT_NE(taken.error().message.find(args[0].substr(0, args[0].find('='))),
                  std::string::npos);
    }
    RowFilter f;
    std::vector<std::string> other{"--json"};
    std::size_t i = 0;
    auto taken = TakeFilterOption(other, i, f);
    ASSERT_TRUE(taken.ok());
    EXPECT_FALSE(*taken);
}

}  // namespace
}  // namespace qm
