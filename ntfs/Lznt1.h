// LZNT1, the compression of NTFS-compressed files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ntfs/Result.h"

namespace qm {

// Decompresses LZNT1 data (a sequence of chunks, each with its 2-byte header) from `in`
// into `out`. Returns bytes written to out, or an error (position in `in`, what was wrong).
ErrorOr<std::size_t> DecompressLznt1(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace qm
