// The failing volume and output doubles that the scan and recovery tests use:
// they must fail exactly where they are told to and nowhere else.
#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/testing/FaultyOutput.h"
#include "platform/testing/FaultyVolume.h"

namespace qm {
namespace {

using test::Pattern;
using testing::FaultyOutputFactory;
using testing::FaultyVolume;
using testing::MemoryOutputFactory;

TEST(FaultyVolume, FailsAndCutsShortOnlyWhereTold) {
    const auto bytes = Pattern(10000);
    FaultyVolume vol(bytes);
    vol.FailRange(2000, 2100).ShortRange(5000, 5001);
    std::vector<std::uint8_t> buf(1000, 0xEE);

    EXPECT_EQ(vol.ReadAt(0, buf), 1000u);  // clear of both ranges
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin()));
    EXPECT_EQ(vol.ReadAt(1500, buf), 0u);  // touches the failing range: nothing
    EXPECT_EQ(buf, std::vector<std::uint8_t>(1000, 0));
    EXPECT_EQ(vol.ReadAt(2100, buf), 1000u);  // starts right after it
    EXPECT_EQ(vol.ReadAt(4500, buf), 500u);   // stops where the short range begins
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 500, bytes.begin() + 4500));
    EXPECT_EQ(std::count(buf.begin() + 500, buf.end(), 0), 500);
    EXPECT_EQ(vol.ReadAt(5000, buf), 0u);

    vol.FailNextReads(1);
    EXPECT_EQ(vol.ReadAt(0, buf), 0u);
    EXPECT_EQ(vol.ReadAt(0, buf), 1000u);
    EXPECT_EQ(vol.ReadCount(), 7u);
    EXPECT_TRUE(vol.WasRead(4999, 5000));
    EXPECT_FALSE(vol.WasRead(7000, 8000));
    vol.ClearFaults();
    EXPECT_EQ(vol.ReadAt(1500, buf), 1000u);
}

TEST(MemoryOutput, OnlyCommittedFilesAppear) {
    MemoryOutputFactory out;
    {
        auto a = out.Create("a");
        ASSERT_TRUE(a);
        ASSERT_TRUE((*a)->Write(Pattern(5)));
        ASSERT_TRUE((*a)->WriteZeros(3));
        EXPECT_EQ(out.OpenFiles(), 1);
        EXPECT_FALSE(out.File("a"));
        ASSERT_TRUE((*a)->Commit());
        auto b = out.Create("b");
        ASSERT_TRUE((*b)->Write(Pattern(5)));
    }
    auto want = Pattern(5);
    want.resize(8, 0);
    EXPECT_EQ(out.File("a"), want);
    EXPECT_FALSE(out.File("b"));
    EXPECT_EQ(out.OpenFiles(), 0);
}

TEST(FaultyOutput, LimitsSpaceAndCommitsLikeAFailingDisk) {
    MemoryOutputFactory mem;
    FaultyOutputFactory out(mem);
    out.DiskSpace(1000).Only([](const std::string& p) { return p != "exempt"; });
    {
        auto a = out.Create("a");
        EXPECT_TRUE((*a)->Write(Pattern(600)));
        EXPECT_TRUE((*a)->WriteZeros(1 << 20));  // a hole takes no space
        EXPECT_TRUE((*a)->Commit());
        auto b = out.Create("b");
        EXPECT_FALSE((*b)->Write(Pattern(600)));  // only 400 bytes left
        EXPECT_FALSE((*b)->Write(Pattern(1)));
        EXPECT_FALSE((*b)->Commit());
        auto c = out.Create("exempt");
        EXPECT_TRUE((*c)->Write(Pattern(5000)));
        EXPECT_TRUE((*c)->Commit());
    }
    // The failed file gave its 400 bytes back.
    auto d = out.Create("d");
    EXPECT_TRUE((*d)->Write(Pattern(400)));
    EXPECT_TRUE((*d)->Commit());
    EXPECT_EQ(mem.Files().size(), 3u);
    EXPECT_FALSE(mem.File("b"));

    FaultyOutputFactory perFile(mem);
    perFile.FailAfterBytes(100);
    auto e = perFile.Create("e");
    EXPECT_TRUE((*e)->Write(Pattern(60)));
    EXPECT_FALSE((*e)->WriteZeros(60));
    perFile.FailAfterBytes(1000).FailCommit();
    auto f = perFile.Create("f");
    EXPECT_TRUE((*f)->Write(Pattern(60)));
    EXPECT_FALSE((*f)->Commit());
    perFile.FailCreate();
    EXPECT_FALSE(perFile.Create("g"));
    EXPECT_EQ(perFile.InjectedFailures(), 3);
    EXPECT_EQ(perFile.Commits(), 0);
}

TEST(FaultyOutput, RealFilesLeaveNothingBehindWhenAWriteFails) {
    test::TempDir dir;
    test::WriteText(dir.path() / "kept.bin", "old");
    FaultyOutputFactory out;  // over real files
    out.FailAfterBytes(4096);
    {
        auto f = out.Create(dir / "kept.bin");
        ASSERT_TRUE(f);
        EXPECT_TRUE((*f)->Write(Pattern(4000)));
        EXPECT_FALSE((*f)->Write(Pattern(4000)));
        EXPECT_FALSE((*f)->Commit());
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"kept.bin"});
    EXPECT_EQ(test::ReadFile(dir.path() / "kept.bin"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
}

}  // namespace
}  // namespace qm
