// Reading $Bitmap and counting a file's clusters against it.
#include "scan/Bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qm {
namespace {

constexpr std::uint64_t kBitmapRecord = 6;

bool BitSet(const std::uint8_t* bits, std::uint64_t i) {
    return (bits[i / 8] >> (i % 8)) & 1;
}

}  // namespace

bool ReadNonResident(RawVolume& volume, ByteView attr, std::uint32_t clusterSize,
                     std::span<std::uint8_t> out) {
    auto list = RunListOf(attr);
    if (!list) return false;
    auto runs = DecodeRunList(*list);
    if (!runs) return false;
    std::uint64_t at = 0;
    for (const DataRun& r : *runs) {
        if (at >= out.size()) break;
        auto runBytes = CheckedMul(r.length, clusterSize);
        if (!runBytes) return false;
        const std::uint64_t n = std::min<std::uint64_t>(*runBytes, out.size() - at);
        std::span<std::uint8_t> dst =
            out.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(n));
        if (r.sparse) {
            std::fill(dst.begin(), dst.end(), std::uint8_t{0});
        } else {
            auto offset = CheckedMul(r.lcn, clusterSize);
            if (!offset || volume.ReadAt(*offset, dst) != dst.size()) return false;
        }
        at += n;
    }
    return at == out.size();
}

ClusterBitmap::ClusterBitmap(AlignedBuffer bits, std::uint64_t clusters)
    : bits_(std::move(bits)), clusters_(std::min<std::uint64_t>(clusters, bits_.size() * 8ull)) {}

std::optional<ClusterBitmap> ClusterBitmap::Read(RawVolume& volume, const VolumeInfo& info) {
    const std::uint32_t spc = info.geometry.SectorsPerCluster;
    if (spc == 0) return std::nullopt;
    const std::uint64_t clusters = info.boot.totalSectors / spc;
    const std::uint64_t bytes = (clusters + 7) / 8;
    if (bytes == 0 || bytes > kMaxBytes) return std::nullopt;

    AlignedBuffer record(info.geometry.RecordSize);
    if (ReadMftRecord(volume, info, kBitmapRecord, record.span()) != RecordRead::Ok)
        return std::nullopt;
    auto data = FindAttributeView(ByteView(record.data(), record.size()), kAttrData);
    if (!data) return std::nullopt;
    AlignedBuffer bits(static_cast<std::size_t>(bytes));
    if (data->U8(kAttrNonResident).value_or(0) == 0) {
        const std::uint64_t length = data->U32(kResValueLength).value_or(0);
        const std::uint64_t offset = data->U16(kResValueOffset).value_or(0);
        auto value = data->Sub(offset, length);
        if (!value || value->size() < bytes) return std::nullopt;
        std::memcpy(bits.data(), value->data(), static_cast<std::size_t>(bytes));
    } else {
        if (data->U64(kNrDataSize).value_or(0) < bytes) return std::nullopt;
        if (!ReadNonResident(volume, *data, info.geometry.ClusterSize, bits.span()))
            return std::nullopt;
    }
    return ClusterBitmap(std::move(bits), clusters);
}

std::uint64_t ClusterBitmap::AllocatedIn(std::uint64_t lcn, std::uint64_t length) const {
    if (lcn >= clusters_) return length;
    const std::uint64_t inside = std::min(length, clusters_ - lcn);
    std::uint64_t set = length - inside;  // past the bitmap
    const std::uint8_t* bits = bits_.data();
    std::uint64_t i = lcn;
    const std::uint64_t end = lcn + inside;
    for (; i < end && i % 64 != 0; ++i) set += BitSet(bits, i);
    for (; i + 64 <= end; i += 64) {
        std::uint64_t word;
        std::memcpy(&word, bits + i / 8, 8);  // a count of bits: byte order does not matter
        set += static_cast<std::uint64_t>(std::popcount(word));
    }
    for (; i < end; ++i) set += BitSet(bits, i);
    return set;
}

std::uint8_t ClusterTally::Percent() const {
    if (clusters == 0) return 100;
    const std::uint64_t free = clusters - std::min(allocated, clusters);
    // free * 100 stays far below 2^64 for any real run list; divide first when it would not.
    const std::uint64_t pct =
        free > UINT64_MAX / 100 ? free / (clusters / 100) : free * 100 / clusters;
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(pct, 100));
}

ClusterTally& ClusterTally::operator+=(const ClusterTally& o) {
    clusters += o.clusters;
    allocated += o.allocated;
    ok = ok && o.ok;
    return *this;
}

ClusterTally TallyClusters(ByteView nonResident, const ClusterBitmap& bitmap) {
    ClusterTally t;
    auto list = RunListOf(nonResident);
    if (!list) {
        t.ok = false;
        return t;
    }
    auto runs = DecodeRunList(*list);
    if (!runs) {
        t.ok = false;
        return t;
    }
    for (const DataRun& r : *runs) {
        if (r.sparse) continue;
        auto sum = CheckedAdd(t.clusters, r.length);
        if (!sum) {
            t.ok = false;
            return t;
        }
        t.clusters = *sum;
        t.allocated += bitmap.AllocatedIn(r.lcn, r.length);
    }
    return t;
}

}  // namespace qm
