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

}  // namespace qm
