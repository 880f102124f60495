// The NTFS unit: boot sector and volume geometry, MFT record fixups, attribute
// lookup, run lists, the MFT's own layout, the volume set-up and the label.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/ByteView.h"
#include "base/Result.h"
#include "platform/RawVolume.h"

namespace qm {

// The program's byte buffer: MFT records, attribute copies, run lists. Empty means absent.
using TDynamicCharArray = std::vector<std::uint8_t>;

// ---- Boot sector ----------------------------------------------------------

constexpr std::size_t kBootSectorSize = 512;

struct BootSector {
    std::array<std::uint8_t, 4> oem{};       // bytes 3..6
    std::uint16_t bytesPerSector = 0;        // offset 11
    std::uint8_t sectorsPerClusterByte = 0;  // offset 13, see SectorsPerClusterFromByte
    std::uint64_t totalSectors = 0;          // offset 40
    std::uint64_t mftCluster = 0;            // offset 48
    std::uint64_t mftMirrorCluster = 0;      // offset 56: $MFTMirr, copies of records 0..3
    std::uint32_t clustersPerRecord = 0;     // offset 64, four bytes read together ("v")
    std::uint64_t serial = 0;                // offset 72
};

// Reads the fields above; bytes the view lacks read as zero.
BootSector ParseBootSector(ByteView sector);
bool OemIsNtfs(const BootSector& boot);

// Offset 13: up to 0x80 the count itself; above it 2^(256 - value) sectors.
std::uint32_t SectorsPerClusterFromByte(std::uint8_t value);

// Sizes in bytes, held wide enough for 2 MiB clusters and 64 KiB records.
struct VolumeGeometry {
    std::uint32_t RecordSize = 0;
    std::uint32_t ClusterSize = 0;
    std::uint16_t BytesPerSector = 0;
    std::uint32_t SectorsPerCluster = 0;
    bool operator==(const VolumeGeometry&) const = default;
};

// Record size from v (offset 64) and the cluster size: v below 128 counts
// clusters, 128 and above is 2^(256 - v) bytes. 0 when it does not fit in 32 bits.
std::uint32_t RecordSizeRule(std::uint32_t v, std::uint32_t clusterSize);

// Geometry as the boot sector gives it, before any plausibility check.
VolumeGeometry GeometryFromBoot(const BootSector& boot);
// Refuses a geometry that cannot describe a volume (zero sector size or
// cluster, records below 48 bytes or above 64 KiB, clusters above 2 GiB).
ErrorOr<void> CheckGeometry(const VolumeGeometry& g);

// MFT start cluster x bytes per sector x sectors per cluster, wrapping modulo 2^64.
std::uint64_t MftOffsetOf(const BootSector& boot);

// ---- Number and label texts -------------------------------------------------

std::string DecimalText(std::int64_t value);
std::string UDecimalText(std::uint64_t value);
// Upper-case hexadecimal of the unsigned value, zero-filled to minDigits.
std::string HexText(std::uint64_t value, int minDigits);

// Texts of the drive-information labels, as the scan writes them.
std::string DriveNameText(const std::string& label);     // "名称: " + label
std::string DriveSerialText(std::uint64_t serial);       // "序号: " + hex, 8 digits at least
std::string DriveSizeText(std::int64_t bytes);           // "大小 : N 字节"
std::string DriveMftLocationText(std::uint64_t offset);  // "MFT位置 : 0x.."
std::string DriveMftSizeText(std::int64_t bytes);        // "MFT大小 : N 字节"
std::string DriveRecordsCountText(std::int64_t count);   // "文件数 : N"

// ---- MFT records ------------------------------------------------------------

constexpr std::uint32_t kAttrStandardInformation = 0x10;
constexpr std::uint32_t kAttrAttributeList = 0x20;
constexpr std::uint32_t kAttrFileName = 0x30;
constexpr std::uint32_t kAttrVolumeName = 0x60;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

// Record header offsets.
constexpr std::size_t kRecUsaOffset = 4;
constexpr std::size_t kRecUsaCount = 6;
constexpr std::size_t kRecFirstAttribute = 20;
constexpr std::size_t kRecFlags = 22;
constexpr std::size_t kRecHeaderMin = 24;  // the header fields we read end here

bool HasFileSignature(ByteView record);

// Checks the signature and undoes the update-sequence protection in place,
// `bytesPerSector` being the stride. False (and no byte outside `record`
// touched) for a wrong signature, a sector whose last two bytes do not hold the
// update sequence number, or an array or sector that lies outside the record.
bool ApplyFixups(std::span<std::uint8_t> record, std::uint32_t bytesPerSector);
bool ApplyFixups(TDynamicCharArray& record, const VolumeGeometry& geometry);

std::optional<std::uint16_t> RecordFlags(ByteView record);

// The first attribute of `type` in record order, as a view into `record`, as
// long as its length field says but cut at the end of the record. With the
// file-name rule on and type 0x30, $FILE_NAME attributes in the DOS namespace
// (2) or in an unknown one (4..255) are passed over. nullopt when absent or
// when the walk meets a malformed header first.
std::optional<ByteView> FindAttributeView(ByteView record, std::uint32_t type,
                                          bool fileNameRule = false);
// The same, as an independent copy; empty when absent.
TDynamicCharArray FindAttribute(const TDynamicCharArray& record, std::uint32_t type,
                                bool fileNameRule = false);

// The three attributes a deleted file's row is made of, found in one walk:
// the same views as FindAttributeView for $STANDARD_INFORMATION, $FILE_NAME
// with the file-name rule on, and $DATA.
struct FileAttributes {
    std::optional<ByteView> standardInformation, fileName, data;
};
FileAttributes FindFileAttributes(ByteView record);

// Common attribute header.
constexpr std::size_t kAttrNonResident = 8;
constexpr std::size_t kAttrFlags = 12;
// Resident form.
constexpr std::size_t kResValueLength = 16;
constexpr std::size_t kResValueOffset = 20;
// Non-resident form.
constexpr std::size_t kNrStartVcn = 16;
constexpr std::size_t kNrLastVcn = 24;
constexpr std::size_t kNrRunListOffset = 32;
constexpr std::size_t kNrDataSize = 48;
constexpr std::size_t kNrInitializedSize = 56;

// ---- Run lists ----------------------------------------------------------------

struct DataRun {
    std::uint64_t length = 0;  // clusters
    bool sparse = false;
    std::uint64_t lcn = 0;  // first cluster on the volume, when not sparse
};

// Decodes a run list up to its 0 header. The first run's offset is an unsigned
// cluster number, later ones signed distances from the last non-sparse run; an
// offset of 0 marks a sparse run. Fails on fields wider than 8 bytes, fields
// that leave `runList`, a missing end, a cluster number that goes negative or
// overflows, or more than `maxRuns` runs.
ErrorOr<std::vector<DataRun>> DecodeRunList(ByteView runList, std::size_t maxRuns = 1u << 20);

// The run-list bytes of a non-resident attribute: from the run-list offset to
// the attribute's length, cut at the end of the copy.
ErrorOr<ByteView> RunListOf(ByteView attribute);

// ---- The MFT's own layout -------------------------------------------------------

// Where the MFT's bytes lie on the volume: its $DATA mapped cluster by cluster.
class MftMap {
public:
    struct Extent {
        std::uint64_t vcn = 0, lcn = 0, length = 0;
        bool sparse = false;
    };
    MftMap() = default;
    MftMap(std::vector<Extent> extents, std::uint32_t clusterSize);

