// Turning what the system says about the user's date and time formats into
// LocaleFormats. Pure text work, shared by both backends and by the tests.
#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qm {

// From the strftime patterns of a POSIX locale: the date format (D_FMT, e.g.
// "%d.%m.%Y"), the time format (T_FMT, e.g. "%H:%M:%S" or "%r"), the 12-hour
// time format that "%r" stands for (T_FMT_AMPM) and the morning and afternoon
// strings. Fields the d/M/y letters cannot express are left out; separators that
// differ between the fields leave the default separator.
LocaleFormats FormatsFromStrftime(std::string_view dateFormat, std::string_view timeFormat,
                                  std::string_view timeFormatAmPm, std::string_view am,
                                  std::string_view pm);

// The values GetLocaleInfo gives for a Windows locale, as text.
struct WindowsLocaleInfo {
    std::string shortDate;      // LOCALE_SSHORTDATE, e.g. "yyyy/M/d"
    std::string dateSeparator;  // LOCALE_SDATE
    std::string timeSeparator;  // LOCALE_STIME
    std::string
        timeFormat;  // LOCALE_STIMEFORMAT, e.g. "h:mm:ss tt"; used where the next three are missing
    std::string twelveHourFlag;  // LOCALE_ITIME: "0" 12-hour, "1" 24-hour
    std::string leadingZero;     // LOCALE_ITLZERO: "1" leading zero on hours
    std::string markerPosition;  // LOCALE_ITIMEMARKPOSN: "1" marker in front
    std::string am, pm;          // LOCALE_S1159, LOCALE_S2359
};
LocaleFormats FormatsFromWindowsLocale(const WindowsLocaleInfo& info);

}  // namespace qm
