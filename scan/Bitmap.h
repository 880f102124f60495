// The volume's cluster bitmap ($Bitmap, record 6): which clusters are in use
// now, so that a deleted file's clusters can be told still free or taken again.
#pragma once

#include <cstdint>
#include <optional>

#include "ntfs/uNTFS.h"
#include "platform/AlignedBuffer.h"

namespace qm {

class ClusterBitmap {
public:
    // Largest bitmap read (bytes): 2^32 clusters.
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 29;

    ClusterBitmap() = default;
    // `bits` bit i (byte i / 8, bit i % 8) set: cluster i allocated.
    ClusterBitmap(AlignedBuffer bits, std::uint64_t clusters);

    // Reads record 6's $DATA once; nullopt when it cannot be read whole.
    static std::optional<ClusterBitmap> Read(RawVolume& volume, const VolumeInfo& info);

    // Clusters of [lcn, lcn + length) now allocated; clusters the bitmap does
    // not cover count as allocated.
    std::uint64_t AllocatedIn(std::uint64_t lcn, std::uint64_t length) const;
    std::uint64_t clusters() const { return clusters_; }

private:
    AlignedBuffer bits_;
    std::uint64_t clusters_ = 0;
};

// Reads the first out.size() bytes of a non-resident attribute's clusters (sparse
// runs as zeros); false when the run list or the volume does not deliver them all.
bool ReadNonResident(RawVolume& volume, ByteView attr, std::uint32_t clusterSize,
                     std::span<std::uint8_t> out);

// A non-resident attribute's clusters against the bitmap: sparse runs are not counted.
struct ClusterTally {
    std::uint64_t clusters = 0;   // not sparse
    std::uint64_t allocated = 0;  // of them, now in use again
    bool ok = true;               // the run list decoded
    // Share of the clusters still free, rounded down; 100 without clusters.
    std::uint8_t Percent() const;
    ClusterTally& operator+=(const ClusterTally& o);
};
ClusterTally TallyClusters(ByteView nonResident, const ClusterBitmap& bitmap);

}  // namespace qm
