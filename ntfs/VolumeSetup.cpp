// The volume set-up: from the boot sector to the MFT's layout and record count.
#include <algorithm>
#include <set>

#include "ntfs/Sources.h"
#include "ntfs/uNTFS.h"
#include "platform/AlignedBuffer.h"
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
    AlignedBuffer buf(rs);
    // Extension records nearly always lie in the MFT's first fragment, so the
    // map is rebuilt only when a record is not reachable through it yet.
    info.map = MftMap(extents, info.geometry.ClusterSize);
    std::size_t mappedExtents = extents.size();
    for (std::uint64_t rec : wanted) {
        RecordRead read = ReadMftRecord(volume, info, rec, buf.span());
        if (read == RecordRead::Unreadable && extents.size() != mappedExtents) {
            info.map = MftMap(extents, info.geometry.ClusterSize);
            mappedExtents = extents.size();
            read = ReadMftRecord(volume, info, rec, buf.span());
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

// The labels and the result once the MFT's extents and span are known.
void FinishLayout(RawVolume& volume, VolumeInfo& info, std::vector<MftMap::Extent> extents,
                  std::uint64_t spanClusters, std::uint64_t volumeBytes, SetupObserver* obs) {
    const VolumeGeometry& g = info.geometry;
    const std::uint64_t volumeSize = volume.Size() ? volume.Size() : volumeBytes;
    // VCNs the runs reach, before anything past the volume's end is cut away.
    const std::uint64_t mappedEnd = MftMap(extents, g.ClusterSize).EndVcn();
    info.map = MftMap(ClipToVolume(std::move(extents), volumeSize, g.ClusterSize), g.ClusterSize);
    info.MftClusterSpan =
        static_cast<std::int64_t>(std::min<std::uint64_t>(spanClusters, INT64_MAX));
    const std::uint64_t mftBytes = spanClusters * std::uint64_t{g.ClusterSize};
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
}

// The MFT's layout from a good record 0: its $DATA runs and those its
// attribute list leads to.
SetupResult LayoutFromRecord0(RawVolume& volume, VolumeInfo info, ByteView r0,
                              std::uint64_t volumeBytes, SetupObserver* obs) {
    SetupResult result;
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
    info.map = MftMap(extents, info.geometry.ClusterSize);
    FollowAttributeList(volume, info, r0, extents);
    // The span runs to the highest VCN any extent of the $DATA reaches; with no
    // attribute list that is record 0's own last VCN.
    const std::uint64_t startVcn = *data->U64(kNrStartVcn);
    std::uint64_t lastVcn = *data->U64(kNrLastVcn);
    for (const auto& e : extents) lastVcn = std::max(lastVcn, e.vcn + e.length - 1);
    FinishLayout(volume, info, std::move(extents), lastVcn - startVcn + 1, volumeBytes, obs);
    result.info = std::move(info);
    return result;
}

// One copy of record 0, read and fixed up; `failure` says why it is not usable.
struct Record0Copy {
    AlignedBuffer bytes;
    bool ok = false;
    bool readError = false;
    std::string failure;
};

Record0Copy ReadRecord0Copy(RawVolume& volume, std::uint64_t offset, const VolumeGeometry& g,
                            const std::string& what) {
    Record0Copy copy;
    copy.bytes.Reset(g.RecordSize);
    const std::size_t got = volume.ReadAt(offset, copy.bytes.span());
    if (got < copy.bytes.size()) {
        copy.readError = true;
        copy.failure = what + " at byte " + UDecimalText(offset) +
                       " cannot be read (read error at byte " + UDecimalText(offset + got) + ")";
    } else if (!ApplyFixups(copy.bytes.span(), g.BytesPerSector)) {
        copy.failure =
            what + " at byte " + UDecimalText(offset) + " fails its signature or update sequence";
    } else {
        copy.ok = true;
    }
    return copy;
}

// Neither record 0 nor its mirror: the walk takes the MFT as one run from the
// boot sector's MFT position to the end of the volume.
SetupResult ContiguousLayout(RawVolume& volume, VolumeInfo info, std::uint64_t volumeBytes,
                             SetupObserver* obs) {
    SetupResult result;
    const VolumeGeometry& g = info.geometry;
    std::uint64_t end = volumeBytes;
    if (volume.Size() && (end == 0 || volume.Size() < end)) end = volume.Size();
    const std::uint64_t clusters =
        end > info.MftOffset ? (end - info.MftOffset) / g.ClusterSize : 0;
    // Nothing past the file system's own records: no walk to make.
    if (clusters * std::uint64_t{g.ClusterSize} / g.RecordSize <= 16) {
        result.stop = SetupStop::BadRecord0;
        return result;
    }
    FinishLayout(volume, info, {MftMap::Extent{0, info.boot.mftCluster, clusters, false}}, clusters,
                 volumeBytes, obs);
    result.info = std::move(info);
    return result;
}

// Record 0 onwards: the layout of the MFT, from record 0, from its copy in
// $MFTMirr where record 0 is unreadable or damaged, and as one contiguous run
// where both are. Shared by the set-up and the label reader.
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
    Record0Copy rec0 = ReadRecord0Copy(volume, info.MftOffset, g, "MFT record 0");
    if (rec0.ok)
        return LayoutFromRecord0(volume, std::move(info),
                                 ByteView(rec0.bytes.data(), rec0.bytes.size()), volumeBytes, obs);

    // Cluster 0 is the boot sector's: a mirror there is no mirror.
    const auto mirror = boot.mftMirrorCluster == 0
                            ? std::nullopt
                            : CheckedMul(boot.mftMirrorCluster, g.ClusterSize);
    Record0Copy copy;
    if (mirror && *mirror != info.MftOffset) {
        copy = ReadRecord0Copy(volume, *mirror, g, "$MFTMirr's copy");
        if (copy.ok) {
            result =
                LayoutFromRecord0(volume, std::move(info),
                                  ByteView(copy.bytes.data(), copy.bytes.size()), volumeBytes, obs);
            result.layout = LayoutSource::Mirror;
            result.notes.push_back(rec0.failure + "; using $MFTMirr's copy at byte " +
                                   UDecimalText(*mirror));
            return result;
        }
    } else {
        copy.failure = "$MFTMirr has no copy of it";
    }
    const std::uint64_t mftOffset = info.MftOffset;
    result = ContiguousLayout(volume, std::move(info), volumeBytes, obs);
    result.layout = LayoutSource::Contiguous;
    const std::string why = rec0.failure + ", and " + copy.failure;
    if (result.info) {
        result.notes.push_back(why + "; reading the MFT as one run from byte " +
                               UDecimalText(mftOffset) + " to the end of the volume");
    } else {
        result.stop = rec0.readError ? SetupStop::Unreadable : SetupStop::BadRecord0;
        result.reason = why;
    }
    return result;
}

// One boot sector, read at `offset`; `failure` says why it is not usable.
struct BootRead {
    BootSector boot;
    bool usable = false;
    bool readError = false;
    std::string failure;
};

BootRead ReadBootAt(RawVolume& volume, std::uint64_t offset) {
    BootRead r;
    AlignedBuffer sector(kBootSectorSize);
    const std::size_t got = volume.ReadAt(offset, sector.span());
    r.boot = ParseBootSector(ByteView(sector.data(), sector.size()));
    r.readError = got < sector.size();
    if (r.readError)
        r.failure = "cannot be read (read error at byte " + UDecimalText(offset + got) + ")";
    else if (!OemIsNtfs(r.boot))
        r.failure = "has no \"NTFS\" signature";
    else if (auto ok = CheckGeometry(GeometryFromBoot(r.boot)); !ok)
        r.failure = "is damaged (" + ok.error().ToString() + ")";
    else
        r.usable = true;
    return r;
}

// Sizes the volume may have, for finding its last sector: what the source
// says, and for a partition inside a disk image the partition table's entry.
std::vector<std::uint64_t> VolumeSizes(RawVolume& volume) {
    std::vector<std::uint64_t> sizes;
    if (volume.Size()) sizes.push_back(volume.Size());
    if (RawVolume* disk = volume.Parent()) {
        for (const PartitionEntry& e : ReadPartitionTable(*disk))
            if (e.offset == volume.OffsetInParent() && e.size &&
                std::find(sizes.begin(), sizes.end(), e.size) == sizes.end())
                sizes.push_back(e.size);
    }
    return sizes;
}

// The backup boot sector: the last sector of the volume, whose size it states.
std::optional<std::pair<BootSector, std::uint64_t>> FindBackupBoot(RawVolume& volume) {
    for (std::uint64_t size : VolumeSizes(volume)) {
        for (std::uint32_t sector : {512u, 1024u, 2048u, 4096u}) {
            if (size < 2 * std::uint64_t{sector}) continue;
            BootRead r = ReadBootAt(volume, size - sector);
            if (r.usable && r.boot.bytesPerSector == sector)
                return std::make_pair(r.boot, size - sector);
        }
    }
    return std::nullopt;
}

// The boot sector to use: the first sector, or where it is unreadable or
// damaged and a good backup exists, the backup.
struct BootChoice {
    BootSector boot;
    bool readError = false;
    std::optional<std::string> note;  // set when the backup is used
};

BootChoice ChooseBoot(RawVolume& volume) {
    BootRead primary = ReadBootAt(volume, 0);
    BootChoice choice{primary.boot, primary.readError, {}};
    if (primary.usable) return choice;
    if (auto backup = FindBackupBoot(volume)) {
        choice.boot = backup->first;
        choice.note = "the boot sector " + primary.failure +
                      "; using the backup boot sector at byte " + UDecimalText(backup->second);
    }
    return choice;
}

// The layout from the boot sector chosen; where even that is not NTFS, why.
SetupResult LayoutFromBoot(RawVolume& volume, const BootChoice& choice, SetupObserver* obs) {
    SetupResult r;
    if (choice.readError && !choice.note) {
        r.stop = SetupStop::Unreadable;
        r.reason = "the boot sector cannot be read, and no backup boot sector was found";
        return r;
    }
    if (!OemIsNtfs(choice.boot)) {
        r.stop = SetupStop::NotNtfs;
        r.reason = "not an NTFS volume (no \"NTFS\" signature in the boot sector)";
        return r;
    }
    r = Layout(volume, choice.boot, obs);
    if (choice.note) {
        r.boot = BootCopy::Backup;
        r.notes.insert(r.notes.begin(), *choice.note);
    }
    return r;
}

}  // namespace

