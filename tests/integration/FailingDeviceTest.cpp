// Real devices, as root: a read-only loop device over a FUSE file that fails
// reads on demand (qm-faultfs), and ntfs-3g mounts of an image. Skipped with a
// message where /dev/fuse, loop devices or the tools are missing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "ntfs/uNTFS.h"
#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a shell command, keeping both streams.
Outcome Shell(const std::string& command, const fs::path& scratch) {
    const fs::path out = scratch / "stdout", err = scratch / "stderr";
    const int rc = std::system(
        (command + " >" + ShellQuote(out.string()) + " 2>" + ShellQuote(err.string())).c_str());
    Outcome o;
    o.status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
}

Outcome Cli(const std::vector<std::string>& args, const fs::path& scratch) {
    std::string command = ShellQuote(QM_CLI_BINARY);
    for (const std::string& a : args) command += " " + ShellQuote(a);
    return Shell(command, scratch);
}

// Why real-device tests cannot run here, or empty.
std::string MissingForDevices() {
    if (::geteuid() != 0) return "needs root (loop devices, FUSE mounts)";
    for (const char* node : {"/dev/fuse", "/dev/loop-control"})
        if (::access(node, R_OK | W_OK) != 0) return std::string(node) + " is missing";
    for (const char* tool : {"losetup", "fusermount3", "umount"})
        if (!HaveCommand(tool)) return std::string(tool) + " is not installed";
    return {};
}

// Skips the test when the image maker's `name` image is not there.
#define REQUIRE_IMAGE(name)                                                            \
    do {                                                                               \
        if (!fs::exists(ImageDir() / (name)))                                          \
            GTEST_SKIP() << (ImageDir() / (name)) << " was not made (no qm-mkvolume)"; \
    } while (0)

// A mount point of qm-faultfs serving `image` with `options`, and a read-only
// loop device over the file it serves.
class FailingDevice {
public:
    FailingDevice(const fs::path& image, const fs::path& dir, const std::string& options)
        : mount_(dir / "mnt") {
        fs::create_directories(mount_);
        mounted_ = std::system((ShellQuote(QM_FAULTFS_BINARY) + " " + ShellQuote(image.string()) +
                                " " + ShellQuote(mount_.string()) + " " + options)
                                   .c_str()) == 0;
        if (!mounted_) return;
        if (auto dev =
                RunCapture("losetup -r -f --show " + ShellQuote((mount_ / "image").string())))
            device_ = dev->substr(0, dev->find('\n'));
    }
    ~FailingDevice() {
        if (!device_.empty()) (void)std::system(("losetup -d " + device_).c_str());
        // Lazily: the loop device lets go of the file in its own time.
        if (mounted_) (void)std::system(("umount -l " + ShellQuote(mount_.string())).c_str());
    }
    FailingDevice(const FailingDevice&) = delete;
    FailingDevice& operator=(const FailingDevice&) = delete;

    bool ok() const { return !device_.empty(); }
    const std::string& device() const { return device_; }

private:
    fs::path mount_;
    bool mounted_ = false;
    std::string device_;
};

class Devices : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = MissingForDevices(); !why.empty()) GTEST_SKIP() << why;
    }
};

class FailingDevices : public Devices {
protected:
    void SetUp() override {
        Devices::SetUp();
        if (IsSkipped()) return;
        if (!fs::exists(QM_FAULTFS_BINARY))
            GTEST_SKIP() << "qm-faultfs was not built (libfuse3-dev)";
    }
};

// Volume byte offset of MFT record `index`.
std::uint64_t RecordOffset(const ScanResult& scan, std::uint64_t index) {
    const auto at = scan.Info().map.VolumeOffset(index * scan.Info().geometry.RecordSize);
    EXPECT_TRUE(at);
    return at.value_or(0);
}

std::vector<std::uint64_t> Records(const ScanResult& scan) {
    std::vector<std::uint64_t> out;
    for (const ScanRow& r : scan.rows) out.push_back(r.record);
    return out;
}

