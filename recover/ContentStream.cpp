// Turning extents into content. Reads go in 1 MiB chunks straight into one
// aligned buffer that is then written out, so plain content is copied once.
#include "recover/ContentStream.h"

#include <algorithm>
#include <cstring>

#include "ntfs/Lznt1.h"

namespace qm {
namespace {

// 4 MiB writes cost the kernel twice the time of 1 MiB ones copying into the
// page cache (measured on a 3 GiB file; dd shows the same).
constexpr std::size_t kChunk = 1u << 20;
// Runs shorter than this are read and written: a copy inside the system saves
// the copies through this process, which costs more than one call only for
// larger runs.
constexpr std::uint64_t kCopyAtLeast = 256 * 1024;
// Bytes copied inside the system between two looks at the stop flags.
constexpr std::uint64_t kCopyPiece = 64u << 20;
// While a bad stretch is being narrowed down, the source is asked again
// whether it still answers after this many unreadable bytes.
constexpr std::uint64_t kRecheckBytes = 64 * 512;

}  // namespace

ContentStream::ContentStream(RawVolume& volume, const DataExtents& extents, StreamSettings settings)
    : volume_(volume), extents_(extents), s_(std::move(settings)) {
    if (s_.sectorSize < 512) s_.sectorSize = 512;
}

bool ContentStream::Stopped() const {
    return (s_.cancel && s_.cancel->load(std::memory_order_relaxed)) ||
           (s_.abort && s_.abort->load(std::memory_order_relaxed));
}

StreamEnd ContentStream::Run(ContentOut& out) {
    out_ = &out;
    const std::uint64_t cs = s_.clusterSize;
    if (!s_.decompress || !extents_.Compressed() || cs == 0) return Plain(0, s_.length);
    const std::uint64_t unitBytes = cs << extents_.compressionUnit;
    const std::uint64_t units = s_.length / unitBytes + (s_.length % unitBytes != 0);
    for (std::uint64_t u = 0; u < units; ++u)
        if (StreamEnd e = Unit(u); e != StreamEnd::Done) return e;
    return StreamEnd::Done;
}

StreamEnd ContentStream::Lost(std::uint64_t from, std::uint64_t count, const std::string& why) {
    if (count == 0) return StreamEnd::Done;
    if (reason_.empty()) reason_ = why;
    if (!damage_.empty() && damage_.back().offset + damage_.back().length >= from) {
        ByteRange& last = damage_.back();
        last.length = std::max(last.offset + last.length, from + count) - last.offset;
    } else {
        damage_.push_back({from, count});
    }
    return out_->Zeros(count) ? StreamEnd::Done : StreamEnd::OutputFailed;
}

// Content bytes [from, to) as the extents map them, uncompressed.
StreamEnd ContentStream::Plain(std::uint64_t from, std::uint64_t to) {
    const std::uint64_t cs = s_.clusterSize;
    const std::vector<Extent>& ex = extents_.extents;
    auto it = std::upper_bound(
        ex.begin(), ex.end(), from,
        [cs](std::uint64_t pos, const Extent& e) { return pos < (e.vcn + e.length) * cs; });
    std::uint64_t pos = from;
    for (; it != ex.end() && pos < to; ++it) {
        const std::uint64_t start = it->vcn * cs, stop = (it->vcn + it->length) * cs;
        if (start >= to) break;
        const std::string why = extents_.missing.empty() ? "no extent maps it" : extents_.missing;
        if (start > pos) {
            if (StreamEnd e = Lost(pos, start - pos, why); e != StreamEnd::Done) return e;
            pos = start;
        }
        const std::uint64_t end = std::min(stop, to);
        StreamEnd e = it->sparse
                          ? (out_->Zeros(end - pos) ? StreamEnd::Done : StreamEnd::OutputFailed)
                          : Clusters(it->lcn * cs + (pos - start), pos, end - pos);
        if (e != StreamEnd::Done) return e;
        pos = end;
    }
    if (pos < to)
        return Lost(pos, to - pos,
                    extents_.missing.empty() ? "no extent maps it" : extents_.missing);
    return StreamEnd::Done;
}

// Compression unit `index`: stored raw when its clusters fill it, all zeros
// when it is one hole, else LZNT1 data in its leading clusters.
StreamEnd ContentStream::Unit(std::uint64_t index) {
    const std::uint64_t cs = s_.clusterSize;
    const std::uint64_t unitClusters = std::uint64_t{1} << extents_.compressionUnit;
    const std::uint64_t from = index * unitClusters * cs;
    const std::uint64_t to = std::min(s_.length, from + unitClusters * cs);
    const std::uint64_t vcn = from / cs, vcnEnd = vcn + unitClusters;
    // Clusters stored and holes in the unit, and clusters the content reaches
    // into that no extent maps.
    std::uint64_t stored = 0, holes = 0, mappedInContent = 0;
    const std::uint64_t contentEnd = (to + cs - 1) / cs;
    const std::vector<Extent>& ex = extents_.extents;
    auto it = std::upper_bound(ex.begin(), ex.end(), vcn, [](std::uint64_t v, const Extent& e) {
        return v < e.vcn + e.length;
    });
    for (; it != ex.end() && it->vcn < vcnEnd; ++it) {
        const std::uint64_t first = std::max(vcn, it->vcn);
        (it->sparse ? holes : stored) += std::min(vcnEnd, it->vcn + it->length) - first;
        if (first < contentEnd)
            mappedInContent += std::min(contentEnd, it->vcn + it->length) - first;
    }
    // Stored raw, or one hole: as plain content (missing clusters become damage there).
    if (holes == 0 || stored == 0) return Plain(from, to);
    if (mappedInContent != contentEnd - vcn)
        return Lost(from, to - from,
                    extents_.missing.empty() ? "compressed unit incomplete" : extents_.missing);
    return Compressed(from, to, vcn, vcnEnd);
}

// Reads the stored clusters of the unit covering VCNs [vcn, vcnEnd) in order
// and decompresses them into content bytes [from, to).
StreamEnd ContentStream::Compressed(std::uint64_t from, std::uint64_t to, std::uint64_t vcn,
                                    std::uint64_t vcnEnd) {
    const std::uint64_t cs = s_.clusterSize;
    const std::uint64_t unitBytes = cs << extents_.compressionUnit;
    if (packed_.empty()) packed_.Reset(static_cast<std::size_t>(unitBytes));
    if (unit_.empty()) unit_.Reset(static_cast<std::size_t>(unitBytes));
    const std::vector<Extent>& ex = extents_.extents;
    auto it = std::upper_bound(ex.begin(), ex.end(), vcn, [](std::uint64_t v, const Extent& e) {
        return v < e.vcn + e.length;
    });
    std::uint64_t packed = 0;
    bool unreadable = false;
    std::vector<ByteRange> bad;
    for (; it != ex.end() && it->vcn < vcnEnd; ++it) {
        if (it->sparse) continue;
        const std::uint64_t first = std::max(vcn, it->vcn);
        const std::uint64_t bytes = (std::min(vcnEnd, it->vcn + it->length) - first) * cs;
        const std::uint64_t volumeByte = (it->lcn + (first - it->vcn)) * cs;
        if (s_.volumeEnd != 0 &&
            (volumeByte >= s_.volumeEnd || bytes > s_.volumeEnd - volumeByte)) {
            unreadable = true;
            break;
        }
        auto dst = packed_.span().subspan(static_cast<std::size_t>(packed),
                                          static_cast<std::size_t>(bytes));
        if (StreamEnd e = ReadCarefully(volumeByte, dst, bad); e != StreamEnd::Done) return e;
        unreadable = unreadable || !bad.empty();
        packed += bytes;
    }
    if (unreadable) return Lost(from, to - from, "compressed unit unreadable");
    auto made =
        DecompressLznt1(packed_.span().first(static_cast<std::size_t>(packed)), unit_.span());
    if (!made) return Lost(from, to - from, "compressed data damaged: " + made.error().ToString());
    // A unit whose chunks end early holds zeros from there.
    std::fill(unit_.span().begin() + static_cast<std::ptrdiff_t>(*made), unit_.span().end(),
              std::uint8_t{0});
    if (Stopped()) return StreamEnd::Cancelled;
    return out_->Write(unit_.span().first(static_cast<std::size_t>(to - from)))
               ? StreamEnd::Done
               : StreamEnd::OutputFailed;
}

// `count` bytes of the volume from `volumeByte`, content from `from`: what
// lies past the volume's end is lost, the rest is read.
StreamEnd ContentStream::Clusters(std::uint64_t volumeByte, std::uint64_t from,
                                  std::uint64_t count) {
    std::uint64_t inside = count;
    if (s_.volumeEnd != 0)
        inside = volumeByte >= s_.volumeEnd ? 0 : std::min(count, s_.volumeEnd - volumeByte);
    if (StreamEnd e = ReadOut(volumeByte, from, inside); e != StreamEnd::Done) return e;
    const bool truncated = s_.declaredEnd > s_.volumeEnd && volumeByte + count > s_.volumeEnd;
    return Lost(
        from + inside, count - inside,
        truncated ? "past the end of the image (a truncated copy)" : "past the end of the volume");
}

// Copies what it can of the run inside the system, in pieces so that a stop
// request is seen; returns the bytes copied, from the run's start.
std::uint64_t ContentStream::CopyOut(std::uint64_t volumeByte, std::uint64_t count) {
    if (count < kCopyAtLeast || !out_->TakesCopies()) return 0;
    std::uint64_t done = 0;
    while (done < count && !Stopped()) {
        const std::uint64_t want = std::min(count - done, kCopyPiece);
        const std::uint64_t n = out_->CopyFrom(volume_, volumeByte + done, want);
        done += std::min(n, want);
        if (n < want) break;  // the reading path takes the rest, bad spots included
    }
    return done;
}

StreamEnd ContentStream::ReadOut(std::uint64_t volumeByte, std::uint64_t from,
                                 std::uint64_t count) {
    if (count == 0) return StreamEnd::Done;
    std::uint64_t done = CopyOut(volumeByte, count);
    if (done == count) return StreamEnd::Done;
    if (buffer_.empty())
        buffer_.Reset(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, s_.length)));
    std::vector<ByteRange> bad;
    while (done < count) {
        if (Stopped()) return StreamEnd::Cancelled;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), count - done));
        std::span<std::uint8_t> chunk = buffer_.span().first(n);
        bad.clear();
        if (StreamEnd e = ReadCarefully(volumeByte + done, chunk, bad); e != StreamEnd::Done)
            return e;
        // Good bytes straight out, bad ones recorded and written as zeros.
        std::uint64_t at = 0;
        for (const ByteRange& b : bad) {
            if (b.offset > at && !out_->Write(chunk.subspan(at, b.offset - at)))
                return StreamEnd::OutputFailed;
            if (StreamEnd e = Lost(from + done + b.offset, b.length, "unreadable sectors");
                e != StreamEnd::Done)
                return e;
            at = b.offset + b.length;
        }
        if (at < n && !out_->Write(chunk.subspan(at))) return StreamEnd::OutputFailed;
        done += n;
    }
    return StreamEnd::Done;
}

