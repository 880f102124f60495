// Raw volume reads: the read loop under both backends, image files, and (as
// root on Linux) a block device with 4096-byte sectors.
#include <gtest/gtest.h>

#include <cstring>

#include "PlatformTestSupport.h"
#include "platform/AlignedRead.h"
#include "platform/RawVolume.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace qm {
namespace {

using test::Pattern;
using test::TempDir;

// A source that hands out at most `chunk` bytes per call and checks the
// alignment a device would insist on.
struct FakeSource {
    std::vector<std::uint8_t> data;
    std::size_t chunk = SIZE_MAX;
    std::uint32_t sector = 1;
    std::uint64_t failFrom = UINT64_MAX;  // calls reaching this offset fail
    int calls = 0;
    bool misaligned = false;

    std::int64_t operator()(std::uint64_t pos, std::uint8_t* p, std::size_t n) {
        ++calls;
        if (pos % sector != 0 || n % sector != 0) misaligned = true;
        if (pos + n > failFrom) return -1;
        if (pos >= data.size()) return 0;
        n = std::min({n, chunk, static_cast<std::size_t>(data.size() - pos)});
        std::memcpy(p, data.data() + pos, n);
        return static_cast<std::int64_t>(n);
    }
};

std::vector<std::uint8_t> Expected(const std::vector<std::uint8_t>& data, std::uint64_t off,
                                   std::size_t len) {
    std::vector<std::uint8_t> v(len, 0);
    for (std::size_t i = 0; i < len && off + i < data.size(); ++i) v[i] = data[off + i];
    return v;
}

TEST(ReadLoop, ShortPiecesAreJoinedAndTheEndIsZeroFilled) {
    FakeSource src{Pattern(10000)};
    src.chunk = 7;
    std::vector<std::uint8_t> buf(3000, 0xEE);
    EXPECT_EQ(ReadFullyAligned(src, 100, buf, 1), 3000u);
    EXPECT_EQ(buf, Expected(src.data, 100, 3000));

    // Running past the end: what exists, then zeros where stale bytes were.
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(ReadFullyAligned(src, 9000, buf, 1), 1000u);
    EXPECT_EQ(buf, Expected(src.data, 9000, 3000));

    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(ReadFullyAligned(src, 20000, buf, 1), 0u);
    EXPECT_EQ(buf, std::vector<std::uint8_t>(3000, 0));
}

TEST(ReadLoop, DeviceReadsAreWholeAlignedSectors) {
    // Every offset and length class around 4096-byte sectors, including reads
    // that start and end inside a sector and ones that stop at the device's end.
    FakeSource src{Pattern(8 * 4096 + 4096)};
    src.sector = 4096;
    const std::uint64_t offsets[] = {0,    1,    511,          4095,         4096,
                                     4097, 6000, 8 * 4096 - 1, 9 * 4096 - 10};
    const std::size_t lengths[] = {0, 1, 512, 1024, 4095, 4096, 4097, 9000, 5 * 4096};
    for (auto off : offsets) {
        for (auto len : lengths) {
            src.misaligned = false;
            std::vector<std::uint8_t> buf(len, 0xEE);
            const std::size_t n = ReadFullyAligned(src, off, buf, 4096);
            SCOPED_TRACE(testing::Message() << "offset " << off << " length " << len);
            EXPECT_FALSE(src.misaligned);
            EXPECT_EQ(n, std::min<std::uint64_t>(
                             len, src.data.size() - std::min<std::uint64_t>(off, src.data.size())));
            EXPECT_EQ(buf, Expected(src.data, off, len));
        }
    }
    // A device that delivers a sector at a time still fills large reads.
    src.chunk = 4096;
    std::vector<std::uint8_t> buf(6 * 4096 + 100);
    EXPECT_EQ(ReadFullyAligned(src, 300, buf, 4096), buf.size());
    EXPECT_EQ(buf, Expected(src.data, 300, buf.size()));
    EXPECT_FALSE(src.misaligned);
}

TEST(ReadLoop, AnErrorEndsTheReadAtTheLastGoodByte) {
    FakeSource src{Pattern(100000)};
    src.chunk = 1000;
    src.failFrom = 5000;
    std::vector<std::uint8_t> buf(10000, 0xEE);
    EXPECT_EQ(ReadFullyAligned(src, 0, buf, 1), 5000u);
    EXPECT_EQ(buf, Expected(std::vector<std::uint8_t>(src.data.begin(), src.data.begin() + 5000), 0,
                            10000));

    // Near the top of the 64-bit range nothing wraps around to offset 0.
    FakeSource tiny{Pattern(64)};
    std::vector<std::uint8_t> top(32, 0xEE);
    EXPECT_EQ(ReadFullyAligned(tiny, UINT64_MAX - 3, top, 1), 0u);
    EXPECT_EQ(ReadFullyAligned(tiny, UINT64_MAX - 3, top, 512), 0u);
    EXPECT_EQ(top, std::vector<std::uint8_t>(32, 0));
}

// A device with one bad sector as the page cache shows it: a cached read that
// touches the readahead window around the bad sector fails whole, a read past
// the cache fails only on the bad sector itself and wants aligned buffers.
struct BadSectorDevice {
    std::vector<std::uint8_t> data;
    std::uint64_t bad;                  // offset of the bad sector
    std::uint64_t window = 128 * 1024;  // the readahead window that fails with it
    std::uint32_t sector = 512;
    bool misaligned = false;

