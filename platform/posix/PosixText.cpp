// The user's 8-bit code page on POSIX: the charset of the LC_CTYPE locale,
// reached through iconv. The program sets its locale once at start-up.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <utility>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace qm {
namespace posix {
namespace {

constexpr const char* kUtf32 = "UTF-32LE";

// iconv descriptors hold conversion state, so each thread keeps its own,
// opened once per pair of charsets.
class IconvCache {
public:
    IconvCache() = default;
    IconvCache(const IconvCache&) = delete;
    IconvCache& operator=(const IconvCache&) = delete;
    ~IconvCache() {
        for (auto& entry : open_)
            if (entry.second != Invalid()) iconv_close(entry.second);
    }
    // A descriptor in its initial state, or Invalid().
    iconv_t Get(const std::string& from, const std::string& to) {
        auto key = std::make_pair(from, to);
        auto it = open_.find(key);
        if (it == open_.end()) it = open_.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
        if (it->second != Invalid()) iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }
    static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }

private:
    std::map<std::pair<std::string, std::string>, iconv_t> open_;
};

IconvCache& Cache() {
    thread_local IconvCache cache;
    return cache;
}

std::string Normalized(std::string_view cs) {
    std::string out;
    for (char c : cs) {
        if (c == '-' || c == '_') continue;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

void AppendUtf32(std::string& bytes, char32_t c) {
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((static_cast<std::uint32_t>(c) >> (8 * i)) & 0xFF);
}

// Runs iconv over in[pos..], appending to `out` and advancing `pos`, then
// returns the output to its initial shift state. Returns 0 when all is done,
// else the errno that stopped it (EILSEQ, EINVAL or another) with `pos` at the
// input that could not be taken.
int Convert(iconv_t cd, std::string_view in, std::size_t& pos, std::string& out) {
    char buf[4096];
    while (pos < in.size()) {
        char* src = const_cast<char*>(in.data()) + pos;
        std::size_t srcLeft = in.size() - pos;
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        const int e = r == static_cast<std::size_t>(-1) ? errno : 0;
        out.append(buf, sizeof buf - dstLeft);
        pos = in.size() - srcLeft;
        if (e != 0 && e != E2BIG) return e;
    }
    for (;;) {
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t r = iconv(cd, nullptr, nullptr, &dst, &dstLeft);
        out.append(buf, sizeof buf - dstLeft);
        if (r != static_cast<std::size_t>(-1)) return 0;
        if (errno != E2BIG) return errno;
    }
}

}  // namespace

std::string CurrentCodeset() {
    const char* cs = nl_langinfo(CODESET);
    return cs && *cs ? cs : "ANSI_X3.4-1968";
}

bool IsUtf8Codeset(std::string_view codeset) {
    return Normalized(codeset) == "UTF8";
}

std::optional<std::string> FromCodePoints(std::u32string_view text, const std::string& to) {
    iconv_t cd = Cache().Get(kUtf32, to);
    if (cd == IconvCache::Invalid()) return std::nullopt;
    std::string in;
    in.reserve(text.size() * 4);
    for (char32_t c : text) AppendUtf32(in, c);
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const int e = Convert(cd, in, pos, out);
        if (e == 0) return out;
        if (e != EILSEQ || pos + 4 > in.size() || in.compare(pos, 4, "?\0\0\0", 4) == 0)
            return std::nullopt;
        // A character the target lacks: '?' in its place, converted like the rest
        // so that charsets with shift states stay in step.
        in.replace(pos, 4, "?\0\0\0", 4);
    }
}

std::optional<std::u32string> ToCodePoints(std::string_view text, const std::string& from) {
    iconv_t cd = Cache().Get(from, kUtf32);
    if (cd == IconvCache::Invalid()) return std::nullopt;
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const int e = Convert(cd, text, pos, out);
        if (e == 0) break;
        if (e != EILSEQ && e != EINVAL) return std::nullopt;
        // A byte that starts no character (or a character cut off at the end).
        AppendUtf32(out, U'\uFFFD');
        pos = e == EINVAL ? text.size() : pos + 1;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    std::u32string cps;
    cps.reserve(out.size() / 4);
    for (std::size_t i = 0; i + 4 <= out.size(); i += 4) {
        std::uint32_t c = 0;
        for (int b = 3; b >= 0; --b)
            c = (c << 8) | static_cast<unsigned char>(out[i + static_cast<std::size_t>(b)]);
        cps += static_cast<char32_t>(c);
    }
    return cps;
}

}  // namespace posix

namespace {

std::u32string CodePointsOfUtf16(std::u16string_view text, char32_t unpaired) {
    std::u32string cps;
    cps.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = unpaired;
        }
        cps += c;
    }
    return cps;
}

std::string Utf8OfCodePoints(std::u32string_view cps) {
    std::u16string u16;
    for (char32_t c : cps) {
        if (c >= 0x10000 && c <= 0x10FFFF) {
            u16 += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            u16 += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            u16 += (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? u'\uFFFD'
                                                                  : static_cast<char16_t>(c);
        }
    }
    return Utf16ToUtf8(u16);
}

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) {
    const std::string cs = posix::CurrentCodeset();
    if (posix::IsUtf8Codeset(cs)) return Utf16ToUtf8(text);
    const std::u32string cps = CodePointsOfUtf16(text, U'?');
    if (auto r = posix::FromCodePoints(cps, cs)) return *r;
    // A charset iconv does not know: keep ASCII, mark the rest.
    std::string out;
    for (char32_t c : cps) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string AnsiToUtf8(std::string_view text) {
    const std::string cs = posix::CurrentCodeset();
    if (auto r = posix::ToCodePoints(text, cs)) return Utf8OfCodePoints(*r);
    std::string out;
    for (char c : text)
        out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xEF\xBF\xBD";
    return out;
}

bool IsDbcsLeadByte(unsigned char byte) {
    if (byte < 0x80) return false;
    const std::string cs = posix::Normalized(posix::CurrentCodeset());
    if (cs == "UTF8") return false;
    if (cs == "GBK" || cs == "GB18030" || cs == "CP936") return byte >= 0x81 && byte <= 0xFE;
    if (MB_CUR_MAX == 1) return false;
    // Other multi-byte charsets (Big5, Shift_JIS, EUC): a byte that begins a
    // character but does not end one.
    std::mbstate_t state{};
    const char c = static_cast<char>(byte);
    return std::mbrtowc(nullptr, &c, 1, &state) == static_cast<std::size_t>(-2);
}

}  // namespace qm
