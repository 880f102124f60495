// Writes LZNT1 data for the tests: chunk by chunk and token by token (to
// place a back-reference exactly, or a malformed one), or a whole buffer at
// once through a small compressor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qm::test {

class Lznt1Writer {
public:
    // ---- Tokens of the compressed chunk being written -----------------------
    Lznt1Writer& Literal(std::uint8_t byte);
    Lznt1Writer& Literals(std::span<const std::uint8_t> bytes);
    // A back-reference as stored: (offset - 1) above (length - 3), with
    // `lengthBits` bits for the length (12 at the start of a chunk).
    Lznt1Writer& Reference(std::size_t offset, std::size_t length, unsigned lengthBits);
    // A 16-bit token, whatever it means.
    Lznt1Writer& Token(std::uint16_t raw);
    // Ends the chunk: writes its header (compressed) and its tokens.
    Lznt1Writer& EndChunk();

    // ---- Whole chunks and raw bytes -----------------------------------------
    // A chunk stored as it is (header without the compressed bit).
    Lznt1Writer& StoredChunk(std::span<const std::uint8_t> bytes);
    // Bytes appended verbatim (a zero header, a cut chunk, padding).
    Lznt1Writer& Raw(std::span<const std::uint8_t> bytes);
    Lznt1Writer& Raw(std::initializer_list<std::uint8_t> bytes);

    std::vector<std::uint8_t> Build() const { return out_; }

private:
    void Begin();
    std::vector<std::uint8_t> out_;
    std::vector<std::uint8_t> body_;  // tokens of the open chunk
    std::size_t group_ = 0;           // its current flag byte
    unsigned bit_ = 8;                // next token's bit in it (8: start a group)
};

// Bits of a back-reference's length field when `produced` bytes (at least
// one) of the chunk are already written.
unsigned Lznt1LengthBits(std::size_t produced);

// `data` in chunks of 4096 bytes: a chunk whose bytes all fit as literal
// tokens is written so, any other chunk is stored.
std::vector<std::uint8_t> CompressLznt1Literals(std::span<const std::uint8_t> data);

// `data` compressed with back-references found in the last `window` bytes
// (chunks that do not shrink are stored), ended by a zero header.
std::vector<std::uint8_t> CompressLznt1(std::span<const std::uint8_t> data,
                                        std::size_t window = 256);

}  // namespace qm::test
