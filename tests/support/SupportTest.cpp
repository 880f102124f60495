// Checks of the test helpers themselves, against values fixed by NTFS
// rather than against the core, so a fault in either side shows up on its own.
#include <gtest/gtest.h>

#include "tests/support/RecordBuilder.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::test {
namespace {

TEST(RunListBuilder, NarrowestSignedFields) {
    // 0x80 clusters need two length bytes so a signed reader sees them positive;
    // -16 fits one offset byte (0xF0); the sparse run carries no offset field.
    const Bytes list =
        RunListBuilder().Run(0x80, 0x1000).Run(4, 0x1000 - 16).Sparse(3).Run(1, 0x10F0).Build();
    const Bytes expected = {0x22, 0x80, 0x00, 0x00, 0x10,  // 128 clusters at 0x1000
                            0x11, 0x04, 0xF0,              // 4 clusters, 16 back
                            0x01, 0x03,                    // 3 sparse clusters
                            0x21, 0x01, 0x00, 0x01,        // 1 cluster, 256 on from 0xFF0
                            0x00};
    EXPECT_EQ(list, expected);
    EXPECT_EQ(RunListBuilder::SignedWidth(127), 1u);
    EXPECT_EQ(RunListBuilder::SignedWidth(128), 2u);
    EXPECT_EQ(RunListBuilder::SignedWidth(-128), 1u);
    EXPECT_EQ(RunListBuilder::SignedWidth(-129), 2u);
}

TEST(RecordBuilder, LayoutAndUpdateSequence) {
    const Bytes content = BytesOf("hello");
    const Bytes r = RecordBuilder(1024, 512)
                        .RecordNumber(47)
                        .StandardInformation(111, 222)
                        .FileName(u"a.txt", 1)
                        .ResidentData(content)
                        .Build();
    ASSERT_EQ(r.size(), 1024u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "FILE");
    EXPECT_EQ(GetLe(r, 4, 2), 48u);
    EXPECT_EQ(GetLe(r, 6, 2), 3u);
    EXPECT_EQ(GetLe(r, 22, 2), 0u);
    EXPECT_EQ(GetLe(r, 44, 4), 47u);
    const std::size_t si = GetLe(r, 20, 2);
    EXPECT_EQ(si, 56u);
    EXPECT_EQ(GetLe(r, si, 4), 0x10u);
    EXPECT_EQ(GetLe(r, si + 24, 8), 111u);
    EXPECT_EQ(GetLe(r, si + 32, 8), 222u);
    const std::size_t fn = si + GetLe(r, si + 4, 4);
    EXPECT_EQ(GetLe(r, fn, 4), 0x30u);
    EXPECT_EQ(GetLe(r, fn + 88, 1), 5u);
    EXPECT_EQ(GetLe(r, fn + 89, 1), 1u);
    EXPECT_EQ(GetLe(r, fn + 90, 2), u'a');
    const std::size_t data = fn + GetLe(r, fn + 4, 4);
    EXPECT_EQ(GetLe(r, data, 4), 0x80u);
    EXPECT_EQ(GetLe(r, data + 16, 4), 5u);
    EXPECT_EQ(r[data + 24], 'h');
    const std::size_t end = data + GetLe(r, data + 4, 4);
    EXPECT_EQ(GetLe(r, end, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLe(r, 24, 4), end + 8);

    // Both sector ends hold the sequence number; their true bytes are in the array.
    const std::uint64_t usn = GetLe(r, 48, 2);
    EXPECT_EQ(GetLe(r, 510, 2), usn);
    EXPECT_EQ(GetLe(r, 1022, 2), usn);
    const Bytes plain = RecordBuilder(1024, 512).Flags(1).Build(false);
    const Bytes guarded = RecordBuilder(1024, 512).Flags(1).MismatchSector(2, 0x00FF).Build();
    EXPECT_EQ(GetLe(guarded, 510, 2), GetLe(guarded, 48, 2));
    EXPECT_EQ(GetLe(guarded, 1022, 2), GetLe(guarded, 48, 2) ^ 0x00FF);
    EXPECT_EQ(GetLe(guarded, 52, 2), GetLe(plain, 1022, 2));
}

TEST(VolumeBuilder, FragmentedMftAndBootFields) {
    VolumeBuilder vb;
    vb.SectorsPerClusterByte(8).MftCluster(10).MftRuns({{10, 4}, {40, 2}, {30, 10}});
    vb.Record(20, vb.NewRecord(20).FileName(u"x").Build());
    vb.Record(30, vb.NewRecord(30).FileName(u"y").Build());
    const Bytes image = vb.Build();
    EXPECT_EQ(vb.ClusterSize(), 4096u);
    EXPECT_EQ(vb.RecordSize(), 1024u);
    EXPECT_EQ(vb.MftRecordCapacity(), 64u);
    EXPECT_EQ(std::string(image.begin() + 3, image.begin() + 11), "NTFS    ");
    EXPECT_EQ(GetLe(image, 48, 8), 10u);
    // Records 16-23 lie in the second fragment, 24-63 in the third.
    EXPECT_EQ(vb.RecordOffset(16), 40u * 4096);
    EXPECT_EQ(vb.RecordOffset(20), 40u * 4096 + 4 * 1024);
    EXPECT_EQ(vb.RecordOffset(30), 30u * 4096 + 6 * 1024);
    EXPECT_EQ(GetLe(image, vb.RecordOffset(20) + 44, 4), 20u);
    EXPECT_EQ(GetLe(image, vb.RecordOffset(30) + 44, 4), 30u);
    EXPECT_EQ(GetLe(image, vb.RecordOffset(3) + 44, 4), 3u);
    // Record 0's run list describes the three fragments.
    EXPECT_EQ(vb.MftRunList(), (Bytes{0x11, 4, 10, 0x11, 2, 30, 0x11, 10, 0xF6, 0}));
}

}  // namespace
}  // namespace qm::test
