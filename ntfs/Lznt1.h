// LZNT1, the compression NTFS applies to the units of a compressed $DATA: a
// sequence of chunks, each of at most 4096 bytes once decompressed, stored
// either raw or as LZ77 tokens behind a 2-byte header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/Result.h"

namespace qm {

// Bytes a chunk holds once decompressed; only the last chunk of the data may hold fewer.
constexpr std::size_t kLznt1ChunkSize = 4096;

// Decompresses LZNT1 data (a sequence of chunks, each with its 2-byte header) from `in`
// into `out`. Returns bytes written to out, or an error (position in `in`, what was wrong).
ErrorOr<std::size_t> DecompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace qm
