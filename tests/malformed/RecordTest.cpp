// Damaged MFT records: update sequence arrays, attribute headers and attribute
// contents that lie about their sizes. Each group places its damaged records
// between the corpus's good files; a damaged record is skipped or given up on,
// or, where the damage leaves its content readable, recovered without a byte
// from outside its attribute.
#include <gtest/gtest.h>

#include <optional>

#include "platform/testing/FaultyOutput.h"
#include "tests/malformed/Corpus.h"

namespace qm::malformed {
namespace {

struct Case {
    const char* what;
    RecordBuilder record;
    std::optional<Bytes> recovered;  // nullopt: skipped or abandoned
};

// Places case i at record 17 + i, runs the corpus and checks every case.
Outcome Check(Corpus& c, std::vector<Case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i)
        c.Put(static_cast<std::uint32_t>(17 + i), cases[i].record);
    Outcome o = c.Run();
    EXPECT_TRUE(c.GoodFilesIntact(o));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        const std::uint64_t n = 17 + i;
        if (cases[i].recovered)
            EXPECT_TRUE(o.Recovered(n, *cases[i].recovered));
        else
            EXPECT_TRUE(o.SkippedOrAbandoned(n));
    }
    return o;
}

const Bytes kContent = test::BytesOf("content that must not come out");

TEST(UpdateSequence, ArraysThatDoNotFitTheRecordAreRefused) {
    Corpus c;
    auto f = [&](std::uint32_t n) {
        return c.File(static_cast<std::uint32_t>(n)).ResidentData(kContent);
    };
    std::vector<Case> cases;
    cases.push_back({"offset near the end, array past it", f(17).UsaOffset(1020), {}});
    cases.push_back({"offset past the end", f(18).UsaOffset(0xFFFE), {}});
    cases.push_back({"count past the end", f(19).UsaCount(600), {}});
    cases.push_back({"count of the largest value", f(20).UsaCount(0xFFFF), {}});
    cases.push_back({"more sectors than the record has", f(21).UsaCount(4), {}});
    cases.push_back({"count 0", f(22).UsaCount(0), {}});
    cases.push_back({"count 1", f(23).UsaCount(1), {}});
    const Outcome o = Check(c, cases);
    for (std::uint64_t n = 17; n < 17 + cases.size(); ++n) EXPECT_FALSE(o.Row(n)) << n;
}

TEST(UpdateSequence, ZeroBytesPerSector) {
    // In the boot sector: the set-up refuses the volume, nothing is listed or written.
    Corpus c;
    Bytes image = c.volume().Build();
    image[11] = image[12] = 0;
    const Outcome o = c.Run(image);
    EXPECT_EQ(o.scan.setup.stop, SetupStop::BadGeometry);
    EXPECT_TRUE(o.rows.empty());
    EXPECT_TRUE(o.files.empty() && o.strays.empty());
    EXPECT_TRUE(o.imageUnchanged);

    // In the geometry a recovery is handed: the record is given up on.
    MemoryVolume volume(c.volume().Build());
    VolumeGeometry g{1024, 4096, 0, 8};
    testing::MemoryOutputFactory out;
    const auto r = RecoverRecord(volume, PositionText(c.volume().RecordOffset(16)), g, "x", out);
    EXPECT_EQ(r.status, RecoverStatus::BadRecord);
    EXPECT_TRUE(out.Files().empty());
}

