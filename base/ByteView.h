// Bounds-checked little-endian reads at named offsets. Every accessor returns
// nullopt instead of touching a byte outside the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qm {

// a + b, or nullopt when the sum does not fit in 64 bits.
inline std::optional<std::uint64_t> CheckedAdd(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<std::int64_t> CheckedAddSigned(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

class ByteView {
public:
    ByteView() = default;
    ByteView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    ByteView(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::span<const std::uint8_t> span() const { return bytes_; }

    // True when [offset, offset + length) lies inside the view.
    bool Has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

    std::optional<std::uint8_t> U8(std::uint64_t off) const {
        if (!Has(off, 1)) return std::nullopt;
        return bytes_[off];
    }
    std::optional<std::uint16_t> U16(std::uint64_t off) const { return Le<std::uint16_t>(off, 2); }
    std::optional<std::uint32_t> U32(std::uint64_t off) const { return Le<std::uint32_t>(off, 4); }
    std::optional<std::uint64_t> U64(std::uint64_t off) const { return Le<std::uint64_t>(off, 8); }

    // Big-endian values, for the formats that store them so (SQLite, PDF, ...).
    std::optional<std::uint16_t> U16Be(std::uint64_t off) const {
        return Be<std::uint16_t>(off, 2);
    }
    std::optional<std::uint32_t> U32Be(std::uint64_t off) const {
        return Be<std::uint32_t>(off, 4);
    }
    std::optional<std::uint64_t> U64Be(std::uint64_t off) const {
        return Be<std::uint64_t>(off, 8);
    }

    // Unsigned little-endian value of `width` bytes (0 to 8).
    std::optional<std::uint64_t> UVar(std::uint64_t off, unsigned width) const {
        if (width > 8) return std::nullopt;
        return Le<std::uint64_t>(off, width);
    }
    // Two's-complement little-endian value of `width` bytes (1 to 8), sign-extended.
    std::optional<std::int64_t> SVar(std::uint64_t off, unsigned width) const {
        if (width == 0 || width > 8) return std::nullopt;
        auto u = Le<std::uint64_t>(off, width);
        if (!u) return std::nullopt;
        std::uint64_t v = *u;
        if (width < 8 && (v >> (width * 8 - 1)) & 1) v |= ~std::uint64_t{0} << (width * 8);
        return static_cast<std::int64_t>(v);
    }

    // The sub-view [offset, offset + length), or nullopt when it leaves the view.
    std::optional<ByteView> Sub(std::uint64_t offset, std::uint64_t length) const {
        if (!Has(offset, length)) return std::nullopt;
        return ByteView(bytes_.subspan(offset, length));
    }
    // The sub-view [offset, offset + length) cut at the end of the view (empty past it).
    ByteView SubClamped(std::uint64_t offset, std::uint64_t length) const {
        if (offset >= bytes_.size()) return ByteView();
        std::uint64_t avail = bytes_.size() - offset;
        return ByteView(bytes_.subspan(offset, length < avail ? length : avail));
    }

private:
    template <typename T>
    std::optional<T> Le(std::uint64_t off, unsigned width) const {
        if (!Has(off, width)) return std::nullopt;
        T v = 0;
        for (unsigned i = 0; i < width; ++i) v |= static_cast<T>(bytes_[off + i]) << (8 * i);
        return v;
    }
    template <typename T>
    std::optional<T> Be(std::uint64_t off, unsigned width) const {
        if (!Has(off, width)) return std::nullopt;
        T v = 0;
        for (unsigned i = 0; i < width; ++i) v = static_cast<T>(v << 8 | bytes_[off + i]);
        return v;
    }

    std::span<const std::uint8_t> bytes_;
};

}  // namespace qm