SetupResult SetupVolume(RawVolume& volume, SetupObserver* obs) {
    const BootChoice choice = ChooseBoot(volume);
    if (obs) {
        auto sys = SystemVolumeLabel(volume.Name());
        obs->OnLabel(DriveLabel::Name,
                     DriveNameText(sys ? AnsiToUtf8(*sys) : ReadVolumeLabelFromVolume(volume)));
        obs->OnLabel(DriveLabel::Serial, DriveSerialText(choice.boot.serial));
    }
    SetupResult r = LayoutFromBoot(volume, choice, obs);
    if (r.info) {
        auto sys = SystemVolumeLabel(volume.Name());
        r.info->label = sys ? AnsiToUtf8(*sys) : ReadVolumeLabelFromVolume(volume);
    }
    return r;
}

SetupResult ReadVolumeLayout(RawVolume& volume) {
    SetupResult r = LayoutFromBoot(volume, ChooseBoot(volume), nullptr);
    if (r.stop == SetupStop::NotNtfs) r.reason = "not an NTFS volume";
    return r;
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
    AlignedBuffer rec(r.info->geometry.RecordSize);
    constexpr std::uint64_t kVolumeRecord = 3;  // $Volume
    if (ReadMftRecord(volume, *r.info, kVolumeRecord, rec.span()) != RecordRead::Ok) return {};
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
