// Files past the 32-bit limits: a sparse file over 4 GiB and a file over
// 2 GiB whose clusters are all allocated. Both recover byte for byte while the
// process's peak memory stays a small fraction of either size. This program
// runs on its own so that nothing else raises the peak it measures.
#include <gtest/gtest.h>

#include <regex>

#include "recover/RecoverRecord.h"
#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

constexpr std::uint64_t kPeakLimit = 256ull << 20;
// Under a sanitizer the peak is the sanitizer's (shadow memory, freed memory
// held in quarantine), not the recovery's: the limit holds for plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPeakIsOurs = false;
#else
constexpr bool kPeakIsOurs = true;
#endif

class LargeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = ImageDir() / "large.img";
        if (!fs::exists(image_) || !fs::exists(image_.string() + ".manifest.tsv")) {
            GTEST_SKIP() << image_ << " was not made (qm-mkvolume is not built)";
        }
        deleted_ = DeletedEntries(ReadManifest(image_));
        ASSERT_EQ(deleted_.size(), 2u);
        auto volume = OpenRawVolume(image_.string());
        ASSERT_TRUE(volume.ok()) << volume.error().ToString();
        volume_ = std::move(*volume);
        scan_ = ScanVolume(*volume_);
        ASSERT_EQ(scan_.summary.setup.stop, SetupStop::None) << scan_.summary.setup.reason;
        ASSERT_EQ(scan_.rows.size(), 2u);
    }

    const ScanRow& Row(const std::string& name) const {
        for (const auto& r : scan_.rows) {
            if (Utf8(r.name) == name) return r;
        }
        throw std::runtime_error("no row " + name);
    }
    const ManifestEntry& Want(const std::string& name) const {
        for (const auto& e : deleted_) {
            if (e.Name() == name) return e;
        }
        throw std::runtime_error("not in the manifest: " + name);
    }

    fs::path image_;
    std::vector<ManifestEntry> deleted_;
    std::unique_ptr<RawVolume> volume_;
    ScanResult scan_;
};

TEST_F(LargeFiles, ScanShowsTheFullSizes) {
    EXPECT_EQ(Row("sparse-4g.bin").size, Want("sparse-4g.bin").size);
    EXPECT_GT(Row("sparse-4g.bin").size, 4ull << 30);
    EXPECT_EQ(Row("solid-2g.bin").size, Want("solid-2g.bin").size);
    EXPECT_GT(Row("solid-2g.bin").size, 2ull << 30);

    if (!HaveCommand("istat")) return;
    // The Sleuth Kit agrees on the sizes (its content is not compared here:
    // six gigabytes through icat would dominate the suite's run time).
    for (const auto& r : scan_.rows) {
        const auto out =
            RunCapture("istat " + ShellQuote(image_.string()) + " " + std::to_string(r.record));
        ASSERT_TRUE(out.has_value());
        std::smatch m;
        ASSERT_TRUE(std::regex_search(*out, m,
                                      std::regex(R"(Type: \$DATA \(128-\d+\)[^\n]*?size: (\d+))")));
        EXPECT_EQ(std::stoull(m[1]), r.size) << Utf8(r.name);
    }
}

TEST_F(LargeFiles, SparseFileOver4GiBRecoversToDiskInBoundedMemory) {
    // Written through the real output files: the holes should stay holes.
    TempDir out("large");
    const std::string path = (out.path() / "sparse-4g.bin").string();
    const ScanRow& row = Row("sparse-4g.bin");
    const RecoverResult r =
        RecoverRecord(*volume_, PositionText(row.position), scan_.Info().geometry, path);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    EXPECT_EQ(fs::file_size(path), Want("sparse-4g.bin").size);
    EXPECT_EQ(FileMd5(path), Want("sparse-4g.bin").md5);
    if (kPeakIsOurs) {
        EXPECT_LT(PeakRssBytes(), kPeakLimit);
    }
}

TEST_F(LargeFiles, AllocatedFileOver2GiBStreamsInBoundedMemory) {
    // Every cluster of this one is on the volume: two gigabytes pass through
    // the extraction. The output is hashed as it comes instead of written.
    HashingOutputFactory sink;
    const ScanRow& row = Row("solid-2g.bin");
    const RecoverResult r = RecoverRecord(*volume_, PositionText(row.position),
                                          scan_.Info().geometry, "solid-2g.bin", sink);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    ASSERT_EQ(sink.committed.count("solid-2g.bin"), 1u);
    EXPECT_EQ(sink.committed["solid-2g.bin"].bytes, Want("solid-2g.bin").size);
    EXPECT_EQ(sink.committed["solid-2g.bin"].md5, Want("solid-2g.bin").md5);
    if (kPeakIsOurs) {
        EXPECT_LT(PeakRssBytes(), kPeakLimit);
    }
}

}  // namespace
}  // namespace qm::itest
