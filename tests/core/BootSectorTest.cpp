// Boot-sector fields, the geometry rules and the label texts.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

std::vector<std::uint8_t> Boot(std::uint16_t bps, std::uint8_t spc, std::uint32_t v,
                               std::uint64_t mftCluster = 4, std::uint64_t serial = 0x1234) {
    std::vector<std::uint8_t> s(512, 0);
    std::memcpy(&s[3], "NTFS    ", 8);
    auto put = [&](std::size_t off, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) s[off + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(11, bps, 2);
    s[13] = spc;
    put(40, 1000000, 8);
    put(48, mftCluster, 8);
    put(64, v, 4);
    put(72, serial, 8);
    return s;
}

VolumeGeometry GeometryOf(const std::vector<std::uint8_t>& s) {
    return GeometryFromBoot(ParseBootSector(ByteView(s.data(), s.size())));
}

TEST(BootSector, OemTestLooksAtFourExactBytes) {
    auto s = Boot(512, 8, 0xF6);
    std::memcpy(&s[7], "XYZW", 4);
    EXPECT_TRUE(OemIsNtfs(ParseBootSector(ByteView(s.data(), s.size()))));
    std::memcpy(&s[3], "ntfs", 4);
    EXPECT_FALSE(OemIsNtfs(ParseBootSector(ByteView(s.data(), s.size()))));
    // A sector cut short reads as zeros rather than past its end.
    std::vector<std::uint8_t> cut(s.begin(), s.begin() + 20);
    auto b = ParseBootSector(ByteView(cut.data(), cut.size()));
    EXPECT_EQ(b.mftCluster, 0u);
    EXPECT_EQ(b.bytesPerSector, 512);
}

TEST(Geometry, SectorsPerClusterByte) {
    EXPECT_EQ(SectorsPerClusterFromByte(1), 1u);
    EXPECT_EQ(SectorsPerClusterFromByte(0x80), 128u);
    EXPECT_EQ(SectorsPerClusterFromByte(0xF8), 256u);   // 128 KiB with 512-byte sectors
    EXPECT_EQ(SectorsPerClusterFromByte(0xF4), 4096u);  // 2 MiB clusters
    EXPECT_EQ(SectorsPerClusterFromByte(0), 0u);
}

TEST(Geometry, RecordSizeRule) {
    EXPECT_EQ(RecordSizeRule(246, 4096), 1024u);
    EXPECT_EQ(RecordSizeRule(0xFFFFFFF6u, 4096), 1024u);  // the signed byte with 0xFF above it
    EXPECT_EQ(RecordSizeRule(244, 4096), 4096u);
    EXPECT_EQ(RecordSizeRule(1, 4096), 4096u);
    EXPECT_EQ(RecordSizeRule(2, 512), 1024u);
    EXPECT_EQ(RecordSizeRule(16, 4096), 65536u);  // no longer wraps to 0
}

TEST(Geometry, LargeClustersNoLongerWrap) {
    // 64 KiB clusters: 512-byte sectors, 128 per cluster.
    auto g = GeometryOf(Boot(512, 0x80, 0xF6));
    EXPECT_EQ(g.ClusterSize, 65536u);
    EXPECT_EQ(g.RecordSize, 1024u);
    EXPECT_TRUE(CheckGeometry(g).ok());
    // 2 MiB clusters.
    g = GeometryOf(Boot(512, 0xF4, 0xF6));
    EXPECT_EQ(g.ClusterSize, 2u << 20);
    EXPECT_EQ(g.SectorsPerCluster, 4096u);
    // The MFT offset is formed from the boot fields, 64-bit.
    auto s = Boot(512, 0x80, 0xF6, 0x30000);
    EXPECT_EQ(MftOffsetOf(ParseBootSector(ByteView(s.data(), s.size()))), 0x30000ull * 65536);
}

TEST(Geometry, UnusableGeometryIsRefused) {
    EXPECT_FALSE(CheckGeometry(GeometryOf(Boot(0, 8, 0xF6))).ok());
    EXPECT_FALSE(CheckGeometry(GeometryOf(Boot(512, 0, 0xF6))).ok());
    EXPECT_FALSE(CheckGeometry(GeometryOf(Boot(512, 8, 0xFB))).ok());  // 32-byte records
    EXPECT_FALSE(CheckGeometry(GeometryOf(Boot(512, 8, 0xEF))).ok());  // 128 KiB records
    EXPECT_FALSE(CheckGeometry(GeometryOf(Boot(512, 8, 0))).ok());
    auto e = CheckGeometry(GeometryOf(Boot(512, 8, 0xFB)));
    EXPECT_NE(e.error().ToString().find("expected 48, found 32"), std::string::npos);
}

TEST(Texts, NumberFormsAndLabels) {
    EXPECT_EQ(HexText(0, 2), "00");
    EXPECT_EQ(HexText(0xABC, 2), "ABC");
    EXPECT_EQ(HexText(0x10, 1), "10");
    EXPECT_EQ(HexText(0xF, 4), "000F");
    EXPECT_EQ(HexText(~std::uint64_t{0}, 2), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(HexText(0x8000000000000000ull, 99), "8000000000000000");
    EXPECT_EQ(DecimalText(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(UDecimalText(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(DriveSerialText(0x1234ABCD), "序号: 1234ABCD");
    EXPECT_EQ(DriveSerialText(0x12), "序号: 00000012");
    EXPECT_EQ(DriveSerialText(0x7EFEEEDBFEEE8B2Bull), "序号: 7EFEEEDBFEEE8B2B");
    EXPECT_EQ(DriveMftLocationText(0), "MFT位置 : 0x00");
    EXPECT_EQ(DriveSizeText(-5), "大小 : -5 字节");
    EXPECT_EQ(DriveMftSizeText(262144), "MFT大小 : 262144 字节");
    EXPECT_EQ(DriveRecordsCountText(256), "文件数 : 256");
    EXPECT_EQ(DriveNameText(""), "名称: ");
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Boot sectors written by Windows, with the values their volumes are known to have.
TEST(Geometry, RealBootSectors) {
    struct Case {
        const char* file;
        std::uint32_t cluster, record, bps;
        std::uint64_t mftCluster;
    } cases[] = {
        {"4k.boot", 4096, 1024, 512, 786432},    {"64k.boot", 65536, 1024, 512, 0},
        {"128k.boot", 131072, 1024, 512, 24576}, {"4kn.boot", 4096, 4096, 4096, 4778},
        {"512.boot", 512, 1024, 512, 0},
    };
    for (const Case& c : cases) {
        auto bytes = ReadFile(std::string(QM_TESTDATA) + "/boot/" + c.file);
        SCOPED_TRACE(c.file);
        ASSERT_EQ(bytes.size(), 512u) << "reference boot sector missing under " << QM_TESTDATA;
        BootSector b = ParseBootSector(ByteView(bytes.data(), bytes.size()));
        VolumeGeometry g = GeometryFromBoot(b);
        EXPECT_TRUE(OemIsNtfs(b));
        EXPECT_EQ(g.ClusterSize, c.cluster);
        EXPECT_EQ(g.RecordSize, c.record);
        EXPECT_EQ(g.BytesPerSector, c.bps);
        if (c.mftCluster) {
            EXPECT_EQ(b.mftCluster, c.mftCluster);
        }
        EXPECT_TRUE(CheckGeometry(g).ok());
    }
    auto nb = ReadFile(std::string(QM_TESTDATA) + "/boot/nobootcode.boot");
    ASSERT_EQ(nb.size(), 512u);
    EXPECT_TRUE(OemIsNtfs(ParseBootSector(ByteView(nb.data(), nb.size()))));
    auto k4 = ReadFile(std::string(QM_TESTDATA) + "/boot/4k.boot");
    EXPECT_EQ(ParseBootSector(ByteView(k4.data(), k4.size())).serial, 0x7EFEEEDBFEEE8B2Bull);
}

}  // namespace
}  // namespace qm
