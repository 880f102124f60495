#include "scan/DateText.h"

#include <cstdio>

namespace qm {
namespace {

constexpr const char* kMonthShort[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kMonthLong[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
constexpr const char* kDayShort[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kDayLong[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

std::string Number(long long value, int minDigits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", minDigits, value);
    return buf;
}

int ClampMonth(int m) {
    return m < 1 ? 0 : (m > 12 ? 11 : m - 1);
}

// 0 = Sunday, proleptic Gregorian calendar.
int Weekday(int y, int m, int d) {
    static constexpr int kOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    long long w = y + y / 4 - y / 100 + y / 400 + kOffset[ClampMonth(m)] + d;
    return static_cast<int>(((w % 7) + 7) % 7);
}

}  // namespace

std::optional<LocalDateTime> FileTimeToLocal(std::uint64_t fileTime) {
    auto utc = FileTimeToUtc(fileTime);
    if (!utc) return std::nullopt;
    return UtcToLocal(*utc);
}

std::string ShortDateText(const LocalDateTime& t, const LocaleFormats& f) {
    const std::string& p = f.shortDatePattern;
    std::string out;
    std::size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (c == '\'' || c == '"') {
            // Quoted text; a doubled quote inside stands for the quote itself.
            ++i;
            while (i < p.size()) {
                if (p[i] == c) {
                    if (i + 1 < p.size() && p[i + 1] == c) {
                        out += c;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += p[i++];
            }
            continue;
        }
        std::size_t run = 1;
        while (i + run < p.size() && p[i + run] == c) ++run;
        switch (c) {
            case 'd':
                if (run == 1)
                    out += Number(t.day, 1);
                else if (run == 2)
                    out += Number(t.day, 2);
                else
                    out += (run == 3 ? kDayShort : kDayLong)[Weekday(t.year, t.month, t.day)];
                break;
            case 'M':
                if (run == 1)
                    out += Number(t.month, 1);
                else if (run == 2)
                    out += Number(t.month, 2);
                else
                    out += (run == 3 ? kMonthShort : kMonthLong)[ClampMonth(t.month)];
                break;
            case 'y':
                if (run == 1)
                    out += Number(t.year % 100, 1);
                else if (run == 2)
                    out += Number(t.year % 100, 2);
                else
                    out += Number(t.year, 4);
                break;
            case 'g':
                break;  // era: not shown
            case '/':
                for (std::size_t k = 0; k < run; ++k) out += f.dateSeparator;
                break;
            default:
                out.append(run, c);
        }
        i += run;
    }
    return out;
}

std::string LongTimeText(const LocalDateTime& t, const LocaleFormats& f) {
    std::string out;
    const std::string& marker = t.hour < 12 ? f.am : f.pm;
    int hour = t.hour;
    if (f.twelveHour) {
        hour %= 12;
        if (hour == 0) hour = 12;
        if (f.markerInFront) out += marker + " ";
    }
    out += Number(hour, f.leadingZeroHour ? 2 : 1);
    out += f.timeSeparator + Number(t.minute, 2) + f.timeSeparator + Number(t.second, 2);
    if (f.twelveHour && !f.markerInFront) out += " " + marker;
    return out;
}

std::string DateText(const LocalDateTime& t, const LocaleFormats& f) {
    std::string out = ShortDateText(t, f);
    if (t.hour != 0 || t.minute != 0 || t.second != 0) out += " " + LongTimeText(t, f);
    return out;
}

std::string FileTimeText(std::uint64_t fileTime, const LocaleFormats& f) {
    auto local = FileTimeToLocal(fileTime);
    return local ? DateText(*local, f) : std::string();
}

}  // namespace qm
