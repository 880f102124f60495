// Output files appear whole under their final name or not at all, whatever
// goes wrong on the way; and the check that keeps output off the source device.
#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"
#include "platform/RawVolume.h"

#if defined(__linux__)
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm {
namespace {

using test::Pattern;
using test::ReadFile;
using test::TempDir;
namespace fs = std::filesystem;

std::unique_ptr<OutputFile> MustCreate(const std::string& path) {
    auto f = DefaultOutputFactory().Create(path);
    if (!f) ADD_FAILURE() << f.error().ToString();
    return f ? std::move(f).value() : nullptr;
}

TEST(OutputFile, AppearsWholeOnlyAtCommit) {
    TempDir dir;
    const std::string path = dir / "report.bin";
    const auto head = Pattern(70000, 1), tail = Pattern(333, 2);
    auto f = MustCreate(path);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->Write(head));
    EXPECT_TRUE(f->WriteZeros(5000));
    EXPECT_TRUE(f->Write(tail));
    EXPECT_TRUE(f->WriteZeros(0));
    // Until the commit the final name does not exist; the bytes sit in one temporary file.
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(dir.Entries().size(), 1u);
    ASSERT_TRUE(f->Commit());
    EXPECT_TRUE(f->Commit());  // a second commit changes nothing
    EXPECT_FALSE(f->Write(tail));
    f.reset();

    auto want = head;
    want.resize(want.size() + 5000, 0);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(ReadFile(path), want);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"report.bin"});
}

TEST(OutputFile, DroppedUncommittedLeavesTheOldFileAlone) {
    TempDir dir;
    const std::string path = dir / "same.txt";
    test::WriteText(path, "old contents");
    {
        auto f = MustCreate(path);
        ASSERT_TRUE(f);
        ASSERT_TRUE(f->Write(Pattern(10000)));
    }
    EXPECT_EQ(ReadFile(path), std::vector<std::uint8_t>(
                                  {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's'}));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"same.txt"});
    // Committed, the new file replaces the old one.
    auto f = MustCreate(path);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->Write(Pattern(10, 3)));
    ASSERT_TRUE(f->Commit());
    EXPECT_EQ(ReadFile(path), Pattern(10, 3));
}

TEST(OutputFile, TrailingZerosBecomeAHole) {
    TempDir dir;
    const std::string path = dir / "sparse.bin";
    auto f = MustCreate(path);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->Write(Pattern(100)));
    ASSERT_TRUE(f->WriteZeros(1ull << 30));
    ASSERT_TRUE(f->Commit());
    EXPECT_EQ(fs::file_size(path), (1ull << 30) + 100);
#if defined(__linux__)
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the zeros were written out";
#endif
}

TEST(OutputFile, BadDestinationsFailWithoutLeavingFiles) {
    TempDir dir;
    auto missing = DefaultOutputFactory().Create((dir.path() / "gone" / "a.bin").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ErrorCode::NotFound);

    // A folder already holds the final name: the commit fails, the folder stays.
    fs::create_directory(dir.path() / "taken");
    fs::path inside = dir.path() / "taken" / "keep";
    test::WriteText(inside, "x");
    auto f = MustCreate(dir / "taken");
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->Write(Pattern(10)));
    EXPECT_FALSE(f->Commit());
    f.reset();
    EXPECT_TRUE(fs::is_directory(dir.path() / "taken"));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"taken"});

#if !defined(_WIN32)
    // The folder vanishes while the file is written (Windows keeps it while open).
    fs::create_directory(dir.path() / "gone");
    auto g = MustCreate((dir.path() / "gone" / "a.bin").string());
    ASSERT_TRUE(g);
    ASSERT_TRUE(g->Write(Pattern(10)));
    fs::remove_all(dir.path() / "gone");
    EXPECT_FALSE(g->Commit());
    g.reset();
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
#endif
}

TEST(FolderIsOnSource, ImageFilesAndUnknownSourcesAreNeverTheFolder) {
    TempDir dir;
    test::WriteFile(dir.path() / "disk.img", Pattern(4096));
    EXPECT_FALSE(FolderIsOnSource(dir.path().string(), dir / "disk.img"));
    EXPECT_FALSE(FolderIsOnSource(dir.path().string(), dir / "disk.img@1024"));
    EXPECT_FALSE(FolderIsOnSource(dir.path().string(), dir / "missing.img"));
}

