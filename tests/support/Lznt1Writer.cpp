#include "tests/support/Lznt1Writer.h"

#include <algorithm>

namespace qm::test {
namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kMaxBody = 4096;  // the 12-bit size field's limit

void PutHeader(std::vector<std::uint8_t>& out, std::size_t bodySize, bool compressed) {
    const std::uint16_t header =
        static_cast<std::uint16_t>(((bodySize - 1) & 0x0FFF) | (compressed ? 0xB000 : 0x3000));
    out.push_back(static_cast<std::uint8_t>(header));
    out.push_back(static_cast<std::uint8_t>(header >> 8));
}

// Longest match for data[pos..] starting `offset` bytes back, up to `maxLength`.
std::size_t MatchLength(std::span<const std::uint8_t> chunk, std::size_t pos, std::size_t offset,
                        std::size_t maxLength) {
    std::size_t n = 0;
    while (n < maxLength && pos + n < chunk.size() && chunk[pos + n] == chunk[pos + n - offset]) {
        ++n;
    }
    return n;
}

// One chunk's tokens, written into `w`; false when they would not fit the chunk.
bool CompressChunk(std::span<const std::uint8_t> chunk, std::size_t window, Lznt1Writer& w,
                   std::size_t& bodySize) {
    bodySize = 0;
    std::size_t tokens = 0;
    for (std::size_t pos = 0; pos < chunk.size();) {
        std::size_t bestLength = 0, bestOffset = 0;
        unsigned bits = 12;
        if (pos > 0) {
            bits = Lznt1LengthBits(pos);
            const std::size_t maxOffset = std::min({pos, std::size_t{1} << (16 - bits), window});
            const std::size_t maxLength = (std::size_t{1} << bits) + 2;
            const std::size_t longest = std::min(maxLength, chunk.size() - pos);
            for (std::size_t off = 1; off <= maxOffset && bestLength < longest; ++off) {
                const std::size_t n = MatchLength(chunk, pos, off, maxLength);
                if (n > bestLength) bestLength = n, bestOffset = off;
            }
        }
        if (tokens++ % 8 == 0) ++bodySize;
        if (bestLength >= 3) {
            w.Reference(bestOffset, bestLength, bits);
            bodySize += 2;
            pos += bestLength;
        } else {
            w.Literal(chunk[pos++]);
            bodySize += 1;
        }
    }
    return bodySize <= kMaxBody && bodySize < chunk.size();
}

}  // namespace

unsigned Lznt1LengthBits(std::size_t produced) {
    // 4 offset bits up to 16 bytes, 5 up to 32, ... 12 past 2048.
    unsigned offsetBits = 4;
    while ((std::size_t{1} << offsetBits) < produced) ++offsetBits;
    return 16 - offsetBits;
}

void Lznt1Writer::Begin() {
    if (bit_ < 8) return;
    group_ = body_.size();
    body_.push_back(0);
    bit_ = 0;
}

Lznt1Writer& Lznt1Writer::Literal(std::uint8_t byte) {
    Begin();
    body_.push_back(byte);
    ++bit_;
    return *this;
}

Lznt1Writer& Lznt1Writer::Literals(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) Literal(b);
    return *this;
}

Lznt1Writer& Lznt1Writer::Reference(std::size_t offset, std::size_t length, unsigned lengthBits) {
    return Token(static_cast<std::uint16_t>(((offset - 1) << lengthBits) | (length - 3)));
}

Lznt1Writer& Lznt1Writer::Token(std::uint16_t raw) {
    Begin();
    body_[group_] |= static_cast<std::uint8_t>(1u << bit_);
    body_.push_back(static_cast<std::uint8_t>(raw));
    body_.push_back(static_cast<std::uint8_t>(raw >> 8));
    ++bit_;
    return *this;
}

Lznt1Writer& Lznt1Writer::EndChunk() {
    PutHeader(out_, body_.size(), true);
    out_.insert(out_.end(), body_.begin(), body_.end());
    body_.clear();
    bit_ = 8;
    return *this;
}

Lznt1Writer& Lznt1Writer::StoredChunk(std::span<const std::uint8_t> bytes) {
    PutHeader(out_, bytes.size(), false);
    return Raw(bytes);
}

Lznt1Writer& Lznt1Writer::Raw(std::span<const std::uint8_t> bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
}

Lznt1Writer& Lznt1Writer::Raw(std::initializer_list<std::uint8_t> bytes) {
    return Raw(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

std::vector<std::uint8_t> CompressLznt1Literals(std::span<const std::uint8_t> data) {
    Lznt1Writer w;
    for (std::size_t at = 0; at < data.size(); at += kChunk) {
        auto chunk = data.subspan(at, std::min(kChunk, data.size() - at));
        // Each group of eight literals costs nine bytes.
        if (chunk.size() + (chunk.size() + 7) / 8 <= kMaxBody) {
            w.Literals(chunk).EndChunk();
        } else {
            w.StoredChunk(chunk);
        }
    }
    return w.Raw({0, 0}).Build();
}

std::vector<std::uint8_t> CompressLznt1(std::span<const std::uint8_t> data, std::size_t window) {
    Lznt1Writer w;
    for (std::size_t at = 0; at < data.size(); at += kChunk) {
        auto chunk = data.subspan(at, std::min(kChunk, data.size() - at));
        Lznt1Writer tokens;
        std::size_t bodySize = 0;
        if (CompressChunk(chunk, window, tokens, bodySize)) {
            tokens.EndChunk();
            w.Raw(tokens.Build());
        } else {
            w.StoredChunk(chunk);
        }
    }
    return w.Raw({0, 0}).Build();
}

}  // namespace qm::test
