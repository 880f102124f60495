// Read-only access to a volume: a block device, a drive, an image file, or a
// window onto part of one (a partition inside a disk image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

namespace qm {

class RawVolume {
public:
    virtual ~RawVolume() = default;

    // Reads buf.size() bytes starting at byte `offset` of the volume. Returns the
    // number of bytes the source delivered from the start of buf; every byte of
    // buf past that is set to zero. Never throws, never reads outside the source.
    virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) = 0;

    // Size of the volume in bytes, 0 when the source cannot tell.
    virtual std::uint64_t Size() const = 0;

    // The source's name as the user gave it (a path, "C:", "disk.img@1048576").
    virtual const std::string& Name() const = 0;

    // The unit the source is read in: a device's logical sector size, 1 for
    // files and memory. ReadAt accepts any offset and length whatever this is.
    virtual std::uint32_t SectorSize() const { return 1; }

    // For a window onto part of another volume (a partition inside a disk
    // image): that volume, and where the window starts in it. nullptr otherwise.
    virtual RawVolume* Parent() { return nullptr; }
    virtual std::uint64_t OffsetInParent() const { return 0; }

    // Whether the source still delivers data at all, asked past any cache (a
    // device whose reads all fail has gone away; cached pages could hide that).
    // Sources without a cache of their own answer as long as they exist.
    virtual bool Answers() { return true; }
};

// Opens `source` for reading only. Accepted forms:
//   a path to a block device or an image file ("/dev/sdb1", "disk.img"): a raw
//   image, the first part of a split raw image ("disk.001", "disk.aa"), or a
//   container the build reads (E01, VHD, VHDX, VMDK, QCOW2), told by content,
//   on Windows a drive text ("C:") which opens "\\.\C:",
//   any of these followed by "@OFFSET" (decimal bytes): the partition starting there.
ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolume(std::string_view source);

// Opens the path itself, without the "@OFFSET" handling (the platform backend).
ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolumePath(const std::string& path);

// A window [offset, offset + size) onto another volume. size 0: up to the end of `base`.
std::unique_ptr<RawVolume> MakeSubVolume(std::shared_ptr<RawVolume> base, std::uint64_t offset,
                                         std::uint64_t size, std::string name);

// A volume held in memory: tests, fuzzing.
class MemoryVolume final : public RawVolume {
public:
    explicit MemoryVolume(std::vector<std::uint8_t> bytes, std::string name = "memory")
        : bytes_(std::move(bytes)), name_(std::move(name)) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override;
    std::uint64_t Size() const override { return bytes_.size(); }
    const std::string& Name() const override { return name_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::string name_;
};

// Splits "path@12345" into ("path", 12345). A source without a valid decimal
// suffix is returned whole with offset nullopt.
struct SourceSpec {
    std::string path;
    std::optional<std::uint64_t> offset;
};
SourceSpec ParseSourceSpec(std::string_view source);

}  // namespace qm
