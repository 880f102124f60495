// Reading a candidate file's bytes for the format walkers: small views at any
// offset through a cache, a search forward, a CRC over a range, and a source
// that hands a range to the DEFLATE decoder. Nothing here trusts an offset:
// every range is checked against the candidate's limit first.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "deep/carve/Carver.h"
#include "deep/carve/Inflate.h"

namespace qm::deep {

class CarveReader {
public:
    // Views larger than this are refused.
    static constexpr std::size_t kMaxView = 1u << 16;

    explicit CarveReader(CarveInput& input);

    CarveInput& input() { return in_; }
    std::uint64_t Limit() const { return limit_; }

    // Bytes [offset, offset + length), or nullopt when not all of them can be
    // read. The view stays valid until the next call of View, Find or Crc.
    std::optional<ByteView> View(std::uint64_t offset, std::size_t length);
    // As much of [offset, offset + length) as can be read (possibly empty).
    ByteView ViewUpTo(std::uint64_t offset, std::size_t length);

    // The first offset in [from, to) where `needle` starts (wholly before `to`).
    std::optional<std::uint64_t> Find(std::string_view needle, std::uint64_t from,
                                      std::uint64_t to);
    // The last such offset in [from, to).
    std::optional<std::uint64_t> FindLast(std::string_view needle, std::uint64_t from,
                                          std::uint64_t to);
    // CRC-32 of [offset, offset + length), or nullopt when it cannot all be read.
    std::optional<std::uint32_t> Crc(std::uint64_t offset, std::uint64_t length);

private:
    bool Load(std::uint64_t offset, std::size_t length);

    CarveInput& in_;
    std::uint64_t limit_;
    std::vector<std::uint8_t> cache_;
    std::uint64_t cacheAt_ = 0;
    std::size_t cacheLen_ = 0;
};

// The bytes [start, end) of a candidate as a source for the decoder.
class InputSource final : public ByteSource {
public:
    InputSource(CarveInput& input, std::uint64_t start, std::uint64_t end)
        : in_(input), pos_(start), end_(end) {}
    std::size_t Read(std::span<std::uint8_t> out) override;

private:
    CarveInput& in_;
    std::uint64_t pos_, end_;
};

// A candidate held in memory (tests, fuzzing, benchmarks).
class MemoryInput final : public CarveInput {
public:
    explicit MemoryInput(ByteView bytes) : bytes_(bytes) {}
    std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override;
    std::uint64_t Limit() const override { return bytes_.size(); }

private:
    ByteView bytes_;
};

}  // namespace qm::deep
