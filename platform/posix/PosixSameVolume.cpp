// Whether a folder lies on the volume being read: on the same block device, on
// a device built from it (partitions, device-mapper, md, loop devices), on a
// loop device over an image file, or on a mount of that image file itself.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/Platform.h"
#include "platform/RawVolume.h"
#include "platform/posix/PosixInternal.h"

namespace qm {
namespace fs = std::filesystem;

namespace {

// "8:1" from a sysfs dev attribute.
std::optional<dev_t> ParseDevNumber(const std::string& text) {
    unsigned maj = 0, min = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &tail) != 2) return std::nullopt;
    return makedev(maj, min);
}

std::optional<std::string> FirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

// mountinfo writes spaces, tabs, newlines and backslashes in paths as octal escapes.
std::string UnescapeMountField(const std::string& field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += field[i];
    }
    return out;
}

// The sources of the mounts of file system `dev` in mountinfo: for file systems
// whose st_dev is not a device number (btrfs and others number their file
// systems themselves, FUSE mounts such as ntfs-3g get an anonymous one), the
// device or image file the source column names.
std::vector<std::string> MountSources(dev_t dev, const fs::path& mountinfo) {
    std::vector<std::string> out;
    std::ifstream in(mountinfo);
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "%u:%u", major(dev), minor(dev));
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majmin;
        if (!(fields >> id >> parent >> majmin) || majmin != want) continue;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fstype, source;
        if (!(tail >> fstype >> source)) continue;
        source = UnescapeMountField(source);
        if (!source.empty() && source[0] == '/') out.push_back(std::move(source));
    }
    return out;
}

bool SameFile(const struct stat& st, const std::optional<posix::FileId>& file) {
    return file && S_ISREG(st.st_mode) && st.st_dev == file->dev && st.st_ino == file->ino;
}

class SourceWalk {
public:
    SourceWalk(const posix::SourceIdentity& source, const fs::path& sysDevBlock,
               const fs::path& mountinfo)
        : source_(source), sysDevBlock_(sysDevBlock), mountinfo_(mountinfo) {}

    // Whether a file system on device `dev` lies on the source.
    bool DeviceOn(dev_t dev, int depth) const {
        if (source_.device && dev == *source_.device) return true;
        if (depth > 8) return false;
        char name[32];
        std::snprintf(name, sizeof name, "%u:%u", major(dev), minor(dev));
        const fs::path dir = sysDevBlock_ / name;
        std::error_code ec;
        if (!fs::exists(dir, ec)) return MountOn(dev, depth);
        return PartitionOn(dir, depth) || MembersOn(dir, depth) || LoopOn(dir, depth);
    }

private:
    // A file, or the file system holding it: a mounted or loop-attached image
    // is the source itself, or lies on the source's device through its folder.
    bool FileOn(const std::string& path, int depth) const {
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
        if (SameFile(st, source_.file)) return true;
        if (S_ISBLK(st.st_mode)) return DeviceOn(st.st_rdev, depth + 1);
        return S_ISREG(st.st_mode) && DeviceOn(st.st_dev, depth + 1);
    }

    bool MountOn(dev_t dev, int depth) const {
        for (const std::string& source : MountSources(dev, mountinfo_))
            if (FileOn(source, depth)) return true;
        return false;
    }

    // A partition lies on its disk.
    bool PartitionOn(const fs::path& dir, int depth) const {
        std::error_code ec;
        if (!fs::exists(dir / "partition", ec)) return false;
        const fs::path real = fs::canonical(dir, ec);
        if (ec) return false;
        const auto line = FirstLine(real.parent_path() / "dev");
        const auto parent = line ? ParseDevNumber(*line) : std::nullopt;
        return parent && DeviceOn(*parent, depth + 1);
    }

    // Device-mapper and md devices lie on their members.
    bool MembersOn(const fs::path& dir, int depth) const {
        std::error_code ec;
        for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end;
             it.increment(ec)) {
            const auto line = FirstLine(it->path() / "dev");
            const auto member = line ? ParseDevNumber(*line) : std::nullopt;
            if (member && DeviceOn(*member, depth + 1)) return true;
        }
        return false;
    }

    // A loop device lies on its backing file.
    bool LoopOn(const fs::path& dir, int depth) const {
        const auto backing = FirstLine(dir / "loop" / "backing_file");
        return backing && FileOn(*backing, depth);
    }

    const posix::SourceIdentity& source_;
    const fs::path& sysDevBlock_;
    const fs::path& mountinfo_;
};

// The image file behind loop device `dir` of sysfs, or behind the disk of a
// loop partition.
std::optional<posix::FileId> LoopBackingFile(const fs::path& dir) {
    std::error_code ec;
    fs::path loop = dir;
    if (fs::exists(dir / "partition", ec)) {
        loop = fs::canonical(dir, ec).parent_path();
        if (ec) return std::nullopt;
    }
    const auto backing = FirstLine(loop / "loop" / "backing_file");
    struct stat st {};
    if (!backing || backing->empty() || ::stat(backing->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return posix::FileId{st.st_dev, st.st_ino};
}

}  // namespace

namespace posix {

std::optional<SourceIdentity> IdentifySource(const std::string& path, const fs::path& sysDevBlock) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    if (S_ISREG(st.st_mode)) return SourceIdentity{std::nullopt, FileId{st.st_dev, st.st_ino}};
    if (!S_ISBLK(st.st_mode)) return std::nullopt;
    char name[32];
    std::snprintf(name, sizeof name, "%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return SourceIdentity{st.st_rdev, LoopBackingFile(sysDevBlock / name)};
}

bool LiesOnSource(dev_t dev, const SourceIdentity& source, const fs::path& sysDevBlock,
                  const fs::path& mountinfo) {
    return SourceWalk(source, sysDevBlock, mountinfo).DeviceOn(dev, 0);
}

bool DeviceLiesOn(dev_t dev, dev_t target, const fs::path& sysDevBlock, const fs::path& mountinfo) {
    return LiesOnSource(dev, SourceIdentity{target, std::nullopt}, sysDevBlock, mountinfo);
}

bool FolderLiesOnSource(const std::string& folder, const std::string& source,
                        const fs::path& sysDevBlock, const fs::path& mountinfo) {
    const auto identity = IdentifySource(ParseSourceSpec(source).path, sysDevBlock);
    if (!identity) return false;
    // The folder, or the nearest folder above it that exists.
    std::error_code ec;
    fs::path p = fs::absolute(folder.empty() ? fs::path(".") : fs::path(folder), ec);
    if (ec) return false;
    struct stat dst {};
    while (::stat(p.c_str(), &dst) != 0) {
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
    return LiesOnSource(dst.st_dev, *identity, sysDevBlock, mountinfo);
}

}  // namespace posix

bool FolderIsOnSource(const std::string& folder, const std::string& source) {
    return posix::FolderLiesOnSource(folder, source, "/sys/dev/block", "/proc/self/mountinfo");
}

}  // namespace qm
