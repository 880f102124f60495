// FILETIME to calendar time, and UTC to the local time of the current zone.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"
#include "scan/DateText.h"

namespace qm {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as FILETIME

auto Fields(const LocalDateTime& t) {
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
}

// The calendar the slow way: whole years, then whole months, from 1601.
LocalDateTime Reference(std::uint64_t ft) {
    std::uint64_t ms = ft / 10000;
    std::uint64_t days = ms / 86'400'000;
    ms %= 86'400'000;
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    int y = 1601;
    while (days >= (leap(y) ? 366u : 365u)) days -= leap(y++) ? 366 : 365;
    const int lengths[] = {31, leap(y) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int m = 0;
    while (days >= static_cast<std::uint64_t>(lengths[m]))
        days -= static_cast<std::uint64_t>(lengths[m++]);
    return LocalDateTime{y,
                         m + 1,
                         static_cast<int>(days) + 1,
                         static_cast<int>(ms / 3'600'000),
                         static_cast<int>(ms / 60'000 % 60),
                         static_cast<int>(ms / 1000 % 60),
                         static_cast<int>(ms % 1000)};
}

// The FILETIME of midnight UTC at the start of a date, counted the slow way.
std::uint64_t FileTimeOf(int y, int m, int d) {
    auto leap = [](int yy) { return (yy % 4 == 0 && yy % 100 != 0) || yy % 400 == 0; };
    std::uint64_t days = 0;
    for (int yy = 1601; yy < y; ++yy) days += leap(yy) ? 366 : 365;
    const int lengths[] = {31, leap(y) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int mm = 1; mm < m; ++mm) days += static_cast<std::uint64_t>(lengths[mm - 1]);
    days += static_cast<std::uint64_t>(d - 1);
    return days * 86400 * kTicksPerSecond;
}

TEST(FileTimeToUtc, KnownInstantsAndTheEndsOfTheRange) {
    EXPECT_EQ(Fields(*FileTimeToUtc(0)), std::make_tuple(1601, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(Fields(*FileTimeToUtc(kUnixEpoch)), std::make_tuple(1970, 1, 1, 0, 0, 0, 0));
    // 2024-02-29 12:34:56.789 and 4567 ticks below the millisecond, which are dropped.
    const std::uint64_t leapDay = kUnixEpoch + 1709210096ull * kTicksPerSecond + 7'894'567;
    EXPECT_EQ(Fields(*FileTimeToUtc(leapDay)), std::make_tuple(2024, 2, 29, 12, 34, 56, 789));
    EXPECT_EQ(Fields(*FileTimeToUtc(0x7FFFFFFFFFFFFFFFull)),
              std::make_tuple(30828, 9, 14, 2, 48, 5, 477));
    EXPECT_FALSE(FileTimeToUtc(0x8000000000000000ull));
    EXPECT_FALSE(FileTimeToUtc(UINT64_MAX));
}

TEST(FileTimeToUtc, AgreesWithDayCountingOverTheWholeRange) {
    std::mt19937_64 rng(42);
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 1000; ++i) values.push_back(rng() >> 1);
    // Century years, leap days, year ends: the first tick of each day and the last before it.
    for (auto [y, m, d] : {std::tuple{1601, 12, 31},
                           {1700, 3, 1},
                           {1900, 3, 1},
                           {2000, 2, 29},
                           {2000, 3, 1},
                           {2100, 3, 1},
                           {2400, 12, 31},
                           {30827, 12, 31}}) {
        const std::uint64_t ft = FileTimeOf(y, m, d);
        values.push_back(ft);
        values.push_back(ft - 1);
    }
    for (std::uint64_t ft : values) {
        const auto got = FileTimeToUtc(ft);
        ASSERT_TRUE(got) << ft;
        ASSERT_EQ(Fields(*got), Fields(Reference(ft))) << "FILETIME " << ft;
    }
}

#if !defined(_WIN32)
using test::ScopedTimeZone;

LocalDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return LocalDateTime{y, mo, d, h, mi, s, ms};
}

TEST(UtcToLocal, FixedOffsetZoneMovesAcrossDayAndYear) {
    ScopedTimeZone tz("Asia/Shanghai", "CST-8");
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 1, 15, 12, 0, 0))),
              std::make_tuple(2024, 1, 15, 20, 0, 0, 0));
    EXPECT_EQ(Fields(*UtcToLocal(At(2023, 12, 31, 20, 30, 0, 250))),
              std::make_tuple(2024, 1, 1, 4, 30, 0, 250));
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 2, 28, 16, 0, 0))),
              std::make_tuple(2024, 2, 29, 0, 0, 0, 0));
}

