// What MD5 and SHA-256 share: the message fed in 64-byte blocks to the
// derived hash's Block(), and the padding at the end (a 1 bit, zeros, and the
// message's length in bits in the last 8 bytes of a block).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qm {

template <class Derived>
class BlockHash {
public:
    void Update(std::span<const std::uint8_t> bytes) {
        totalBytes_ += bytes.size();
        const std::uint8_t* p = bytes.data();
        std::size_t left = bytes.size();
        if (buffered_ > 0) {
            const std::size_t take = std::min(left, buffer_.size() - buffered_);
            std::copy_n(p, take, buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
            buffered_ += take;
            p += take;
            left -= take;
            if (buffered_ < buffer_.size()) return;
            Self().Block(buffer_.data());
            buffered_ = 0;
        }
        for (; left >= 64; p += 64, left -= 64) Self().Block(p);
        std::copy_n(p, left, buffer_.begin());
        buffered_ = left;
    }
    void Update(std::string_view text) {
        Update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // Feeds `count` zero bytes without needing a buffer of that size.
    void UpdateZeros(std::uint64_t count) {
        static const std::array<std::uint8_t, 65536> zeros{};
        while (count > 0) {
            const std::size_t n =
                count < zeros.size() ? static_cast<std::size_t>(count) : zeros.size();
            Update(std::span(zeros.data(), n));
            count -= n;
        }
    }

protected:
    void ResetBlocks() {
        buffered_ = 0;
        totalBytes_ = 0;
    }
    // Ends the message: the padding, with the length little-endian (MD5) or
    // big-endian (SHA-256).
    void Pad(bool bigEndianLength) {
        const std::uint64_t bits = totalBytes_ * 8;
        std::array<std::uint8_t, 72> pad{};
        pad[0] = 0x80;
        const std::size_t padLen = (buffered_ < 56 ? 56 : 120) - buffered_;
        for (std::size_t i = 0; i < 8; ++i)
            pad[padLen + i] =
                static_cast<std::uint8_t>(bits >> (bigEndianLength ? 56 - 8 * i : 8 * i));
        Update(std::span(pad.data(), padLen + 8));
    }

private:
    Derived& Self() { return static_cast<Derived&>(*this); }

    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace qm
