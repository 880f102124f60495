#include "deep/carve/Inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/Crc32.h"

namespace qm::deep {
namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads words as is");

constexpr std::size_t kWindow = 32768;
constexpr std::size_t kMaxMatch = 258;
// Output is gathered behind the window and handed on when this much is there.
constexpr std::size_t kOutCap = 3 * kWindow;
// Copies run eight bytes at a time and may write up to seven past their end.
constexpr std::size_t kOutSlack = 8;
constexpr std::size_t kInCap = 16384;

// Huffman tables: a root table indexed by the next `root` bits of input, and
// for longer codes subtables indexed by the bits after those. An entry holds
// the symbol (or the subtable's start) in bits 0-15, the bits to drop (or the
// subtable's index width) in bits 16-23, and its kind in bits 24-25.
constexpr std::uint32_t kSymbol = 0;
constexpr std::uint32_t kLink = 1u << 24;
constexpr std::uint32_t kInvalid = 2u << 24;
constexpr std::uint32_t kKindMask = 3u << 24;
constexpr unsigned kMaxCodeBits = 15;

constexpr unsigned kLitRoot = 10;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kLenRoot = 7;
constexpr std::size_t kLitEntries = (1u << kLitRoot) + 288 * (1u << (kMaxCodeBits - kLitRoot));
constexpr std::size_t kDistEntries = (1u << kDistRoot) + 32 * (1u << (kMaxCodeBits - kDistRoot));
constexpr std::size_t kLenEntries = 1u << kLenRoot;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kLenOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

struct Table {
    std::uint32_t* entries;
    unsigned root;
};

unsigned Reverse(unsigned code, unsigned bits) {
    unsigned r = 0;
    for (unsigned i = 0; i < bits; ++i, code >>= 1) r = (r << 1) | (code & 1);
    return r;
}

// Builds the decoding table of a canonical code from its code lengths. False
// for a code that is over-subscribed, or incomplete other than the one case
// the format allows (a single code of one bit). A code without any symbols
// builds a table of invalid entries.
bool BuildTable(const std::uint8_t* lens, unsigned count, Table t, bool allowSingle) {
    unsigned counts[kMaxCodeBits + 1] = {};
    unsigned maxLen = 0;
    for (unsigned s = 0; s < count; ++s) {
        ++counts[lens[s]];
        maxLen = std::max<unsigned>(maxLen, lens[s]);
    }
    counts[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = (left << 1) - static_cast<int>(counts[len]);
        if (left < 0) return false;
    }
    if (left > 0 && maxLen > 0 && !(allowSingle && maxLen == 1)) return false;
    std::fill(t.entries, t.entries + (std::size_t{1} << t.root), kInvalid);
    unsigned next[kMaxCodeBits + 2] = {};
    for (unsigned len = 1, code = 0; len <= kMaxCodeBits; ++len) {
        code = (code + counts[len - 1]) << 1;
        next[len] = code;
    }
    const unsigned subBits = maxLen > t.root ? maxLen - t.root : 0;
    std::size_t free = std::size_t{1} << t.root;
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lens[s];
        if (len == 0) continue;
        const unsigned rev = Reverse(next[len]++, len);
        if (len <= t.root) {
            for (unsigned i = rev; i < (1u << t.root); i += 1u << len)
                t.entries[i] = kSymbol | (len << 16) | s;
            continue;
        }
        std::uint32_t& link = t.entries[rev & ((1u << t.root) - 1)];
        if ((link & kKindMask) != kLink) {
            std::fill(t.entries + free, t.entries + free + (std::size_t{1} << subBits), kInvalid);
            link = kLink | (subBits << 16) | static_cast<std::uint32_t>(free);
            free += std::size_t{1} << subBits;
        }
        std::uint32_t* sub = t.entries + (link & 0xFFFF);
        for (unsigned i = rev >> t.root; i < (1u << subBits); i += 1u << (len - t.root))
            sub[i] = kSymbol | ((len - t.root) << 16) | s;
    }
    return true;
}

}  // namespace

struct Inflater::State {
    // Input and the bit buffer. `pad` of the `n` bits in `bits` are zeros put
    // there after the input ended; consuming any of them means truncation.
    ByteSource* src = nullptr;
    std::array<std::uint8_t, kInCap + 8> in{};
    std::size_t inPos = 0, inLen = 0;
    std::uint64_t fetched = 0;
    bool eof = false;
    std::uint64_t bits = 0;
    unsigned n = 0, pad = 0;

    // Output: the window and what is waiting to be handed on.
    std::array<std::uint8_t, kOutCap + kOutSlack> out{};
    std::size_t pos = 0, flushFrom = 0;
    std::uint64_t flushed = 0, maxOutput = 0;
    std::uint32_t crc = 0;
    ByteSink* sink = nullptr;

