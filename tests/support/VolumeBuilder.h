// Builds a small NTFS volume image in memory: a boot sector, an MFT whose
// record 0 maps the MFT (in one or several fragments), the system records 1 to
// 15, caller-placed records and data clusters. Meant for qm::MemoryVolume.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RecordBuilder.h"

namespace qm::test {

struct MftRun {
    std::uint64_t lcn = 0;
    std::uint64_t clusters = 0;
};

class VolumeBuilder {
public:
    VolumeBuilder() = default;

    // ---- Boot sector ------------------------------------------------------------
    VolumeBuilder& BytesPerSector(std::uint16_t bytes);
    // The raw byte at offset 13: up to 0x80 the count, above it 2^(256 - value).
    VolumeBuilder& SectorsPerClusterByte(std::uint8_t value);
    // The four bytes at offset 64: below 128 a count of clusters, else 2^(256 - v) bytes.
    VolumeBuilder& ClustersPerRecord(std::uint32_t v);
    // Offset 48 (default 4, or the first fragment's cluster when MftRuns() is
    // given). Also where the MFT is put unless MftRuns() places it.
    VolumeBuilder& MftCluster(std::uint64_t lcn);
    VolumeBuilder& Serial(std::uint64_t serial);
    // Offset 40; default: the image's size in sectors.
    VolumeBuilder& TotalSectors(std::uint64_t sectors);
    // Eight bytes at offset 3 (padded with blanks).
    VolumeBuilder& Oem(std::string_view oem);

    // ---- MFT --------------------------------------------------------------------
    VolumeBuilder& Label(std::u16string label);
    // Records the MFT holds (default 64); rounded up to whole clusters.
    VolumeBuilder& RecordCount(std::uint64_t count);
    // The MFT's fragments in VCN order; their clusters define the MFT's size.
    // An explicit MftCluster() may point elsewhere (a boot sector that lies).
    VolumeBuilder& MftRuns(std::vector<MftRun> runs);
    // Flags of record 0's $DATA attribute (compressed 0x0001, encrypted 0x4000, sparse 0x8000).
    VolumeBuilder& MftDataFlags(std::uint16_t flags);
    // Record 0 keeps the first `runsInBase` fragments; the rest go to a $DATA
    // extent in record `extensionRecord`, named by an $ATTRIBUTE_LIST in record 0.
    VolumeBuilder& MftExtentInRecord(std::size_t runsInBase, std::uint32_t extensionRecord = 15);
    // A record placed as given, replacing the generated one at that index
    // (record 0 included). It should already carry its update sequence.
    VolumeBuilder& Record(std::uint64_t index, Bytes record);
    // Bytes written at cluster `lcn` onward.
    VolumeBuilder& Data(std::uint64_t lcn, Bytes bytes);
    // The image's size in clusters (default: everything placed, plus 16 clusters).
    VolumeBuilder& TotalClusters(std::uint64_t clusters);

    Bytes Build() const;

    // ---- Derived values ------------------------------------------------------------
    std::uint32_t BytesPerSectorValue() const { return bytesPerSector_; }
    std::uint32_t SectorsPerCluster() const;
    std::uint32_t ClusterSize() const;
    std::uint32_t RecordSize() const;
    // MFT fragments as they will be written.
    std::vector<MftRun> Runs() const;
    std::uint64_t MftClusterValue() const;
    std::uint64_t MftRecordCapacity() const;
    // Byte offset on the volume of record `index`'s first byte.
    std::uint64_t RecordOffset(std::uint64_t index) const;
    // A record builder with this volume's record size, sector size and the record number set.
    RecordBuilder NewRecord(std::uint32_t number) const;
    // The run list of record 0's $DATA (or of fragments [first, last) of it).
    Bytes MftRunList(std::size_t first = 0, std::size_t last = SIZE_MAX) const;

private:
    Bytes DefaultRecord(std::uint32_t index) const;
    Bytes Record0() const;
    Bytes ExtensionRecord() const;
    std::uint64_t MftClusters() const;
    void WriteMft(Bytes& image, std::uint64_t mftByte, const Bytes& bytes) const;

    std::uint16_t bytesPerSector_ = 512;
    std::uint8_t sectorsPerClusterByte_ = 8;
    std::uint32_t clustersPerRecord_ = 0xF6;
    std::optional<std::uint64_t> mftCluster_;
    std::uint64_t serial_ = 0x1234ABCD5678EF90;
    std::optional<std::uint64_t> totalSectors_;
    std::string oem_ = "NTFS    ";
    std::u16string label_ = u"Test";
    std::uint64_t recordCount_ = 64;
    std::vector<MftRun> runs_;
    std::uint16_t mftDataFlags_ = 0;
    std::optional<std::pair<std::size_t, std::uint32_t>> extent_;
    std::map<std::uint64_t, Bytes> records_;
    std::vector<std::pair<std::uint64_t, Bytes>> data_;
    std::optional<std::uint64_t> totalClusters_;
};

}  // namespace qm::test