#if defined(__linux__)
// A tmpfs mounted over a folder for the life of the object (root only).
class ScopedTmpfs {
public:
    ScopedTmpfs(const fs::path& at, const char* options, unsigned long flags = 0) : at_(at) {
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", flags, options) == 0;
    }
    ~ScopedTmpfs() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

TEST(OutputFile, FullDiskFailsTheWriteAndLeavesNothing) {
    if (!test::IsRoot()) GTEST_SKIP() << "mounting a small file system needs root";
    TempDir dir;
    ScopedTmpfs fs64k(dir.path(), "size=64k");
    if (!fs64k.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
    test::WriteText(dir.path() / "big.bin", "old");
    {
        auto f = MustCreate(dir / "big.bin");
        ASSERT_TRUE(f);
        bool failed = false;
        for (int i = 0; i < 64 && !failed; ++i)
            failed = !f->Write(Pattern(16384, static_cast<std::uint32_t>(i)));
        EXPECT_TRUE(failed) << "64 KiB of tmpfs took 1 MiB";
        EXPECT_TRUE(IsOutOfSpace(f->LastError())) << SystemErrorText(f->LastError());
        EXPECT_FALSE(f->Write(Pattern(10)));
        EXPECT_FALSE(f->Commit());
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(ReadFile(dir.path() / "big.bin"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
    // The space is free again for the next file.
    auto next = MustCreate(dir / "next.bin");
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->Write(Pattern(30000)));
    EXPECT_TRUE(next->Commit());
}

#if defined(__linux__)
// Bytes copied inside the system land between the written ones, exactly where
// reading and writing them would have put them; a copy that cannot be made
// appends nothing and leaves the file as good as before.
TEST(OutputFile, CopiesFromAnImageFileGiveTheBytesReadWouldGive) {
    TempDir dir;
    const auto image = Pattern(3 << 20, 7);
    const std::string path = dir / "disk.img";
    test::WriteFile(path, image);
    struct Case {
        const char* what;
        std::string source;
        std::uint64_t offset, count;
        std::uint64_t imageAt;  // where the copied bytes lie in the image; unused when refused
        bool copies;
    };
    const std::vector<Case> cases = {
        {"the image itself", path, 4096, 700000, 4096, true},
        {"a partition inside it", path + "@8192", 100, 1500000, 8292, true},
        {"up to the partition's last byte", path + "@8192", image.size() - 8192 - 1000, 1000,
         image.size() - 1000, true},
        {"past the image's end", path, image.size() - 10, 20, 0, false},
        {"past the partition's end", path + "@8192", image.size() - 8192 - 10, 11, 0, false},
    };
    const auto head = Pattern(1234, 2), tail = Pattern(77, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto source = OpenRawVolume(c.source);
        ASSERT_TRUE(source) << source.error().ToString();
        const std::string out = dir / "out.bin";
        fs::remove(out);
        auto f = MustCreate(out);
        ASSERT_TRUE(f);
        ASSERT_TRUE(f->Write(head));
        const std::uint64_t n = f->CopyFrom(**source, c.offset, c.count);
        ASSERT_TRUE(f->Write(tail));
        ASSERT_TRUE(f->WriteZeros(5000));
        ASSERT_TRUE(f->Commit());
        auto want = head;
        if (c.copies) {
            EXPECT_EQ(n, c.count);
            want.insert(want.end(), image.begin() + static_cast<std::ptrdiff_t>(c.imageAt),
                        image.begin() + static_cast<std::ptrdiff_t>(c.imageAt + n));
        } else {
            EXPECT_EQ(n, 0u);
        }
        want.insert(want.end(), tail.begin(), tail.end());
        want.resize(want.size() + 5000, 0);
        EXPECT_TRUE(ReadFile(out) == want);
    }
    MemoryVolume memory(image);
    auto f = MustCreate(dir / "memory.bin");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->CopyFrom(memory, 0, 4096), 0u);  // not a file the system can copy from
}
#endif

TEST(OutputFile, CommitNewNeverReplacesAFile) {
    TempDir dir;
    test::WriteText(dir.path() / "taken.bin", "old");
    auto f = MustCreate(dir / "taken.bin");
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->Write(Pattern(5000)));
    EXPECT_EQ(f->CommitNew(dir / "taken.bin"), CommitOutcome::NameTaken);
    EXPECT_EQ(ReadFile(dir.path() / "taken.bin"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(f->CommitNew(dir / "free.bin"), CommitOutcome::Committed);
    EXPECT_EQ(ReadFile(dir.path() / "free.bin"), Pattern(5000));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"free.bin", "taken.bin"}));
    // Dropped after a taken name, the file leaves nothing behind.
    {
        auto g = MustCreate(dir / "taken.bin");
        ASSERT_TRUE(g);
        EXPECT_EQ(g->CommitNew(dir / "free.bin"), CommitOutcome::NameTaken);
    }
    EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST(OutputFile, ReadOnlyFolderRefusesTheFile) {
    TempDir dir;
    std::optional<ScopedTmpfs> ro;
    if (test::IsRoot()) {
        ro.emplace(dir.path(), "size=64k", MS_RDONLY);
        if (!ro->mounted()) GTEST_SKIP() << "cannot mount a read-only tmpfs here";
    } else {
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    }
    auto f = DefaultOutputFactory().Create(dir / "a.bin");
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().code, ErrorCode::PermissionDenied);
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(FolderIsOnSource, TheDeviceUnderTheFolderIsFound) {
    // The block device that holds the temporary folder, if /dev has a node for it.
    TempDir dir;
    struct stat folder {};
    ASSERT_EQ(::stat(dir.path().c_str(), &folder), 0);
    std::string device;
    for (const auto& e : fs::directory_iterator("/dev")) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
            st.st_rdev == folder.st_dev)
            device = e.path().string();
    }
    if (device.empty())
        GTEST_SKIP() << "the temporary folder is on no block device with a /dev node";
    EXPECT_TRUE(FolderIsOnSource(dir.path().string(), device));
    EXPECT_TRUE(FolderIsOnSource((dir.path() / "not" / "yet").string(), device));
    EXPECT_TRUE(FolderIsOnSource(dir.path().string(), device + "@1048576"));
}
#endif

#if defined(_WIN32)
TEST(FolderIsOnSource, DriveOfTheFolderIsFound) {
    TempDir dir;
    const std::string folder = dir.path().string();
    ASSERT_GE(folder.size(), 2u);
    ASSERT_EQ(folder[1], ':');
    const std::string drive = folder.substr(0, 2);
    EXPECT_TRUE(FolderIsOnSource(folder, drive));
    const char other = (folder[0] == 'Q' || folder[0] == 'q') ? 'R' : 'Q';
    EXPECT_FALSE(FolderIsOnSource(folder, std::string(1, other) + ":"));
}
#endif

}  // namespace
}  // namespace qm