TEST(UtcToLocal, DaylightSavingFollowsTheDate) {
    ScopedTimeZone tz("America/New_York", "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 1, 15, 12, 0, 0))),
              std::make_tuple(2024, 1, 15, 7, 0, 0, 0));
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 7, 1, 12, 0, 0))),
              std::make_tuple(2024, 7, 1, 8, 0, 0, 0));
    // The spring change at 07:00 UTC on 10 March 2024, and the autumn one.
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 3, 10, 6, 59, 59, 999))),
              std::make_tuple(2024, 3, 10, 1, 59, 59, 999));
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 3, 10, 7, 0, 0))),
              std::make_tuple(2024, 3, 10, 3, 0, 0, 0));
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 11, 3, 5, 30, 0))),
              std::make_tuple(2024, 11, 3, 1, 30, 0, 0));
    EXPECT_EQ(Fields(*UtcToLocal(At(2024, 11, 3, 6, 30, 0))),
              std::make_tuple(2024, 11, 3, 1, 30, 0, 0));
    // Far beyond 2038, where a 32-bit clock would have wrapped.
    EXPECT_EQ(Fields(*UtcToLocal(At(2100, 7, 1, 12, 0, 0))),
              std::make_tuple(2100, 7, 1, 8, 0, 0, 0));
}

TEST(UtcToLocal, RefusesWhatItCannotConvert) {
    ScopedTimeZone tz("America/New_York", "EST5EDT,M3.2.0,M11.1.0");
    // West of Greenwich the first hours of 1601 fall in 1600.
    EXPECT_FALSE(UtcToLocal(At(1601, 1, 1, 3, 0, 0)));
    EXPECT_TRUE(UtcToLocal(At(1601, 1, 2, 0, 0, 0)));
    EXPECT_FALSE(UtcToLocal(At(2023, 2, 29, 0, 0, 0)));
    EXPECT_FALSE(UtcToLocal(At(2024, 13, 1, 0, 0, 0)));
    EXPECT_FALSE(UtcToLocal(At(2024, 1, 1, 24, 0, 0)));
    EXPECT_FALSE(UtcToLocal(At(2024, 1, 1, 0, 0, 0, 1000)));
}

// The formatter that remembers an hour's offset and a day's date must give
// what converting each time afresh gives: across daylight-saving changes that
// fall on the hour, on the half hour (Lord Howe), in zones a quarter hour off
// the hour (Kathmandu), and at the ends of the FILETIME range.
TEST(FileTimeFormatter, GivesWhatConvertingEachTimeGives) {
    const std::pair<const char*, const char*> zones[] = {
        {"America/New_York", "EST5EDT,M3.2.0,M11.1.0"},
        {"Australia/Lord_Howe", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"},
        {"Asia/Kathmandu", "<+0545>-5:45"},
        {"Pacific/Kiritimati", "<+14>-14"},
    };
    const LocaleFormats f{"yyyy/M/d ddd", "/", ":", false, false, false, "AM", "PM"};
    std::vector<std::uint64_t> times;
    // Every 7 minutes and 3 seconds through the days around the 2024 changes
    // of both hemispheres, so that each hour is met at several times.
    for (const auto& day : {FileTimeOf(2024, 3, 9), FileTimeOf(2024, 4, 6), FileTimeOf(2024, 10, 5),
                            FileTimeOf(2024, 11, 2)})
        for (std::uint64_t t = day; t < day + 3 * 86400 * kTicksPerSecond;
             t += 423 * kTicksPerSecond)
            times.push_back(t + 1234567);
    // The first hours of 1601 (before the range west of Greenwich), the last of
    // 30828 and past it, then times all over the range, some twice in a row.
    for (std::uint64_t s = 0; s < 2 * 86400; s += 1800) times.push_back(s * kTicksPerSecond);
    for (std::uint64_t s = 0; s < 2 * 86400; s += 1800)
        times.push_back(0x7FFFFFFFFFFFFFFFull - s * kTicksPerSecond);
    times.push_back(0x8000000000000000ull);
    times.push_back(~std::uint64_t{0});
    std::mt19937_64 random(7);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t t = random() >> 1;
        times.push_back(t);
        if (i % 3 == 0) times.push_back(t + random() % (3600 * kTicksPerSecond));
    }

    for (const auto& [zone, rule] : zones) {
        ScopedTimeZone tz(zone, rule);
        FileTimeFormatter formatter(f);
        for (const std::uint64_t t : times) {
            const auto expected = FileTimeToLocal(t);
            const auto got = formatter.Local(t);
            ASSERT_EQ(expected.has_value(), got.has_value()) << zone << " " << t;
            if (expected) {
                ASSERT_EQ(Fields(*expected), Fields(*got)) << zone << " " << t;
            }
            ASSERT_EQ(formatter.Text(t), FileTimeText(t, f)) << zone << " " << t;
        }
    }
}

#else
TEST(UtcToLocal, StaysWithinADayOfUtc) {
    const auto utc = *FileTimeToUtc(kUnixEpoch + 1709210096ull * kTicksPerSecond + 7'890'000);
    const auto local = UtcToLocal(utc);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->millisecond, 789);
    EXPECT_EQ(local->second, utc.second);
    EXPECT_LE(std::abs(local->day - utc.day), 1);
}
#endif

}  // namespace
}  // namespace qm