    std::array<std::uint32_t, kLitEntries> lit{};
    std::array<std::uint32_t, kDistEntries> dist{};
    std::array<std::uint32_t, kLenEntries> lenTable{};
    std::array<std::uint32_t, kLitEntries> fixedLit{};
    std::array<std::uint32_t, kDistEntries> fixedDist{};

    State() {
        std::uint8_t lens[288];
        std::fill(lens, lens + 144, 8);
        std::fill(lens + 144, lens + 256, 9);
        std::fill(lens + 256, lens + 280, 7);
        std::fill(lens + 280, lens + 288, 8);
        BuildTable(lens, 288, {fixedLit.data(), kLitRoot}, false);
        std::fill(lens, lens + 32, 5);
        BuildTable(lens, 32, {fixedDist.data(), kDistRoot}, false);
    }

    void Reset(ByteSource& source, std::uint64_t limit, ByteSink* s) {
        src = &source;
        inPos = inLen = 0;
        fetched = 0;
        eof = false;
        bits = 0;
        n = pad = 0;
        pos = flushFrom = 0;
        flushed = 0;
        maxOutput = limit;
        crc = 0;
        sink = s;
    }

    bool Fetch() {
        if (eof) return false;
        inPos = 0;
        inLen = src->Read(std::span<std::uint8_t>(in.data(), kInCap));
        fetched += inLen;
        if (inLen == 0) eof = true;
        return inLen > 0;
    }

    // Tops the bit buffer up to at least 57 bits, with zeros past the input.
    void Refill() {
        if (inLen - inPos >= 8 && pad == 0) {
            std::uint64_t word;
            std::memcpy(&word, in.data() + inPos, 8);
            bits |= word << n;
            inPos += (63 - n) >> 3;
            n |= 56;
            return;
        }
        while (n <= 56) {
            if (inPos == inLen && (pad > 0 || !Fetch())) {
                n += 8;
                pad += 8;
                continue;
            }
            bits |= std::uint64_t{in[inPos++]} << n;
            n += 8;
        }
    }
    void Drop(unsigned k) {
        bits >>= k;
        n -= k;
    }
    bool Overrun() const { return n < pad; }
    unsigned Take(unsigned k) {
        const unsigned v = static_cast<unsigned>(bits & ((std::uint64_t{1} << k) - 1));
        Drop(k);
        return v;
    }
    // The input bytes consumed so far (a partly used byte counts).
    std::uint64_t Consumed() const {
        const unsigned real = n >= pad ? n - pad : 0;
        return fetched - (inLen - inPos) - real / 8;
    }
    std::uint64_t Produced() const { return flushed + (pos - flushFrom); }

    unsigned Decode(const Table& t) {
        std::uint32_t e = t.entries[bits & ((1u << t.root) - 1)];
        if ((e & kKindMask) == kLink) {
            Drop(t.root);
            e = t.entries[(e & 0xFFFF) + (bits & ((1u << ((e >> 16) & 0xFF)) - 1))];
        }
        if ((e & kKindMask) == kInvalid) return 0xFFFF;
        Drop((e >> 16) & 0xFF);
        return e & 0xFFFF;
    }

    void Flush() {
        const ByteView piece(out.data() + flushFrom, pos - flushFrom);
        crc = Crc32(crc, piece);
        if (sink && !piece.empty()) sink->Write(piece);
        flushed += piece.size();
        flushFrom = pos;
    }
    // Makes room for one more match; false when the output passed its limit.
    bool Room() {
        if (pos + kMaxMatch <= kOutCap) return true;
        Flush();
        if (flushed > maxOutput) return false;
        std::memmove(out.data(), out.data() + pos - kWindow, kWindow);
        pos = flushFrom = kWindow;
        return true;
    }

    InflateStatus Stored();
    InflateStatus Codes(const Table& litT, const Table& distT);
    InflateStatus Dynamic();
    InflateStatus Block(bool& final);
};

InflateStatus Inflater::State::Stored() {
    if (!Room()) return InflateStatus::TooLong;
    Drop(n % 8);
    Refill();
    const unsigned len = Take(16), nlen = Take(16);
    if (Overrun()) return InflateStatus::Truncated;
    if ((len ^ nlen) != 0xFFFF) return InflateStatus::Corrupt;
    std::size_t left = len;
    for (; left > 0 && n >= pad + 8; --left) out[pos++] = static_cast<std::uint8_t>(Take(8));
    if (left == 0) return InflateStatus::Done;
    if (pad > 0) return InflateStatus::Truncated;
    // The bit buffer is empty now: the rest comes straight from the input.
    bits = 0;
    n = 0;
    while (left > 0) {
        if (!Room()) return InflateStatus::TooLong;
        if (inPos == inLen && !Fetch()) return InflateStatus::Truncated;
        const std::size_t k = std::min({left, inLen - inPos, kOutCap - pos});
        std::memcpy(out.data() + pos, in.data() + inPos, k);
        pos += k;
        inPos += k;
        left -= k;
    }
    return InflateStatus::Done;
}