    std::int64_t Read(std::uint64_t pos, std::uint8_t* p, std::size_t n, std::uint64_t lo,
                      std::uint64_t hi) {
        if (pos < hi && pos + n > lo) return -1;
        if (pos >= data.size()) return 0;
        n = std::min<std::size_t>(n, data.size() - pos);
        std::memcpy(p, data.data() + pos, n);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t Cached(std::uint64_t pos, std::uint8_t* p, std::size_t n) {
        const std::uint64_t lo = bad / window * window;
        return Read(pos, p, n, lo, lo + window);
    }
    std::int64_t Direct(std::uint64_t pos, std::uint8_t* p, std::size_t n) {
        if (pos % sector != 0 || n % sector != 0 ||
            reinterpret_cast<std::uintptr_t>(p) % AlignedBuffer::kAlignment != 0)
            misaligned = true;
        return Read(pos, p, n, bad, bad + sector);
    }
    // What a device volume does: the cached read, and past the cache where it fails.
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) {
        auto direct = [this](std::uint64_t pos, std::uint8_t* p, std::size_t n) {
            return Direct(pos, p, n);
        };
        auto read = [&](std::uint64_t pos, std::uint8_t* p, std::size_t n) -> std::int64_t {
            const std::int64_t r = Cached(pos, p, n);
            return r >= 0 ? r : RetryUnbuffered(direct, pos, p, n, sector);
        };
        return ReadFullyAligned(read, offset, buf, sector);
    }
};

TEST(ReadLoop, AFailedCachedReadLosesOnlyTheBadSectorWhenReadPastTheCache) {
    BadSectorDevice dev{Pattern(1 << 20), 300 * 1024};
    struct Case {
        std::uint64_t offset;
        std::size_t length;
        std::size_t delivered;
    } cases[] = {
        {256 * 1024, 1024, 1024},              // a record at the window's start
        {300 * 1024 - 1024, 1024, 1024},       // the record just before the bad sector
        {300 * 1024 - 700, 1024, 700},         // a record running into it, unaligned
        {300 * 1024, 1024, 0},                 // the record holding it
        {300 * 1024 + 512, 1024, 1024},        // the sector after it
        {200 * 1024, 200 * 1024, 100 * 1024},  // a chunk across it stops right at it
        {384 * 1024 - 100, 4096, 4096},        // past the window: the cache answers
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length);
        std::vector<std::uint8_t> buf(c.length, 0xEE);
        EXPECT_EQ(dev.ReadAt(c.offset, buf), c.delivered);
        std::vector<std::uint8_t> want = Expected(dev.data, c.offset, c.delivered);
        want.resize(c.length, 0);
        EXPECT_EQ(buf, want);
    }
    EXPECT_FALSE(dev.misaligned);
    // Not even the first sector: an error, not an empty read.
    std::vector<std::uint8_t> one(512);
    auto direct = [&](std::uint64_t pos, std::uint8_t* p, std::size_t n) {
        return dev.Direct(pos, p, n);
    };
    EXPECT_EQ(RetryUnbuffered(direct, 300 * 1024, one.data(), one.size(), 512), -1);
    EXPECT_EQ(RetryUnbuffered(direct, 100, one.data(), one.size(), 512), -1);  // not aligned
}

