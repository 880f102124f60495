#include "tests/support/VolumeBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace qm::test {
namespace {

constexpr std::uint64_t kFixedTime = 0x01D5F4C0A0B0C0D0;  // 2020-02-25, an arbitrary fixed instant

const char16_t* const kSystemNames[16] = {
    u"$MFT",        u"$MFTMirr",    u"$LogFile",    u"$Volume",    u"$AttrDef", u".",
    u"$Bitmap",     u"$Boot",       u"$BadClus",    u"$Secure",    u"$UpCase",  u"$Extend",
    u"$Reserved12", u"$Reserved13", u"$Reserved14", u"$Reserved15"};

std::uint64_t Reference(std::uint64_t record, std::uint16_t seq) {
    return record | (std::uint64_t{seq} << 48);
}

// One $ATTRIBUTE_LIST entry: type @0, length @4, name length @6, name offset @7,
// starting VCN @8, record reference @16, attribute id @24 (entry 32 bytes, unnamed).
Bytes ListEntry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t ref, std::uint16_t id) {
    Bytes e(32, 0);
    PutLe(e, 0, type, 4);
    PutLe(e, 4, e.size(), 2);
    PutLe(e, 6, 0, 1);
    PutLe(e, 7, 26, 1);
    PutLe(e, 8, startVcn, 8);
    PutLe(e, 16, ref, 8);
    PutLe(e, 24, id, 2);
    return e;
}

}  // namespace

VolumeBuilder& VolumeBuilder::BytesPerSector(std::uint16_t bytes) {
    bytesPerSector_ = bytes;
    return *this;
}
VolumeBuilder& VolumeBuilder::SectorsPerClusterByte(std::uint8_t value) {
    sectorsPerClusterByte_ = value;
    return *this;
}
VolumeBuilder& VolumeBuilder::ClustersPerRecord(std::uint32_t v) {
    clustersPerRecord_ = v;
    return *this;
}
VolumeBuilder& VolumeBuilder::MftCluster(std::uint64_t lcn) {
    mftCluster_ = lcn;
    return *this;
}
VolumeBuilder& VolumeBuilder::Serial(std::uint64_t serial) {
    serial_ = serial;
    return *this;
}
VolumeBuilder& VolumeBuilder::TotalSectors(std::uint64_t sectors) {
    totalSectors_ = sectors;
    return *this;
}
VolumeBuilder& VolumeBuilder::Oem(std::string_view oem) {
    oem_ = std::string(oem.substr(0, 8));
    oem_.resize(8, ' ');
    return *this;
}
VolumeBuilder& VolumeBuilder::Label(std::u16string label) {
    label_ = std::move(label);
    return *this;
}
VolumeBuilder& VolumeBuilder::RecordCount(std::uint64_t count) {
    recordCount_ = count;
    return *this;
}
VolumeBuilder& VolumeBuilder::MftRuns(std::vector<MftRun> runs) {
    runs_ = std::move(runs);
    return *this;
}
VolumeBuilder& VolumeBuilder::MftDataFlags(std::uint16_t flags) {
    mftDataFlags_ = flags;
    return *this;
}
VolumeBuilder& VolumeBuilder::MftExtentInRecord(std::size_t runsInBase,
                                                std::uint32_t extensionRecord) {
    extent_ = std::make_pair(runsInBase, extensionRecord);
    return *this;
}
VolumeBuilder& VolumeBuilder::Record(std::uint64_t index, Bytes record) {
    records_[index] = std::move(record);
    return *this;
}
VolumeBuilder& VolumeBuilder::Data(std::uint64_t lcn, Bytes bytes) {
    data_.emplace_back(lcn, std::move(bytes));
    return *this;
}
VolumeBuilder& VolumeBuilder::TotalClusters(std::uint64_t clusters) {
    totalClusters_ = clusters;
    return *this;
}

std::uint32_t VolumeBuilder::SectorsPerCluster() const {
    if (sectorsPerClusterByte_ <= 0x80) return sectorsPerClusterByte_;
    return std::uint32_t{1} << (256 - sectorsPerClusterByte_);
}

std::uint32_t VolumeBuilder::ClusterSize() const {
    return static_cast<std::uint32_t>(bytesPerSector_) * SectorsPerCluster();
}

std::uint32_t VolumeBuilder::RecordSize() const {
    if (clustersPerRecord_ < 128) return clustersPerRecord_ * ClusterSize();
    const std::uint32_t e = (256 - clustersPerRecord_) & 31;
    return e < 31 ? std::uint32_t{1} << e : 0;
}

std::uint64_t VolumeBuilder::MftClusters() const {
    const std::uint64_t bytes = recordCount_ * RecordSize();
    return (bytes + ClusterSize() - 1) / ClusterSize();
}

