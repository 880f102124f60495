// SHA-256 (FIPS 180-2): the second fingerprint of recovered files in the
// evidence report, next to MD5.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "recover/BlockHash.h"

namespace qm {

class Sha256 : public BlockHash<Sha256> {
public:
    Sha256() { Reset(); }

    void Reset();

    // Finishes the hash; the object must be Reset before it is used again.
    std::array<std::uint8_t, 32> Final();

private:
    friend class BlockHash<Sha256>;
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_{};
};

}  // namespace qm
