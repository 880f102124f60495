// Output folders made level by level, never through a link, and output files
// that keep the times they are given through their rename.
#include <gtest/gtest.h>

#include <fstream>

#include "PlatformTestSupport.h"
#include "platform/Platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace qm {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

TEST(OutputFolders, ALevelIsMadeOrFoundAndNeverTakenFromAFileOrALink) {
    TempDir dir;
    fs::create_directory(dir / "there");
    std::ofstream(dir / "file").put('x');
#ifndef _WIN32
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "link");
    fs::create_symlink(dir / "nothing", dir / "dangling");
#endif
    struct Case {
        const char* name;
        FolderLevel want;
    };
    const Case cases[] = {
        {"new", FolderLevel::Made},   {"there", FolderLevel::Existed},
        {"file", FolderLevel::Taken}, {"..", FolderLevel::Failed},
        {".", FolderLevel::Failed},   {"", FolderLevel::Failed},
        {"a/b", FolderLevel::Failed},
#ifndef _WIN32
        {"link", FolderLevel::Taken}, {"dangling", FolderLevel::Taken},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int error = 0;
        EXPECT_EQ(MakeFolderLevel(dir.path().string(), c.name, error), c.want);
        EXPECT_EQ(error != 0, c.want == FolderLevel::Failed);
    }
    EXPECT_TRUE(fs::is_directory(dir / "new"));
    EXPECT_FALSE(fs::exists(dir / "nothing"));  // the dangling link made nothing
}

// The modification time as a FILETIME, read back from the system.
std::uint64_t ModifiedFileTime(const std::string& path) {
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    FILETIME m{};
    if (h == INVALID_HANDLE_VALUE) return 0;
    GetFileTime(h, nullptr, nullptr, &m);
    CloseHandle(h);
    return (std::uint64_t{m.dwHighDateTime} << 32) | m.dwLowDateTime;
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 +
           116444736000000000ull;
#endif
}

TEST(OutputFile, KeepsTheTimesItIsGivenThroughTheRename) {
    TempDir dir;
    constexpr std::uint64_t kModified = 132223104001234567;  // 2020-01-01T00:00:00.1234567Z
    for (bool hole : {false, true}) {
        const std::string path = dir / (hole ? "hole.bin" : "plain.bin");
        auto f = DefaultOutputFactory().Create(path);
        ASSERT_TRUE(f.ok());
        const std::uint8_t byte = 7;
        EXPECT_TRUE((*f)->Write(std::span<const std::uint8_t>(&byte, 1)));
        // A hole at the end sets the size last, after which the times must still hold.
        if (hole) {
            EXPECT_TRUE((*f)->WriteZeros(100000));
        }
        (*f)->KeepTimes({kModified, kModified, kModified});
        ASSERT_TRUE((*f)->Commit());
        EXPECT_EQ((*f)->TimesError(), 0);
        EXPECT_EQ(ModifiedFileTime(path), kModified);
    }
}

}  // namespace
}  // namespace qm
