// Run-list decoding: signed distances, sparse runs, and damaged lists.
#include <gtest/gtest.h>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

std::vector<DataRun> Decode(std::vector<std::uint8_t> bytes) {
    auto runs = DecodeRunList(ByteView(bytes.data(), bytes.size()));
    EXPECT_TRUE(runs.ok()) << (runs.ok() ? "" : runs.error().ToString());
    return runs.ok() ? *runs : std::vector<DataRun>{};
}

bool Fails(std::vector<std::uint8_t> bytes) {
    return !DecodeRunList(ByteView(bytes.data(), bytes.size())).ok();
}

TEST(RunList, FirstRunUnsignedLaterRunsSigned) {
    // 0xF0 as the first offset is cluster 240; in a later run it is -16.
    auto runs = Decode({0x11, 0x04, 0xF0, 0x11, 0x02, 0xF0, 0x00});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].lcn, 240u);
    EXPECT_EQ(runs[0].length, 4u);
    EXPECT_EQ(runs[1].lcn, 224u);
    // Two-byte field 0x00 0xFF is -256.
    runs = Decode({0x21, 0x01, 0x00, 0x04, 0x21, 0x01, 0x00, 0xFF, 0x00});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].lcn, 0x400u);
    EXPECT_EQ(runs[1].lcn, 0x300u);
    // A four-byte field of 0x80000000 and above is negative too.
    runs = Decode({0x41, 0x01, 0x00, 0x00, 0x00, 0x90, 0x41, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].lcn, 0x90000000u - 0x80000000u);
}

TEST(RunList, SparseRunsKeepTheCurrentCluster) {
    // 8 clusters at 0x100, 4 sparse, 2 at +0x10 from 0x100 (not from the hole).
    auto runs = Decode({0x21, 0x08, 0x00, 0x01, 0x01, 0x04, 0x11, 0x02, 0x10, 0x00});
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_FALSE(runs[0].sparse);
    EXPECT_TRUE(runs[1].sparse);
    EXPECT_EQ(runs[1].length, 4u);
    EXPECT_EQ(runs[2].lcn, 0x110u);
    // An offset field holding 0 is sparse as well.
    runs = Decode({0x11, 0x03, 0x00, 0x00});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].sparse);
    // A list that is only its end marker has no runs.
    EXPECT_TRUE(Decode({0x00}).empty());
}

TEST(RunList, DamagedListsFail) {
    EXPECT_TRUE(Fails({}));                                       // no end marker at all
    EXPECT_TRUE(Fails({0x11, 0x04, 0x10}));                       // ends without its 0 header
    EXPECT_TRUE(Fails({0x21, 0x04, 0x10}));                       // offset field runs past the list
    EXPECT_TRUE(Fails({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 0}));  // length field of 9 bytes
    EXPECT_TRUE(Fails({0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));  // offset field of 9 bytes
    EXPECT_TRUE(Fails({0x11, 0x01, 0x10, 0x11, 0x01, 0xE0, 0x00}));  // goes below cluster 0
    // Cluster numbers that leave 64-bit signed range.
    EXPECT_TRUE(Fails({0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_TRUE(Fails(
        {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00}));
    // Too many runs for the caller's limit.
    std::vector<std::uint8_t> many;
    for (int i = 0; i < 10; ++i) many.insert(many.end(), {0x01, 0x01});
    many.push_back(0);
    EXPECT_FALSE(DecodeRunList(ByteView(many.data(), many.size()), 5).ok());
}

TEST(RunList, RunListOfAttribute) {
    std::vector<std::uint8_t> attr(80, 0);
    attr[4] = 80;   // length
    attr[32] = 64;  // run list offset
    attr[64] = 0x11;
    attr[65] = 0x01;
    attr[66] = 0x05;
    auto list = RunListOf(ByteView(attr.data(), attr.size()));
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list->size(), 16u);
    attr[32] = 88;  // beyond the attribute
    EXPECT_FALSE(RunListOf(ByteView(attr.data(), attr.size())).ok());
    std::vector<std::uint8_t> cut(attr.begin(), attr.begin() + 30);
    EXPECT_FALSE(RunListOf(ByteView(cut.data(), cut.size())).ok());
}

}  // namespace
}  // namespace qm