// Fills `buf` from the volume; where a read fails, narrows the bad spot down
// to whole sectors and lists them in `bad` (offsets in `buf`), zero-filled.
StreamEnd ContentStream::ReadCarefully(std::uint64_t volumeByte, std::span<std::uint8_t> buf,
                                       std::vector<ByteRange>& bad) {
    const std::size_t n = volume_.ReadAt(volumeByte, buf);
    if (n >= buf.size()) return StreamEnd::Done;
    checked_ = false;
    return Settle(volumeByte, buf, 0, n, bad);
}

StreamEnd ContentStream::BadSpotFound(std::uint64_t bytes) {
    badSinceCheck_ += bytes;
    if (checked_ && badSinceCheck_ < kRecheckBytes) return StreamEnd::Done;
    checked_ = true;
    badSinceCheck_ = 0;
    if (s_.sourceAnswers && !s_.sourceAnswers()) return StreamEnd::SourceFailed;
    return StreamEnd::Done;
}

// The sector of `buf` at `at` cannot be read: it is zeros from `at` to its
// end (or the end of `buf`), which is returned.
std::uint64_t ContentStream::LoseSector(std::uint64_t volumeByte, std::span<std::uint8_t> buf,
                                        std::uint64_t at, std::vector<ByteRange>& bad) {
    const std::uint64_t sector = s_.sectorSize;
    const std::uint64_t end =
        std::min<std::uint64_t>(((volumeByte + at) / sector + 1) * sector - volumeByte, buf.size());
    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(at),
              buf.begin() + static_cast<std::ptrdiff_t>(end), std::uint8_t{0});
    if (!bad.empty() && bad.back().offset + bad.back().length == at)
        bad.back().length += end - at;
    else
        bad.push_back({at, end - at});
    return end;
}

