// The NTFS boot sector and the geometry it gives.
#include <cstring>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

// Boot sector field offsets.
constexpr std::size_t kOem = 3;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kTotalSectors = 40;
constexpr std::size_t kMftCluster = 48;
constexpr std::size_t kMftMirrorCluster = 56;
constexpr std::size_t kClustersPerRecord = 64;
constexpr std::size_t kSerial = 72;

// Smallest record that holds the header fields and an attribute walk.
constexpr std::uint32_t kMinRecordSize = 48;
// Offsets inside a record are 16-bit.
constexpr std::uint32_t kMaxRecordSize = 65536;
// Largest cluster NTFS defines (2 MiB); anything up to 2 GiB is still arithmetic-safe.
constexpr std::uint64_t kMaxClusterSize = std::uint64_t{1} << 31;

}  // namespace

BootSector ParseBootSector(ByteView s) {
    BootSector b;
    for (std::size_t i = 0; i < 4; ++i) b.oem[i] = s.U8(kOem + i).value_or(0);
    b.bytesPerSector = s.U16(kBytesPerSector).value_or(0);
    b.sectorsPerClusterByte = s.U8(kSectorsPerCluster).value_or(0);
    b.totalSectors = s.U64(kTotalSectors).value_or(0);
    b.mftCluster = s.U64(kMftCluster).value_or(0);
    b.mftMirrorCluster = s.U64(kMftMirrorCluster).value_or(0);
    b.clustersPerRecord = s.U32(kClustersPerRecord).value_or(0);
    b.serial = s.U64(kSerial).value_or(0);
    return b;
}

bool OemIsNtfs(const BootSector& boot) {
    return std::memcmp(boot.oem.data(), "NTFS", 4) == 0;
}

std::uint32_t SectorsPerClusterFromByte(std::uint8_t value) {
    if (value <= 0x80) return value;
    unsigned shift = 256u - value;  // 1..127
    return shift < 32 ? (std::uint32_t{1} << shift) : 0;
}

std::uint32_t RecordSizeRule(std::uint32_t v, std::uint32_t clusterSize) {
    if (v < 128) {
        std::uint64_t size = std::uint64_t{v} * clusterSize;
        return size <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(size) : 0;
    }
    // A negative byte: 2^(256 - v), the low five bits of the exponent as NTFS defines it.
    std::uint32_t e = (256u - v) & 0x1F;
    return e < 31 ? (std::uint32_t{1} << e) : 0;
}

VolumeGeometry GeometryFromBoot(const BootSector& boot) {
    VolumeGeometry g;
    g.BytesPerSector = boot.bytesPerSector;
    g.SectorsPerCluster = SectorsPerClusterFromByte(boot.sectorsPerClusterByte);
    std::uint64_t cluster = std::uint64_t{g.BytesPerSector} * g.SectorsPerCluster;
    g.ClusterSize = cluster <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(cluster) : 0;
    g.RecordSize = RecordSizeRule(boot.clustersPerRecord, g.ClusterSize);
    return g;
}

ErrorOr<void> CheckGeometry(const VolumeGeometry& g) {
    if (g.BytesPerSector == 0)
        return Error::At(ErrorCode::BadGeometry, kBytesPerSector, "bytes per sector is 0");
    if (g.SectorsPerCluster == 0)
        return Error::At(ErrorCode::BadGeometry, kSectorsPerCluster, "sectors per cluster is 0");
    if (g.ClusterSize == 0 || g.ClusterSize > kMaxClusterSize)
        return Error::Mismatch(ErrorCode::BadGeometry, kSectorsPerCluster,
                               "cluster size above the limit", kMaxClusterSize, g.ClusterSize);
    if (g.RecordSize < kMinRecordSize)
        return Error::Mismatch(ErrorCode::BadGeometry, kClustersPerRecord,
                               "record size below the minimum", kMinRecordSize, g.RecordSize);
    if (g.RecordSize > kMaxRecordSize)
        return Error::Mismatch(ErrorCode::BadGeometry, kClustersPerRecord,
                               "record size above the maximum", kMaxRecordSize, g.RecordSize);
    return {};
}

std::uint64_t MftOffsetOf(const BootSector& boot) {
    // Wraps modulo 2^64 on purpose: a nonsense boot sector gives a nonsense
    // offset, which the record-0 read then rejects.
    return boot.mftCluster * std::uint64_t{boot.bytesPerSector} *
           std::uint64_t{SectorsPerClusterFromByte(boot.sectorsPerClusterByte)};
}

}  // namespace qm