TEST(AttributeHeaders, LengthsAndOffsetsThatLeaveTheRecord) {
    Corpus c;
    auto bare = [&](std::uint32_t n) { return c.volume().NewRecord(n); };
    constexpr std::uint64_t t = 132223104000000000ull;
    // Filler that ends the record exactly at its last byte, with no end marker:
    // 56 (header) + 96 ($STANDARD_INFORMATION) + 104 ($FILE_NAME "bad.bin") + 768.
    const Bytes filler(768 - 24, 0x5A);
    std::vector<Case> cases;
    cases.push_back({"length 0",
                     bare(17)
                         .StandardInformation(t, t)
                         .LengthOverride(0)
                         .FileName(u"bad.bin")
                         .ResidentData(kContent),
                     {}});
    cases.push_back({"length not a multiple of 8",
                     bare(18)
                         .StandardInformation(t, t)
                         .FileName(u"bad.bin")
                         .LengthOverride(0x61)
                         .ResidentData(kContent),
                     {}});
    cases.push_back({"length past the record",
                     bare(19)
                         .StandardInformation(t, t)
                         .LengthOverride(0x2000)
                         .FileName(u"bad.bin")
                         .ResidentData(kContent),
                     {}});
    cases.push_back({"length of 4 GiB",
                     bare(20)
                         .StandardInformation(t, t)
                         .LengthOverride(0xFFFFFFF8)
                         .FileName(u"bad.bin")
                         .ResidentData(kContent),
                     {}});
    cases.push_back({"first attribute past the record",
                     c.File(21).ResidentData(kContent).FirstAttributeOffset(0x500),
                     {}});
    cases.push_back({"first attribute at the largest offset",
                     c.File(22).ResidentData(kContent).FirstAttributeOffset(0xFFFF),
                     {}});
    cases.push_back({"first attribute inside the header",
                     c.File(23).ResidentData(kContent).FirstAttributeOffset(8),
                     {}});
    cases.push_back({"no end marker, no $DATA, attributes up to the last byte",
                     c.File(24).ResidentAttribute(0x40, filler).NoEndMarker(),
                     {}});

    // Damage that leaves the record's own attributes readable.
    Bytes tail(768 - 24, 0);
    for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<std::uint8_t>(i);
    cases.push_back({"no end marker, $DATA up to the last byte",
                     c.File(25).ResidentData(tail).NoEndMarker(), tail});
    cases.push_back({"last attribute's length past the record",
                     c.File(26).ResidentData(kContent).LengthOverride(0x1000), kContent});
    cases.push_back({"attributes in reverse type order",
                     bare(27).ResidentData(kContent).FileName(u"bad.bin").StandardInformation(t, t),
                     kContent});
    const Outcome o = Check(c, cases);
    EXPECT_EQ(o.Row(27)->name, u"bad.bin");
}

TEST(AttributeContents, SizesThatRunPastTheirAttribute) {
    Corpus c;
    const Bytes ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Bytes cut = ten;  // a 10-byte value is padded to the attribute's 8-byte end
    cut.resize(16, 0);
    std::vector<Case> cases;
    // The name length at 88 says 255 units; only those inside the attribute are read.
    RecordBuilder longName = c.volume().NewRecord(17);
    longName.StandardInformation(1, 2)
        .FileName(u"bad.bin")
        .PatchAttributeLe(88, 255, 1)
        .ResidentData(kContent);
    cases.push_back({"file name longer than its attribute", longName, kContent});
    cases.push_back({"attribute name longer than its attribute",
                     c.File(18).ResidentData(kContent).PatchAttributeLe(9, 255, 1).PatchAttributeLe(
                         10, 0x3F0, 2),
                     kContent});
    cases.push_back({"resident value longer than its attribute",
                     c.File(19).ResidentData(ten).PatchAttributeLe(16, 5000, 4), cut});
    cases.push_back({"resident value offset past its attribute",
                     c.File(20).ResidentData(ten).PatchAttributeLe(20, 0x300, 2), Bytes{}});
    cases.push_back({"resident value of 2 GiB",
                     c.File(21).ResidentData(ten).PatchAttributeLe(16, 0x80000000u, 4),
                     {}});
    cases.push_back({"resident value of 4 GiB - 1",
                     c.File(22).ResidentData(ten).PatchAttributeLe(16, 0xFFFFFFFFu, 4),
                     {}});
    const Bytes runs = RunListBuilder().Run(1, 200).Build();
    cases.push_back({"run list offset past its attribute",
                     c.File(23).NonResidentData(runs, 4096, 4096).PatchAttributeLe(32, 0x400, 2),
                     {}});
    cases.push_back({"run list offset at the largest value",
                     c.File(24).NonResidentData(runs, 4096, 4096).PatchAttributeLe(32, 0xFFFF, 2),
                     {}});
    cases.push_back({"run list offset at its attribute's end",
                     c.File(25).NonResidentData(runs, 4096, 4096).PatchAttributeLe(32, 72, 2),
                     {}});
    const Outcome o = Check(c, cases);

    const ScanRow* named = o.Row(17);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->name.substr(0, 7), u"bad.bin");
    EXPECT_LE(named->name.size(), (104u - 90) / 2);  // the attribute is 104 bytes long
}

}  // namespace
}  // namespace qm::malformed