// A read of buf[at..] delivered `n` bytes. One that delivers some stops at the
// bad spot, so the sector there is lost and the rest is read again; one that
// delivers none is split in two at a sector boundary, down to single sectors.
StreamEnd ContentStream::Settle(std::uint64_t volumeByte, std::span<std::uint8_t> buf,
                                std::uint64_t at, std::size_t n, std::vector<ByteRange>& bad) {
    const std::uint64_t sector = s_.sectorSize;
    while (at + n < buf.size()) {
        if (Stopped()) return StreamEnd::Cancelled;
        at += n;
        const std::uint64_t sectorEnd = std::min<std::uint64_t>(
            ((volumeByte + at) / sector + 1) * sector - volumeByte, buf.size());
        if (n > 0 || sectorEnd >= buf.size()) {
            const std::uint64_t end = LoseSector(volumeByte, buf, at, bad);
            if (StreamEnd e = BadSpotFound(end - at); e != StreamEnd::Done) return e;
            at = end;
        } else {
            std::uint64_t mid =
                ((volumeByte + at + (buf.size() - at) / 2) / sector) * sector - volumeByte;
            if (mid <= at) mid = sectorEnd;
            auto left = buf.first(static_cast<std::size_t>(mid));
            const std::size_t got = volume_.ReadAt(volumeByte + at, left.subspan(at));
            if (StreamEnd e = Settle(volumeByte, left, at, got, bad); e != StreamEnd::Done)
                return e;
            at = mid;
        }
        if (at >= buf.size()) break;
        n = volume_.ReadAt(volumeByte + at, buf.subspan(at));
    }
    return StreamEnd::Done;
}

}  // namespace qm
