// Whether a folder lies on the device being read, directly or through the
// layers built on it.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

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

// The block device behind a file system whose st_dev is not a device number
// (btrfs and others number their file systems themselves): the source column
// of its line in mountinfo.
std::optional<dev_t> MountedDevice(dev_t dev, const fs::path& mountinfo) {
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
        if (!(tail >> fstype >> source) || source.empty() || source[0] != '/') continue;
        struct stat st {};
        if (::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
    }
    return std::nullopt;
}

bool LiesOn(dev_t dev, dev_t target, const fs::path& sysDevBlock, const fs::path& mountinfo,
            int depth) {
    if (dev == target) return true;
    if (depth > 8) return false;
    char name[32];
    std::snprintf(name, sizeof name, "%u:%u", major(dev), minor(dev));
    const fs::path dir = sysDevBlock / name;
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        const auto real = MountedDevice(dev, mountinfo);
        return real && *real != dev && LiesOn(*real, target, sysDevBlock, mountinfo, depth + 1);
    }
    // A partition lies on its disk.
    if (fs::exists(dir / "partition", ec)) {
        const fs::path real = fs::canonical(dir, ec);
        if (!ec) {
            if (auto line = FirstLine(real.parent_path() / "dev"))
                if (auto parent = ParseDevNumber(*line))
                    if (LiesOn(*parent, target, sysDevBlock, mountinfo, depth + 1)) return true;
        }
    }
    // Device-mapper and md devices lie on their members.
    for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
        if (auto line = FirstLine(it->path() / "dev"))
            if (auto member = ParseDevNumber(*line))
                if (LiesOn(*member, target, sysDevBlock, mountinfo, depth + 1)) return true;
    }
    // A loop device lies on the file system of its backing file.
    if (auto backing = FirstLine(dir / "loop" / "backing_file")) {
        struct stat st {};
        if (!backing->empty() && ::stat(backing->c_str(), &st) == 0 &&
            LiesOn(st.st_dev, target, sysDevBlock, mountinfo, depth + 1))
            return true;
    }
    return false;
}

}  // namespace

namespace posix {
bool DeviceLiesOn(dev_t dev, dev_t target, const fs::path& sysDevBlock, const fs::path& mountinfo) {
    return LiesOn(dev, target, sysDevBlock, mountinfo, 0);
}
}  // namespace posix

bool FolderIsOnSource(const std::string& folder, const std::string& source) {
    const SourceSpec spec = ParseSourceSpec(source);
    struct stat src {};
    if (::stat(spec.path.c_str(), &src) != 0 || !S_ISBLK(src.st_mode)) return false;
    // The folder, or the nearest folder above it that exists.
    std::error_code ec;
    fs::path p = fs::absolute(folder.empty() ? fs::path(".") : fs::path(folder), ec);
    if (ec) return false;
    struct stat dst {};
    while (::stat(p.c_str(), &dst) != 0) {
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
    return posix::DeviceLiesOn(dst.st_dev, src.st_rdev, "/sys/dev/block", "/proc/self/mountinfo");
}

}  // namespace qm
