// LZNT1 decoding. A chunk header is a little-endian 16-bit word: the low 12
// bits are the chunk's stored size minus 3 (header included), bit 15 says the
// chunk is compressed, and a zero word ends the data. A compressed chunk is a
// run of groups: one flag byte, then eight tokens, bit i of the flags telling
// whether token i is a literal byte (0) or a 2-byte back-reference (1). The
// back-reference packs (offset - 1) above (length - 3); how many bits the
// offset gets depends on how far into the chunk the output is, from 4 bits in
// the first 16 bytes up to 12 bits past 2048.
#include "ntfs/Lznt1.h"

#include <algorithm>

#include "base/ByteView.h"

namespace qm {
namespace {

constexpr std::uint16_t kSizeMask = 0x0FFF;
constexpr std::uint16_t kCompressedBit = 0x8000;

// Bits of a back-reference that hold the length, for a reference made when
// `produced` bytes of the chunk have been written (produced >= 1).
unsigned LengthBits(std::size_t produced) {
    unsigned bits = 12;
    for (std::size_t i = produced - 1; i >= 0x10; i >>= 1) --bits;
    return bits;
}

// The output one chunk writes into: at most a chunk's worth, and no further
// than the caller's buffer.
struct ChunkOutput {
    std::span<std::uint8_t> out;  // the caller's whole buffer
    std::size_t start = 0;        // where this chunk's bytes begin in it
    std::size_t produced = 0;     // bytes of this chunk written so far

    // An error when `n` more bytes would leave the chunk or the buffer.
    ErrorOr<void> Room(std::size_t n, std::uint64_t pos) const {
        if (n > kLznt1ChunkSize - produced) {
            return Error::Mismatch(ErrorCode::BadCompression, pos,
                                   "LZNT1 chunk decompresses past its size", kLznt1ChunkSize,
                                   produced + n);
        }
        if (n > out.size() - start - produced) {
            return Error::Mismatch(ErrorCode::OutOfRange, pos,
                                   "LZNT1 output past the end of its buffer", out.size(),
                                   start + produced + n);
        }
        return {};
    }
};

// Copies `length` bytes from `offset` back; the source may overlap the bytes
// being written (offset 1 repeats the last byte).
ErrorOr<void> CopyBack(ChunkOutput& o, std::uint16_t token, std::uint64_t pos) {
    if (o.produced == 0) {
        return Error::At(ErrorCode::BadCompression, pos,
                         "LZNT1 back-reference before any byte of its chunk");
    }
    const unsigned lengthBits = LengthBits(o.produced);
    const std::size_t offset = (static_cast<std::size_t>(token) >> lengthBits) + 1;
    const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
    if (offset > o.produced) {
        return Error::Mismatch(ErrorCode::BadCompression, pos,
                               "LZNT1 back-reference before the chunk start: offset at most",
                               o.produced, offset);
    }
    if (auto room = o.Room(length, pos); !room) return room.take_error();
    std::uint8_t* dst = o.out.data() + o.start + o.produced;
    for (std::size_t i = 0; i < length; ++i) dst[i] = *(dst + i - offset);
    o.produced += length;
    return {};
}

// Decodes one group: the flag byte at `at` and up to eight tokens after it.
// Returns the position after the group.
ErrorOr<std::size_t> DecodeGroup(ByteView body, std::size_t at, std::uint64_t bodyPos,
                                 ChunkOutput& o) {
    const std::uint8_t flags = *body.U8(at++);
    for (unsigned bit = 0; bit < 8 && at < body.size(); ++bit) {
        const std::uint64_t pos = bodyPos + at;
        if (!((flags >> bit) & 1)) {
            if (auto room = o.Room(1, pos); !room) return room.take_error();
            o.out[o.start + o.produced++] = *body.U8(at++);
            continue;
        }
        auto token = body.U16(at);
        if (!token) {
            return Error::At(ErrorCode::BadCompression, pos,
                             "LZNT1 back-reference cut by the end of its chunk");
        }
        if (auto copied = CopyBack(o, *token, pos); !copied) return copied.take_error();
        at += 2;
    }
    return at;
}

ErrorOr<std::size_t> DecodeCompressedChunk(ByteView body, std::uint64_t bodyPos, ChunkOutput o) {
    std::size_t at = 0;
    while (at < body.size()) {
        QM_TRY(next, DecodeGroup(body, at, bodyPos, o));
        at = next;
    }
    return o.produced;
}

ErrorOr<std::size_t> CopyStoredChunk(ByteView body, std::uint64_t bodyPos, ChunkOutput o) {
    if (auto room = o.Room(body.size(), bodyPos); !room) return room.take_error();
    std::copy(body.data(), body.data() + body.size(), o.out.data() + o.start);
    return body.size();
}

}  // namespace

ErrorOr<std::size_t> DecompressLznt1(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) {
    const ByteView view(in);
    std::size_t at = 0;
    std::size_t written = 0;
    bool shortChunkSeen = false;
    // Fewer than two bytes left cannot hold a header: the data ends there.
    while (view.Has(at, 2)) {
        const std::uint16_t header = *view.U16(at);
        if (header == 0) break;
        if (shortChunkSeen) {
            return Error::At(ErrorCode::BadCompression, at,
                             "LZNT1 chunk after a chunk shorter than 4096 bytes");
        }
        const std::size_t size = (header & kSizeMask) + 1u;
        auto body = view.Sub(at + 2, size);
        if (!body) {
            return Error::Mismatch(ErrorCode::BadCompression, at,
                                   "LZNT1 chunk overruns its input: bytes left", size,
                                   view.size() - at - 2);
        }
        const ChunkOutput o{out, written, 0};
        auto produced = (header & kCompressedBit) ? DecodeCompressedChunk(*body, at + 2, o)
                                                  : CopyStoredChunk(*body, at + 2, o);
        if (!produced) return produced.take_error();
        shortChunkSeen = *produced < kLznt1ChunkSize;
        written += *produced;
        at += 2 + size;
    }
    return written;
}

}  // namespace qm
