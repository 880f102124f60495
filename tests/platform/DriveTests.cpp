// Drive discovery: on Linux over fake sysfs trees (and the device layering
// behind FolderIsOnSource), on Windows through the drive letters.
#include <gtest/gtest.h>

#include <map>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"

#if defined(__linux__)
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/posix/PosixInternal.h"
#endif

namespace qm {
namespace {

#if defined(__linux__)

using test::TempDir;
using test::WriteText;
namespace fs = std::filesystem;

// A sysfs tree: devices/... holds the real directories, class/block and
// dev/block the links to them, as the kernel lays them out.
class FakeSysfs {
public:
    explicit FakeSysfs(const TempDir& dir) : root_(dir.path() / "sys") {
        fs::create_directories(root_ / "class" / "block");
        fs::create_directories(root_ / "dev" / "block");
    }
    fs::path classBlock() const { return root_ / "class" / "block"; }
    fs::path devBlock() const { return root_ / "dev" / "block"; }

    // A disk, or with `disk` set a partition inside that disk's directory.
    fs::path Add(const std::string& name, const std::string& dev,
                 const std::map<std::string, std::string>& attrs, const std::string& disk = "") {
        const fs::path dir = disk.empty() ? root_ / "devices" / name : dirs_.at(disk) / name;
        fs::create_directories(dir);
        for (const auto& [file, value] : attrs) WriteText(dir / file, value + "\n");
        if (!disk.empty()) WriteText(dir / "partition", "1\n");
        WriteText(dir / "dev", dev + "\n");
        fs::create_directory_symlink(fs::relative(dir, classBlock()), classBlock() / name);
        fs::create_directory_symlink(fs::relative(dir, devBlock()), devBlock() / dev);
        dirs_[name] = dir;
        return dir;
    }
    void AddSlave(const std::string& holder, const std::string& member) {
        fs::create_directories(dirs_.at(holder) / "slaves");
        fs::create_directory_symlink(dirs_.at(member), dirs_.at(holder) / "slaves" / member);
    }

private:
    fs::path root_;
    std::map<std::string, fs::path> dirs_;
};

TEST(DiscoverBlockDevices, ListsFixedDisksAndTheirPartitionsInNaturalOrder) {
    TempDir dir;
    FakeSysfs sys(dir);
    sys.Add("sda", "8:0", {{"removable", "0"}, {"size", "1000"}, {"device/type", "0"}});
    for (const char* p : {"sda10", "sda2", "sda1"})
        sys.Add(p, std::string("8:") + (p + 3), {{"size", "10"}}, "sda");
    sys.Add("nvme0n1", "259:0", {{"removable", "0"}, {"size", "1000"}});
    sys.Add("cciss!c0d0", "104:0", {{"removable", "0"}});
    sys.Add("dm-0", "253:0", {{"removable", "0"}, {"uevent", "MAJOR=253\nMINOR=0\nDEVNAME=dm-0"}});
    sys.Add("odd", "240:0", {{"uevent", "DEVNAME=group/odd"}});
    EXPECT_EQ(
        DiscoverBlockDevices(sys.classBlock(), "/dev"),
        (std::vector<std::string>{"/dev/cciss/c0d0", "/dev/dm-0", "/dev/nvme0n1", "/dev/group/odd",
                                  "/dev/sda", "/dev/sda1", "/dev/sda2", "/dev/sda10"}));
}

TEST(DiscoverBlockDevices, LeavesOutRemovableRamOpticalAndIdleDevices) {
    TempDir dir;
    FakeSysfs sys(dir);
    sys.Add("sdb", "8:16", {{"removable", "1"}});
    sys.Add("sdb1", "8:17", {}, "sdb");  // a partition of a removable disk
    sys.Add("sr0", "11:0", {{"removable", "1"}});
    sys.Add("sdc", "8:32", {{"removable", "0"}, {"device/type", "5"}});  // an optical drive by type
    sys.Add("ram0", "1:0", {{"removable", "0"}});
    sys.Add("zram0", "252:0", {{"removable", "0"}});
    sys.Add("nbd0", "43:0", {{"removable", "0"}, {"size", "0"}});
    // Loop devices count only with a file behind them; their partitions follow the device.
    sys.Add("loop0", "7:0", {{"removable", "0"}, {"loop/backing_file", "/srv/disk.img"}});
    sys.Add("loop0p1", "259:1", {}, "loop0");
    sys.Add("loop1", "7:1", {{"removable", "0"}});
    sys.Add("loop2", "7:2", {{"removable", "0"}, {"loop/backing_file", ""}});
    sys.Add("loop3", "7:3", {{"removable", "0"}});
    sys.Add("loop3p1", "259:2", {}, "loop3");
    sys.Add("sdd", "8:48", {{"removable", "0"}});
    EXPECT_EQ(DiscoverBlockDevices(sys.classBlock(), "/dev"),
              (std::vector<std::string>{"/dev/loop0", "/dev/loop0p1", "/dev/sdd"}));
    EXPECT_TRUE(DiscoverBlockDevices(dir.path() / "no-sysfs", "/dev").empty());
}

TEST(DeviceLayers, PartitionsMappedDevicesAndLoopFilesLieOnTheirDisks) {
    TempDir dir;
    FakeSysfs sys(dir);
    sys.Add("sda", "8:0", {});
    sys.Add("sda1", "8:1", {}, "sda");
    sys.Add("sda2", "8:2", {}, "sda");
    sys.Add("dm-0", "253:0", {});
    sys.AddSlave("dm-0", "sda2");
    // A loop device over a file in the temporary folder lies on that folder's device.
    WriteText(dir.path() / "backing.img", "x");
    struct stat file {};
    ASSERT_EQ(::stat((dir.path() / "backing.img").c_str(), &file), 0);
    sys.Add("loop0", "7:0", {{"loop/backing_file", (dir.path() / "backing.img").string()}});

    const fs::path none = dir.path() / "no-mountinfo";
    auto on = [&](dev_t dev, dev_t target) {
        return posix::DeviceLiesOn(dev, target, sys.devBlock(), none);
    };
    EXPECT_TRUE(on(makedev(8, 1), makedev(8, 1)));
    EXPECT_TRUE(on(makedev(8, 1), makedev(8, 0)));
    EXPECT_FALSE(on(makedev(8, 0), makedev(8, 1)));
    EXPECT_FALSE(on(makedev(8, 1), makedev(8, 2)));
    EXPECT_TRUE(on(makedev(253, 0), makedev(8, 2)));
    EXPECT_TRUE(on(makedev(253, 0), makedev(8, 0)));
    EXPECT_FALSE(on(makedev(253, 0), makedev(8, 1)));
    EXPECT_TRUE(on(makedev(7, 0), file.st_dev));
    EXPECT_FALSE(on(makedev(9, 9), makedev(8, 0)));
}

TEST(DeviceLayers, FileSystemsWithTheirOwnNumbersAreFoundThroughMountinfo) {
    // btrfs and the like report an anonymous st_dev; mountinfo names the device.
    std::string device;
    dev_t rdev = 0;
    for (const char* candidate :
         {"/dev/loop0", "/dev/vda", "/dev/sda", "/dev/nvme0n1", "/dev/ram0"}) {
        struct stat st {};
        if (::stat(candidate, &st) == 0 && S_ISBLK(st.st_mode)) {
            device = candidate;
            rdev = st.st_rdev;
            break;
        }
    }
    if (device.empty()) GTEST_SKIP() << "no block device node to point at";
    TempDir dir;
    FakeSysfs sys(dir);
    WriteText(dir.path() / "mountinfo",
              "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
              "40 27 0:45 / /data rw,relatime shared:1 - btrfs " +
                  device + " rw,space_cache\n");
    EXPECT_TRUE(
        posix::DeviceLiesOn(makedev(0, 45), rdev, sys.devBlock(), dir.path() / "mountinfo"));
    EXPECT_FALSE(
        posix::DeviceLiesOn(makedev(0, 21), rdev, sys.devBlock(), dir.path() / "mountinfo"));
}

TEST(DeviceLayers, AnImageFileIsFoundUnderLoopDevicesAndMountsOfIt) {
    TempDir dir;
    FakeSysfs sys(dir);
    const fs::path image = dir.path() / "disk.img";
    const fs::path other = dir.path() / "other.img";
    const fs::path spaced = dir.path() / "my disk.img";
    for (const fs::path& p : {image, other, spaced}) WriteText(p, "x");
    fs::create_hard_link(image, dir.path() / "alias.img");
    sys.Add("loop0", "7:0", {{"loop/backing_file", image.string()}});
    sys.Add("loop0p1", "259:1", {}, "loop0");
    sys.Add("loop1", "7:1", {{"loop/backing_file", other.string()}});
    // ntfs-3g and other FUSE mounts name the image file as their source.
    const fs::path mountinfo = dir.path() / "mountinfo";
    WriteText(mountinfo, "50 27 0:50 / /mnt/a rw - fuse " + image.string() + " rw,user_id=0\n" +
                             "51 27 0:51 / /mnt/b rw - fuse " + other.string() + " rw\n" +
                             "52 27 0:52 / /mnt/c rw - fuse " + dir.path().string() +
                             "/my\\040disk.img rw\n" + "53 27 0:53 / /mnt/d rw - tmpfs tmpfs rw\n");
    struct stat file {};
    ASSERT_EQ(::stat(image.c_str(), &file), 0);

    struct Case {
        fs::path source;
        dev_t folderDev;
        bool on;
    } cases[] = {
        {image, makedev(7, 0), true},                      // a loop device over the image
        {image, makedev(259, 1), true},                    // a partition of that loop device
        {image, makedev(0, 50), true},                     // a FUSE mount of the image
        {dir.path() / "alias.img", makedev(0, 50), true},  // another name for the same file
        {image, makedev(7, 1), false},                     // a loop device over another file
        {image, makedev(0, 51), false},                    // a mount of another file
        {image, makedev(0, 53), false},                    // a mount without a file behind it
        {image, makedev(0, 99), false},                    // a file system mountinfo does not know
        {image, file.st_dev, false},     // the folder holding the image is not the image
        {spaced, makedev(0, 52), true},  // mountinfo's escapes in the source
        {other, makedev(7, 1), true},
    };
    for (const Case& c : cases) {
        const auto id = posix::IdentifySource(c.source.string(), sys.devBlock());
        ASSERT_TRUE(id) << c.source;
        EXPECT_EQ(posix::LiesOnSource(c.folderDev, *id, sys.devBlock(), mountinfo), c.on)
            << c.source << " under " << major(c.folderDev) << ":" << minor(c.folderDev);
    }
    // A loop device as the source also matches mounts of the file behind it.
    const posix::SourceIdentity loop{makedev(7, 0), posix::FileId{file.st_dev, file.st_ino}};
    EXPECT_TRUE(posix::LiesOnSource(makedev(0, 50), loop, sys.devBlock(), mountinfo));
    EXPECT_FALSE(posix::LiesOnSource(makedev(0, 51), loop, sys.devBlock(), mountinfo));
    // Neither a device nor a file: nothing to compare.
    EXPECT_FALSE(posix::IdentifySource(dir.path().string(), sys.devBlock()));
    EXPECT_FALSE(posix::IdentifySource((dir.path() / "missing").string(), sys.devBlock()));
}

TEST(DiscoverBlockDevices, ThisMachinesDrivesAreBlockDevices) {
    for (const std::string& dev : ListFixedDrives()) {
        struct stat st {};
        EXPECT_TRUE(::stat(dev.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) << dev;
    }
}
#endif

#if defined(_WIN32)
TEST(FixedDrives, AreDriveLettersInOrderWithLabels) {
    const auto drives = ListFixedDrives();
    for (std::size_t i = 0; i < drives.size(); ++i) {
        ASSERT_EQ(drives[i].size(), 2u);
        EXPECT_TRUE(drives[i][0] >= 'A' && drives[i][0] <= 'Z' && drives[i][1] == ':');
        if (i > 0) {
            EXPECT_LT(drives[i - 1], drives[i]);
        }
        EXPECT_TRUE(SystemVolumeLabel(drives[i]).has_value()) << drives[i];
    }
    // Image files carry their label inside; the system knows none.
    EXPECT_FALSE(SystemVolumeLabel("disk.img"));
}
#endif

}  // namespace
}  // namespace qm