// A bad 4 KiB stretch in or beside the MFT. A cached read fails the whole
// readahead window around it, good MFT clusters in front of it included; the
// failed range is read again past the cache, so only records that lie in the
// bad stretch itself are lost.
TEST_F(FailingDevices, OneBadSpotHidesOnlyTheRecordsInIt) {
    REQUIRE_IMAGE("fragmented-mft.img");
    const fs::path image = ImageDir() / "fragmented-mft.img";
    auto file = OpenRawVolume(image.string());
    ASSERT_TRUE(file) << file.error().ToString();
    const ScanResult clean = ScanVolume(**file);
    ASSERT_GT(clean.rows.size(), 20u);
    const VolumeInfo& info = clean.Info();
    ASSERT_EQ(info.geometry.RecordSize, 1024u);
    const std::uint64_t cs = info.geometry.ClusterSize;

    // A deleted file's record in the middle of the listing, and the 4 KiB around it.
    const std::uint64_t victim = clean.rows[clean.rows.size() / 2].record;
    const std::uint64_t first = victim / 4 * 4;
    const std::uint64_t inside = RecordOffset(clean, first);
    ASSERT_EQ(RecordOffset(clean, first + 3), inside + 3 * 1024) << "the stretch spans two runs";
    // 16 KiB past the end of an MFT fragment with no MFT cluster in the 128 KiB
    // after it: inside the readahead window of the fragment's last reads.
    std::optional<std::uint64_t> beside;
    const auto& extents = info.map.extents();
    for (const MftMap::Extent& e : extents) {
        if (e.sparse || beside) continue;
        const std::uint64_t end = (e.lcn + e.length) * cs;
        const bool clear = std::none_of(extents.begin(), extents.end(), [&](const auto& o) {
            return !o.sparse && o.lcn * cs < end + (128 << 10) && (o.lcn + o.length) * cs > end;
        });
        if (clear && e.length * cs >= (32 << 10)) beside = end + (16 << 10);
    }
    ASSERT_TRUE(beside) << "no MFT fragment with free space behind it";

    struct Case {
        const char* what;
        std::uint64_t bad;
        std::uint64_t lostFrom, lostTo;  // records that cannot be read
    } cases[] = {
        {"in the MFT", inside, first, first + 4},
        {"beside the MFT", *beside, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir("qm-faildev");
        FailingDevice dev(image, dir.path(), "--bad " + std::to_string(c.bad) + ":4096");
        ASSERT_TRUE(dev.ok()) << "qm-faultfs or losetup failed";
        auto volume = OpenRawVolume(dev.device());
        ASSERT_TRUE(volume) << volume.error().ToString();
        const ScanResult scan = ScanVolume(**volume);
        ASSERT_TRUE(scan.summary.setup.info) << scan.summary.setup.reason;
        std::vector<std::uint64_t> expect;
        for (std::uint64_t r : Records(clean))
            if (r < c.lostFrom || r >= c.lostTo) expect.push_back(r);
        EXPECT_EQ(scan.summary.unreadable, static_cast<std::int64_t>(c.lostTo - c.lostFrom));
        EXPECT_EQ(Records(scan), expect);
        EXPECT_EQ(scan.summary.recordsWalked, clean.summary.recordsWalked);
    }
}

// The first non-resident deleted file of at least `minSize` bytes whose first
// run is not sparse: its manifest entry and the volume byte of its first cluster.
struct Victim {
    ManifestEntry entry;
    std::uint64_t firstByte = 0;
};
std::optional<Victim> FindVictim(RawVolume& volume, const ScanResult& scan,
                                 const std::vector<ManifestEntry>& manifest,
                                 std::uint64_t minSize) {
    const VolumeInfo& info = scan.Info();
    std::vector<std::uint8_t> rec(info.geometry.RecordSize);
    for (const ManifestEntry& e : DeletedEntries(manifest)) {
        if (e.size < minSize) continue;
        if (ReadMftRecord(volume, info, e.record, rec) != RecordRead::Ok) continue;
        auto data = FindAttributeView(ByteView(rec.data(), rec.size()), kAttrData);
        if (!data || data->U8(kAttrNonResident).value_or(0) != 1) continue;
        auto list = RunListOf(*data);
        if (!list) continue;
        auto runs = DecodeRunList(*list);
        if (!runs || runs->empty() || (*runs)[0].sparse ||
            (*runs)[0].length * info.geometry.ClusterSize < minSize)
            continue;
        return Victim{e, (*runs)[0].lcn * info.geometry.ClusterSize};
    }
    return std::nullopt;
}

// One unreadable 512-byte sector inside a deleted file: the file is written
// with every other byte as the disk holds it, reported damaged with that
// range, and the run exits non-zero.
TEST_F(FailingDevices, ABadSectorInAFileIsReportedAsDamage) {
    REQUIRE_IMAGE("c4096.img");
    const fs::path image = ImageDir() / "c4096.img";
    auto file = OpenRawVolume(image.string());
    ASSERT_TRUE(file);
    const ScanResult clean = ScanVolume(**file);
    const auto victim = FindVictim(**file, clean, ReadManifest(image), 16384);
    ASSERT_TRUE(victim) << "no deleted file of 16 KiB in one run";
    const std::uint64_t badInFile = 8192;

    TempDir dir("qm-faildev");
    FailingDevice dev(image, dir.path(),
                      "--bad " + std::to_string(victim->firstByte + badInFile) + ":512");
    ASSERT_TRUE(dev.ok());
    const fs::path out = dir.path() / "out";
    const Outcome o = Cli({"recover", dev.device(), "--out", out.string(), "--all"}, dir.path());
    EXPECT_NE(o.status, 0);
    EXPECT_THAT(o.out + o.err, HasSubstr("1 damaged"));
    EXPECT_THAT(o.out + o.err, HasSubstr(std::to_string(badInFile)));

    // The file: the disk's bytes, zeros only in the bad sector.
    const std::string name = fs::path(victim->entry.path).filename().string();
    const std::string got = Slurp(out / name);
    ASSERT_EQ(got.size(), victim->entry.size);
    std::vector<std::uint8_t> bytes(victim->entry.size);
    (*file)->ReadAt(victim->firstByte, bytes);
    std::string want(bytes.begin(), bytes.end());
    std::fill(want.begin() + badInFile, want.begin() + badInFile + 512, '\0');
    EXPECT_TRUE(got == want) << "bytes outside the bad sector differ";
}

// The device stops answering in the middle of the
// recovery: the run ends with an error, and every file it reports written is
// whole (no file of zeros counted as recovered).
TEST_F(FailingDevices, ADeviceThatVanishesEndsTheRecoveryWithAnError) {
    REQUIRE_IMAGE("demo.img");
    const fs::path image = ImageDir() / "demo.img";
    TempDir dir("qm-faildev");
    // How many reads the set-up and the scan take on a fresh device.
    long long scanReads = 0;
    {
        const fs::path count = dir.path() / "count";
        FailingDevice dev(image, dir.path() / "a", "--count " + count.string());
        ASSERT_TRUE(dev.ok());
        ASSERT_EQ(Cli({"scan", dev.device()}, dir.path()).status, 0);
        scanReads = std::stoll(Slurp(count));
    }
    FailingDevice dev(image, dir.path() / "b", "--fail-after " + std::to_string(scanReads + 3));
    ASSERT_TRUE(dev.ok());
    const fs::path out = dir.path() / "out";
    const Outcome o = Cli({"recover", dev.device(), "--out", out.string(), "--all"}, dir.path());
    EXPECT_NE(o.status, 0);
    EXPECT_FALSE(o.err.empty()) << "no error said";
    // Whatever was written is some deleted file's true content (names may
    // have been changed to free ones, so contents are compared).
    std::set<std::string> contents;
    for (const ManifestEntry& e : DeletedEntries(ReadManifest(image))) contents.insert(e.md5);
    std::error_code ec;
    for (fs::recursive_directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        EXPECT_TRUE(contents.count(FileMd5(it->path())))
            << it->path() << " is not a file the volume held";
    }
}

// A folder on a mount of the image being read, or on a loop device over it:
// the recovery refuses to write there (it would overwrite deleted files).
TEST_F(Devices, AMountedImageIsNotWrittenInto) {
    if (!HaveCommand("ntfs-3g")) GTEST_SKIP() << "ntfs-3g is not installed";
    REQUIRE_IMAGE("c4096.img");
    TempDir dir("qm-samevol");
    const fs::path copy = dir.path() / "n2.img";
    fs::copy_file(ImageDir() / "c4096.img", copy);
    const fs::path mnt = dir.path() / "mnt";
    fs::create_directories(mnt);
    ASSERT_EQ(
        std::system(
            ("ntfs-3g " + ShellQuote(copy.string()) + " " + ShellQuote(mnt.string())).c_str()),
        0);
    struct Unmount {
        fs::path at;
        ~Unmount() { (void)std::system(("umount " + ShellQuote(at.string())).c_str()); }
    } unmount{mnt};
    struct stat onMount {
    }, beside{};
    ASSERT_EQ(::stat(mnt.c_str(), &onMount), 0);
    ASSERT_EQ(::stat(dir.path().c_str(), &beside), 0);
    ASSERT_NE(onMount.st_dev, beside.st_dev) << "the image is not mounted";
    const std::string loop =
        RunCapture("losetup -r -f --show " + ShellQuote(copy.string())).value_or("");
    const std::string loopDev = loop.substr(0, loop.find('\n'));
    struct Detach {
        std::string dev;
        ~Detach() {
            if (!dev.empty()) (void)std::system(("losetup -d " + dev).c_str());
        }
    } detach{loopDev};

    std::vector<std::string> sources{copy.string(), copy.string() + "@0"};
    if (!loopDev.empty()) sources.push_back(loopDev);  // the loop device names the same file
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        const fs::path out = mnt / "out";
        const Outcome o = Cli({"recover", source, "--out", out.string(), "--all"}, dir.path());
        EXPECT_NE(o.status, 0);
        EXPECT_THAT(o.err, HasSubstr("lies on the volume being read"));
        EXPECT_FALSE(fs::exists(out));
    }
    // A folder elsewhere is fine.
    const Outcome elsewhere = Cli(
        {"recover", copy.string(), "--out", (dir.path() / "out").string(), "--all"}, dir.path());
    EXPECT_THAT(elsewhere.err, Not(HasSubstr("lies on the volume being read")));
    EXPECT_TRUE(fs::exists(dir.path() / "out"));
}

// An image whose first sector was wiped: the scan reads it through the backup
// boot sector, and says so on stderr.
TEST(BackupCopies, TheCommandLineSaysWhichCopyItUsed) {
    REQUIRE_IMAGE("c4096.img");
    TempDir dir("qm-backup");
    const fs::path copy = dir.path() / "wiped.img";
    fs::copy_file(ImageDir() / "c4096.img", copy);
    const Outcome clean = Cli({"scan", copy.string()}, dir.path());
    ASSERT_EQ(clean.status, 0) << clean.err;
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        const std::string zeros(512, '\0');
        f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    const Outcome o = Cli({"scan", copy.string()}, dir.path());
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_THAT(o.err, HasSubstr("the boot sector has no \"NTFS\" signature; using the backup "
                                 "boot sector at byte " +
                                 std::to_string(fs::file_size(copy) - 512)));
    EXPECT_EQ(o.out, clean.out);
}

}  // namespace
}  // namespace qm::itest
