// The image maker's descriptions: what a line means, which lines are refused,
// and that a file's content is the same however it is cut into writes (the
// manifest's hash is computed in one pass, the volume is written in chunks).
#include <gtest/gtest.h>

#include "recover/Md5.h"
#include "tools/common/Manifest.h"
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

TEST(Description, ParsesContentDirectives) {
    const Description d = ParseDescription(
        "volume 64M\n"
        "dir /packed compressed\n"
        "text /packed/a.txt 100K encrypted\n"
        "sparse /m.bin 1M @0:64K @64K:64K:text compressed\n"
        "file /ads.txt 10\n"
        "stream /ads.txt:Zone.Identifier 60 text\n"
        "fragmented /f.bin 4M attrlist\n"
        "delete /ads.txt\n"
        "then\n"
        "file /new.bin 4K reuse=/ads.txt over=/ads.txt\n"
        "delete /f.bin\n");
    ASSERT_EQ(d.steps.size(), 8u);
    EXPECT_TRUE(d.steps[0].compressed);
    EXPECT_TRUE(d.steps[1].file.encrypted);
    EXPECT_FALSE(d.steps[1].file.compressed);  // the folder's flag is applied when written
    const FileSpec& m = d.steps[2].file;
    EXPECT_TRUE(m.compressed);
    ASSERT_EQ(m.pieces.size(), 2u);
    EXPECT_FALSE(m.pieces[0].text);
    EXPECT_TRUE(m.pieces[1].text);
    EXPECT_EQ(d.steps[4].kind, Step::Stream);
    EXPECT_EQ(d.steps[4].file.path, "/ads.txt");
    EXPECT_EQ(d.steps[4].file.stream, "Zone.Identifier");
    EXPECT_EQ(d.steps[4].file.kind, FileKind::Text);
    EXPECT_NE(d.steps[4].file.seed, d.steps[3].file.seed);  // not the file's own content
    EXPECT_TRUE(d.steps[5].file.attrList);
    EXPECT_EQ(d.steps[6].kind, Step::Delete);
    EXPECT_EQ(d.steps[6].deletions, std::vector<std::string>{"/ads.txt"});
    EXPECT_EQ(d.steps[7].file.reuse, "/ads.txt");
    EXPECT_EQ(d.steps[7].file.over, "/ads.txt");
    EXPECT_EQ(d.deletions, std::vector<std::string>{"/f.bin"});
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
        "volume 1M\nfile /a 10 compressed=yes\n",   // a flag with a value
        "volume 1M\nfile /a 10 reuse\n",            // an option without one
        "volume 1M\nfile /a 10 reuse=b\n",          // not absolute
        "volume 1M\nstream /a 10\n",                // no stream name
        "volume 1M\nstream /a: 10\n",               // an empty one
        "volume 1M\nstream /a:s 10 compressed\n",   // libntfs-3g compresses no stream
        "volume 1M\nthen /a\n",                     // then takes nothing
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
    sparse.pieces = {{0, 10, false},
                     {(1u << 20) - 5, 20, false},
                     {2u << 20, 300, true},
                     {sparse.size - 3, 3, false}};
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

    // A text piece holds the lines a text file would have at those offsets.
    text.size = 3u << 20;
    text.seed = sparse.seed;
    std::vector<std::uint8_t> fromSparse(300), fromText(300);
    FillContent(sparse, 2u << 20, fromSparse);
    FillContent(text, 2u << 20, fromText);
    EXPECT_EQ(fromSparse, fromText);
}

TEST(Manifest, LinesReadBackAsWritten) {
    tools::ManifestEntry e;
    e.record = 78;
    e.deleted = true;
    e.size = 5000;
    e.md5 = "374001fe69d152d6807cdfb4114bd6bd";
    e.path = "/plain/with ads.txt";
    e.stream = "secret";
    e.flags = {"compressed", "orphan"};
    e.clusters = 16;
    e.freeClusters = 12;
    e.parent = "/plain";
    const std::string line = tools::ManifestLine(e);
    EXPECT_EQ(line,
              "78\t1\t5000\t374001fe69d152d6807cdfb4114bd6bd\t/plain/with ads.txt\tsecret\t"
              "compressed,orphan\t75\t16\t12\t/plain");
    auto back = tools::ParseManifestLine(line, true);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(tools::ManifestLine(*back), line);
    EXPECT_TRUE(back->Has("orphan"));
    EXPECT_FALSE(back->IsDir());

    // A live folder: no recoverability, no stream, no content.
    tools::ManifestEntry dir;
    dir.record = 64;
    dir.md5 = "-";
    dir.path = "/docs";
    dir.flags = {"dir"};
    dir.parent = "/";
    back = tools::ParseManifestLine(tools::ManifestLine(dir), true);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->IsDir() && back->stream.empty() && back->clusters == 0);
    EXPECT_EQ(back->Recoverable(), 100u);

    // The five columns of older manifests, and lines of neither layout.
    back = tools::ParseManifestLine("70\t0\t3\tabc\t/a b/c.txt", false);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->path, "/a b/c.txt");
    EXPECT_FALSE(tools::ParseManifestLine("70\t0\t3\tabc", false).has_value());
    EXPECT_FALSE(tools::ParseManifestLine("x\t0\t3\tabc\t/a", false).has_value());
    EXPECT_FALSE(tools::ParseManifestLine(line, false).has_value());
}

}  // namespace
}  // namespace qm::mkvolume
