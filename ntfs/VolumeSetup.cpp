// The volume set-up: from the boot sector to the MFT's layout and record count.
#include <algorithm>
#include <set>

#include "ntfs/uNTFS.h"
#include "platform/Platform.h"

namespace qm {
namespace {

// $ATTRIBUTE_LIST entry fields.
constexpr std::size_t kAlType = 0;
constexpr std::size_t kAlLength = 4;
constexpr std::size_t kAlReference = 16;
constexpr std::size_t kAlMinEntry = 26;
// Base record reference of an extension record.
constexpr std::size_t kRecBaseReference = 32;
// A file reference's record number is its low 48 bits.
constexpr std::uint64_t kRecordNumberMask = (std::uint64_t{1} << 48) - 1;
// An attribute list is at most a few hundred KiB even for the most fragmented MFT.
constexpr std::uint64_t kMaxAttributeList = 4u << 20;
// Extension records followed for the MFT's own $DATA.
constexpr std::size_t kMaxExtensionRecords = 4096;
// The MFT's own $DATA flags that stop the set-up: compressed, encrypted, sparse.
constexpr std::uint16_t kFlagCompressed = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x4000;
constexpr std::uint16_t kFlagSparse = 0x8000;

// Appends the extents of one non-resident $DATA piece to `out`.
ErrorOr<void> AppendExtents(ByteView attr, std::vector<MftMap::Extent>& out) {
    auto startVcn = attr.U64(kNrStartVcn);
    if (!startVcn) return Error::At(ErrorCode::BadAttribute, kNrStartVcn, "$DATA header cut short");
    QM_TRY(list, RunListOf(attr));
    QM_TRY(runs, DecodeRunList(list));
    std::uint64_t vcn = *startVcn;
    for (const DataRun& r : runs) {
        if (r.length == 0) continue;
        out.push_back(MftMap::Extent{vcn, r.lcn, r.length, r.sparse});
        auto next = CheckedAdd(vcn, r.length);
        if (!next) return Error::At(ErrorCode::BadRunList, 0, "VCN overflows");
        vcn = *next;
    }
    return {};
}

// Clips extents to the clusters the volume has, when its size is known, so a
// damaged run list cannot make the walk read far past the end.
std::vector<MftMap::Extent> ClipToVolume(std::vector<MftMap::Extent> extents,
                                         std::uint64_t volumeBytes, std::uint32_t cs) {
    if (volumeBytes == 0 || cs == 0) return extents;
    // A cluster the volume holds only in part still holds whole records.
    const std::uint64_t clusters = volumeBytes / cs + (volumeBytes % cs != 0);
    std::vector<MftMap::Extent> out;
    for (MftMap::Extent e : extents) {
        if (!e.sparse) {
            if (e.lcn >= clusters) continue;
            e.length = std::min(e.length, clusters - e.lcn);
        }
        out.push_back(e);
    }
    return out;
}

// The content of a resident or non-resident attribute, up to `limit` bytes.
ErrorOr<std::vector<std::uint8_t>> AttributeContent(RawVolume& volume, ByteView attr,
                                                    std::uint32_t clusterSize,
                                                    std::uint64_t limit) {
    auto nonResident = attr.U8(kAttrNonResident);
    if (!nonResident) return Error::At(ErrorCode::BadAttribute, 0, "attribute cut short");
    if (*nonResident != 1) {
        auto len = attr.U32(kResValueLength);
        auto off = attr.U16(kResValueOffset);
        if (!len || !off) return Error::At(ErrorCode::BadAttribute, 0, "resident header cut short");
        auto value = attr.Sub(*off, *len);
        if (!value)
            return Error::At(ErrorCode::BadAttribute, *off, "value runs past its attribute");
        return std::vector<std::uint8_t>(value->data(), value->data() + value->size());
    }
    auto size = attr.U64(kNrDataSize);
    if (!size || *size > limit)
        return Error::At(ErrorCode::BadAttribute, kNrDataSize, "content size out of range");
    QM_TRY(list, RunListOf(attr));
    QM_TRY(runs, DecodeRunList(list));
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(*size));
    for (const DataRun& r : runs) {
        if (out.size() >= *size) break;
        auto bytes = CheckedMul(r.length, clusterSize);
        if (!bytes) return Error::At(ErrorCode::BadRunList, 0, "run size overflows");
        std::uint64_t take = std::min<std::uint64_t>(*bytes, *size - out.size());
        std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(take));
        if (!r.sparse) {
            auto pos = CheckedMul(r.lcn, clusterSize);
            if (!pos) return Error::At(ErrorCode::BadRunList, 0, "run position overflows");
            volume.ReadAt(*pos, std::span<std::uint8_t>(out.data() + at, take));
        }
    }
    out.resize(static_cast<std::size_t>(*size));
    return out;
}

