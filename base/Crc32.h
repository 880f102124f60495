// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320): GPT headers, ZIP,
// GZIP, RAR, 7z and PNG all check their bytes with it.
#pragma once

#include <cstdint>

#include "base/ByteView.h"

namespace qm {

// Continues a CRC over more bytes: Crc32(Crc32(0, a), b) == Crc32(0, a + b).
std::uint32_t Crc32(std::uint32_t crc, ByteView bytes);

}  // namespace qm
