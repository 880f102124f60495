// POSIX side of the platform layer: drives from sysfs, local time, and the
// locale's date and time formats.
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <system_error>

#include "platform/LocaleParse.h"
#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace qm {
namespace fs = std::filesystem;

// ---- Drives ---------------------------------------------------------------

namespace {

// The first line of a sysfs attribute, without its line end.
std::optional<std::string> ReadAttribute(const fs::path& p) {
    std::ifstream in(p);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line) && line.empty()) return std::string();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "sda2" < "sda10": runs of digits compare by their value.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
            std::string_view na = std::string_view(a).substr(i, ei - i);
            std::string_view nb = std::string_view(b).substr(j, ej - j);
            while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
            while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

}  // namespace

std::vector<std::string> ListFixedDrives() {
    return DiscoverBlockDevices("/sys/class/block", "/dev");
}

std::vector<std::string> DiscoverBlockDevices(const fs::path& sysClassBlock,
                                              const fs::path& devDir) {
    std::vector<std::pair<std::string, std::string>> found;  // sysfs name, device path
    std::error_code ec;
    fs::directory_iterator it(sysClassBlock, ec);
    if (ec) return {};
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (StartsWith(name, "ram") || StartsWith(name, "zram") || StartsWith(name, "sr")) continue;
        const fs::path dir = entry.path();
        // A partition has its own directory inside its disk's; the disk holds
        // the attributes that describe the medium.
        const bool partition = fs::exists(dir / "partition", ec);
        fs::path disk;
        if (partition) {
            const fs::path real = fs::canonical(dir, ec);
            disk = ec ? dir / ".." : real.parent_path();
        }
        auto attribute = [&](const char* rel) -> std::optional<std::string> {
            if (auto v = ReadAttribute(dir / rel)) return v;
            if (partition) return ReadAttribute(disk / rel);
            return std::nullopt;
        };
        if (attribute("removable").value_or("0") == "1") continue;
        if (attribute("device/type").value_or("") == "5") continue;  // SCSI type 5: CD/DVD
        if (StartsWith(name, "loop") && attribute("loop/backing_file").value_or("").empty())
            continue;
        if (ReadAttribute(dir / "size").value_or("") == "0") continue;  // no medium, unused
        // The node's name under /dev: DEVNAME in uevent, else the sysfs name
        // with '!' standing for '/' ("cciss!c0d0").
        std::string node = name;
        std::replace(node.begin(), node.end(), '!', '/');
        if (std::ifstream uevent(dir / "uevent"); uevent) {
            std::string line;
            while (std::getline(uevent, line))
                if (StartsWith(line, "DEVNAME=") && line.size() > 8) node = line.substr(8);
        }
        found.emplace_back(name, (devDir / node).string());
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
    std::vector<std::string> out;
    out.reserve(found.size());
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

std::optional<std::string> SystemVolumeLabel(std::string_view) {
    return std::nullopt;
}

// ---- Time -----------------------------------------------------------------

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date, and back
// (after H. Hinnant's civil calendar algorithms).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30828;  // FILETIME values below 2^63 end in September 30828

}  // namespace

std::optional<LocalDateTime> FileTimeToUtc(std::uint64_t fileTime) {
    if (fileTime >= (std::uint64_t{1} << 63)) return std::nullopt;
    const std::uint64_t ms = fileTime / 10000;
    const std::uint64_t secs = ms / 1000;
    const std::int64_t days = static_cast<std::int64_t>(secs / 86400);
    const int secOfDay = static_cast<int>(secs % 86400);
    LocalDateTime t;
    std::int64_t year;
    CivilFromDays(DaysFromCivil(kFirstYear, 1, 1) + days, year, t.month, t.day);
    t.year = static_cast<int>(year);
    t.hour = secOfDay / 3600;
    t.minute = secOfDay / 60 % 60;
    t.second = secOfDay % 60;
    t.millisecond = static_cast<int>(ms % 1000);
    return t;
}

std::optional<LocalDateTime> UtcToLocal(const LocalDateTime& utc) {
    static_assert(sizeof(time_t) >= 8, "local time needs a 64-bit time_t");
    if (utc.year < kFirstYear || utc.year > kLastYear || utc.month < 1 || utc.month > 12 ||
        utc.day < 1 || utc.day > DaysInMonth(utc.year, utc.month) || utc.hour < 0 ||
        utc.hour > 23 || utc.minute < 0 || utc.minute > 59 || utc.second < 0 || utc.second > 59 ||
        utc.millisecond < 0 || utc.millisecond > 999)
        return std::nullopt;
    const std::int64_t secs = DaysFromCivil(utc.year, utc.month, utc.day) * 86400 +
                              utc.hour * 3600 + utc.minute * 60 + utc.second;
    const time_t t = static_cast<time_t>(secs);
    struct tm lt {};
    if (!localtime_r(&t, &lt)) return std::nullopt;
    const std::int64_t year = std::int64_t{lt.tm_year} + 1900;
    if (year < kFirstYear || year > kLastYear) return std::nullopt;
    return LocalDateTime{
        static_cast<int>(year), lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
        utc.millisecond};
}

// ---- Locale formats ---------------------------------------------------------

LocaleFormats ReadLocaleFormats() {
    LocaleFormats f =
        FormatsFromStrftime(nl_langinfo(D_FMT), nl_langinfo(T_FMT), nl_langinfo(T_FMT_AMPM),
                            nl_langinfo(AM_STR), nl_langinfo(PM_STR));
    // The texts come in the charset of LC_TIME; the program's 8-bit texts are in
    // that of LC_CTYPE. Convert when the two differ.
    const char* timeLocale = setlocale(LC_TIME, nullptr);
    if (!timeLocale) return f;
    locale_t loc = newlocale(LC_CTYPE_MASK, timeLocale, static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return f;
    const std::string timeCodeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    const std::string codeset = posix::CurrentCodeset();
    if (timeCodeset.empty() || timeCodeset == codeset) return f;
    auto convert = [&](std::string& s) {
        auto cps = posix::ToCodePoints(s, timeCodeset);
        if (!cps) return;
        if (auto r = posix::FromCodePoints(*cps, codeset)) s = *r;
    };
    convert(f.shortDatePattern);
    convert(f.dateSeparator);
    convert(f.timeSeparator);
    convert(f.am);
    convert(f.pm);
    return f;
}

}  // namespace qm