// Follows record 0's $ATTRIBUTE_LIST to the extension records that hold the
// rest of the MFT's $DATA, adding their extents. Records are read through the
// map as it grows; each is visited once and must name record 0 as its base.
void FollowAttributeList(RawVolume& volume, VolumeInfo& info, ByteView record0,
                         std::vector<MftMap::Extent>& extents) {
    auto alAttr = FindAttributeView(record0, kAttrAttributeList);
    if (!alAttr) return;
    auto content = AttributeContent(volume, *alAttr, info.geometry.ClusterSize, kMaxAttributeList);
    if (!content) return;
    ByteView list(content->data(), content->size());

    std::vector<std::uint64_t> wanted;
    std::set<std::uint64_t> seen{0};
    for (std::uint64_t p = 0; list.Has(p, kAlMinEntry);) {
        const std::uint32_t type = *list.U32(p + kAlType);
        const std::uint16_t len = *list.U16(p + kAlLength);
        if (len < kAlMinEntry || len % 8 != 0) break;
        const std::uint64_t rec = *list.U64(p + kAlReference) & kRecordNumberMask;
        if (type == kAttrData && seen.insert(rec).second) wanted.push_back(rec);
        if (wanted.size() >= kMaxExtensionRecords) break;
        p += len;
    }

    const std::uint32_t rs = info.geometry.RecordSize;
    std::vector<std::uint8_t> buf(rs);
    // Extension records nearly always lie in the MFT's first fragment, so the
    // map is rebuilt only when a record is not reachable through it yet.
    info.map = MftMap(extents, info.geometry.ClusterSize);
    std::size_t mappedExtents = extents.size();
    for (std::uint64_t rec : wanted) {
        RecordRead read = ReadMftRecord(volume, info, rec, buf);
        if (read == RecordRead::Unreadable && extents.size() != mappedExtents) {
            info.map = MftMap(extents, info.geometry.ClusterSize);
            mappedExtents = extents.size();
            read = ReadMftRecord(volume, info, rec, buf);
        }
        if (read != RecordRead::Ok) continue;
        ByteView r(buf.data(), buf.size());
        auto base = r.U64(kRecBaseReference);
        if (!base || (*base & kRecordNumberMask) != 0) continue;
        ForEachAttribute(r, [&](ByteView attr) {
            if (*attr.U32(0) == kAttrData && attr.U8(kAttrNonResident).value_or(0) == 1)
                (void)AppendExtents(attr, extents);
            return true;
        });
    }
}