std::uint64_t VolumeBuilder::MftClusterValue() const {
    if (mftCluster_) return *mftCluster_;
    return runs_.empty() ? 4 : runs_.front().lcn;
}

std::vector<MftRun> VolumeBuilder::Runs() const {
    if (!runs_.empty()) return runs_;
    return {MftRun{MftClusterValue(), MftClusters()}};
}

std::uint64_t VolumeBuilder::MftRecordCapacity() const {
    std::uint64_t clusters = 0;
    for (const MftRun& r : Runs()) clusters += r.clusters;
    return RecordSize() == 0 ? 0 : clusters * ClusterSize() / RecordSize();
}

std::uint64_t VolumeBuilder::RecordOffset(std::uint64_t index) const {
    const std::uint64_t mftByte = index * RecordSize();
    std::uint64_t vcnStart = 0;
    for (const MftRun& r : Runs()) {
        const std::uint64_t runBytes = r.clusters * ClusterSize();
        if (mftByte < vcnStart + runBytes) return r.lcn * ClusterSize() + (mftByte - vcnStart);
        vcnStart += runBytes;
    }
    throw std::out_of_range("record beyond the MFT");
}

RecordBuilder VolumeBuilder::NewRecord(std::uint32_t number) const {
    RecordBuilder b(RecordSize(), bytesPerSector_);
    b.RecordNumber(number);
    return b;
}

Bytes VolumeBuilder::MftRunList(std::size_t first, std::size_t last) const {
    const auto runs = Runs();
    RunListBuilder rl;
    for (std::size_t i = first; i < std::min(last, runs.size()); ++i) {
        rl.Run(runs[i].clusters, runs[i].lcn);
    }
    return rl.Build();
}

Bytes VolumeBuilder::Record0() const {
    const auto runs = Runs();
    std::uint64_t clusters = 0;
    for (const MftRun& r : runs) clusters += r.clusters;
    const std::uint64_t mftBytes = clusters * ClusterSize();

    std::size_t inBase = runs.size();
    if (extent_) inBase = std::min(extent_->first, runs.size());
    std::uint64_t baseClusters = 0;
    for (std::size_t i = 0; i < inBase; ++i) baseClusters += runs[i].clusters;

    RecordBuilder b = NewRecord(0);
    b.Flags(1).StandardInformation(kFixedTime, kFixedTime);
    if (extent_) {
        // Attribute ids follow the order below: 0 $STANDARD_INFORMATION,
        // 1 $ATTRIBUTE_LIST, 2 $FILE_NAME, 3 $DATA; the extension's $DATA has id 0.
        Bytes list;
        auto add = [&list](const Bytes& e) { list.insert(list.end(), e.begin(), e.end()); };
        add(ListEntry(0x10, 0, Reference(0, 1), 0));
        add(ListEntry(0x30, 0, Reference(0, 1), 2));
        add(ListEntry(0x80, 0, Reference(0, 1), 3));
        add(ListEntry(0x80, baseClusters, Reference(extent_->second, 1), 0));
        b.ResidentAttribute(0x20, list);
    }
    b.FileName(u"$MFT", 3, kRootReference, mftBytes);
    NonResidentSpec data;
    data.runList = MftRunList(0, inBase);
    data.dataSize = mftBytes;
    data.initializedSize = mftBytes;
    data.allocatedSize = mftBytes;
    data.startVcn = 0;
    data.lastVcn = (extent_ ? baseClusters : clusters) - 1;
    data.flags = mftDataFlags_;
    b.NonResidentAttribute(0x80, data);
    return b.Build();
}

Bytes VolumeBuilder::ExtensionRecord() const {
    const auto runs = Runs();
    std::uint64_t baseClusters = 0, clusters = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i < extent_->first) baseClusters += runs[i].clusters;
        clusters += runs[i].clusters;
    }
    RecordBuilder b = NewRecord(extent_->second);
    b.Flags(1).BaseReference(Reference(0, 1));
    NonResidentSpec data;
    data.runList = MftRunList(extent_->first);
    data.allocatedSize = 0;
    data.startVcn = baseClusters;
    data.lastVcn = clusters - 1;
    b.NonResidentAttribute(0x80, data);
    return b.Build();
}

Bytes VolumeBuilder::DefaultRecord(std::uint32_t index) const {
    if (index == 0) return Record0();
    if (extent_ && index == extent_->second) return ExtensionRecord();
    RecordBuilder b = NewRecord(index);
    b.Flags(index == 5 ? 3 : 1).SequenceNumber(static_cast<std::uint16_t>(index == 5 ? 5 : 1));
    b.StandardInformation(kFixedTime, kFixedTime);
    b.FileName(kSystemNames[index], 3);
    if (index == 3) b.VolumeName(label_);
    if (index != 5) b.ResidentData({});
    return b.Build();
}

