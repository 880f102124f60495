// MD5 (RFC 1321): the fingerprints of recovered files in the evidence report,
// and of file contents in the test manifests. Not for anything security related.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "recover/BlockHash.h"

namespace qm {

class Md5 : public BlockHash<Md5> {
public:
    Md5() { Reset(); }

    void Reset();

    // Finishes the hash; the object must be Reset before it is used again.
    std::array<std::uint8_t, 16> Final();
    // Final() as 32 lower-case hexadecimal digits.
    std::string FinalHex();

private:
    friend class BlockHash<Md5>;
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 4> state_{};
};

std::string Md5Hex(std::span<const std::uint8_t> bytes);
std::string Md5Hex(std::string_view text);
std::string HexDigest(std::span<const std::uint8_t> digest);

}  // namespace qm
