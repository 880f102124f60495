// Rebuilding a deleted file from its record: the record's $DATA gathered into
// extents (ntfs/Extents), turned into content (ContentStream) and written out
// (ContentSink).
#include "recover/RecoverRecord.h"

#include <algorithm>
#include <array>
#include <memory>

#include "ntfs/Extents.h"
#include "recover/ContentSink.h"
#include "recover/ContentStream.h"

namespace qm {
namespace {

// Data sizes from here on are taken as damage, not as files.
constexpr std::uint64_t kMaxDataSize = std::uint64_t{1} << 62;

RecoverResult Fail(RecoverStatus s, std::string detail) {
    return {s, 0, std::move(detail), {}, 0, {}, {}};
}

// Reads the record that starts at volume byte `position`: along the MFT's
// runs when the map knows the position, so a record split over two fragments
// comes whole; in one piece otherwise. True when every byte came from the volume.
bool ReadRecordAt(RawVolume& volume, std::uint64_t position, const MftMap* mft,
                  std::span<std::uint8_t> record) {
    std::optional<std::uint64_t> mftByte = mft ? mft->MftByteOf(position) : std::nullopt;
    if (!mftByte) return volume.ReadAt(position, record) == record.size();
    bool whole = true;
    std::size_t at = 0;
    for (const MftMap::Piece& p : mft->Map(*mftByte, record.size())) {
        auto dst = record.subspan(at, static_cast<std::size_t>(p.length));
        if (p.mapped) {
            whole = volume.ReadAt(p.offset, dst) == dst.size() && whole;
        } else {
            std::fill(dst.begin(), dst.end(), std::uint8_t{0});
            whole = false;
        }
        at += dst.size();
    }
    return whole;
}

// Extension records, read through the MFT's map; none without it.
RecordReader ExtensionReader(RawVolume& volume, const VolumeGeometry& g, const MftMap* mft) {
    if (!mft) return {};
    return [&volume, g, mft](std::uint64_t number, std::vector<std::uint8_t>& out) {
        auto mftByte = CheckedMul(number, g.RecordSize);
        if (!mftByte) return false;
        out.assign(g.RecordSize, 0);
        std::size_t at = 0;
        for (const MftMap::Piece& p : mft->Map(*mftByte, g.RecordSize)) {
            std::span<std::uint8_t> dst(out.data() + at, static_cast<std::size_t>(p.length));
            if (!p.mapped || volume.ReadAt(p.offset, dst) != dst.size()) return false;
            at += dst.size();
        }
        return ApplyFixups(out, g);
    };
}

// After the record could not be read whole: whether the volume still gives its first byte.
bool Answers(RawVolume& volume) {
    std::uint8_t first = 0;
    return volume.Size() == 0 || volume.ReadAt(0, std::span<std::uint8_t>(&first, 1)) == 1;
}

// Where the volume says it ends: its boot sector's size, when byte 0 holds one.
std::uint64_t DeclaredEnd(RawVolume& volume) {
    std::array<std::uint8_t, kBootSectorSize> sector{};
    if (volume.ReadAt(0, sector) != sector.size()) return 0;
    const BootSector boot = ParseBootSector(ByteView(sector.data(), sector.size()));
    if (!OemIsNtfs(boot)) return 0;
    return CheckedMul(boot.totalSectors, boot.bytesPerSector).value_or(0);
}

// A sound file never holds more of the volume's clusters than the volume
// has: runs that point at the same clusters again and again would only fill
// the output disk.
bool ClaimsTooMuch(const DataExtents& ext, std::uint64_t length, std::uint64_t volumeSize,
                   std::uint32_t cs) {
    if (volumeSize == 0) return false;
    std::uint64_t allocated = 0;
    for (const Extent& e : ext.extents) {
        const std::uint64_t start = e.vcn * cs;
        if (start >= length) break;
        const std::uint64_t take = std::min(e.length * cs, length - start);
        const std::uint64_t at = e.lcn * cs;
        // Clusters past the end count nothing: they are lost, written as zeros.
        if (!e.sparse && at < volumeSize)
            allocated += std::min(take, volumeSize - at);  // <= 2^62 each: no overflow
        if (allocated > volumeSize) return true;
    }
    return false;
}

// The times of the record's $STANDARD_INFORMATION: creation, modification and
// last access (its value: created at 0, modified at 8, accessed at 24).
FileTimes OriginalTimes(ByteView record) {
    FileTimes t;
    auto si = FindAttributeView(record, kAttrStandardInformation);
    if (!si || si->U8(kAttrNonResident).value_or(1) != 0) return t;
    auto off = si->U16(kResValueOffset);
    auto len = si->U32(kResValueLength);
    if (!off || !len) return t;
    auto value = si->Sub(*off, *len);
    if (!value) return t;
    t.created = value->U64(0).value_or(0);
    t.modified = value->U64(8).value_or(0);
    t.accessed = value->U64(24).value_or(0);
    return t;
}

SinkOptions SinkOptionsOf(const RecoverOptions& o, const FileTimes& times) {
    return {o.digests, o.progress, times};
}

RecoverResult WriteResident(const DataExtents& ext, const std::string& path, OutputFactory& output,
                            const SinkOptions& options) {
    ContentSink sink(output, path, options);
    if (!sink.Open() || !sink.Write(ext.residentValue))
        return sink.Failed(RecoverStatus::OutputFailed);
    return sink.Commit({}, {});
}

struct Plan {
    StreamSettings settings;
    // Bytes of the data size past what is written (a data size larger than the volume).
    std::optional<ByteRange> beyond;
};

// What to write of a non-resident $DATA, or why it cannot be.
ErrorOr<Plan> PlanContent(RawVolume& volume, const DataExtents& ext, const VolumeGeometry& g,
                          bool raw) {
    if (ext.dataSize >= kMaxDataSize)
        return Error::At(ErrorCode::OutOfRange, kNrDataSize, "data size out of range");
    Plan p;
    StreamSettings& s = p.settings;
    s.clusterSize = g.ClusterSize;
    s.sectorSize = std::max<std::uint32_t>(volume.SectorSize(), 512);
    s.volumeEnd = volume.Size();
    s.declaredEnd = DeclaredEnd(volume);
    // No cluster lies past the volume's own end, whatever the image holds after it.
    if (s.declaredEnd != 0 && (s.volumeEnd == 0 || s.declaredEnd < s.volumeEnd))
        s.volumeEnd = s.declaredEnd;
    s.decompress = !raw;
    s.length = ext.dataSize;
    if (ClaimsTooMuch(ext, ext.dataSize, s.volumeEnd, g.ClusterSize))
        return Error::Make(ErrorCode::BadRunList, "runs claim more clusters than the volume has");
    // A data size larger than the volume is believed only as far as the runs
    // map it (a sparse file may be larger than its volume); past them nothing
    // is written, so a damaged size cannot make a file of terabytes.
    const std::uint64_t limit = std::max(s.volumeEnd, s.declaredEnd);
    const Extent* last = ext.extents.empty() ? nullptr : &ext.extents.back();
    const std::uint64_t mapped = last ? (last->vcn + last->length) * g.ClusterSize : 0;
    if (limit != 0 && ext.dataSize > limit && mapped < ext.dataSize) {
        s.length = mapped;
        p.beyond = ByteRange{s.length, ext.dataSize - s.length};
    }
    if (s.decompress && ext.Compressed()) {
        const unsigned cu = ext.compressionUnit;
        if (cu == 0 || cu > 16 || (std::uint64_t{g.ClusterSize} << cu) > kMaxCompressionUnit)
            return Error::Mismatch(ErrorCode::Unsupported, kNrCompressionUnit,
                                   "compression unit (log2 clusters, 1 to 16 within 4 MiB)", 4, cu);
    }
    return p;
}

RecoverResult StreamOut(RawVolume& volume, const DataExtents& ext, const Plan& plan,
                        const std::string& path, OutputFactory& output,
                        const SinkOptions& options) {
    ContentSink sink(output, path, options);
    if (!sink.Open()) return sink.Failed(RecoverStatus::OutputFailed);
    ContentStream stream(volume, ext, plan.settings);
    switch (stream.Run(sink)) {
        case StreamEnd::Done:
            break;
        case StreamEnd::Cancelled:
            return sink.Failed(RecoverStatus::Cancelled);
        case StreamEnd::SourceFailed:
            return sink.Failed(RecoverStatus::SourceFailed, volume.Name());
        case StreamEnd::OutputFailed:
            return sink.Failed(RecoverStatus::OutputFailed);
    }
    std::vector<ByteRange> damage = stream.Damage();
    std::string reason = stream.DamageReason();
    if (plan.beyond) {
        if (!damage.empty() && damage.back().offset + damage.back().length == plan.beyond->offset)
            damage.back().length += plan.beyond->length;
        else
            damage.push_back(*plan.beyond);
        if (reason.empty()) reason = "data size larger than the volume";
    }
    return sink.Commit(std::move(damage), reason);
}

// A written file whose record holds no time to give it says so.
RecoverResult Noted(RecoverResult r, const RecoverOptions& o, const FileTimes& times) {
    const bool written = r.status == RecoverStatus::Written || r.status == RecoverStatus::Damaged;
    if (written && o.times && !times.Any() && r.note.empty())
        r.note = "times not set: the record holds none";
    return r;
}

}  // namespace

const char* RecoverStatusText(RecoverStatus s) {
    switch (s) {
        case RecoverStatus::Written:
            return "written";
        case RecoverStatus::Damaged:
            return "written with unreadable parts";
        case RecoverStatus::BadPosition:
            return "not a record position";
        case RecoverStatus::OpenFailed:
            return "volume cannot be opened";
        case RecoverStatus::BadRecord:
            return "record fails its signature or update sequence";
        case RecoverStatus::InUse:
            return "record is in use again or is a directory";
        case RecoverStatus::NoData:
            return "record has no $DATA attribute";
        case RecoverStatus::Malformed:
            return "$DATA attribute is damaged";
        case RecoverStatus::Encrypted:
            return "encrypted";
        case RecoverStatus::SourceFailed:
            return "the volume stopped answering";
        case RecoverStatus::OutputFailed:
            return "output file cannot be written";
        case RecoverStatus::Cancelled:
            return "cancelled";
    }
    return "error";
}

std::optional<std::uint64_t> ParsePosition(std::string_view position) {
    if (position.size() < 3) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : position.substr(2)) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        if (v >> 60) return std::nullopt;  // a 17th significant digit
        v = (v << 4) | d;
    }
    return v;
}

