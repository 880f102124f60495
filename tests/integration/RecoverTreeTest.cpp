// The content image recovered as a tree: every deleted file and named stream
// under its original folders (orphans under $Orphan/), with the manifest's
// bytes, and a deleted folder recovered whole by its row's position.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "cli/Cli.h"
#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

// Where a deleted manifest entry lands under --keep-paths --streams.
std::string TreePath(const ManifestEntry& e) {
    std::string path = e.Has("orphan") ? "$Orphan/" + e.Name() : e.path.substr(1);
    if (!e.stream.empty()) path += "_" + e.stream;
    return path;
}

// Every file under `root` by its path from there.
std::set<std::string> FilesUnder(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files.insert(e.path().lexically_relative(root).string());
    return files;
}

int RunCli(std::vector<std::string> args, std::string* err = nullptr) {
    std::FILE* out = std::tmpfile();
    std::FILE* messages = std::tmpfile();
    const int status = cli::Run(args, out, messages);
    if (err) {
        std::rewind(messages);
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, messages)) > 0;)
            err->append(buf, n);
    }
    std::fclose(out);
    std::fclose(messages);
    return status;
}

class RecoverTree : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = ImageDir() / "content.img";
        if (!fs::exists(image_) || !fs::exists(image_.string() + ".manifest.tsv"))
            GTEST_SKIP() << image_ << " was not made (qm-mkvolume is not built)";
        manifest_ = ReadManifest(image_, true);
    }
    fs::path image_;
    std::vector<ManifestEntry> manifest_;
};

TEST_F(RecoverTree, EveryDeletedFileAndStreamComesBackUnderItsFolders) {
    TempDir out("qm-tree");
    std::string err;
    const int status = RunCli({"recover", image_.string(), "--out", out.path().string(), "--all",
                               "--keep-paths", "--streams", "--jobs=2"},
                              &err);
    // Damaged: the files whose clusters a later file took; the EFS-flagged one is given up.
    EXPECT_EQ(status, cli::kExitPartial) << err;
    std::set<std::string> want, got = FilesUnder(out.path());
    int compared = 0;
    for (const ManifestEntry& e : manifest_) {
        if (!e.deleted || e.IsDir() || e.Has("encrypted")) continue;
        std::string path = TreePath(e);
        SCOPED_TRACE(path);
        // libntfs-3g clears the extension record that held the name of a file
        // over extension records (and leaves the list's last entry past its
        // recorded size): the file comes whole, by its record number.
        const bool nameLost = e.Has("attrlist") && !got.count(path);
        if (nameLost) path = "$Orphan/record-" + std::to_string(e.record);
        want.insert(path);
        ASSERT_TRUE(got.count(path));
        if (e.Recoverable() < 100) continue;
        EXPECT_EQ(FileMd5(out.path() / path), e.md5);
        ++compared;
    }
    EXPECT_EQ(got, want) << err;
    EXPECT_GE(compared, 16);
    for (const char* p : {"plain/with_ads.txt_secret", "gone/inner/b.bin", "$Orphan/orphan.txt",
                          "tree/level1/level2/deep.bin", "packed/notes.txt"})
        EXPECT_EQ(want.count(p), 1u) << p;
}

TEST_F(RecoverTree, ADeletedFolderComesBackWithEverythingThatWasInIt) {
    auto volume = OpenRawVolume(image_.string());
    ASSERT_TRUE(volume.ok());
    struct Folders : ScanObserver {
        std::map<std::u16string, std::uint64_t> positions;
        void OnRow(ScanRow&& row) override {
            if (row.kind == RowKind::Folder) positions[row.name] = row.position;
        }
    } folders;
    std::atomic<bool> stop{false};
    ScanOptions options;
    options.foldersAndStreams = true;
    RunScan(**volume, folders, stop, options);
    ASSERT_EQ(folders.positions.count(u"gone"), 1u);
    const std::string gone = PositionText(folders.positions[u"gone"]);

    std::set<std::string> want;
    for (const ManifestEntry& e : manifest_)
        if (e.deleted && !e.IsDir() && e.path.rfind("/gone/", 0) == 0) want.insert(TreePath(e));
    ASSERT_EQ(want, (std::set<std::string>{"gone/a.txt", "gone/inner/b.bin"}));
    for (std::vector<std::string> choose :
         {std::vector<std::string>{gone}, std::vector<std::string>{"--path", "/gone"}}) {
        TempDir out("qm-folder");
        std::vector<std::string> args{"recover", image_.string(), "--out", out.path().string()};
        args.insert(args.end(), choose.begin(), choose.end());
        std::string err;
        EXPECT_EQ(RunCli(args, &err), cli::kExitOk) << err;
        EXPECT_EQ(FilesUnder(out.path()), want);
        for (const ManifestEntry& e : manifest_) {
            if (!e.deleted || !want.count(TreePath(e))) continue;
            EXPECT_EQ(FileMd5(out.path() / TreePath(e)), e.md5) << e.path;
        }
    }
}

}  // namespace
}  // namespace qm::itest
