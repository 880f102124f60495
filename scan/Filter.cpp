#include "scan/Filter.h"

#include <charconv>
#include <iterator>

namespace qm {
namespace {

char16_t Fold(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if (c < 0xC0) return c;
    if (c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);                  // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32);  // Greek
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);                // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    return c;
}

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
std::u16string Utf16Of(std::string_view s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int extra = b < 0x80         ? 0
                          : (b >> 5) == 6  ? 1
                          : (b >> 4) == 14 ? 2
                          : (b >> 3) == 30 ? 3
                                           : -1;
        char32_t cp = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
        bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok || cp > 0x10FFFF) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::u16string_view ExtensionOf16(std::u16string_view name) {
    for (std::size_t i = name.size(); i-- > 0;) {
        if (name[i] == u'.') return name.substr(i + 1);
        if (name[i] == u'\\' || name[i] == u':') break;
    }
    return {};
}

bool SameFolded(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::optional<unsigned> Number(std::string_view s, std::size_t& at, std::size_t digits) {
    if (at + digits > s.size()) return std::nullopt;
    unsigned v = 0;
    const auto r = std::from_chars(s.data() + at, s.data() + at + digits, v);
    if (r.ec != std::errc() || r.ptr != s.data() + at + digits) return std::nullopt;
    at += digits;
    return v;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

bool GlobMatch(std::u16string_view pattern, std::u16string_view text) {
    std::size_t p = 0, t = 0, star = std::u16string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            mark = t;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

std::optional<std::uint64_t> ParseSizeText(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned shift = 0;
    switch (text.back()) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            break;
    }
    if (shift) text.remove_suffix(1);
    std::uint64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size())
        return std::nullopt;
    if (shift && v > (UINT64_MAX >> shift)) return std::nullopt;
    return v << shift;
}

std::optional<std::uint64_t> ParseIsoDate(std::string_view s) {
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.remove_suffix(1);
    std::size_t at = 0;
    auto y = Number(s, at, 4);
    if (!y || at >= s.size() || s[at++] != '-') return std::nullopt;
    auto m = Number(s, at, 2);
    if (!m || at >= s.size() || s[at++] != '-') return std::nullopt;
    auto d = Number(s, at, 2);
    if (!d || *m < 1 || *m > 12 || *d < 1 || *d > 31 || *y < 1601) return std::nullopt;
    unsigned hh = 0, mm = 0, ss = 0;
    if (at < s.size()) {
        if (s[at] != 'T' && s[at] != ' ') return std::nullopt;
        ++at;
        auto h = Number(s, at, 2);
        if (!h || at >= s.size() || s[at++] != ':') return std::nullopt;
        auto mi = Number(s, at, 2);
        if (!mi) return std::nullopt;
        hh = *h;
        mm = *mi;
        if (at < s.size()) {
            if (s[at++] != ':') return std::nullopt;
            auto se = Number(s, at, 2);
            if (!se || at != s.size()) return std::nullopt;
            ss = *se;
        }
        if (hh > 23 || mm > 59 || ss > 59) return std::nullopt;
    }
    const std::int64_t days = DaysFromCivil(*y, *m, *d) - DaysFromCivil(1601, 1, 1);
    const auto secs = static_cast<std::uint64_t>(days) * 86400 + hh * 3600u + mm * 60u + ss;
    return secs * 10000000ull;
}

bool RowFilter::Active() const {
    return name || path || !extensions.empty() || minSize || maxSize || modifiedAfter ||
           modifiedBefore || minRecoverable || !orphans;
}

bool RowFilter::MatchesWithoutPath(const ScanRow& row) const {
    if (name && !GlobMatch(*name, row.name)) return false;
    if (!extensions.empty()) {
        const std::u16string_view ext = ExtensionOf16(row.name);
        bool any = false;
        for (const std::u16string& e : extensions) any = any || SameFolded(e, ext);
        if (!any) return false;
    }
    const bool sized = row.kind != RowKind::Folder;
    if (minSize && (!sized || row.size < *minSize)) return false;
    if (maxSize && (!sized || row.size > *maxSize)) return false;
    // A time no calendar shows (2^63 and above) is neither before nor after a date.
    if ((modifiedAfter || modifiedBefore) && row.modified >= (std::uint64_t{1} << 63)) return false;
    if (modifiedAfter && row.modified < *modifiedAfter) return false;
    if (modifiedBefore && row.modified >= *modifiedBefore) return false;
    if (minRecoverable &&
        (row.recoverable == kRecoverableUnknown || row.recoverable < *minRecoverable))
        return false;
    return true;
}

bool RowFilter::Matches(const ScanRow& row, std::u16string_view fullPath, bool orphan) const {
    if (!orphans && orphan) return false;
    if (path && !GlobMatch(*path, fullPath)) return false;
    return MatchesWithoutPath(row);
}

namespace {

// The value of option `name` at args[i]: "--name VALUE" or "--name=VALUE".
std::optional<std::string> ValueOf(const std::vector<std::string>& args, std::size_t& i,
                                   std::string_view name, bool& matched) {
    const std::string& s = args[i];
    matched = false;
    if (s == name) {
        matched = true;
        if (i + 1 >= args.size()) return std::nullopt;
        return args[++i];
    }
    if (s.size() > name.size() && s.compare(0, name.size(), name) == 0 && s[name.size()] == '=') {
        matched = true;
        return s.substr(name.size() + 1);
    }
    return std::nullopt;
}

Error BadValue(std::string_view option, const std::string& value, std::string_view expected) {
    return Error::Make(
        ErrorCode::InvalidArgument,
        std::string(option) + " takes " + std::string(expected) + ", not \"" + value + "\"");
}

// The filter options that take a value; --no-orphans and --include-orphans take none.
constexpr std::string_view kValueOptions[] = {"--name",
                                              "--path",
                                              "--ext",
                                              "--min-size",
                                              "--max-size",
                                              "--modified-after",
                                              "--modified-before",
                                              "--recoverable"};

}  // namespace

const std::vector<std::string>& FilterOptionNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all(std::begin(kValueOptions), std::end(kValueOptions));
        all.insert(all.end(), {"--no-orphans", "--include-orphans"});
        return all;
    }();
    return names;
}