RecoverResult RecoverRecord(RawVolume& volume, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath,
                            OutputFactory& output, const std::atomic<bool>* cancel,
                            const MftMap* mft) {
    RecoverOptions options;
    options.cancel = cancel;
    options.mft = mft;
    return RecoverRecord(volume, position, geometry, outputPath, output, options);
}

RecoverResult RecoverRecord(RawVolume& volume, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath,
                            OutputFactory& output, const RecoverOptions& o) {
    auto where = ParsePosition(position);
    if (!where) return Fail(RecoverStatus::BadPosition, std::string(position));

    std::vector<std::uint8_t> record(geometry.RecordSize);
    if (!ReadRecordAt(volume, *where, o.mft, record) && !Answers(volume))
        return Fail(RecoverStatus::SourceFailed, volume.Name());
    if (!ApplyFixups(record, geometry)) return Fail(RecoverStatus::BadRecord, {});
    ByteView rec(record.data(), record.size());
    if (RecordFlags(rec).value_or(1) != 0) return Fail(RecoverStatus::InUse, {});

    ExtentSource source{&volume, geometry.ClusterSize, ExtensionReader(volume, geometry, o.mft),
                        std::nullopt};
    if (o.mft)
        if (auto mftByte = o.mft->MftByteOf(*where))
            source.baseNumber = *mftByte / geometry.RecordSize;
    auto ext = GatherDataExtents(rec, o.stream, source);
    // A record without an unnamed $DATA gives the first one it holds, as the listing shows it.
    if (auto first = FindAttributeView(rec, kAttrData); !ext && o.stream.empty() && first)
        ext = GatherDataExtents(rec, AttributeName(*first), source);
    if (!ext && ext.error().code == ErrorCode::BadAttribute && !ext.error().position)
        return Fail(RecoverStatus::NoData, ext.error().message);
    if (!ext) return Fail(RecoverStatus::Malformed, ext.error().ToString());
    if ((RecordIsEncrypted(rec) || ext->Encrypted()) && !o.raw)
        return Fail(RecoverStatus::Encrypted, {});
    const FileTimes times = o.times ? OriginalTimes(rec) : FileTimes{};
    if (ext->resident)
        return Noted(WriteResident(*ext, outputPath, output, SinkOptionsOf(o, times)), o, times);

    auto plan = PlanContent(volume, *ext, geometry, o.raw);
    if (!plan) return Fail(RecoverStatus::Malformed, plan.error().ToString());
    plan->settings.cancel = o.cancel;
    plan->settings.abort = o.abort;
    const std::uint64_t at = *where;
    plan->settings.sourceAnswers = [&volume, at, &o, size = record.size()] {
        std::vector<std::uint8_t> again(size);
        return ReadRecordAt(volume, at, o.mft, again) && volume.Answers();
    };
    return Noted(StreamOut(volume, *ext, *plan, outputPath, output, SinkOptionsOf(o, times)), o,
                 times);
}