void VolumeBuilder::WriteMft(Bytes& image, std::uint64_t mftByte, const Bytes& bytes) const {
    // Byte by byte through the fragments, so records may straddle two of them.
    const auto runs = Runs();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::uint64_t at = mftByte + done;
        std::uint64_t vcnStart = 0;
        bool placed = false;
        for (const MftRun& r : runs) {
            const std::uint64_t runBytes = r.clusters * ClusterSize();
            if (at < vcnStart + runBytes) {
                const std::uint64_t n =
                    std::min<std::uint64_t>(bytes.size() - done, vcnStart + runBytes - at);
                const std::uint64_t volumeByte = r.lcn * ClusterSize() + (at - vcnStart);
                if (volumeByte + n > image.size()) throw std::out_of_range("MFT beyond the image");
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(done), n,
                            image.begin() + static_cast<std::ptrdiff_t>(volumeByte));
                done += n;
                placed = true;
                break;
            }
            vcnStart += runBytes;
        }
        if (!placed) throw std::out_of_range("record beyond the MFT");
    }
}

Bytes VolumeBuilder::Build() const {
    const std::uint64_t cluster = ClusterSize();
    if (cluster == 0 || RecordSize() < 64) {
        throw std::invalid_argument(
            "VolumeBuilder needs a usable geometry; patch the boot sector afterwards");
    }
    std::uint64_t endCluster = 1;
    for (const MftRun& r : Runs()) endCluster = std::max(endCluster, r.lcn + r.clusters);
    for (const auto& [lcn, bytes] : data_) {
        endCluster = std::max(endCluster, lcn + (bytes.size() + cluster - 1) / cluster);
    }
    const std::uint64_t clusters = totalClusters_.value_or(endCluster + 16);
    Bytes image(clusters * cluster, 0);

    Bytes boot(512, 0);
    boot[0] = 0xEB;
    boot[1] = 0x52;
    boot[2] = 0x90;
    std::copy(oem_.begin(), oem_.end(), boot.begin() + 3);
    PutLe(boot, 11, bytesPerSector_, 2);
    PutLe(boot, 13, sectorsPerClusterByte_, 1);
    PutLe(boot, 21, 0xF8, 1);  // media descriptor: fixed disk
    PutLe(boot, 24, 63, 2);    // sectors per track
    PutLe(boot, 26, 255, 2);   // heads
    PutLe(boot, 40, totalSectors_.value_or(image.size() / bytesPerSector_), 8);
    PutLe(boot, 48, MftClusterValue(), 8);
    PutLe(boot, 56, std::max<std::uint64_t>(1, clusters / 2), 8);  // $MFTMirr, unused here
    PutLe(boot, 64, clustersPerRecord_, 4);
    PutLe(boot, 68, 1, 4);  // clusters per index buffer
    PutLe(boot, 72, serial_, 8);
    PutLe(boot, 510, 0xAA55, 2);
    std::copy(boot.begin(), boot.end(), image.begin());

    for (const auto& [lcn, bytes] : data_) {
        if (lcn * cluster + bytes.size() > image.size())
            throw std::out_of_range("data beyond the image");
        std::copy(bytes.begin(), bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(lcn * cluster));
    }

    if (extent_) {
        // The extension record must be reachable through record 0's own runs.
        const auto runs = Runs();
        std::uint64_t baseBytes = 0;
        for (std::size_t i = 0; i < std::min(extent_->first, runs.size()); ++i) {
            baseBytes += runs[i].clusters * cluster;
        }
        if (std::uint64_t{extent_->second + 1} * RecordSize() > baseBytes) {
            throw std::invalid_argument(
                "the extension record lies outside the fragments record 0 maps");
        }
    }
    const std::uint64_t capacity = MftRecordCapacity();
    for (std::uint32_t i = 0; i < 16 && i < capacity; ++i) {
        if (!records_.count(i)) WriteMft(image, std::uint64_t{i} * RecordSize(), DefaultRecord(i));
    }
    if (extent_ && extent_->second >= 16 && !records_.count(extent_->second)) {
        WriteMft(image, std::uint64_t{extent_->second} * RecordSize(), ExtensionRecord());
    }
    for (const auto& [index, bytes] : records_) {
        if (index >= capacity) throw std::out_of_range("record index beyond the MFT");
        WriteMft(image, index * RecordSize(), bytes);
    }
    return image;
}

}  // namespace qm::test