ErrorOr<bool> TakeFilterOption(const std::vector<std::string>& args, std::size_t& i, RowFilter& f) {
    const std::string& s = args[i];
    if (s == "--include-orphans" || s == "--no-orphans") {
        f.orphans = s == "--include-orphans";
        return true;
    }
    for (std::string_view option : kValueOptions) {
        bool matched = false;
        const std::optional<std::string> value = ValueOf(args, i, option, matched);
        if (!matched) continue;
        if (!value)
            return Error::Make(ErrorCode::InvalidArgument, std::string(option) + " needs a value");
        const std::string& v = *value;
        if (option == "--name") {
            f.name = Utf16Of(v);
        } else if (option == "--path") {
            f.path = Utf16Of(v);
        } else if (option == "--ext") {
            for (std::size_t at = 0; at <= v.size();) {
                std::size_t comma = v.find(',', at);
                if (comma == std::string::npos) comma = v.size();
                std::string_view one(v.data() + at, comma - at);
                if (!one.empty() && one.front() == '.') one.remove_prefix(1);
                if (!one.empty()) f.extensions.push_back(Utf16Of(one));
                at = comma + 1;
            }
            if (f.extensions.empty()) return BadValue(option, v, "an extension");
        } else if (option == "--min-size" || option == "--max-size") {
            auto n = ParseSizeText(v);
            if (!n) return BadValue(option, v, "a size (bytes, or with K, M or G)");
            (option == "--min-size" ? f.minSize : f.maxSize) = *n;
        } else if (option == "--modified-after" || option == "--modified-before") {
            auto t = ParseIsoDate(v);
            if (!t) return BadValue(option, v, "a date (YYYY-MM-DD, optionally THH:MM[:SS])");
            (option == "--modified-after" ? f.modifiedAfter : f.modifiedBefore) = *t;
        } else {
            unsigned pct = 0;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), pct);
            if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || pct > 100)
                return BadValue(option, v, "a percentage from 0 to 100");
            f.minRecoverable = static_cast<std::uint8_t>(pct);
        }
        return true;
    }
    return false;
}

}  // namespace qm
