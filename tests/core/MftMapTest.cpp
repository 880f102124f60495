// Mapping MFT bytes onto the volume along the MFT's runs.
#include <gtest/gtest.h>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

using Extent = MftMap::Extent;

TEST(MftMap, RecordsFollowTheFragments) {
    // 4 clusters at 100, then 4 clusters at 500; 4096-byte clusters.
    MftMap map({{0, 100, 4, false}, {4, 500, 4, false}}, 4096);
    EXPECT_EQ(map.VolumeOffset(0), 100u * 4096);
    EXPECT_EQ(map.VolumeOffset(4 * 4096), 500u * 4096);  // not 104 * 4096
    EXPECT_EQ(map.VolumeOffset(4 * 4096 + 1024), 500u * 4096 + 1024);
    EXPECT_FALSE(map.VolumeOffset(8 * 4096));
    EXPECT_EQ(map.MappedClusters(), 8u);
}

TEST(MftMap, StraddlingRecordComesInTwoPieces) {
    // 512-byte clusters and 1024-byte records: a record can span two fragments.
    MftMap map({{0, 10, 3, false}, {3, 90, 3, false}}, 512);
    auto pieces = map.Map(1024, 1024);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].offset, 12u * 512);
    EXPECT_EQ(pieces[0].length, 512u);
    EXPECT_EQ(pieces[1].offset, 90u * 512);
    EXPECT_EQ(pieces[1].length, 512u);
    // Contiguous fragments join into one piece.
    MftMap joined({{0, 10, 3, false}, {3, 13, 3, false}}, 512);
    EXPECT_EQ(joined.Map(0, 3072).size(), 1u);
}

TEST(MftMap, HolesGapsAndTheEndAreUnmapped) {
    MftMap map({{0, 10, 2, false}, {2, 0, 2, true}, {6, 50, 2, false}}, 1024);
    auto pieces = map.Map(0, 8 * 1024 + 512);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_TRUE(pieces[0].mapped);
    EXPECT_FALSE(pieces[1].mapped);  // the sparse extent and the gap after it
    EXPECT_EQ(pieces[1].length, 4u * 1024);
    EXPECT_TRUE(pieces[2].mapped);
    EXPECT_FALSE(pieces[3].mapped);  // past the last extent
    EXPECT_EQ(pieces[3].length, 512u);
}

TEST(MftMap, DamagedExtentsAreDropped) {
    // Overlapping, empty and overflowing extents never make a byte come from two places.
    MftMap map({{0, 10, 4, false},
                {2, 70, 4, false},
                {4, 20, 0, false},
                {4, ~0ull - 2, 4, false},
                {4, 30, 2, false}},
               4096);
    ASSERT_EQ(map.extents().size(), 2u);
    EXPECT_EQ(map.VolumeOffset(4 * 4096), 30u * 4096);
    MftMap none({}, 4096);
    auto pieces = none.Map(0, 100);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_FALSE(pieces[0].mapped);
    EXPECT_EQ(MftMap({{0, 1, 1, false}}, 0).Map(~0ull - 10, 100).size(), 1u);
}

}  // namespace
}  // namespace qm
