// The MFT's own clusters: mapping record bytes to volume bytes along its runs.
#include <algorithm>

#include "ntfs/uNTFS.h"

namespace qm {

MftMap::MftMap(std::vector<Extent> extents, std::uint32_t clusterSize)
    : extents_(std::move(extents)), clusterSize_(clusterSize) {
    std::sort(extents_.begin(), extents_.end(),
              [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
    // Drop extents that overlap an earlier one: a damaged attribute list must
    // not make one MFT byte come from two places.
    std::vector<Extent> clean;
    std::uint64_t next = 0;
    for (const Extent& e : extents_) {
        if (e.length == 0 || e.vcn < next) continue;
        auto end = CheckedAdd(e.vcn, e.length);
        if (!end || !CheckedMul(*end, clusterSize_)) continue;
        if (!e.sparse) {
            auto lcnEnd = CheckedAdd(e.lcn, e.length);
            if (!lcnEnd || !CheckedMul(*lcnEnd, clusterSize_)) continue;
        }
        clean.push_back(e);
        next = *end;
    }
    extents_ = std::move(clean);
}

std::uint64_t MftMap::MappedClusters() const {
    std::uint64_t n = 0;
    for (const Extent& e : extents_) n += e.length;
    return n;
}

std::uint64_t MftMap::EndVcn() const {
    return extents_.empty() ? 0 : extents_.back().vcn + extents_.back().length;
}

std::optional<std::uint64_t> MftMap::MftByteOf(std::uint64_t volumeOffset) const {
    const std::uint64_t cs = clusterSize_;
    if (cs == 0) return std::nullopt;
    for (const Extent& e : extents_) {
        if (e.sparse) continue;
        const std::uint64_t begin = e.lcn * cs;  // fits: checked on construction
        if (volumeOffset >= begin && volumeOffset - begin < e.length * cs)
            return e.vcn * cs + (volumeOffset - begin);
    }
    return std::nullopt;
}

std::vector<MftMap::Piece> MftMap::Map(std::uint64_t mftByte, std::uint64_t length) const {
    std::vector<Piece> pieces;
    auto push = [&](Piece p) {
        if (p.length == 0) return;
        if (!pieces.empty()) {
            Piece& last = pieces.back();
            bool joins =
                last.mapped == p.mapped && (!p.mapped || last.offset + last.length == p.offset);
            if (joins) {
                last.length += p.length;
                return;
            }
        }
        pieces.push_back(p);
    };
    if (clusterSize_ == 0 || !CheckedAdd(mftByte, length)) {
        push(Piece{0, length, false});
        return pieces;
    }
    const std::uint64_t cs = clusterSize_;
    std::uint64_t pos = mftByte;
    std::uint64_t left = length;
    // First extent that may hold `pos`.
    auto it = std::upper_bound(extents_.begin(), extents_.end(), pos / cs,
                               [](std::uint64_t v, const Extent& e) { return v < e.vcn; });
    if (it != extents_.begin()) --it;
    while (left > 0) {
        const std::uint64_t vcn = pos / cs;
        while (it != extents_.end() && it->vcn + it->length <= vcn) ++it;
        if (it == extents_.end() || vcn < it->vcn) {
            // A gap in the mapping: up to the next extent, or the rest.
            std::uint64_t gapEnd = left;
            if (it != extents_.end()) {
                auto startByte = CheckedMul(it->vcn, cs);
                if (startByte && *startByte > pos) gapEnd = std::min(left, *startByte - pos);
            }
            push(Piece{0, gapEnd, false});
            pos += gapEnd;
            left -= gapEnd;
            continue;
        }
        const std::uint64_t inExtent = pos - it->vcn * cs;  // vcn*cs <= pos: no overflow
        const std::uint64_t extentBytes = it->length * cs;  // fits: checked on construction
        const std::uint64_t take = std::min(left, extentBytes - inExtent);
        if (it->sparse) {
            push(Piece{0, take, false});
        } else {
            push(Piece{it->lcn * cs + inExtent, take, true});
        }
        pos += take;
        left -= take;
    }
    return pieces;
}

std::optional<std::uint64_t> MftMap::VolumeOffset(std::uint64_t mftByte) const {
    auto pieces = Map(mftByte, 1);
    if (pieces.size() != 1 || !pieces[0].mapped) return std::nullopt;
    return pieces[0].offset;
}

}  // namespace qm
