// The image maker's descriptions: what a line means, which lines are refused,
// and that a file's content is the same however it is cut into writes (the
// manifest's hash is computed in one pass, the volume is written in chunks).
#include <gtest/gtest.h>

#include "tools/common/Md5.h"
#include "tools/mkvolume/Description.h"

namespace qm::mkvolume {
namespace {

TEST(Description, SizesAndWords) {
    EXPECT_EQ(ParseSize("4096"), 4096u);
    EXPECT_EQ(ParseSize("64K"), 65536u);
    EXPECT_EQ(ParseSize("5G"), 5ull << 30);
    EXPECT_THROW(ParseSize("1.5M"), DescriptionError);
    EXPECT_THROW(ParseSize("K"), DescriptionError);
    EXPECT_THROW(ParseSize("99999999999T"), DescriptionError);  // past 64 bits

    EXPECT_EQ(SplitWords("  file \"/Old Projects/a b.txt\" 10  # trailing"),
              (std::vector<std::string>{"file", "/Old Projects/a b.txt", "10"}));
    EXPECT_EQ(SplitWords(R"(literal /x "say \"hi\"\n")"),
              (std::vector<std::string>{"literal", "/x", "say \"hi\"\n"}));
    EXPECT_THROW(SplitWords("file \"/open"), DescriptionError);
}

TEST(Description, ParsesEveryDirective) {
    const Description d = ParseDescription(
        "volume 64M cluster=512 sector=4096 label=Demo seed=9 mftzone=2\n"
        "dir /docs\n"
        "sparse /docs/s.bin 10M @end:100 @0:4K\n"
        "fragmented /f.bin 1M chunk=8K\n"
        "mftfill /many count=10 every=3 delete-every=4\n"
        "delete /docs/s.bin\n");
    EXPECT_EQ(d.volume.size, 64u << 20);
    EXPECT_EQ(d.volume.clusterSize, 512u);
    EXPECT_EQ(d.volume.sectorSize, 4096u);
    EXPECT_EQ(d.volume.label, "Demo");
    EXPECT_EQ(d.volume.mftZone, 2u);
    ASSERT_EQ(d.steps.size(), 4u);
    const FileSpec& s = d.steps[1].file;
    ASSERT_EQ(s.pieces.size(), 2u);  // sorted by offset
    EXPECT_EQ(s.pieces[0].offset, 0u);
    EXPECT_EQ(s.pieces[1].offset, (10u << 20) - 100);
    EXPECT_EQ(d.steps[2].file.chunk, 8192u);
    EXPECT_EQ(d.steps[3].fill.deleteEvery, 4u);
    EXPECT_EQ(d.deletions, std::vector<std::string>{"/docs/s.bin"});
    // The same path under another volume seed gets other content.
    EXPECT_NE(SeedFor(9, "/f.bin"), SeedFor(10, "/f.bin"));
}

TEST(Description, RefusesWhatCannotBeBuilt) {
    const char* bad[] = {
        "dir /a\n",                                 // no volume first
        "volume 1M\nvolume 1M\n",                   // volume twice
        "volume 1M\nfile relative.txt 10\n",        // not absolute
        "volume 1M\nfile /dir/ 10\n",               // names no file
        "volume 1M\nsparse /s 100 @50:60\n",        // piece past the end
        "volume 1M\nsparse /s 100 @0:60 @50:10\n",  // pieces overlap
        "volume 1M\nfile /a 10 colour=red\n",       // unknown option
        "volume 1M\ncopy /a /b\n",                  // unknown directive
    };
    for (const char* text : bad) {
        EXPECT_THROW(ParseDescription(text), DescriptionError) << text;
    }
    try {
        ParseDescription("volume 1M\n\n# note\nfile /a ten\n");
        FAIL();
    } catch (const DescriptionError& e) {
        EXPECT_NE(std::string(e.what()).find("line 4"), std::string::npos) << e.what();
    }
}

TEST(Description, ContentIsIndependentOfHowItIsCut) {
    FileSpec sparse;
    sparse.kind = FileKind::Sparse;
    sparse.size = 3u << 20;
    sparse.seed = 77;
    // One piece straddles the 1 MiB steps in which the hash is taken.
    sparse.pieces = {{0, 10}, {(1u << 20) - 5, 20}, {sparse.size - 3, 3}};
    FileSpec text;
    text.kind = FileKind::Text;
    text.size = 1000;
    text.seed = 5;

    for (const FileSpec* f : {&sparse, &text}) {
        std::vector<std::uint8_t> whole(f->size);
        FillContent(*f, 0, whole);
        for (std::uint64_t cut : {1ull, 63ull, 64ull, 4099ull}) {
            std::vector<std::uint8_t> pieces(f->size);
            for (std::uint64_t at = 0; at < f->size; at += cut) {
                const std::uint64_t n = std::min<std::uint64_t>(cut, f->size - at);
                FillContent(*f, at, std::span(pieces.data() + at, n));
            }
            ASSERT_EQ(pieces, whole) << "cut " << cut;
        }
        EXPECT_EQ(ContentMd5(*f), Md5Hex(whole));
    }

    // Outside its pieces a sparse file is zero, inside it is not.
    std::vector<std::uint8_t> b(40);
    FillContent(sparse, (1u << 20) - 10, b);
    EXPECT_EQ(std::count(b.begin(), b.begin() + 5, 0), 5);
    EXPECT_LT(std::count(b.begin() + 5, b.begin() + 25, 0), 5);
    EXPECT_EQ(std::count(b.begin() + 25, b.end(), 0), 15);
    EXPECT_TRUE(IsZeroStretch(sparse, 100, (1u << 20) - 200));
    EXPECT_FALSE(IsZeroStretch(sparse, 100, (1u << 20)));
}

}  // namespace
}  // namespace qm::mkvolume