// Record 0 onwards: the layout of the MFT. Shared by the set-up and the label reader.
SetupResult Layout(RawVolume& volume, const BootSector& boot, SetupObserver* obs) {
    SetupResult result;
    VolumeInfo info;
    info.boot = boot;
    info.geometry = GeometryFromBoot(boot);

    const std::uint64_t volumeBytes = boot.totalSectors * std::uint64_t{boot.bytesPerSector};
    if (obs) obs->OnLabel(DriveLabel::Size, DriveSizeText(static_cast<std::int64_t>(volumeBytes)));

    if (auto ok = CheckGeometry(info.geometry); !ok) {
        result.stop = SetupStop::BadGeometry;
        result.reason = ok.error().ToString();
        return result;
    }
    info.MftOffset = MftOffsetOf(boot);
    if (obs) {
        obs->OnLabel(DriveLabel::MftLocation, DriveMftLocationText(info.MftOffset));
        obs->OnGeometry(info.geometry);
    }

    const VolumeGeometry& g = info.geometry;
    std::vector<std::uint8_t> rec0(g.RecordSize);
    volume.ReadAt(info.MftOffset, rec0);
    if (!ApplyFixups(rec0, g.BytesPerSector)) {
        result.stop = SetupStop::BadRecord0;
        result.reason = "MFT record 0 at byte " + UDecimalText(info.MftOffset) +
                        " fails its signature or update sequence";
        return result;
    }
    ByteView r0(rec0.data(), rec0.size());
    auto data = FindAttributeView(r0, kAttrData);
    if (!data || !data->Has(0, kNrLastVcn + 8)) {
        result.stop = SetupStop::NoMftData;
        result.reason = "MFT record 0 has no $DATA attribute";
        return result;
    }
    const std::uint16_t flags = data->U16(kAttrFlags).value_or(0);
    if (flags == kFlagCompressed || flags == kFlagEncrypted || flags == kFlagSparse) {
        result.stop = SetupStop::MftFlags;
        result.reason = "the MFT's $DATA is compressed, encrypted or sparse (flags 0x" +
                        HexText(flags, 4) + ")";
        return result;
    }
    if (data->U8(kAttrNonResident).value_or(0) != 1) {
        result.stop = SetupStop::NoMftData;
        result.reason = "the MFT's $DATA is not non-resident";
        return result;
    }

    std::vector<MftMap::Extent> extents;
    if (auto ok = AppendExtents(*data, extents); !ok) {
        result.stop = SetupStop::NoMftData;
        result.reason = "the MFT's run list: " + ok.error().ToString();
        return result;
    }
    info.map = MftMap(extents, g.ClusterSize);
    FollowAttributeList(volume, info, r0, extents);

    const std::uint64_t volumeSize = volume.Size() ? volume.Size() : volumeBytes;
    // VCNs the runs reach, before anything past the volume's end is cut away.
    const std::uint64_t mappedEnd = MftMap(extents, g.ClusterSize).EndVcn();
    info.map = MftMap(ClipToVolume(extents, volumeSize, g.ClusterSize), g.ClusterSize);

    // The span runs to the highest VCN any extent of the $DATA reaches; with no
    // attribute list that is record 0's own last VCN.
    const std::uint64_t startVcn = *data->U64(kNrStartVcn);
    std::uint64_t lastVcn = *data->U64(kNrLastVcn);
    for (const auto& e : extents) lastVcn = std::max(lastVcn, e.vcn + e.length - 1);
    info.MftClusterSpan = static_cast<std::int64_t>(lastVcn - startVcn + 1);
    const std::uint64_t mftBytes =
        static_cast<std::uint64_t>(info.MftClusterSpan) * std::uint64_t{g.ClusterSize};
    std::uint64_t count = mftBytes / g.RecordSize;
    // Never walk past the clusters the runs describe, nor past what a volume of
    // this size could hold: a damaged run list must not turn into a walk of
    // billions of records. Records inside that span whose clusters are missing
    // are walked and counted as unreadable.
    count = std::min(count, mappedEnd * std::uint64_t{g.ClusterSize} / g.RecordSize);
    if (volumeSize) count = std::min(count, volumeSize / g.RecordSize);
    info.MftRecordCount = static_cast<std::int64_t>(std::min<std::uint64_t>(count, INT64_MAX));

    if (obs) {
        obs->OnLabel(DriveLabel::MftSize, DriveMftSizeText(static_cast<std::int64_t>(mftBytes)));
        obs->OnLabel(DriveLabel::RecordsCount, DriveRecordsCountText(info.MftRecordCount));
    }
    result.info = std::move(info);
    return result;
}

