// Images written by a real NTFS implementation (libntfs-3g through qm-mkvolume)
// on every geometry we support: the scan lists exactly the files the maker
// deleted, each recovers to the bytes that were written, and the image is
// never modified.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "recover/RecoverRecord.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/Md5.h"

namespace qm::itest {
namespace {

class Image : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        image_ = ImageDir() / (std::string(GetParam()) + ".img");
        if (!fs::exists(image_) || !fs::exists(image_.string() + ".manifest.tsv")) {
            GTEST_SKIP() << image_ << " was not made (qm-mkvolume is not built)";
        }
        manifest_ = ReadManifest(image_);
        deleted_ = DeletedEntries(manifest_);
    }

    fs::path image_;
    std::vector<ManifestEntry> manifest_;
    std::vector<ManifestEntry> deleted_;
};

TEST_P(Image, ScanListsExactlyTheDeletedFiles) {
    auto volume = OpenRawVolume(image_.string());
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const ScanResult scan = ScanVolume(**volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
    EXPECT_EQ(scan.summary.unreadable, 0);

    using Row = std::tuple<std::uint64_t, std::string, std::uint64_t>;
    std::vector<Row> expected, got;
    for (const auto& e : deleted_) expected.emplace_back(e.record, e.Name(), e.size);
    for (const auto& r : scan.rows) got.emplace_back(r.record, Utf8(r.name), r.size);
    EXPECT_EQ(got, expected);  // both in record order

    // Each caption is where the record really lies, through the MFT's runs.
    const VolumeInfo& info = scan.Info();
    for (const auto& r : scan.rows) {
        const auto at = info.map.VolumeOffset(r.record * info.geometry.RecordSize);
        ASSERT_TRUE(at.has_value()) << r.record;
        EXPECT_EQ(r.position, *at) << "record " << r.record;
    }
}

TEST_P(Image, EveryDeletedFileRecoversAndTheImageStaysUnchanged) {
    const std::string before = FileMd5(image_);
    TempDir out(GetParam());
    {
        auto volume = OpenRawVolume(image_.string());
        ASSERT_TRUE(volume.ok()) << volume.error().ToString();
        const ScanResult scan = ScanVolume(**volume);
        ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;
        ASSERT_EQ(scan.rows.size(), deleted_.size());
        for (std::size_t i = 0; i < scan.rows.size(); ++i) {
            const ScanRow& row = scan.rows[i];
            const ManifestEntry& want = deleted_[i];
            ASSERT_EQ(row.record, want.record);
            const std::string path = OutputPathByNumber(out.path().string(), i);
            const RecoverResult r =
                RecoverRecord(**volume, PositionText(row.position), scan.Info().geometry, path);
            ASSERT_EQ(r.status, RecoverStatus::Written) << want.path << ": " << r.detail;
            EXPECT_EQ(r.bytes, want.size) << want.path;
            EXPECT_EQ(fs::file_size(path), want.size) << want.path;
            EXPECT_EQ(FileMd5(path), want.md5) << want.path;
        }
    }
    // Nothing but the recovered files was written, and the image is as it was.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(out.path())) ++files;
    EXPECT_EQ(files, deleted_.size());
    EXPECT_EQ(FileMd5(image_), before);
}

TEST_P(Image, LiveFilesAreNotRecovered) {
    // A live file's record read again must be refused, and leave no output.
    auto volume = OpenRawVolume(image_.string());
    ASSERT_TRUE(volume.ok());
    auto setup = SetupVolume(**volume);
    ASSERT_EQ(setup.stop, SetupStop::None) << setup.reason;
    const VolumeInfo& info = *setup.info;
    TempDir out(GetParam());
    int checked = 0;
    for (const auto& e : manifest_) {
        if (e.deleted || checked == 3) continue;
        const auto at = info.map.VolumeOffset(e.record * info.geometry.RecordSize);
        ASSERT_TRUE(at.has_value());
        const std::string path = (out.path() / "live").string();
        const RecoverResult r = RecoverRecord(**volume, PositionText(*at), info.geometry, path);
        EXPECT_EQ(r.status, RecoverStatus::InUse) << e.path;
        EXPECT_FALSE(fs::exists(path));
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

INSTANTIATE_TEST_SUITE_P(Geometries, Image,
                         ::testing::Values("c512", "c4096", "c65536", "c2m", "rec4096",
                                           "fragmented-mft", "demo"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The volume set-up reads what mkntfs wrote for each geometry.
TEST(ImageGeometry, SetupReadsEachGeometry) {
    struct Case {
        const char* name;
        std::uint32_t cluster, record, sector;
        const char* label;
    };
    const Case cases[] = {{"c512", 512, 1024, 512, "c512"},
                          {"c4096", 4096, 1024, 512, "c4096"},
                          {"c65536", 65536, 1024, 512, "c65536"},
                          {"c2m", 2097152, 1024, 512, "c2m"},
                          {"rec4096", 4096, 4096, 4096, "rec4096"}};
    int seen = 0;
    for (const Case& c : cases) {
        const fs::path image = ImageDir() / (std::string(c.name) + ".img");
        if (!fs::exists(image)) continue;
        ++seen;
        auto volume = OpenRawVolume(image.string());
        ASSERT_TRUE(volume.ok());
        auto setup = SetupVolume(**volume);
        ASSERT_EQ(setup.stop, SetupStop::None) << c.name << ": " << setup.reason;
        EXPECT_EQ(setup.info->geometry.ClusterSize, c.cluster) << c.name;
        EXPECT_EQ(setup.info->geometry.RecordSize, c.record) << c.name;
        EXPECT_EQ(setup.info->geometry.BytesPerSector, c.sector) << c.name;
        EXPECT_EQ(setup.info->label, c.label) << c.name;
        EXPECT_EQ(static_cast<std::uint64_t>(setup.info->MftRecordCount) * c.record,
                  static_cast<std::uint64_t>(setup.info->MftClusterSpan) * c.cluster)
            << c.name;
    }
    if (seen == 0) GTEST_SKIP() << "no images (qm-mkvolume is not built)";
}

// The images hold the run lists the recovery tests rely on: a fragmented file
// in one-cluster holes, with runs that step back (negative offsets), and
// sparse runs between real ones.
TEST(ImageGeometry, FilesHaveTheRunsTheyWereMadeFor) {
    int seen = 0;
    for (const char* name : {"c512", "c4096", "c65536", "c2m", "rec4096"}) {
        const fs::path image = ImageDir() / (std::string(name) + ".img");
        if (!fs::exists(image)) continue;
        ++seen;
        auto volume = OpenRawVolume(image.string());
        ASSERT_TRUE(volume.ok());
        auto setup = SetupVolume(**volume);
        ASSERT_EQ(setup.stop, SetupStop::None);
        auto runsOf = [&](const std::string& file) {
            for (const auto& e : ReadManifest(image)) {
                if (e.path != file) continue;
                std::vector<std::uint8_t> record(setup.info->geometry.RecordSize);
                EXPECT_EQ(ReadMftRecord(**volume, *setup.info, e.record, record), RecordRead::Ok);
                auto data = FindAttributeView(ByteView(record), kAttrData);
                EXPECT_TRUE(data.has_value()) << file;
                if (!data) break;
                auto list = RunListOf(*data);
                EXPECT_TRUE(list.ok()) << file;
                if (!list.ok()) break;
                auto runs = DecodeRunList(*list);
                EXPECT_TRUE(runs.ok()) << file;
                if (runs.ok()) return *runs;
                break;
            }
            ADD_FAILURE() << name << ": no runs for " << file;
            return std::vector<DataRun>{};
        };

        EXPECT_GE(runsOf("/docs/frag.bin").size(), 6u) << name;
        const auto back = runsOf("/docs/frag-back.bin");
        std::size_t backwards = 0;
        for (std::size_t i = 1; i < back.size(); ++i) backwards += back[i].lcn < back[i - 1].lcn;
        EXPECT_GE(back.size(), 6u) << name;
        EXPECT_GE(backwards * 2, back.size()) << name;

        const auto sparse = runsOf("/docs/sparse.bin");
        std::size_t holes = 0;
        for (const DataRun& r : sparse) holes += r.sparse;
        EXPECT_GE(holes, 2u) << name;
        EXPECT_FALSE(sparse.empty() || sparse.front().sparse || sparse.back().sparse) << name;
    }
    if (seen == 0) GTEST_SKIP() << "no images (qm-mkvolume is not built)";
}

// The fragmented MFT really is fragmented, with its run list continued in an
// extension record, and deleted files lie beyond its first fragment.
TEST(ImageGeometry, FragmentedMftReachesEveryFragment) {
    const fs::path image = ImageDir() / "fragmented-mft.img";
    if (!fs::exists(image)) GTEST_SKIP() << "no image (qm-mkvolume is not built)";
    auto volume = OpenRawVolume(image.string());
    ASSERT_TRUE(volume.ok());
    const ScanResult scan = ScanVolume(**volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None);
    const auto& extents = scan.Info().map.extents();
    ASSERT_GT(extents.size(), 100u);
    const std::uint64_t recordSize = scan.Info().geometry.RecordSize;
    const std::uint64_t clusterSize = scan.Info().geometry.ClusterSize;
    std::set<std::size_t> fragmentsWithRows;
    for (const auto& r : scan.rows) {
        const std::uint64_t vcn = r.record * recordSize / clusterSize;
        for (std::size_t i = 0; i < extents.size(); ++i) {
            if (vcn >= extents[i].vcn && vcn < extents[i].vcn + extents[i].length) {
                fragmentsWithRows.insert(i);
            }
        }
    }
    // 123 deleted files spread over the whole MFT, most of them past the first fragment.
    EXPECT_GT(fragmentsWithRows.size(), 50u);
    EXPECT_GT(*fragmentsWithRows.rbegin(), extents.size() * 3 / 4);
}

}  // namespace
}  // namespace qm::itest
