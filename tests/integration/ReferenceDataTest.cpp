// Volumes and MFTs written by Windows and other NTFS implementations (the
// reference data in tests/data/reference): the scan lists what their
// descriptions say. Raw MFTs are wrapped in a volume of our own whose record 0
// maps them.
#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <iterator>

#include "recover/RecoverRecord.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/Md5.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::itest {
namespace {

using test::Bytes;

class ReferenceData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(TestdataDir() / "README.md"))
            << "no reference data at " << TestdataDir() << " (QM_TESTDATA)";
    }

    ScanResult ScanGz(const std::string& name) {
        TempDir dir(name);
        const fs::path image = Gunzip(TestdataDir() / "volumes" / (name + ".img.gz"), dir.path());
        auto volume = OpenRawVolume(image.string());
        if (!volume.ok()) throw std::runtime_error(volume.error().ToString());
        return ScanVolume(**volume);
    }

    // The records of a raw MFT placed in a volume of our own: records 1 on as
    // they are, record 0 ours (the original maps clusters of a volume we lack).
    static MemoryVolume WrapMft(const std::string& name, std::uint32_t recordSize) {
        TempDir dir(name);
        const fs::path raw = Gunzip(TestdataDir() / "mft" / (name + ".mft.gz"), dir.path());
        std::ifstream in(raw, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), {});
        if (bytes.size() % recordSize != 0) throw std::runtime_error("odd MFT size");
        const std::uint64_t count = bytes.size() / recordSize;

        test::VolumeBuilder vb;
        vb.BytesPerSector(512).SectorsPerClusterByte(8).MftCluster(16).RecordCount(count);
        vb.ClustersPerRecord(recordSize == 4096 ? 1 : 0xF6);
        for (std::uint64_t i = 1; i < count; ++i) {
            vb.Record(i, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i * recordSize),
                               bytes.begin() + static_cast<std::ptrdiff_t>((i + 1) * recordSize)));
        }
        return MemoryVolume(vb.Build(), name);
    }
};

TEST_F(ReferenceData, VolumesWithoutDeletedFilesListNothing) {
    // testfs1: records 16-23 have flags 0 but no $FILE_NAME; ntfs3_attrlist:
    // about 1100 records with the signature, flags 0 and no attributes at all.
    for (const char* name : {"testfs1", "file_4k", "ntfs3_attrlist"}) {
        const ScanResult scan = ScanGz(name);
        ASSERT_EQ(scan.summary.setup.stop, SetupStop::None)
            << name << ": " << scan.summary.setup.reason;
        EXPECT_TRUE(scan.rows.empty())
            << name << ": first row is record " << scan.rows.front().record;
    }
}

TEST_F(ReferenceData, Testfs1GeometryAndLabel) {
    const ScanResult scan = ScanGz("testfs1");
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None);
    EXPECT_EQ(scan.Info().geometry.ClusterSize, 512u);
    EXPECT_EQ(scan.Info().geometry.RecordSize, 1024u);
    EXPECT_EQ(scan.Info().MftOffset, 32u * 512);
    EXPECT_EQ(scan.Info().label, "mylabel");
}

TEST_F(ReferenceData, GptDiskHasOneDeletedFileInItsPartition) {
    TempDir dir("gpt");
    Untar(TestdataDir() / "volumes" / "gpt_disk.tar.gz", dir.path());
    fs::path disk;
    for (const auto& e : fs::directory_iterator(dir.path())) disk = e.path();
    ASSERT_FALSE(disk.empty());

    auto volume = OpenRawVolume(disk.string() + "@34603008");
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const ScanResult scan = ScanVolume(**volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
    ASSERT_EQ(scan.rows.size(), 1u);
    EXPECT_EQ(scan.rows[0].record, 42u);
    EXPECT_EQ(Utf8(scan.rows[0].name), "{3808876b-c176-4e48-b7ae-04046e6cc752}");
    EXPECT_EQ(scan.rows[0].size, 65536u);
    EXPECT_EQ(scan.Info().label, "1");

    // Its initialized size is 0; we write the clusters as they are (TSK would
    // give zeros), so only the length and that the clusters were read are checked.
    const std::string out = (dir.path() / "out").string();
    const RecoverResult r =
        RecoverRecord(**volume, PositionText(scan.rows[0].position), scan.Info().geometry, out);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    EXPECT_EQ(fs::file_size(out), 65536u);
    std::ifstream in(out, std::ios::binary);
    const Bytes content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(std::count_if(content.begin(), content.end(), [](std::uint8_t b) { return b != 0; }),
              145);
}

TEST_F(ReferenceData, DeletedMftListsFileTxtAndRecoversIt) {
    MemoryVolume volume = WrapMft("deleted", 1024);
    const ScanResult scan = ScanVolume(volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
    // Records 39 and 43 to 46 are deleted directories: never listed.
    ASSERT_EQ(scan.rows.size(), 1u);
    EXPECT_EQ(scan.rows[0].record, 47u);
    EXPECT_EQ(Utf8(scan.rows[0].name), "file.txt");
    EXPECT_EQ(scan.rows[0].size, 3u);

    TempDir dir("deleted-mft");
    const std::string out = (dir.path() / "file.txt").string();
    const RecoverResult r =
        RecoverRecord(volume, PositionText(scan.rows[0].position), scan.Info().geometry, out);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    EXPECT_EQ(FileMd5(out), "202cb962ac59075b964b07152d234b70");  // "123"
}

// Texts from the volume come in the locale's 8-bit code page; pin a UTF-8 one.
class Utf8Locale {
public:
    Utf8Locale() {
        if (const char* old = std::setlocale(LC_ALL, nullptr)) old_ = old;
        ok_ = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    }
    ~Utf8Locale() { std::setlocale(LC_ALL, old_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string old_ = "C";
    bool ok_ = false;
};

TEST_F(ReferenceData, OrphanMftListsItsFourEmptyFiles) {
    Utf8Locale utf8;
    MemoryVolume volume = WrapMft("orphan", 1024);
    const ScanResult scan = ScanVolume(volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
    ASSERT_EQ(scan.rows.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(scan.rows[i].record, 44u + i);
        EXPECT_EQ(Utf8(scan.rows[i].name), std::to_string(i + 2) + ".txt");
        EXPECT_EQ(scan.rows[i].size, 0u);
    }
    if (utf8.ok()) {
        EXPECT_EQ(scan.Info().label, "тест-test");  // record 3 is the original's
    }
}

TEST_F(ReferenceData, FourKilobyteRecordMftListsNothing) {
    MemoryVolume volume = WrapMft("4k-large", 4096);
    const ScanResult scan = ScanVolume(volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
    EXPECT_EQ(scan.Info().geometry.RecordSize, 4096u);
    EXPECT_EQ(scan.summary.recordsWalked, 256 - 16);
    EXPECT_TRUE(scan.rows.empty());
}

}  // namespace
}  // namespace qm::itest
