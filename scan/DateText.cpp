#include "scan/DateText.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <tuple>

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

// `value` in decimal, with leading zeros up to `minDigits`.
void AppendNumber(std::string& out, long long value, int minDigits) {
    char buf[32];
    if (value < 0) {
        const int n = std::snprintf(buf, sizeof buf, "%0*lld", minDigits, value);
        out.append(buf, static_cast<std::size_t>(std::max(n, 0)));
        return;
    }
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    const auto digits = static_cast<int>(r.ptr - buf);
    if (digits < minDigits) out.append(static_cast<std::size_t>(minDigits - digits), '0');
    out.append(buf, r.ptr);
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
                    AppendNumber(out, t.day, 1);
                else if (run == 2)
                    AppendNumber(out, t.day, 2);
                else
                    out += (run == 3 ? kDayShort : kDayLong)[Weekday(t.year, t.month, t.day)];
                break;
            case 'M':
                if (run == 1)
                    AppendNumber(out, t.month, 1);
                else if (run == 2)
                    AppendNumber(out, t.month, 2);
                else
                    out += (run == 3 ? kMonthShort : kMonthLong)[ClampMonth(t.month)];
                break;
            case 'y':
                if (run == 1)
                    AppendNumber(out, t.year % 100, 1);
                else if (run == 2)
                    AppendNumber(out, t.year % 100, 2);
                else
                    AppendNumber(out, t.year, 4);
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
    AppendNumber(out, hour, f.leadingZeroHour ? 2 : 1);
    out += f.timeSeparator;
    AppendNumber(out, t.minute, 2);
    out += f.timeSeparator;
    AppendNumber(out, t.second, 2);
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

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

bool SameDay(const LocalDateTime& a, const LocalDateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

bool SameSecond(const LocalDateTime& a, const LocalDateTime& b) {
    return SameDay(a, b) && a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

// Seconds from `utc` to `local` when they lie less than a day apart.
std::int64_t OffsetSeconds(const LocalDateTime& utc, const LocalDateTime& local) {
    int days = 0;
    if (!SameDay(utc, local)) {
        const auto key = [](const LocalDateTime& t) { return std::tuple(t.year, t.month, t.day); };
        days = key(local) > key(utc) ? 1 : -1;
    }
    return std::int64_t{days} * 86400 + (local.hour - utc.hour) * 3600 +
           (local.minute - utc.minute) * 60 + (local.second - utc.second);
}

// The UTC fields of `fileTime` moved by `seconds`; nullopt when that leaves the FILETIME range.
std::optional<LocalDateTime> Shifted(std::uint64_t fileTime, std::int64_t seconds) {
    const std::uint64_t magnitude =
        static_cast<std::uint64_t>(seconds < 0 ? -seconds : seconds) * kTicksPerSecond;
    if (seconds < 0 && fileTime < magnitude) return std::nullopt;
    if (seconds >= 0 && fileTime > (std::uint64_t{1} << 63) - 1 - magnitude) return std::nullopt;
    return FileTimeToUtc(seconds < 0 ? fileTime - magnitude : fileTime + magnitude);
}

}  // namespace

std::optional<LocalDateTime> FileTimeFormatter::Local(std::uint64_t fileTime) {
    if (fileTime >= (std::uint64_t{1} << 63)) return std::nullopt;
    const std::uint64_t hour = fileTime / (3600 * kTicksPerSecond);
    if (hour != hour_) {
        hour_ = hour;
        hourUniform_ = false;
        const std::uint64_t start = hour * 3600 * kTicksPerSecond;
        const std::uint64_t last = start + 3599 * kTicksPerSecond;
        const auto utcStart = FileTimeToUtc(start), utcLast = FileTimeToUtc(last);
        const auto localStart = utcStart ? UtcToLocal(*utcStart) : std::nullopt;
        const auto localLast = utcLast ? UtcToLocal(*utcLast) : std::nullopt;
        if (localStart && localLast) {
            const auto a = OffsetSeconds(*utcStart, *localStart);
            const auto b = OffsetSeconds(*utcLast, *localLast);
            // Trusted only when moving the hour's two ends by it gives what the zone gave.
            if (a == b) {
                const auto s = Shifted(start, a), l = Shifted(last, a);
                hourUniform_ = s && l && SameSecond(*s, *localStart) && SameSecond(*l, *localLast);
                offsetSeconds_ = a;
            }
        }
    }
    if (hourUniform_) {
        // Within the hour one offset holds, and both of its ends convert: so does every time in it.
        if (auto t = Shifted(fileTime, offsetSeconds_)) return t;
    }
    return FileTimeToLocal(fileTime);
}

std::string FileTimeFormatter::Text(std::uint64_t fileTime) {
    const auto local = Local(fileTime);
    if (!local) return {};
    if (!SameDay(*local, day_)) {
        dateText_ = ShortDateText(*local, *formats_);
        day_ = *local;
    }
    std::string out = dateText_;
    if (local->hour != 0 || local->minute != 0 || local->second != 0) {
        out += ' ';
        out += LongTimeText(*local, *formats_);
    }
    return out;
}

}  // namespace qm
