// The window's list on the images libntfs-3g wrote: one row per deleted file
// of the image maker's manifest (no folders, no streams; files over extension
// records included), in the order the walk hands them over, each with its
// folder and the share of its clusters still free as the manifest has them.
#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <set>

#include "tests/integration/IntegrationSupport.h"
#include "tests/window/ModelTest.h"

namespace qm::itest {
namespace {

using window::RowStore;

class WindowList : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        image_ = ImageDir() / (std::string(GetParam()) + ".img");
        if (!fs::exists(image_) || !fs::exists(image_.string() + ".manifest.tsv"))
            GTEST_SKIP() << image_ << " was not made (qm-mkvolume is not built)";
        // The window's texts are in the locale's code page: make it UTF-8, as the manifest is.
        if (const char* old = std::setlocale(LC_ALL, nullptr)) locale_ = old;
        if (!std::setlocale(LC_ALL, "C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
    }
    void TearDown() override { std::setlocale(LC_ALL, locale_.c_str()); }

    fs::path image_;
    std::string locale_ = "C";
};

// The folder the window shows for a manifest entry: its path without the name.
std::string FolderOf(const ManifestEntry& e) {
    const std::string folder = e.path.substr(0, e.path.rfind('/'));
    return folder.empty() ? "/" : folder;
}

TEST_P(WindowList, FilesWithTheirFoldersAndShares) {
    auto volume = OpenRawVolume(image_.string());
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const ScanResult scan = ScanVolume(**volume);
    std::map<std::uint64_t, ManifestEntry> files;
    for (const ManifestEntry& e : DeletedEntries(ReadManifest(image_)))
        if (e.stream.empty()) files[e.record] = e;

    windowtest::ModelHarness h;
    h.model.FormCreate({{}, [this] { return std::vector{image_.string()}; }});
    ASSERT_EQ(h.view.drives.size(), 1u);
    h.ScanToEnd();
    const RowStore& rows = h.model.Rows();
    ASSERT_EQ(static_cast<std::size_t>(rows.Count()), files.size());
    ASSERT_EQ(scan.rows.size(), files.size());
    EXPECT_EQ(h.view.labels[window::Label::DeleteFileCount],
              "删除的文件数：" + std::to_string(files.size()));
    for (int r = 0; r < rows.Count(); ++r) {
        const ScanRow& row = scan.rows[static_cast<std::size_t>(r)];
        ASSERT_EQ(files.count(row.record), 1u) << row.record;
        const ManifestEntry& e = files.at(row.record);
        SCOPED_TRACE(e.path);
        EXPECT_EQ(rows.Text(r, 0), PositionText(row.position));
        // libntfs-3g takes the $FILE_NAME out of the extension record when it
        // deletes a file over extension records: such a file is listed by its
        // record number, with no folder.
        const std::string lost = "record-" + std::to_string(e.record);
        const bool nameLost = e.Has("attrlist") && rows.Text(r, 1) == lost;
        EXPECT_EQ(rows.Text(r, 1), nameLost ? lost : e.Name());
        const std::string folder(rows.Text(r, RowStore::kPathColumn));
        if (e.Has("orphan") || nameLost) {
            EXPECT_EQ(folder.rfind("$Orphan", 0), 0u) << folder;
        } else {
            EXPECT_EQ(folder, FolderOf(e));
        }
        EXPECT_EQ(rows.Text(r, RowStore::kRecoverableColumn),
                  std::to_string(e.Recoverable()) + "%");
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, WindowList,
                         ::testing::Values("c512", "c4096", "c65536", "c2m", "rec4096",
                                           "fragmented-mft", "demo", "large", "content",
                                           "compressed-c512", "compressed-c2048"));

}  // namespace
}  // namespace qm::itest
