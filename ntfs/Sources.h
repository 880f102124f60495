// The NTFS sources a user can scan: fixed drives, image files, and the NTFS
// partitions inside images of whole disks (MBR, with extended partitions, or GPT).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/RawVolume.h"

namespace qm {

struct PartitionEntry {
    std::uint64_t offset = 0;  // bytes from the start of the disk
    std::uint64_t size = 0;    // bytes
};

// The partitions an MBR (primary and logical) or a GPT lists, in table order.
// Empty when the first sector holds neither. Never reads outside `disk`.
std::vector<PartitionEntry> ReadPartitionTable(RawVolume& disk);

struct SourceInfo {
    std::string source;  // what OpenRawVolume takes: "/dev/sdb1", "disk.img", "disk.img@1048576"
    std::uint64_t size = 0;
    std::string label;
    // For a partition of a disk image: its number (1 on, in the order
    // ReadPartitionTable lists the disk's partitions, NTFS or not) and its
    // first byte. 0 for a drive or an image of a volume.
    unsigned partition = 0;
    std::uint64_t start = 0;
};

// True when the first sector of `volume` carries the OEM name "NTFS" and a
// sound geometry, and the volume is large enough to hold the first record of
// the MFT that sector names.
bool LooksLikeNtfs(RawVolume& volume);

// The NTFS sources in an image: the image itself when it starts with an NTFS
// boot sector, otherwise one "IMAGE@OFFSET" per NTFS partition.
std::vector<SourceInfo> ExpandImage(const std::string& path);

// What a list of sources shows for one, telling the partitions of one disk
// image apart: "分区 2 [label] disk.img" for a partition (the label left out
// when empty), the source itself otherwise.
std::string SourceListLabel(const SourceInfo& source);

// Fixed drives that pass the OEM test, then the given images' sources.
std::vector<SourceInfo> DiscoverSources(const std::vector<std::string>& images);

}  // namespace qm
