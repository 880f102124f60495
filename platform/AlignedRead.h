// The read loop under every backend: positioned reads that may come back short,
// and devices that only accept whole, aligned sectors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/AlignedBuffer.h"

namespace qm {

// Fills `buf` from byte `offset` of a source through `readAt(pos, data, n)`,
// which reads up to n bytes at pos and returns how many it read (0 at the end,
// negative on an error; interrupted calls are retried inside it). With a
// `sectorSize` above 1 every call to readAt starts on a multiple of it and asks
// for a multiple of it: partial sectors at either end go through a bounce
// buffer. A request that fails is asked again in halves, so that the bytes in
// front of a bad spot still arrive. Returns the number of bytes delivered from
// the start of `buf`, which stops at the first error or end; the rest of `buf`
// is set to zero.
template <typename ReadFn>
std::size_t ReadFullyAligned(ReadFn&& readAt, std::uint64_t offset, std::span<std::uint8_t> buf,
                             std::uint32_t sectorSize) {
    const std::uint64_t sector = sectorSize == 0 ? 1 : sectorSize;
    AlignedBuffer bounce;
    std::size_t done = 0;
    std::size_t limit = SIZE_MAX;  // shrinks while requests fail
    while (done < buf.size()) {
        std::uint64_t pos;
        if (__builtin_add_overflow(offset, done, &pos)) break;
        const std::size_t left = buf.size() - done;
        const std::uint64_t into = pos % sector;
        if (into == 0 && left >= sector) {
            // Whole sectors straight into the caller's buffer.
            const std::size_t want =
                std::min(static_cast<std::size_t>(left - left % sector), limit);
            const std::int64_t n = readAt(pos, buf.data() + done, want);
            if (n < 0 && want > sector) {
                const std::size_t half = want / 2;
                limit = std::max<std::size_t>(static_cast<std::size_t>(sector),
                                              static_cast<std::size_t>(half - half % sector));
                continue;
            }
            if (n <= 0) break;
            done += static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(n), want));
            continue;
        }
        // A partial sector: read the whole sector, keep the part asked for.
        if (bounce.empty()) bounce.Reset(static_cast<std::size_t>(sector));
        const std::uint64_t start = pos - into;
        std::size_t got = 0;
        while (got < bounce.size()) {
            std::uint64_t at;
            if (__builtin_add_overflow(start, got, &at)) break;
            const std::int64_t n = readAt(at, bounce.data() + got, bounce.size() - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(n), bounce.size() - got));
        }
        if (got <= into) break;
        const std::size_t take = std::min<std::size_t>(left, got - static_cast<std::size_t>(into));
        std::memcpy(buf.data() + done, bounce.data() + into, take);
        done += take;
        if (static_cast<std::uint64_t>(got) < sector && take < left) break;  // end of the source
    }
    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(done), buf.end(), std::uint8_t{0});
    return done;
}

// Reads [pos, pos + n) again through `direct`, a reader of the same source that
// bypasses the cache (O_DIRECT, FILE_FLAG_NO_BUFFERING): after one bad sector a
// cached read fails its whole readahead window, an unbuffered one only what is
// truly bad. `pos` and `n` are multiples of `sectorSize`; `direct` is called
// with sector-aligned positions and lengths into a page-aligned buffer. Pieces
// of up to 1 MiB are tried whole, the first that fails sector by sector, up to
// its first sector that fails. Returns the bytes delivered from the start of
// `data`, or -1 when not even the first sector could be read.
template <typename ReadFn>
std::int64_t RetryUnbuffered(ReadFn&& direct, std::uint64_t pos, std::uint8_t* data, std::size_t n,
                             std::uint32_t sectorSize) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    const std::size_t sector = sectorSize == 0 ? 1 : sectorSize;
    if (n == 0 || n % sector != 0 || pos % sector != 0) return -1;
    const std::size_t piece = std::max(kPiece - kPiece % sector, sector);
    AlignedBuffer scratch(std::min(n, piece));
    std::size_t done = 0;
    while (done < n) {
        const std::size_t len = std::min(n - done, piece);
        if (direct(pos + done, scratch.data(), len) != static_cast<std::int64_t>(len)) break;
        std::memcpy(data + done, scratch.data(), len);
        done += len;
    }
    while (done < n) {
        if (direct(pos + done, scratch.data(), sector) != static_cast<std::int64_t>(sector)) break;
        std::memcpy(data + done, scratch.data(), sector);
        done += sector;
    }
    return done == 0 ? -1 : static_cast<std::int64_t>(done);
}

}  // namespace qm