    // A contiguous stretch of the volume: `length` bytes at volume byte `offset`,
    // or `length` bytes that no cluster holds (a hole or a gap in the mapping).
    struct Piece {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        bool mapped = false;
    };
    // Splits MFT bytes [mftByte, mftByte + length) into volume pieces, in order.
    // Bytes past the mapped clusters come back as unmapped pieces.
    std::vector<Piece> Map(std::uint64_t mftByte, std::uint64_t length) const;
    // Volume byte offset of MFT byte `mftByte`, when a cluster holds it.
    std::optional<std::uint64_t> VolumeOffset(std::uint64_t mftByte) const;

    const std::vector<Extent>& extents() const { return extents_; }
    std::uint64_t MappedClusters() const;
    // One past the highest VCN an extent covers (0 without extents).
    std::uint64_t EndVcn() const;
    // The MFT byte that volume byte `volumeOffset` holds, when a cluster of the MFT covers it.
    std::optional<std::uint64_t> MftByteOf(std::uint64_t volumeOffset) const;
    std::uint32_t clusterSize() const { return clusterSize_; }

private:
    std::vector<Extent> extents_;  // sorted by vcn, not overlapping
    std::uint32_t clusterSize_ = 0;
};

// ---- Volume set-up -------------------------------------------------------------

enum class DriveLabel { Name, Serial, Size, MftLocation, MftSize, RecordsCount };

// Receives what the set-up learns, in the order it learns it.
class SetupObserver {
public:
    virtual ~SetupObserver() = default;
    virtual void OnLabel(DriveLabel /*which*/, const std::string& /*text*/) {}
    // The geometry as soon as it is known good (the window keeps a copy for recovery).
    virtual void OnGeometry(const VolumeGeometry& /*g*/) {}
};

// Unreadable: the boot sector or MFT record 0 could not be read, in every copy tried.
enum class SetupStop {
    None,
    OpenFailed,
    NotNtfs,
    BadGeometry,
    BadRecord0,
    MftFlags,
    NoMftData,
    Unreadable
};

// Which boot sector the set-up used: the first sector, or the backup NTFS
// keeps in the last sector of the volume.
enum class BootCopy { Primary, Backup };
// Where the MFT's layout came from: record 0, the copy of record 0 in
// $MFTMirr, or (neither readable) one contiguous MFT from the boot sector's
// MFT position to the end of the volume.
enum class LayoutSource { Record0, Mirror, Contiguous };

struct VolumeInfo {
    BootSector boot;
    VolumeGeometry geometry;
    std::uint64_t MftOffset = 0;
    std::int64_t MftClusterSpan = 0;
    std::int64_t MftRecordCount = 0;
    MftMap map;
    std::string label;  // the volume label, empty when unknown
};

struct SetupResult {
    SetupStop stop = SetupStop::None;
    std::optional<VolumeInfo> info;  // set when stop == None
    std::string reason;              // why it stopped, for the command line
    BootCopy boot = BootCopy::Primary;
    LayoutSource layout = LayoutSource::Record0;
    // One line for each copy used in place of a damaged original, saying why
    // ("the boot sector cannot be read ...; using the backup boot sector at byte N").
    std::vector<std::string> notes;
};

// Reads the boot sector and MFT record 0 of `volume` and derives its layout,
// telling `observer` the label texts as it goes.
SetupResult SetupVolume(RawVolume& volume, SetupObserver* observer = nullptr);
// The same layout without the label and without an observer: for readers that
// only need to find records (recovery).
SetupResult ReadVolumeLayout(RawVolume& volume);

enum class RecordRead {
    Ok,          // read whole and fixed up
    Unreadable,  // not mapped, or the volume delivered fewer bytes than asked
    Invalid,     // read, but it fails its signature or fixups
};

// Reads MFT record `index` through the map into `out` (RecordSize bytes) and
// applies the fixups.
RecordRead ReadMftRecord(RawVolume& volume, const VolumeInfo& info, std::uint64_t index,
                         std::span<std::uint8_t> out);

// Calls fn(view) for every attribute of `record` in order, until fn returns
// false or the walk meets the end marker or a malformed header.
template <typename Fn>
void ForEachAttribute(ByteView record, Fn&& fn);

// The volume label from $Volume (MFT record 3, attribute 0x60), in UTF-8 like
// every text of this unit; empty when it cannot be read.
std::string ReadVolumeLabelFromVolume(RawVolume& volume);
// The label of a source in UTF-8: the system's own answer on Windows drives,
// else the volume's.
std::string ReadVolumeLabel(const std::string& source);

template <typename Fn>
void ForEachAttribute(ByteView record, Fn&& fn) {
    std::uint64_t p = 0;
    if (HasFileSignature(record)) {
        auto first = record.U16(kRecFirstAttribute);
        if (!first) return;
        p = *first;
    }
    for (;;) {
        auto t = record.U32(p);
        if (!t || *t == kAttrEnd || !record.Has(p, 16)) return;
        const std::uint64_t length = *record.U32(p + 4);
        if (length == 0 || length % 8 != 0) return;
        if (!fn(record.SubClamped(p, length))) return;
        p += length;
        if (p >= record.size()) return;
    }
}

}  // namespace qm
