#include "recover/Md5.h"

#include <algorithm>
#include <bit>

namespace qm {
namespace {

std::uint32_t LoadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

}  // namespace

void Md5::Reset() {
    state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    ResetBlocks();
}

// The 64 steps written out: several times faster than a loop over tables,
// which matters when the tests hash gigabyte-sized files.
#define QM_MD5_STEP(f, a, b, c, d, x, t, s) \
    a += f(b, c, d) + (x) + (t);            \
    a = std::rotl(a, s) + b;
#define QM_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QM_MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define QM_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define QM_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

void Md5::Block(const std::uint8_t* block) {
    std::uint32_t m[16];
    for (std::size_t i = 0; i < 16; ++i) m[i] = LoadLe32(block + 4 * i);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    QM_MD5_STEP(QM_MD5_F, a, b, c, d, m[0], 0xd76aa478, 7)
    QM_MD5_STEP(QM_MD5_F, d, a, b, c, m[1], 0xe8c7b756, 12)
    QM_MD5_STEP(QM_MD5_F, c, d, a, b, m[2], 0x242070db, 17)
    QM_MD5_STEP(QM_MD5_F, b, c, d, a, m[3], 0xc1bdceee, 22)
    QM_MD5_STEP(QM_MD5_F, a, b, c, d, m[4], 0xf57c0faf, 7)
    QM_MD5_STEP(QM_MD5_F, d, a, b, c, m[5], 0x4787c62a, 12)
    QM_MD5_STEP(QM_MD5_F, c, d, a, b, m[6], 0xa8304613, 17)
    QM_MD5_STEP(QM_MD5_F, b, c, d, a, m[7], 0xfd469501, 22)
    QM_MD5_STEP(QM_MD5_F, a, b, c, d, m[8], 0x698098d8, 7)
    QM_MD5_STEP(QM_MD5_F, d, a, b, c, m[9], 0x8b44f7af, 12)
    QM_MD5_STEP(QM_MD5_F, c, d, a, b, m[10], 0xffff5bb1, 17)
    QM_MD5_STEP(QM_MD5_F, b, c, d, a, m[11], 0x895cd7be, 22)
    QM_MD5_STEP(QM_MD5_F, a, b, c, d, m[12], 0x6b901122, 7)
    QM_MD5_STEP(QM_MD5_F, d, a, b, c, m[13], 0xfd987193, 12)
    QM_MD5_STEP(QM_MD5_F, c, d, a, b, m[14], 0xa679438e, 17)
    QM_MD5_STEP(QM_MD5_F, b, c, d, a, m[15], 0x49b40821, 22)

    QM_MD5_STEP(QM_MD5_G, a, b, c, d, m[1], 0xf61e2562, 5)
    QM_MD5_STEP(QM_MD5_G, d, a, b, c, m[6], 0xc040b340, 9)
    QM_MD5_STEP(QM_MD5_G, c, d, a, b, m[11], 0x265e5a51, 14)
    QM_MD5_STEP(QM_MD5_G, b, c, d, a, m[0], 0xe9b6c7aa, 20)
    QM_MD5_STEP(QM_MD5_G, a, b, c, d, m[5], 0xd62f105d, 5)
    QM_MD5_STEP(QM_MD5_G, d, a, b, c, m[10], 0x02441453, 9)
    QM_MD5_STEP(QM_MD5_G, c, d, a, b, m[15], 0xd8a1e681, 14)
    QM_MD5_STEP(QM_MD5_G, b, c, d, a, m[4], 0xe7d3fbc8, 20)
    QM_MD5_STEP(QM_MD5_G, a, b, c, d, m[9], 0x21e1cde6, 5)
    QM_MD5_STEP(QM_MD5_G, d, a, b, c, m[14], 0xc33707d6, 9)
    QM_MD5_STEP(QM_MD5_G, c, d, a, b, m[3], 0xf4d50d87, 14)
    QM_MD5_STEP(QM_MD5_G, b, c, d, a, m[8], 0x455a14ed, 20)
    QM_MD5_STEP(QM_MD5_G, a, b, c, d, m[13], 0xa9e3e905, 5)
    QM_MD5_STEP(QM_MD5_G, d, a, b, c, m[2], 0xfcefa3f8, 9)
    QM_MD5_STEP(QM_MD5_G, c, d, a, b, m[7], 0x676f02d9, 14)
    QM_MD5_STEP(QM_MD5_G, b, c, d, a, m[12], 0x8d2a4c8a, 20)

    QM_MD5_STEP(QM_MD5_H, a, b, c, d, m[5], 0xfffa3942, 4)
    QM_MD5_STEP(QM_MD5_H, d, a, b, c, m[8], 0x8771f681, 11)
    QM_MD5_STEP(QM_MD5_H, c, d, a, b, m[11], 0x6d9d6122, 16)
    QM_MD5_STEP(QM_MD5_H, b, c, d, a, m[14], 0xfde5380c, 23)
    QM_MD5_STEP(QM_MD5_H, a, b, c, d, m[1], 0xa4beea44, 4)
    QM_MD5_STEP(QM_MD5_H, d, a, b, c, m[4], 0x4bdecfa9, 11)
    QM_MD5_STEP(QM_MD5_H, c, d, a, b, m[7], 0xf6bb4b60, 16)
    QM_MD5_STEP(QM_MD5_H, b, c, d, a, m[10], 0xbebfbc70, 23)
    QM_MD5_STEP(QM_MD5_H, a, b, c, d, m[13], 0x289b7ec6, 4)
    QM_MD5_STEP(QM_MD5_H, d, a, b, c, m[0], 0xeaa127fa, 11)
    QM_MD5_STEP(QM_MD5_H, c, d, a, b, m[3], 0xd4ef3085, 16)
    QM_MD5_STEP(QM_MD5_H, b, c, d, a, m[6], 0x04881d05, 23)
    QM_MD5_STEP(QM_MD5_H, a, b, c, d, m[9], 0xd9d4d039, 4)
    QM_MD5_STEP(QM_MD5_H, d, a, b, c, m[12], 0xe6db99e5, 11)
    QM_MD5_STEP(QM_MD5_H, c, d, a, b, m[15], 0x1fa27cf8, 16)
    QM_MD5_STEP(QM_MD5_H, b, c, d, a, m[2], 0xc4ac5665, 23)

    QM_MD5_STEP(QM_MD5_I, a, b, c, d, m[0], 0xf4292244, 6)
    QM_MD5_STEP(QM_MD5_I, d, a, b, c, m[7], 0x432aff97, 10)
    QM_MD5_STEP(QM_MD5_I, c, d, a, b, m[14], 0xab9423a7, 15)
    QM_MD5_STEP(QM_MD5_I, b, c, d, a, m[5], 0xfc93a039, 21)
    QM_MD5_STEP(QM_MD5_I, a, b, c, d, m[12], 0x655b59c3, 6)
    QM_MD5_STEP(QM_MD5_I, d, a, b, c, m[3], 0x8f0ccc92, 10)
    QM_MD5_STEP(QM_MD5_I, c, d, a, b, m[10], 0xffeff47d, 15)
    QM_MD5_STEP(QM_MD5_I, b, c, d, a, m[1], 0x85845dd1, 21)
    QM_MD5_STEP(QM_MD5_I, a, b, c, d, m[8], 0x6fa87e4f, 6)
    QM_MD5_STEP(QM_MD5_I, d, a, b, c, m[15], 0xfe2ce6e0, 10)
    QM_MD5_STEP(QM_MD5_I, c, d, a, b, m[6], 0xa3014314, 15)
    QM_MD5_STEP(QM_MD5_I, b, c, d, a, m[13], 0x4e0811a1, 21)
    QM_MD5_STEP(QM_MD5_I, a, b, c, d, m[4], 0xf7537e82, 6)
    QM_MD5_STEP(QM_MD5_I, d, a, b, c, m[11], 0xbd3af235, 10)
    QM_MD5_STEP(QM_MD5_I, c, d, a, b, m[2], 0x2ad7d2bb, 15)
    QM_MD5_STEP(QM_MD5_I, b, c, d, a, m[9], 0xeb86d391, 21)

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

#undef QM_MD5_STEP
#undef QM_MD5_F
#undef QM_MD5_G
#undef QM_MD5_H
#undef QM_MD5_I

std::array<std::uint8_t, 16> Md5::Final() {
    Pad(false);
    std::array<std::uint8_t, 16> digest;
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));
        }
    }
    return digest;
}

std::string Md5::FinalHex() {
    auto digest = Final();
    return HexDigest(digest);
}

std::string HexDigest(std::span<const std::uint8_t> digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (std::uint8_t b : digest) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

std::string Md5Hex(std::span<const std::uint8_t> bytes) {
    Md5 md5;
    md5.Update(bytes);
    return md5.FinalHex();
}

std::string Md5Hex(std::string_view text) {
    Md5 md5;
    md5.Update(text);
    return md5.FinalHex();
}

}  // namespace qm
