// Image files beyond one raw file: split raw images read as one, container
// formats told by their first bytes, and the volume over a container library
// that fails in places.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "PlatformTestSupport.h"
#include "platform/RawVolume.h"
#include "platform/images/ImageVolume.h"

namespace qm {
namespace {

using test::Pattern;
using test::TempDir;

std::vector<std::uint8_t> Bytes(std::string_view text, std::size_t size) {
    std::vector<std::uint8_t> b(size, 0);
    std::copy_n(text.begin(), std::min(text.size(), size), b.begin());
    return b;
}

TEST(SplitRaw, PartsAreFoundInSequenceFromTheFirst) {
    struct Case {
        std::vector<std::string> files;  // made in the folder
        std::string asked;
        std::vector<std::string> parts;  // expected; empty: not a split image
    };
    const Case cases[] = {
        {{"d.001", "d.002", "d.003", "d.005"}, "d.001", {"d.001", "d.002", "d.003"}},
        {{"d.0001", "d.0002"}, "d.0001", {"d.0001", "d.0002"}},
        {{"d.aa", "d.ab", "d.ac"}, "d.aa", {"d.aa", "d.ab", "d.ac"}},
        {{"d.aaa", "d.aab"}, "d.aaa", {"d.aaa", "d.aab"}},
        {{"d.001"}, "d.001", {}},           // one part is a plain image
        {{"d.001", "d.002"}, "d.002", {}},  // not the first part
        {{"d.img", "d.002"}, "d.img", {}},  // no sequence in the name
        {{"d.01", "d.02"}, "d.01", {}},     // too few digits to be split's
        {{"d.E01", "d.E02"}, "d.E01", {}},  // EWF segments are the library's
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const auto& f : c.files) test::WriteFile(dir.path() / f, {1});
        std::vector<std::string> want;
        for (const auto& p : c.parts) want.push_back(dir / p);
        EXPECT_EQ(SplitRawParts(dir / c.asked), want) << c.asked;
    }
    // Lettered parts roll over from z: "az" is followed by "ba".
    TempDir dir;
    std::string suffix = "aa";
    std::vector<std::string> want;
    for (int i = 0; i < 28; ++i) {
        want.push_back(dir / ("d." + suffix));
        test::WriteFile(want.back(), {1});
        if (suffix[1] == 'z')
            suffix = std::string{char(suffix[0] + 1), 'a'};
        else
            ++suffix[1];
    }
    EXPECT_EQ(SplitRawParts(dir / "d.aa"), want);
    EXPECT_EQ(want[26], dir / "d.ba");
}

TEST(SplitRaw, ReadsAcrossPartsAsOneImage) {
    TempDir dir;
    const auto all = Pattern(10000);
    const std::size_t cuts[] = {0, 4096, 4097, 9000, 10000};  // parts of 4096, 1, 4903, 1000
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i)
        test::WriteFile(dir.path() / ("disk.00" + std::to_string(i + 1)),
                        {all.begin() + cuts[i], all.begin() + cuts[i + 1]});
    auto opened = OpenRawVolume(dir / "disk.001");
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    RawVolume& v = **opened;
    EXPECT_EQ(v.Size(), all.size());
    EXPECT_EQ(v.Name(), dir / "disk.001");
    struct Read {
        std::uint64_t offset;
        std::size_t size, delivered;
    } reads[] = {{0, 10000, 10000},  {4000, 200, 200}, {4096, 1, 1},  {4095, 3, 3},
                 {8999, 1002, 1001}, {9999, 5, 1},     {10000, 4, 0}, {123456789, 8, 0}};
    for (const Read& r : reads) {
        std::vector<std::uint8_t> buf(r.size, 0xEE);
        EXPECT_EQ(v.ReadAt(r.offset, buf), r.delivered) << r.offset;
        for (std::size_t i = 0; i < r.size; ++i) {
            const std::uint8_t want = i < r.delivered ? all[r.offset + i] : 0;
            ASSERT_EQ(buf[i], want) << r.offset << "+" << i;
        }
    }
    // A partition inside a split disk image: IMAGE@OFFSET works on the whole.
    auto part = OpenRawVolume(dir / "disk.001@4095");
    ASSERT_TRUE(part.ok());
    std::vector<std::uint8_t> buf(3);
    EXPECT_EQ((*part)->ReadAt(0, buf), 3u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), all.begin() + 4095));
}

