// Windows side of the platform layer: fixed drives and their labels, the
// active code page, local time, and the user's date and time formats.
#include <windows.h>

#include <cctype>

#include "platform/LocaleParse.h"
#include "platform/Platform.h"

namespace qm {

// ---- Drives ---------------------------------------------------------------

std::vector<std::string> ListFixedDrives() {
    std::vector<std::string> drives;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (DWORD{1} << i))) continue;
        const std::string drive{static_cast<char>('A' + i), ':'};
        if (GetDriveTypeA((drive + "\\").c_str()) == DRIVE_FIXED) drives.push_back(drive);
    }
    return drives;
}

// Block devices from sysfs are a Linux matter.
std::vector<std::string> DiscoverBlockDevices(const std::filesystem::path&,
                                              const std::filesystem::path&) {
    return {};
}

std::optional<std::string> SystemVolumeLabel(std::string_view driveText) {
    if (driveText.size() != 2 || driveText[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(driveText[0])))
        return std::nullopt;  // an image file: the caller reads the label from the volume
    const std::string root{driveText[0], ':', '\\'};
    char name[261];
    name[0] = 0;
    DWORD maxComponent = 0, flags = 0;
    if (!GetVolumeInformationA(root.c_str(), name, sizeof name, nullptr, &maxComponent, &flags,
                               nullptr, 0))
        return std::string();
    name[sizeof name - 1] = 0;
    return std::string(name);
}

// ---- Text -----------------------------------------------------------------

std::string Utf16ToAnsi(std::u16string_view text) {
    if (GetACP() == CP_UTF8) return Utf16ToUtf8(text);
    if (text.empty()) return {};
    if (text.size() > static_cast<std::size_t>(INT_MAX / 4)) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int wideLen = static_cast<int>(text.size());
    // No best-fit mapping: what the code page lacks becomes '?', not a look-alike
    // (a full-width solidus must not turn into a path separator).
    const int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wideLen, nullptr, 0, "?", nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wideLen, out.data(), n, "?", nullptr);
    return out;
}

std::string AnsiToUtf8(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX / 2)) return {};
    const int len = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), len, nullptr, 0);
    if (n <= 0) return {};
    std::u16string wide(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), len, reinterpret_cast<wchar_t*>(wide.data()), n);
    return Utf16ToUtf8(wide);
}

bool IsDbcsLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != 0;
}

// ---- Time -----------------------------------------------------------------

namespace {

LocalDateTime FromSystemTime(const SYSTEMTIME& st) {
    return LocalDateTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                         st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace

std::optional<LocalDateTime> FileTimeToUtc(std::uint64_t fileTime) {
    if (fileTime >= (std::uint64_t{1} << 63)) return std::nullopt;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(fileTime);
    ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return std::nullopt;
    return FromSystemTime(st);
}

std::optional<LocalDateTime> UtcToLocal(const LocalDateTime& utc) {
    if (utc.year < 1601 || utc.year > 30827 || utc.month < 1 || utc.month > 12 || utc.day < 1 ||
        utc.day > 31 || utc.hour < 0 || utc.hour > 23 || utc.minute < 0 || utc.minute > 59 ||
        utc.second < 0 || utc.second > 59 || utc.millisecond < 0 || utc.millisecond > 999)
        return std::nullopt;
    SYSTEMTIME in{};
    in.wYear = static_cast<WORD>(utc.year);
    in.wMonth = static_cast<WORD>(utc.month);
    in.wDay = static_cast<WORD>(utc.day);
    in.wHour = static_cast<WORD>(utc.hour);
    in.wMinute = static_cast<WORD>(utc.minute);
    in.wSecond = static_cast<WORD>(utc.second);
    in.wMilliseconds = static_cast<WORD>(utc.millisecond);
    FILETIME check;
    if (!SystemTimeToFileTime(&in, &check)) return std::nullopt;  // no such date
    SYSTEMTIME out;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &in, &out)) return std::nullopt;
    if (out.wYear < 1601) return std::nullopt;
    return FromSystemTime(out);
}

// ---- Locale formats ---------------------------------------------------------

namespace {

std::string LocaleValue(LCTYPE type) {
    char buf[128];
    const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buf, sizeof buf);
    return n > 1 ? std::string(buf, static_cast<std::size_t>(n - 1)) : std::string();
}

}  // namespace

LocaleFormats ReadLocaleFormats() {
    WindowsLocaleInfo info;
    info.shortDate = LocaleValue(LOCALE_SSHORTDATE);
    info.dateSeparator = LocaleValue(LOCALE_SDATE);
    info.timeSeparator = LocaleValue(LOCALE_STIME);
    info.timeFormat = LocaleValue(LOCALE_STIMEFORMAT);
    info.twelveHourFlag = LocaleValue(LOCALE_ITIME);
    info.leadingZero = LocaleValue(LOCALE_ITLZERO);
    info.markerPosition = LocaleValue(LOCALE_ITIMEMARKPOSN);
    info.am = LocaleValue(LOCALE_S1159);
    info.pm = LocaleValue(LOCALE_S2359);
    return FormatsFromWindowsLocale(info);
}

}  // namespace qm