BootSector ReadBoot(RawVolume& volume) {
    std::vector<std::uint8_t> sector(kBootSectorSize);
    volume.ReadAt(0, sector);
    return ParseBootSector(ByteView(sector.data(), sector.size()));
}

}  // namespace

SetupResult SetupVolume(RawVolume& volume, SetupObserver* obs) {
    BootSector boot = ReadBoot(volume);
    if (obs) {
        auto sys = SystemVolumeLabel(volume.Name());
        obs->OnLabel(DriveLabel::Name,
                     DriveNameText(sys ? AnsiToUtf8(*sys) : ReadVolumeLabelFromVolume(volume)));
        obs->OnLabel(DriveLabel::Serial, DriveSerialText(boot.serial));
    }
    if (!OemIsNtfs(boot)) {
        SetupResult r;
        r.stop = SetupStop::NotNtfs;
        r.reason = "not an NTFS volume (no \"NTFS\" signature in the boot sector)";
        return r;
    }
    SetupResult r = Layout(volume, boot, obs);
    if (r.info) {
        auto sys = SystemVolumeLabel(volume.Name());
        r.info->label = sys ? AnsiToUtf8(*sys) : ReadVolumeLabelFromVolume(volume);
    }
    return r;
}

SetupResult ReadVolumeLayout(RawVolume& volume) {
    BootSector boot = ReadBoot(volume);
    if (!OemIsNtfs(boot)) {
        SetupResult r;
        r.stop = SetupStop::NotNtfs;
        r.reason = "not an NTFS volume";
        return r;
    }
    return Layout(volume, boot, nullptr);
}

RecordRead ReadMftRecord(RawVolume& volume, const VolumeInfo& info, std::uint64_t index,
                         std::span<std::uint8_t> out) {
    const std::uint32_t rs = info.geometry.RecordSize;
    if (out.size() < rs || rs == 0) return RecordRead::Unreadable;
    auto start = CheckedMul(index, rs);
    if (!start) return RecordRead::Unreadable;
    std::size_t at = 0;
    bool whole = true;
    for (const MftMap::Piece& p : info.map.Map(*start, rs)) {
        auto dst = out.subspan(at, static_cast<std::size_t>(p.length));
        if (p.mapped) {
            if (volume.ReadAt(p.offset, dst) != dst.size()) whole = false;
        } else {
            std::fill(dst.begin(), dst.end(), std::uint8_t{0});
            whole = false;
        }
        at += dst.size();
    }
    if (!whole) return RecordRead::Unreadable;
    return ApplyFixups(out.first(rs), info.geometry.BytesPerSector) ? RecordRead::Ok
                                                                    : RecordRead::Invalid;
}

std::string ReadVolumeLabelFromVolume(RawVolume& volume) {
    SetupResult r = ReadVolumeLayout(volume);
    if (!r.info) return {};
    std::vector<std::uint8_t> rec(r.info->geometry.RecordSize);
    constexpr std::uint64_t kVolumeRecord = 3;  // $Volume
    if (ReadMftRecord(volume, *r.info, kVolumeRecord, rec) != RecordRead::Ok) return {};
    auto attr = FindAttributeView(ByteView(rec.data(), rec.size()), kAttrVolumeName);
    if (!attr) return {};
    auto content = AttributeContent(volume, *attr, r.info->geometry.ClusterSize, 1024);
    if (!content) return {};
    std::u16string name;
    for (std::size_t i = 0; i + 1 < content->size(); i += 2)
        name += static_cast<char16_t>((*content)[i] | ((*content)[i + 1] << 8));
    return Utf16ToUtf8(name);
}

std::string ReadVolumeLabel(const std::string& source) {
    if (auto sys = SystemVolumeLabel(source)) return AnsiToUtf8(*sys);
    auto volume = OpenRawVolume(source);
    if (!volume) return {};
    return ReadVolumeLabelFromVolume(**volume);
}

}  // namespace qm
