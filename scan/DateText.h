// The date texts of the result list: a FILETIME in local time, written in the
// user's short date pattern and a long time format composed from the locale's
// clock settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace qm {

// The local date and time of a FILETIME in the current time zone, to the
// millisecond; nullopt when the value cannot be converted.
std::optional<LocalDateTime> FileTimeToLocal(std::uint64_t fileTime);

// The date in the short date pattern: d, dd, M, MM, y, yy, yyyy (and the English
// names for MMM, MMMM, ddd, dddd); '/' prints as the date separator; text in
// single or double quotes prints as it stands ("''" is one quote).
std::string ShortDateText(const LocalDateTime& t, const LocaleFormats& f);

// The long time: the marker first when the 12-hour clock puts it in front, the
// hour (two digits when the locale asks for a leading zero), ":mm:ss", the
// marker last when it goes behind. ':' prints as the time separator.
std::string LongTimeText(const LocalDateTime& t, const LocaleFormats& f);

// The short date, then a blank and the long time unless hour, minute and
// second are all 0.
std::string DateText(const LocalDateTime& t, const LocaleFormats& f);

// DateText of the FILETIME's local time; empty when it cannot be converted.
std::string FileTimeText(std::uint64_t fileTime, const LocaleFormats& f);

// FileTimeText for the many times of one scan, which gather on few hours and
// days: the time zone is asked once per UTC hour met (at both ends of the
// hour; an hour whose two ends differ is converted time by time), and the
// short date is written once per local day met. Gives the texts FileTimeText
// gives. Holds `formats` by reference.
class FileTimeFormatter {
public:
    explicit FileTimeFormatter(const LocaleFormats& formats) : formats_(&formats) {}
    std::string Text(std::uint64_t fileTime);
    std::optional<LocalDateTime> Local(std::uint64_t fileTime);

private:
    const LocaleFormats* formats_;
    static constexpr std::uint64_t kNoHour = ~std::uint64_t{0};
    std::uint64_t hour_ = kNoHour;  // UTC hours since 1601 of the offset below
    bool hourUniform_ = false;      // one offset from the hour's start to its end
    std::int64_t offsetSeconds_ = 0;
    LocalDateTime day_{0, 0, 0};  // the local day of dateText_
    std::string dateText_;
};

}  // namespace qm
