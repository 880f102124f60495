// The floors of bench/run.sh: programs that do only the unavoidable part of a
// scan (read the MFT) or of a recovery (create, write and rename the files).
#pragma once

#include <cstdint>

#include "ntfs/uNTFS.h"

namespace qm::bench {

// Reads exactly the MFT bytes the scan reads from `image`, in the same chunks
// (records 0 to 15, then `chunkBytes` at a time along the MFT's runs), with
// plain preads into one page-aligned buffer. Returns the bytes read.
std::uint64_t FloorReadMft(const char* image, const VolumeInfo& info, std::uint32_t chunkBytes);

// Creates, under `outDir`, the files listed in `manifest` ("size<TAB>relative
// path" lines) with those sizes: each through a temporary beside it and a
// rename, then one syncfs of the output file system. Returns an exit code.
int FloorWrite(const char* manifest, const char* outDir);

}  // namespace qm::bench
