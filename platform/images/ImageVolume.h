// Image files in the formats examiners keep disks in: split raw images read as
// one, and (where the build has their libraries) EnCase/EWF, VHD/VHDX, VMDK and
// QCOW containers. Each is recognised by its content and read only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/RawVolume.h"

namespace qm {

enum class ImageFormat { Raw, SplitRaw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

const char* ImageFormatName(ImageFormat format);

// The container format the first bytes (and, for a fixed VHD, the last 512
// bytes) of `file` show. Raw when none matches.
ImageFormat DetectImageFormat(RawVolume& file);

// The formats this build can open besides raw and split raw.
std::vector<ImageFormat> SupportedContainerFormats();

// The parts of a split raw image, in order, when `path` names its first part
// ("NAME.001", "NAME.0001", "NAME.aa") and a second part exists; empty otherwise.
std::vector<std::string> SplitRawParts(const std::string& path);

// One volume made of `parts` end to end. A part's size is taken when it opens;
// a part that delivers fewer bytes ends the read there.
std::unique_ptr<RawVolume> MakeConcatVolume(std::vector<std::unique_ptr<RawVolume>> parts,
                                            std::string name);

// Opens an image file, a split raw image or a container, or a device, by path
// (no "@OFFSET"). Containers the build cannot read are refused by name.
ErrorOr<std::unique_ptr<RawVolume>> OpenImagePath(const std::string& path);

// A reader of a container's media through its library: reads up to n bytes at
// `offset` into `data`, returns how many, 0 past the end, negative on an error.
// Calls come one at a time (the volume holds a lock around them).
using MediaRead =
    std::function<std::int64_t(std::uint64_t offset, std::uint8_t* data, std::size_t n)>;

// A volume over a container library's reader. `keepAlive` owns the library
// handle and closes it when the volume goes. Failed reads are retried in
// smaller pieces so that the bytes before a bad spot arrive; what cannot be
// read is not delivered, and counted in ReadErrors().
class ContainerVolume final : public RawVolume {
public:
    ContainerVolume(MediaRead read, std::shared_ptr<void> keepAlive, std::uint64_t size,
                    std::string name);
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override;
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }
    std::uint64_t ReadErrors() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::uint64_t size_;
    std::string name_;
};

// Library backends, each present when the build found its library.
ErrorOr<std::unique_ptr<RawVolume>> OpenEwfImage(const std::string& path);
ErrorOr<std::unique_ptr<RawVolume>> OpenVhdiImage(const std::string& path);
ErrorOr<std::unique_ptr<RawVolume>> OpenVmdkImage(const std::string& path);
ErrorOr<std::unique_ptr<RawVolume>> OpenQcowImage(const std::string& path);

}  // namespace qm