TEST(AlignedBuffer, StartsOnAPageBoundaryWhateverItsSize) {
    for (std::size_t size : {1u, 16u, 512u, 1000u, 4096u, 4097u, 1u << 20}) {
        AlignedBuffer a(size);
        ASSERT_EQ(a.size(), size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data()) % AlignedBuffer::kAlignment, 0u)
            << size;
        std::memset(a.data(), 0xA5, size);  // all of it is ours (ASan checks)
        a.Reset(size + 16);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data()) % AlignedBuffer::kAlignment, 0u);
    }
    AlignedBuffer none;
    EXPECT_TRUE(none.empty());
    none.Reset(0);
    EXPECT_EQ(none.data(), nullptr);
}

class ImageVolume : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<std::uint8_t> bytes = Pattern(3 * 4096 + 123);
    std::string path = dir / "disk.img";
    void SetUp() override { test::WriteFile(path, bytes); }
};

TEST_F(ImageVolume, ReadsAnyRangeAndZeroFillsPastTheEnd) {
    auto vol = OpenRawVolumePath(path);
    ASSERT_TRUE(vol) << vol.error().ToString();
    EXPECT_EQ((*vol)->Size(), bytes.size());
    EXPECT_EQ((*vol)->Name(), path);
    EXPECT_EQ((*vol)->SectorSize(), 1u);
    for (std::uint64_t off : {0ull, 1ull, 4095ull, 12000ull, 12400ull, 1ull << 40}) {
        std::vector<std::uint8_t> buf(1000, 0xEE);
        const std::size_t n = (*vol)->ReadAt(off, buf);
        EXPECT_EQ(n, std::min<std::uint64_t>(
                         1000, bytes.size() - std::min<std::uint64_t>(off, bytes.size())));
        EXPECT_EQ(buf, Expected(bytes, off, 1000)) << "offset " << off;
    }
}

TEST_F(ImageVolume, OffsetsBeyondFourGiBReachTheirBytes) {
    // A sparse image of 5 GiB with marks just past the 32-bit boundaries.
    const std::string big = dir / "big.img";
    const std::uint64_t marks[] = {(1ull << 32) - 2, (1ull << 32) + 4096, 5ull << 30};
    {
        std::ofstream out(big, std::ios::binary);
        for (auto m : marks) {
            out.seekp(static_cast<std::streamoff>(m));
            out.write("QMARK", 5);
        }
        ASSERT_TRUE(out.good());
    }
    auto vol = OpenRawVolumePath(big);
    ASSERT_TRUE(vol) << vol.error().ToString();
    EXPECT_EQ((*vol)->Size(), (5ull << 30) + 5);
    for (auto m : marks) {
        std::uint8_t buf[5] = {};
        EXPECT_EQ((*vol)->ReadAt(m, buf), 5u);
        EXPECT_EQ(std::memcmp(buf, "QMARK", 5), 0) << "offset " << m;
    }
}