RecoverResult RecoverExtents(RawVolume& volume, const DataExtents& extents,
                             const VolumeGeometry& geometry, const std::string& outputPath,
                             OutputFactory& output, const RecoverOptions& o) {
    const SinkOptions sinkOptions = SinkOptionsOf(o, {});
    if (extents.resident) return WriteResident(extents, outputPath, output, sinkOptions);
    auto plan = PlanContent(volume, extents, geometry, o.raw);
    if (!plan) return Fail(RecoverStatus::Malformed, plan.error().ToString());
    plan->settings.cancel = o.cancel;
    plan->settings.abort = o.abort;
    plan->settings.sourceAnswers = [&volume] { return volume.Answers(); };
    return StreamOut(volume, extents, *plan, outputPath, output, sinkOptions);
}

RecoverResult RecoverRecord(const std::string& source, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath) {
    if (!ParsePosition(position)) return Fail(RecoverStatus::BadPosition, std::string(position));
    auto volume = OpenRawVolume(source);
    if (!volume) return Fail(RecoverStatus::OpenFailed, volume.error().ToString());
    const SetupResult layout = ReadVolumeLayout(**volume);
    return RecoverRecord(**volume, position, geometry, outputPath, DefaultOutputFactory(), nullptr,
                         layout.info ? &layout.info->map : nullptr);
}

}  // namespace qm
