// The user's date and time formats, from POSIX strftime patterns and from the
// Windows locale values, and as read from the running system.
#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/LocaleParse.h"

#if defined(__SANITIZE_ADDRESS__) && defined(__GLIBC__)
// glibc keeps the search path that LOCPATH gives setlocale (see ScopedLocale)
// and never frees it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}
#endif

namespace qm {

// Shown when an expectation fails.
void PrintTo(const LocaleFormats& f, std::ostream* os) {
    *os << "{" << f.shortDatePattern << " date'" << f.dateSeparator << "' time'" << f.timeSeparator
        << "' 12h=" << f.twelveHour << " front=" << f.markerInFront << " zero=" << f.leadingZeroHour
        << " " << f.am << "/" << f.pm << "}";
}

namespace {

LocaleFormats Expect(std::string pattern, std::string dateSep, std::string timeSep, bool twelve,
                     bool front, bool zero, std::string am, std::string pm) {
    LocaleFormats f;
    f.shortDatePattern = std::move(pattern);
    f.dateSeparator = std::move(dateSep);
    f.timeSeparator = std::move(timeSep);
    f.twelveHour = twelve;
    f.markerInFront = front;
    f.leadingZeroHour = zero;
    f.am = std::move(am);
    f.pm = std::move(pm);
    return f;
}

TEST(StrftimeFormats, TheLocalesUsersHave) {
    // C, en_US, de_DE and zh_CN as glibc describes them.
    EXPECT_EQ(FormatsFromStrftime("%m/%d/%y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"),
              Expect("MM/dd/yy", "/", ":", false, false, true, "AM", "PM"));
    EXPECT_EQ(FormatsFromStrftime("%m/%d/%Y", "%r", "%I:%M:%S %p", "AM", "PM"),
              Expect("MM/dd/yyyy", "/", ":", true, false, true, "AM", "PM"));
    EXPECT_EQ(FormatsFromStrftime("%d.%m.%Y", "%T", "", "", ""),
              Expect("dd.MM.yyyy", ".", ":", false, false, true, "AM", "PM"));
    EXPECT_EQ(
        FormatsFromStrftime("%Y年%m月%d日", "%H时%M分%S秒", "%p %I时%M分%S秒", "上午", "下午"),
        Expect("yyyy年MM月dd日", "/", ":", false, false, true, "上午", "下午"));
    EXPECT_EQ(FormatsFromStrftime("%F", "%R", "", "", ""),
              Expect("yyyy-MM-dd", "-", ":", false, false, true, "AM", "PM"));
}

TEST(StrftimeFormats, TwelveHourClockMarkerAndPadding) {
    // The marker in front, with an unpadded hour (%l) and its GNU spelling %-I.
    EXPECT_EQ(FormatsFromStrftime("%Y-%m-%d", "%p %l:%M:%S", "", "AM", "PM"),
              Expect("yyyy-MM-dd", "-", ":", true, true, false, "AM", "PM"));
    EXPECT_EQ(FormatsFromStrftime("%-d/%-m/%Y", "%-I.%M.%S %P", "", "am", "pm"),
              Expect("d/M/yyyy", "/", ".", true, false, false, "am", "pm"));
    // A 24-hour clock padded with blanks, and %e for the day.
    EXPECT_EQ(FormatsFromStrftime("%e.%m.%y", "%k:%M:%S", "", "", ""),
              Expect("d.MM.yy", ".", ":", false, false, false, "AM", "PM"));
    // %r without a locale pattern for it, and 12-hour locales without marker texts.
    EXPECT_EQ(FormatsFromStrftime("%D", "%r", "", "", ""),
              Expect("MM/dd/yy", "/", ":", true, false, true, "AM", "PM"));
}

TEST(StrftimeFormats, LiteralTextIsQuotedAndOddPatternsFallBack) {
    // Words between the fields are literal; so is an apostrophe.
    EXPECT_EQ(FormatsFromStrftime("%d de %B de %Y", "%H:%M", "", "", "").shortDatePattern,
              "dd 'de' MMMM 'de' yyyy");
    EXPECT_EQ(FormatsFromStrftime("%d'%m\"%Y", "%H:%M", "", "", "").shortDatePattern,
              "dd''''MM'\"'yyyy");
    // Separators that differ leave '/' as the separator, and a literal '/'
    // is quoted when the separator is something else.
    EXPECT_EQ(FormatsFromStrftime("%Y.%m-%d", "%H:%M", "", "", "").dateSeparator, "/");
    EXPECT_EQ(FormatsFromStrftime("(%d.%m.%Y/x)", "%H", "", "", "").shortDatePattern,
              "(dd.MM.yyyy'/x')");
    // Era and alternative-digit modifiers and widths are read through.
    EXPECT_EQ(FormatsFromStrftime("%Ey/%Om/%4d", "%OH:%OM", "", "", "").shortDatePattern,
              "yy/MM/dd");
    // Nothing usable keeps the defaults.
    EXPECT_EQ(FormatsFromStrftime("", "", "", "", ""), LocaleFormats{});
    EXPECT_EQ(FormatsFromStrftime("%", "%Z", "", "", "").shortDatePattern,
              LocaleFormats{}.shortDatePattern);
}

TEST(WindowsLocaleFormats, FlagsComeFromTheLocaleValues) {
    WindowsLocaleInfo zh{"yyyy/M/d", "/", ":", "H:mm:ss", "1", "0", "0", "上午", "下午"};
    EXPECT_EQ(FormatsFromWindowsLocale(zh),
              Expect("yyyy/M/d", "/", ":", false, false, false, "上午", "下午"));
    WindowsLocaleInfo us{"M/d/yyyy", "/", ":", "h:mm:ss tt", "0", "0", "0", "AM", "PM"};
    EXPECT_EQ(FormatsFromWindowsLocale(us),
              Expect("M/d/yyyy", "/", ":", true, false, false, "AM", "PM"));
    WindowsLocaleInfo ko{"yyyy-MM-dd", "-", ":", "tt h:mm:ss", "0", "1", "1", "오전", "오후"};
    EXPECT_EQ(FormatsFromWindowsLocale(ko),
              Expect("yyyy-MM-dd", "-", ":", true, true, true, "오전", "오후"));
}

TEST(WindowsLocaleFormats, MissingFlagsAreReadFromTheTimeFormat) {
    WindowsLocaleInfo de{"dd.MM.yyyy", ".", ":", "HH:mm:ss", "", "", "", "", ""};
    EXPECT_EQ(FormatsFromWindowsLocale(de),
              Expect("dd.MM.yyyy", ".", ":", false, false, true, "", ""));
    WindowsLocaleInfo front{"", "", "", "tt hh:mm:ss", "", "", "", "AM", "PM"};
    EXPECT_EQ(FormatsFromWindowsLocale(front),
              Expect("yyyy/M/d", "/", ":", true, true, true, "AM", "PM"));
    // Quoted text is not a field.
    WindowsLocaleInfo quoted{"", "", "", "'at' H:mm:ss", "", "", "", "", ""};
    EXPECT_EQ(FormatsFromWindowsLocale(quoted),
              Expect("yyyy/M/d", "/", ":", false, false, false, "", ""));
}

#if !defined(_WIN32)
using test::ScopedLocale;

struct SystemCase {
    const char* locale;
    LocaleFormats want;
};

TEST(SystemLocaleFormats, ReadFromLcTime) {
    ScopedLocale ctype(LC_CTYPE, "C.UTF-8");
    ASSERT_TRUE(ctype.ok());
    const SystemCase cases[] = {
        {"C", Expect("MM/dd/yy", "/", ":", false, false, true, "AM", "PM")},
        {"C.UTF-8", Expect("MM/dd/yy", "/", ":", false, false, true, "AM", "PM")},
        {"en_US.UTF-8", Expect("MM/dd/yyyy", "/", ":", true, false, true, "AM", "PM")},
        {"de_DE.UTF-8", Expect("dd.MM.yyyy", ".", ":", false, false, true, "AM", "PM")},
        {"zh_CN.UTF-8", Expect("yyyy年MM月dd日", "/", ":", false, false, true, "上午", "下午")},
    };
    int ran = 0;
    for (const auto& c : cases) {
        ScopedLocale time(LC_TIME, c.locale);
        if (!time.ok()) continue;
        ++ran;
        EXPECT_EQ(ReadLocaleFormats(), c.want) << c.locale;
    }
    if (ran < 3) GTEST_SKIP() << "only " << ran << " of the locales exist here";
}

TEST(SystemLocaleFormats, TextsFollowTheCharsetOfLcCtype) {
    // Dates from a GBK locale shown in a UTF-8 program, and the other way round.
    {
        ScopedLocale ctype(LC_CTYPE, "C.UTF-8");
        ScopedLocale time(LC_TIME, "zh_CN.GBK");
        if (!ctype.ok() || !time.ok()) GTEST_SKIP() << "no zh_CN.GBK locale";
        const auto f = ReadLocaleFormats();
        EXPECT_EQ(f.am, "上午");
        EXPECT_EQ(f.shortDatePattern, "yyyy年MM月dd日");
    }
    ScopedLocale ctype(LC_CTYPE, "zh_CN.GBK");
    ScopedLocale time(LC_TIME, "zh_CN.UTF-8");
    if (!ctype.ok() || !time.ok()) GTEST_SKIP() << "no zh_CN.UTF-8 locale";
    EXPECT_EQ(ReadLocaleFormats().pm, "\xCF\xC2\xCE\xE7");  // 下午 in GBK
}
#else
TEST(SystemLocaleFormats, ReadFromTheUserLocale) {
    const auto f = ReadLocaleFormats();
    EXPECT_NE(f.shortDatePattern.find('y'), std::string::npos);
    EXPECT_NE(f.shortDatePattern.find('M'), std::string::npos);
    EXPECT_NE(f.shortDatePattern.find('d'), std::string::npos);
    EXPECT_FALSE(f.timeSeparator.empty());
    if (f.twelveHour) {
        EXPECT_FALSE(f.am.empty());
    }
}
#endif

}  // namespace
}  // namespace qm
