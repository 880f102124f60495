#include "deep/carve/CarveText.h"

#include <string_view>

#include "platform/Platform.h"

namespace qm::deep {
namespace {

constexpr std::size_t kMaxName = 100;

// The code point at text[i] and its length in bytes; length 0 for invalid UTF-8.
std::pair<std::uint32_t, std::size_t> NextUtf8(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t len = b < 0x80         ? 1
                      : (b >> 5) == 6  ? 2
                      : (b >> 4) == 14 ? 3
                      : (b >> 3) == 30 ? 4
                                       : 0;
    if (len == 0 || i + len > text.size()) return {0, 0};
    std::uint32_t c = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto cb = static_cast<unsigned char>(text[i + k]);
        if ((cb & 0xC0) != 0x80) return {0, 0};
        c = (c << 6) | (cb & 0x3F);
    }
    static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return {0, 0};
    return {c, len};
}

bool Refused(std::uint32_t c) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return true;
    return c < 0x80 &&
           std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string FileNameFrom(std::string_view text) {
    std::string out;
    bool space = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto [c, len] = NextUtf8(text, i);
        const std::string_view bytes = text.substr(i, len);
        i += len ? len : 1;
        if (len == 0) continue;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0xA0 || c == 0x3000) {
            space = !out.empty();
            continue;
        }
        if (c == 0) continue;
        const std::string piece = Refused(c) ? std::string("_") : std::string(bytes);
        if (out.size() + space + piece.size() > kMaxName) break;
        if (space) out += ' ';
        out += piece;
        space = false;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.find_first_not_of("_ ") == std::string::npos) return {};
    return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
    // Windows-1252 puts typographic characters where Latin-1 has C1 controls.
    static constexpr char16_t k1252[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    std::u16string wide;
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        const char16_t c = (b >= 0x80 && b < 0xA0) ? k1252[b - 0x80] : b;
        if (c) wide += c;
    }
    return qm::Utf16ToUtf8(wide);
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        wide += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return qm::Utf16ToUtf8(wide);
}

std::uint64_t FiletimeFromUnix(std::uint64_t seconds) {
    return seconds * 10000000ull + 116444736000000000ull;
}

}  // namespace qm::deep
