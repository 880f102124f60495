#include "platform/LocaleParse.h"

#include <optional>
#include <vector>

namespace qm {
namespace {

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// One piece of a strftime pattern: literal text, or a conversion with its flag.
struct Piece {
    bool field = false;
    char conv = 0;     // the conversion letter
    char flag = 0;     // '-', '_', '0', '^', '#' or 0
    std::string text;  // literal text
};

// Splits a strftime pattern into pieces, expanding the composite conversions
// (%D %F %T %R and %r) and dropping widths and the E/O modifiers.
void Tokenize(std::string_view fmt, std::string_view ampm, std::vector<Piece>& out, int depth = 0) {
    auto literal = [&out](std::string_view t) {
        if (t.empty()) return;
        if (out.empty() || out.back().field) out.push_back(Piece{});
        out.back().text += t;
    };
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%') {
            literal(fmt.substr(i, 1));
            continue;
        }
        std::size_t j = i + 1;
        char flag = 0;
        while (j < fmt.size() && (fmt[j] == '-' || fmt[j] == '_' || fmt[j] == '0' ||
                                  fmt[j] == '^' || fmt[j] == '#')) {
            flag = fmt[j++];
        }
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') ++j;
        while (j < fmt.size() && (fmt[j] == 'E' || fmt[j] == 'O')) ++j;
        if (j >= fmt.size()) break;  // a lone '%' at the end
        const char c = fmt[j];
        i = j;
        switch (c) {
            case '%':
                literal("%");
                break;
            case 'n':
            case 't':
                literal(" ");
                break;
            case 'D':
                Tokenize("%m/%d/%y", ampm, out, depth + 1);
                break;
            case 'F':
                Tokenize("%Y-%m-%d", ampm, out, depth + 1);
                break;
            case 'T':
                Tokenize("%H:%M:%S", ampm, out, depth + 1);
                break;
            case 'R':
                Tokenize("%H:%M", ampm, out, depth + 1);
                break;
            case 'r':
                if (depth == 0 && !ampm.empty())
                    Tokenize(ampm, {}, out, depth + 1);
                else
                    Tokenize("%I:%M:%S %p", {}, out, depth + 1);
                break;
            default:
                out.push_back(Piece{true, c, flag, {}});
        }
    }
}

bool NoPadding(char flag) {
    return flag == '-' || flag == '_';
}

// The d/M/y letters for a date conversion, or nullopt for one they cannot express.
std::optional<std::string> DateLetters(const Piece& p) {
    switch (p.conv) {
        case 'd':
            return NoPadding(p.flag) ? "d" : "dd";
        case 'e':
            return p.flag == '0' ? "dd" : "d";
        case 'm':
            return NoPadding(p.flag) ? "M" : "MM";
        case 'Y':
        case 'G':
            return "yyyy";
        case 'y':
        case 'g':
            return NoPadding(p.flag) ? "y" : "yy";
        case 'b':
        case 'h':
            return "MMM";
        case 'B':
            return "MMMM";
        case 'a':
            return "ddd";
        case 'A':
            return "dddd";
        default:
            return std::nullopt;
    }
}

// Literal text for a d/M/y pattern: ASCII letters, quotes and (unless '/' is
// the separator) slashes go inside single quotes.
std::string QuoteLiteral(std::string_view text, bool quoteSlash) {
    std::string out;
    bool open = false;
    for (char c : text) {
        const bool special = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '\'' ||
                             c == '"' || (quoteSlash && c == '/');
        if (special != open) {
            out += '\'';
            open = special;
        }
        if (c == '\'') out += '\'';  // doubled inside quotes
        out += c;
    }
    if (open) out += '\'';
    return out;
}

// The one separator that stands between every pair of neighbouring fields, if
// there is one and it is punctuation or blanks rather than words or digits.
std::optional<std::string> CommonSeparator(const std::vector<std::string>& between) {
    if (between.empty()) return std::nullopt;
    for (const auto& s : between)
        if (s != between.front()) return std::nullopt;
    const std::string& s = between.front();
    if (s.empty() || s.size() > 4) return std::nullopt;
    for (char c : s)
        if (IsAsciiAlnum(c) || static_cast<unsigned char>(c) >= 0x80 || c == '\'' || c == '"')
            return std::nullopt;
    return s;
}

