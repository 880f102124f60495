// Pieces of the POSIX backend that the tests reach directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qm {
class RawVolume;
}

namespace qm::posix {

// Where bytes [offset, offset + count) of `volume` lie in a plain file opened
// by this backend (an image file, or a window onto one): its descriptor and the
// offset in it. nullopt for devices, containers and volumes of other kinds, and
// for bytes past the end of the volume or of any window it is read through.
struct PlainFileSpot {
    int fd;
    std::uint64_t offset;
};
std::optional<PlainFileSpot> PlainFileOf(RawVolume& volume, std::uint64_t offset,
                                         std::uint64_t count);

// The charset of the current LC_CTYPE locale ("UTF-8", "GBK", "ANSI_X3.4-1968").
std::string CurrentCodeset();
bool IsUtf8Codeset(std::string_view codeset);

// Code points to text in charset `to`; characters it lacks become '?'.
// nullopt when iconv does not know the charset.
std::optional<std::string> FromCodePoints(std::u32string_view text, const std::string& to);
// Text in charset `from` to code points; bytes that form no character become
// U+FFFD. nullopt when iconv does not know the charset.
std::optional<std::u32string> ToCodePoints(std::string_view text, const std::string& from);

// What the volume being read is, to find it under a folder: a block device (its
// number; for a loop device also the image file behind it) or an image file
// (the device and inode holding it, which survive renames and other names).
struct FileId {
    dev_t dev;
    ino_t ino;
};
struct SourceIdentity {
    std::optional<dev_t> device;
    std::optional<FileId> file;
};
// nullopt when `path` is neither a block device nor a regular file.
std::optional<SourceIdentity> IdentifySource(const std::string& path,
                                             const std::filesystem::path& sysDevBlock);

// True when a file system on device `dev` lies on the source: it is the
// source's device, or lies on it through the layers sysfs shows (partition
// inside disk, device-mapper and md members, loop device over a file), or is
// a mount whose source (in mountinfo: FUSE mounts such as ntfs-3g, btrfs whose
// st_dev is not the device's number) is the source's device or image file, or
// a file on it. `sysDevBlock` is normally /sys/dev/block and `mountinfo`
// /proc/self/mountinfo.
bool LiesOnSource(dev_t dev, const SourceIdentity& source, const std::filesystem::path& sysDevBlock,
                  const std::filesystem::path& mountinfo);
// The same for a block device `target` alone.
bool DeviceLiesOn(dev_t dev, dev_t target, const std::filesystem::path& sysDevBlock,
                  const std::filesystem::path& mountinfo);
// FolderIsOnSource with the roots given.
bool FolderLiesOnSource(const std::string& folder, const std::string& source,
                        const std::filesystem::path& sysDevBlock,
                        const std::filesystem::path& mountinfo);

}  // namespace qm::posix