TEST_F(ImageVolume, OpenFailuresSayWhatWentWrong) {
    auto missing = OpenRawVolumePath(dir / "nothing.img");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ErrorCode::NotFound);

    auto folder = OpenRawVolumePath(dir.path().string());
    ASSERT_FALSE(folder);
    EXPECT_NE(folder.error().code, ErrorCode::NotFound);

    // The "@OFFSET" form opens the same backend and reads from the offset.
    auto part = OpenRawVolume(path + "@4096");
    ASSERT_TRUE(part) << part.error().ToString();
    std::vector<std::uint8_t> buf(200);
    EXPECT_EQ((*part)->ReadAt(0, buf), 200u);
    EXPECT_EQ(buf, Expected(bytes, 4096, 200));
    EXPECT_EQ((*part)->Size(), bytes.size() - 4096);
}

#if defined(__linux__)
TEST_F(ImageVolume, IsOpenedReadOnly) {
    auto vol = OpenRawVolumePath(path);
    ASSERT_TRUE(vol);
    // Find our descriptor of the image and look at its access mode.
    int found = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec) != std::filesystem::path(path)) continue;
        std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
        std::string key;
        std::string flags;
        while (info >> key && key != "flags:") {
        }
        info >> flags;
        EXPECT_EQ(std::stoi(flags, nullptr, 8) & O_ACCMODE, O_RDONLY);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

TEST_F(ImageVolume, UnreadableSourceIsPermissionDenied) {
    if (test::IsRoot()) GTEST_SKIP() << "root reads every file";
    std::filesystem::permissions(path, std::filesystem::perms::none);
    auto vol = OpenRawVolumePath(path);
    ASSERT_FALSE(vol);
    EXPECT_EQ(vol.error().code, ErrorCode::PermissionDenied);
    EXPECT_NE(vol.error().message.find("root"), std::string::npos);
}

// A loop device over an image, with the given logical sector size; detached
// again at the end. Needs root.
class LoopDevice {
public:
    LoopDevice(const std::string& image, unsigned sectorSize) {
        int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (ctl < 0) return;
        const int n = ::ioctl(ctl, LOOP_CTL_GET_FREE);
        ::close(ctl);
        if (n < 0) return;
        path_ = "/dev/loop" + std::to_string(n);
        const int file = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0 || fd_ < 0) {
            if (file >= 0) ::close(file);
            return;
        }
        loop_config cfg{};
        cfg.fd = static_cast<__u32>(file);
        cfg.block_size = sectorSize;
        cfg.info.lo_flags = LO_FLAGS_READ_ONLY | LO_FLAGS_AUTOCLEAR;
        attached_ = ::ioctl(fd_, LOOP_CONFIGURE, &cfg) == 0;
        ::close(file);
    }
    ~LoopDevice() {
        if (attached_) ::ioctl(fd_, LOOP_CLR_FD, 0);
        if (fd_ >= 0) ::close(fd_);
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    bool attached() const { return attached_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    bool attached_ = false;
};

TEST(BlockDevice, FourKiBSectorDeviceReadsLikeItsImage) {
    if (!test::IsRoot()) GTEST_SKIP() << "loop devices need root";
    TempDir dir;
    const auto bytes = Pattern(64 * 4096, 7);
    test::WriteFile(dir / "disk.img", bytes);
    LoopDevice loop(dir / "disk.img", 4096);
    if (!loop.attached()) GTEST_SKIP() << "no loop device available";

    auto vol = OpenRawVolumePath(loop.path());
    ASSERT_TRUE(vol) << vol.error().ToString();
    EXPECT_EQ((*vol)->Size(), bytes.size());
    EXPECT_EQ((*vol)->SectorSize(), 4096u);
    // Records of 1024 bytes at 1 KiB strides, a boot sector, odd spans, the end.
    const std::pair<std::uint64_t, std::size_t> reads[] = {
        {0, 512}, {1024, 1024}, {3 * 1024, 1024}, {4096 + 17, 9000}, {bytes.size() - 100, 4096}};
    for (auto [off, len] : reads) {
        std::vector<std::uint8_t> buf(len, 0xEE);
        EXPECT_EQ((*vol)->ReadAt(off, buf), std::min<std::uint64_t>(len, bytes.size() - off));
        EXPECT_EQ(buf, Expected(bytes, off, len)) << "offset " << off;
    }
}
#endif

}  // namespace
}  // namespace qm
