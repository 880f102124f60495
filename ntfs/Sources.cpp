// Finding the NTFS sources a user can scan: fixed drives that carry an NTFS boot
// sector, image files, and the NTFS partitions of images of whole disks.
#include "ntfs/Sources.h"

#include <memory>

#include "ntfs/uNTFS.h"
#include "platform/AlignedBuffer.h"
#include "platform/Platform.h"

namespace qm {

bool LooksLikeNtfs(RawVolume& volume) {
    AlignedBuffer sector(kBootSectorSize);
    volume.ReadAt(0, sector.span());  // bytes not delivered read as zero and fail the test
    const BootSector boot = ParseBootSector(ByteView(sector.data(), sector.size()));
    if (!OemIsNtfs(boot)) return false;
    // An NTFS name in 512 bytes is no volume: it must hold a geometry that
    // describes one, and the first record of the MFT its boot sector names.
    const VolumeGeometry g = GeometryFromBoot(boot);
    if (!CheckGeometry(g)) return false;
    const auto mft = CheckedMul(boot.mftCluster, g.ClusterSize);
    const auto end = mft ? CheckedAdd(*mft, g.RecordSize) : std::nullopt;
    return end && *end <= volume.Size() && g.BytesPerSector <= volume.Size();
}

namespace {

// A volume whose first sector is damaged or unreadable but whose backup boot
// sector, in its last sector, gives a layout the set-up can read.
bool ReadableThroughBackup(RawVolume& volume) {
    const SetupResult r = ReadVolumeLayout(volume);
    return r.info && r.boot == BootCopy::Backup;
}

}  // namespace

std::vector<SourceInfo> ExpandImage(const std::string& path) {
    auto opened = OpenRawVolume(path);
    if (!opened) return {};
    std::shared_ptr<RawVolume> image = std::move(opened).value();
    if (LooksLikeNtfs(*image)) return {{path, image->Size(), ReadVolumeLabelFromVolume(*image)}};

    // A partition table comes before the image's own last sector: the last
    // partition's backup boot sector may well be the disk's last sector.
    std::vector<SourceInfo> sources;
    const std::vector<PartitionEntry> table = ReadPartitionTable(*image);
    unsigned number = 0;
    for (const PartitionEntry& p : table) {
        ++number;
        std::string name = path + "@" + std::to_string(p.offset);
        auto part = MakeSubVolume(image, p.offset, p.size, name);
        if (!LooksLikeNtfs(*part) && !ReadableThroughBackup(*part)) continue;
        sources.push_back({name, p.size, ReadVolumeLabelFromVolume(*part), number, p.offset});
    }
    if (table.empty() && ReadableThroughBackup(*image))
        sources.push_back({path, image->Size(), ReadVolumeLabelFromVolume(*image)});
    return sources;
}

std::string SourceListLabel(const SourceInfo& source) {
    if (source.partition == 0) return source.source;
    const std::string path = ParseSourceSpec(source.source).path;
    const auto slash = path.find_last_of("/\\");
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string text = "分区 " + std::to_string(source.partition) + " ";
    if (!source.label.empty()) text += "[" + source.label + "] ";
    return text + file;
}

std::vector<SourceInfo> DiscoverSources(const std::vector<std::string>& images) {
    std::vector<SourceInfo> sources;
    for (const std::string& drive : ListFixedDrives()) {
        auto volume = OpenRawVolume(drive);
        if (!volume || !LooksLikeNtfs(**volume)) continue;
        auto systemLabel = SystemVolumeLabel(drive);
        sources.push_back(
            {drive, (*volume)->Size(),
             systemLabel ? AnsiToUtf8(*systemLabel) : ReadVolumeLabelFromVolume(**volume)});
    }
    for (const std::string& image : images) {
        auto found = ExpandImage(image);
        sources.insert(sources.end(), std::make_move_iterator(found.begin()),
                       std::make_move_iterator(found.end()));
    }
    return sources;
}

}  // namespace qm
