#include "tools/common/Md5.h"

#include <algorithm>
#include <bit>

namespace qm {
namespace {

constexpr std::array<std::uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr std::array<int, 64> kShift = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t LoadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

}  // namespace

void Md5::Reset() {
    state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    buffered_ = 0;
    totalBytes_ = 0;
}

void Md5::Block(const std::uint8_t* block) {
    std::array<std::uint32_t, 16> m;
    for (std::size_t i = 0; i < 16; ++i) m[i] = LoadLe32(block + 4 * i);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (std::size_t i = 0; i < 64; ++i) {
        std::uint32_t f;
        std::size_t g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        std::uint32_t next = d;
        d = c;
        c = b;
        b = b + std::rotl(a + f + kSine[i] + m[g], kShift[i]);
        a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::Update(std::span<const std::uint8_t> bytes) {
    totalBytes_ += bytes.size();
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    if (buffered_ > 0) {
        std::size_t take = std::min(left, buffer_.size() - buffered_);
        std::copy_n(p, take, buffer_.begin() + buffered_);
        buffered_ += take;
        p += take;
        left -= take;
        if (buffered_ < buffer_.size()) return;
        Block(buffer_.data());
        buffered_ = 0;
    }
    while (left >= 64) {
        Block(p);
        p += 64;
        left -= 64;
    }
    std::copy_n(p, left, buffer_.begin());
    buffered_ = left;
}

void Md5::UpdateZeros(std::uint64_t count) {
    static const std::array<std::uint8_t, 65536> zeros{};
    while (count > 0) {
        std::size_t n = count < zeros.size() ? static_cast<std::size_t>(count) : zeros.size();
        Update(std::span(zeros.data(), n));
        count -= n;
    }
}

std::array<std::uint8_t, 16> Md5::Final() {
    const std::uint64_t bits = totalBytes_ * 8;
    std::array<std::uint8_t, 72> pad{};
    pad[0] = 0x80;
    std::size_t padLen = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i) pad[padLen + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    Update(std::span(pad.data(), padLen + 8));
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
