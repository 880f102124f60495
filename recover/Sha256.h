// SHA-256 (FIPS 180-2): the second fingerprint of recovered files in the
// evidence report, next to MD5.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qm {

class Sha256 {
public:
    Sha256() { Reset(); }

    void Reset();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text) {
        Update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // Feeds `count` zero bytes without needing a buffer of that size.
    void UpdateZeros(std::uint64_t count);

    // Finishes the hash; the object must be Reset before it is used again.
    std::array<std::uint8_t, 32> Final();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_{};
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace qm