TEST(SplitRaw, APartThatStopsShortEndsTheRead) {
    std::vector<std::unique_ptr<RawVolume>> parts;
    parts.push_back(std::make_unique<MemoryVolume>(Pattern(100)));
    auto failing = std::make_unique<MemoryVolume>(Pattern(100));
    struct Short final : RawVolume {  // claims 100 bytes, delivers 50
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
            std::fill(buf.begin(), buf.end(), 0);
            return offset >= 50 ? 0 : std::min<std::size_t>(buf.size(), 50 - offset);
        }
        std::uint64_t Size() const override { return 100; }
        const std::string& Name() const override { return name; }
        std::string name = "short";
    };
    parts.push_back(std::make_unique<Short>());
    parts.push_back(std::move(failing));
    auto v = MakeConcatVolume(std::move(parts), "joined");
    EXPECT_EQ(v->Size(), 300u);
    std::vector<std::uint8_t> buf(300, 0xEE);
    EXPECT_EQ(v->ReadAt(0, buf), 150u);
    EXPECT_EQ(buf[200], 0);
    EXPECT_EQ(v->ReadAt(200, std::span(buf).first(100)), 100u);
}

TEST(ImageFormat, ToldByTheirFirstBytesOrTheVhdFooter) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        ImageFormat format;
    } cases[] = {
        {Bytes("EVF\x09\x0d\x0a\xff\x00", 4096), ImageFormat::Ewf},
        {Bytes(std::string_view("EVF2\x0d\x0a\x81\x00", 8), 4096), ImageFormat::Ewf},
        {Bytes("vhdxfile", 4096), ImageFormat::Vhdx},
        {Bytes("conectix", 4096), ImageFormat::Vhd},
        {Bytes("KDMV", 4096), ImageFormat::Vmdk},
        {Bytes("# Disk DescriptorFile\nversion=1\n", 4096), ImageFormat::Vmdk},
        {Bytes("QFI\xfb", 4096), ImageFormat::Qcow},
        {Bytes("\xebR\x90NTFS    ", 4096), ImageFormat::Raw},
        {Bytes("EVF", 3), ImageFormat::Raw},  // too short for the signature
        {Bytes("", 0), ImageFormat::Raw},
    };
    for (const Case& c : cases) {
        MemoryVolume v(c.bytes);
        EXPECT_EQ(DetectImageFormat(v), c.format) << ImageFormatName(c.format);
    }
    // A fixed VHD: the disk's own bytes, then a footer.
    auto fixed = Bytes("\xebR\x90NTFS    ", 8192);
    std::memcpy(fixed.data() + 8192 - 512, "conectix", 8);
    MemoryVolume v(fixed);
    EXPECT_EQ(DetectImageFormat(v), ImageFormat::Vhd);
}

TEST(ImageFormat, ContainersThisBuildCannotReadAreRefusedByName) {
    if (!SupportedContainerFormats().empty()) GTEST_SKIP() << "this build reads containers";
    TempDir dir;
    test::WriteFile(dir.path() / "x.qcow2", Bytes("QFI\xfb", 4096));
    auto opened = OpenRawVolume(dir / "x.qcow2");
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().message.find("QCOW image, which this build cannot read"),
              std::string::npos);
}

// A library reader over `data` that fails for every request touching [badFrom, badTo).
struct FlakyMedia {
    std::vector<std::uint8_t> data;
    std::uint64_t badFrom = 0, badTo = 0;
    std::int64_t operator()(std::uint64_t offset, std::uint8_t* p, std::size_t n) const {
        if (offset < badTo && offset + n > badFrom) return -1;
        if (offset >= data.size()) return 0;
        n = std::min<std::size_t>(n, data.size() - offset);
        std::memcpy(p, data.data() + offset, n);
        return static_cast<std::int64_t>(n);
    }
};

TEST(ContainerVolume, ALibraryReadErrorDeliversTheBytesBeforeItAndIsCounted) {
    const auto data = Pattern(64 * 1024);
    ContainerVolume v(FlakyMedia{data, 40960, 41472}, nullptr, data.size(), "c.E01");
    struct Read {
        std::uint64_t offset;
        std::size_t size, delivered;
    } reads[] = {
        {0, 32768, 32768},              // clean
        {32768, 16384, 40960 - 32768},  // stops at the bad sector, the part before arrives
        {41472, 4096, 4096},            // past it
        {40960, 512, 0},                // the bad sector itself
        {65000, 4096, 65536 - 65000},   // cut at the end of the media
        {70000, 10, 0},
    };
    std::uint64_t errorsBefore = 0;
    for (const Read& r : reads) {
        std::vector<std::uint8_t> buf(r.size, 0xEE);
        EXPECT_EQ(v.ReadAt(r.offset, buf), r.delivered) << r.offset;
        for (std::size_t i = 0; i < r.size; ++i)
            ASSERT_EQ(buf[i], i < r.delivered ? data[r.offset + i] : 0) << r.offset << "+" << i;
        const bool touchesBad = r.offset < 41472 && r.offset + r.size > 40960;
        EXPECT_EQ(v.ReadErrors() > errorsBefore, touchesBad) << r.offset;
        errorsBefore = v.ReadErrors();
    }
}

}  // namespace
}  // namespace qm