void ReadDate(std::string_view dateFormat, LocaleFormats& f) {
    std::vector<Piece> pieces;
    Tokenize(dateFormat, {}, pieces);
    // Keep the fields we can express, merging the literal text around the others.
    std::vector<Piece> kept;
    for (auto& p : pieces) {
        if (p.field && !DateLetters(p)) continue;
        if (!p.field && !kept.empty() && !kept.back().field)
            kept.back().text += p.text;
        else
            kept.push_back(p);
    }
    bool anyField = false;
    std::vector<std::string> between;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (!kept[i].field) continue;
        anyField = true;
        if (i + 2 < kept.size() && !kept[i + 1].field && kept[i + 2].field)
            between.push_back(kept[i + 1].text);
        else if (i + 1 < kept.size() && kept[i + 1].field)
            between.push_back("");
    }
    if (!anyField) return;  // nothing usable: keep the default pattern
    const auto sep = CommonSeparator(between);
    f.dateSeparator = sep.value_or("/");
    std::string pattern;
    for (const auto& p : kept)
        pattern += p.field ? *DateLetters(p) : QuoteLiteral(p.text, f.dateSeparator != "/");
    f.shortDatePattern = pattern;
}

void ReadTime(std::string_view timeFormat, std::string_view ampm, LocaleFormats& f) {
    std::vector<Piece> pieces;
    Tokenize(timeFormat, ampm, pieces);
    int hourAt = -1, minuteAt = -1, secondAt = -1, markerAt = -1;
    for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
        const Piece& p = pieces[static_cast<std::size_t>(i)];
        if (!p.field) continue;
        switch (p.conv) {
            case 'H':
            case 'I':
            case 'k':
            case 'l':
                if (hourAt < 0) hourAt = i;
                break;
            case 'M':
                if (minuteAt < 0) minuteAt = i;
                break;
            case 'S':
                if (secondAt < 0) secondAt = i;
                break;
            case 'p':
            case 'P':
                if (markerAt < 0) markerAt = i;
                break;
            default:
                break;
        }
    }
    if (hourAt < 0) return;
    const Piece& hour = pieces[static_cast<std::size_t>(hourAt)];
    f.twelveHour = hour.conv == 'I' || hour.conv == 'l';
    f.leadingZeroHour =
        (hour.conv == 'H' || hour.conv == 'I') ? !NoPadding(hour.flag) : hour.flag == '0';
    f.markerInFront = f.twelveHour && markerAt >= 0 && markerAt < hourAt;

    // The separator: the literal between hour and minute, when the one between
    // minute and second (if any) is the same.
    auto textBetween = [&pieces](int a, int b) -> std::optional<std::string> {
        if (a < 0 || b != a + 2 || pieces[static_cast<std::size_t>(a + 1)].field)
            return std::nullopt;
        return pieces[static_cast<std::size_t>(a + 1)].text;
    };
    std::vector<std::string> between;
    const auto hm = textBetween(hourAt, minuteAt);
    const auto ms = textBetween(minuteAt, secondAt);
    if (hm) between.push_back(*hm);
    if (ms) between.push_back(*ms);
    std::optional<std::string> sep;
    if ((hm || minuteAt < 0) && (ms || secondAt < 0)) sep = CommonSeparator(between);
    f.timeSeparator = sep ? std::move(*sep) : std::string(1, ':');
}

}  // namespace

LocaleFormats FormatsFromStrftime(std::string_view dateFormat, std::string_view timeFormat,
                                  std::string_view timeFormatAmPm, std::string_view am,
                                  std::string_view pm) {
    LocaleFormats f;
    ReadDate(dateFormat, f);
    ReadTime(timeFormat, timeFormatAmPm, f);
    // Locales without a 12-hour clock often leave the marker texts empty.
    if (!am.empty() || !pm.empty()) {
        f.am = std::string(am);
        f.pm = std::string(pm);
    }
    return f;
}

LocaleFormats FormatsFromWindowsLocale(const WindowsLocaleInfo& info) {
    LocaleFormats f;
    if (!info.shortDate.empty()) f.shortDatePattern = info.shortDate;
    if (!info.dateSeparator.empty()) f.dateSeparator = info.dateSeparator;
    if (!info.timeSeparator.empty()) f.timeSeparator = info.timeSeparator;

    // What the long time format says, for the flags that are missing.
    bool fmtTwelve = false, fmtZero = false, fmtFront = false, sawHour = false;
    bool quoted = false;
    const std::string& tf = info.timeFormat;
    for (std::size_t i = 0; i < tf.size(); ++i) {
        const char c = tf[i];
        if (c == '\'') {
            quoted = !quoted;
            continue;
        }
        if (quoted) continue;
        if ((c == 'h' || c == 'H') && !sawHour) {
            sawHour = true;
            fmtTwelve = c == 'h';
            fmtZero = i + 1 < tf.size() && tf[i + 1] == c;
        } else if (c == 't' && !sawHour) {
            fmtFront = true;
        }
    }
    f.twelveHour = info.twelveHourFlag.empty() ? fmtTwelve : info.twelveHourFlag == "0";
    f.leadingZeroHour = info.leadingZero.empty() ? fmtZero : info.leadingZero == "1";
    f.markerInFront = info.markerPosition.empty() ? fmtFront : info.markerPosition == "1";
    f.am = info.am;
    f.pm = info.pm;
    return f;
}

}  // namespace qm