InflateStatus Inflater::State::Codes(const Table& litT, const Table& distT) {
    for (;;) {
        if (!Room()) return InflateStatus::TooLong;
        Refill();
        const unsigned sym = Decode(litT);
        if (sym < 256) {
            if (Overrun()) return InflateStatus::Truncated;
            out[pos++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        if (sym == 256) return Overrun() ? InflateStatus::Truncated : InflateStatus::Done;
        if (sym > 285) return Overrun() ? InflateStatus::Truncated : InflateStatus::Corrupt;
        const unsigned len = kLengthBase[sym - 257] + Take(kLengthExtra[sym - 257]);
        const unsigned dsym = Decode(distT);
        if (dsym >= 30) return Overrun() ? InflateStatus::Truncated : InflateStatus::Corrupt;
        const unsigned d = kDistBase[dsym] + Take(kDistExtra[dsym]);
        if (Overrun()) return InflateStatus::Truncated;
        if (d > Produced()) return InflateStatus::Corrupt;
        std::uint8_t* to = out.data() + pos;
        const std::uint8_t* from = to - d;
        if (d >= 8) {
            for (unsigned i = 0; i < len; i += 8) std::memcpy(to + i, from + i, 8);
        } else {
            for (unsigned i = 0; i < len; ++i) to[i] = from[i];
        }
        pos += len;
    }
}

InflateStatus Inflater::State::Dynamic() {
    Refill();
    const unsigned nlit = Take(5) + 257, ndist = Take(5) + 1, nlen = Take(4) + 4;
    if (nlit > 286 || ndist > 30) return InflateStatus::Corrupt;
    std::uint8_t lens[286 + 30] = {};
    std::uint8_t lenLens[19] = {};
    for (unsigned i = 0; i < nlen; ++i) {
        Refill();
        lenLens[kLenOrder[i]] = static_cast<std::uint8_t>(Take(3));
    }
    if (Overrun()) return InflateStatus::Truncated;
    const Table lenT{lenTable.data(), kLenRoot};
    if (!BuildTable(lenLens, 19, lenT, false)) return InflateStatus::Corrupt;
    for (unsigned i = 0; i < nlit + ndist;) {
        Refill();
        const unsigned sym = Decode(lenT);
        unsigned value = 0, repeat = 1;
        if (sym < 16) {
            value = sym;
        } else if (sym == 16) {
            if (i == 0) return InflateStatus::Corrupt;
            value = lens[i - 1];
            repeat = 3 + Take(2);
        } else if (sym == 17) {
            repeat = 3 + Take(3);
        } else if (sym == 18) {
            repeat = 11 + Take(7);
        } else {
            return Overrun() ? InflateStatus::Truncated : InflateStatus::Corrupt;
        }
        if (Overrun()) return InflateStatus::Truncated;
        if (i + repeat > nlit + ndist) return InflateStatus::Corrupt;
        std::fill(lens + i, lens + i + repeat, static_cast<std::uint8_t>(value));
        i += repeat;
    }
    if (lens[256] == 0) return InflateStatus::Corrupt;
    const Table litT{lit.data(), kLitRoot}, distT{dist.data(), kDistRoot};
    if (!BuildTable(lens, nlit, litT, true) || !BuildTable(lens + nlit, ndist, distT, true))
        return InflateStatus::Corrupt;
    return Codes(litT, distT);
}

InflateStatus Inflater::State::Block(bool& final) {
    Refill();
    final = Take(1) == 1;
    const unsigned type = Take(2);
    if (Overrun()) return InflateStatus::Truncated;
    switch (type) {
        case 0:
            return Stored();
        case 1:
            return Codes({fixedLit.data(), kLitRoot}, {fixedDist.data(), kDistRoot});
        case 2:
            return Dynamic();
        default:
            return InflateStatus::Corrupt;
    }
}

Inflater::Inflater() : s_(std::make_unique<State>()) {}
Inflater::~Inflater() = default;

InflateResult Inflater::Run(ByteSource& in, std::uint64_t maxOutput, ByteSink* sink) {
    State& s = *s_;
    s.Reset(in, maxOutput, sink);
    InflateStatus status = InflateStatus::Done;
    for (bool final = false; !final && status == InflateStatus::Done;) status = s.Block(final);
    // The limit is looked at whenever output is handed on; output past it
    // that was still waiting is what ended the run, whatever came after.
    if (s.Produced() > maxOutput) status = InflateStatus::TooLong;
    s.Flush();
    InflateResult r;
    r.status = status;
    r.consumed = s.Consumed();
    r.produced = s.flushed;
    r.crc = s.crc;
    return r;
}

std::size_t MemorySource::Read(std::span<std::uint8_t> out) {
    const std::size_t k = std::min(out.size(), bytes_.size() - pos_);
    if (k > 0) std::memcpy(out.data(), bytes_.data() + pos_, k);
    pos_ += k;
    return k;
}

}  // namespace qm::deep
